// TGenericOptions: the options a job gives by a name the codec, format and scaler libraries
// know ("g", "bf", "packetsize", "sws_flags", ...) rather than by one of the engine's own
// names. Their values live in library defaults objects, one codec context per codec type, a
// format context and a scaler; the set-up and the run copy them into the objects they make.
// Options only a muxer's own option set knows are kept as text for the muxer.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "AVPtr.h"

// Codec types with a defaults object: video, audio, data, subtitle, attachment.
inline constexpr int kCodecTypeCount = 5;

// Logs a line of the job (engine scale: -1 exception messages, 0 error, 1 information).
using TLogFunction = std::function<void(int level, const std::string& msg)>;

class TGenericOptions {
 public:
  // Fresh defaults objects (the scaler's with SWS_FLAGS); the names set so far are forgotten.
  void Reset(int sws_flags);
  // Frees the defaults objects and forgets the names and the muxer options.
  void Release();

  // Stores NAME=VALUE in every defaults object whose option set knows the name (with the
  // libraries' renamed names and the "a"/"v"/"s" prefix rule), else as a muxer option when
  // some muxer knows it. False when nothing takes it. DEBUG (when given) tells whether the
  // stored options now ask a library for debug output; it is left alone for a muxer option.
  bool Set(const std::string& name, const std::string& value, bool* debug = nullptr);

  // For every generic option set so far: copies its value from SOURCE to TARGET (both are
  // AVClass-based library objects) when all bits of FLAGS are among the option's flags. A value
  // that cannot be read or is not taken is reported through LOG at level 0 and skipped.
  void ApplyTo(void* target, const void* source, int flags, const TLogFunction& log) const;

  // Names set so far, in order; their values live in the defaults objects.
  std::vector<std::string> OptionNames;
  std::array<CodecContextPtr, kCodecTypeCount> CodecDefaults;  // indexed by AVMediaType
  FormatContextPtr FormatDefaults;
  SwsPtr ScalerDefaults;
  // Options that only a muxer's own option set knows (e.g. "muxrate", "movflags"), name ->
  // value; passed to avformat_write_header, which ignores those the muxer lacks.
  std::vector<std::pair<std::string, std::string>> MuxerOptions;
};
