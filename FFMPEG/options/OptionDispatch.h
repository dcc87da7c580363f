// TOptionDispatch: the option language applied to one job's engine. Each option name of the
// manner of FFmpeg's command-line tool (without the leading dash) has its setter with its checks
// and messages; a name the table does not hold goes to the job's generic options. The record
// application (ApplyInputOptions, ApplyOutputOptions) turns a job's records into these options.
//
// A dispatch reaches the engine's option values, file set, run counters and generic options;
// it is made for the job that is being set up (before the job is launched) and used on that
// job's set-up thread only. Every failure raises FFMpegException.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/avutil.h>
}

#include "EngineOptions.h"
#include "FFmpeg.h"
#include "FileSet.h"
#include "GenericOptions.h"
#include "OptionRecords.h"
#include "RunState.h"

class TOptionDispatch {
 public:
  explicit TOptionDispatch(TCustomFFmpeg& engine);

  // Applies one option; an unknown name changes nothing.
  void Dispatch(const std::string& name, const std::string& value);
  // Applies option lines "name=value" (one per line) in order through Dispatch; the first
  // failing option ends the application, and options before it stay applied.
  void ApplyOptionLines(const std::string& lines);
  // Stores a generic option (TGenericOptions::Set); a library debug option raises the job's
  // verbosity to 2. False when no library object accepts the name with that value.
  bool SetGenericOption(const std::string& name, const std::string& value);
  bool SetGenericOptionInt(const std::string& name, int value);
  // Target presets: type "vcd", "svcd", "dvd", "dv" or "dv50"; norm "pal", "ntsc", "film" or
  // anything else for "find it from the frame rate or the inputs, else default_norm".
  void TargetPreset(const std::string& type, const std::string& norm,
                    const std::string& default_norm);

  // Typed setters, each equal to the option of the same name.
  void SetInputFormat(const std::string& name);   // forced input format
  void SetOutputFormat(const std::string& name);  // forced output format
  void SetFrameRate(const std::string& text);     // "r"
  void SetFrameSize(const std::string& text);     // "s"
  void SetAspect(const std::string& text);        // "aspect"
  enum TSide { sdTop, sdBottom, sdLeft, sdRight };
  void SetCrop(TSide side, int pixels);  // "croptop", ...; negative does nothing
  void SetPad(TSide side, int pixels);   // "padtop", ...; negative does nothing
  void SetPadColor(uint32_t bgr);        // 0x00BBGGRR
  // Codec name ("vcodec", "acodec", "scodec") for a video, audio or subtitle stream.
  void SetCodecName(AVMediaType type, const std::string& name);
  void SetCodecTag(AVMediaType type, const std::string& four_chars);  // "vtag", "atag"
  void SetDevice(const std::string& name);                            // "device"
  void SetQScale(float qscale);                                       // "qscale"
  // Recording time limit in milliseconds; also the job's TotalDurationMs. <= 0 does nothing.
  void SetRecordingTimeMs(int64_t duration_ms);
  // "newvideo", "newaudio", "newsubtitle": a stream made from the current options on the last
  // output file.
  void NewStreamOnLastOutput(AVMediaType type);

  // The job's log (filtered by its verbosity); HasLog is false when no one listens.
  void Log(int level, const std::string& msg) { engine_.Log(level, msg); }
  bool HasLog() const { return static_cast<bool>(engine_.OnLog); }
  void SetVerbosity(int verbosity) { engine_.SetVerbosity(verbosity); }

  // The engine's parts that options write.
  TEngineOptions& Options;
  TFileSet& Files;
  TRunStats& Stats;
  TGenericOptions& Generic;

 private:
  TCustomFFmpeg& engine_;
};

// Apply a job's records to its engine in their fixed order (before opening the file). The hook
// callbacks of the output record are connected by the job component.
void ApplyInputOptions(TCustomFFmpeg& engine, const TInputOptions& options);
void ApplyOutputOptions(TCustomFFmpeg& engine, const TOutputOptions& options);
