// File set-up: opening a job's inputs and preparing its outputs and their streams from the
// option values given so far. Each step raises FFMpegException. A set-up step reaches the job
// only through its set-up context (SetupContext.h).
#pragma once

#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "SetupContext.h"

namespace file_setup {

// Opens an input file with the options given so far, takes its picture and sound parameters
// into the options and registers it in the file set. An input named "*.avs" is a script
// (AvsInput.h). The per-input options (InputFormat, the codec names, VideoChannel, RateEmu) are
// cleared either way. With IO the bytes come from that I/O context instead of the file, and
// FILE_NAME only names the input (in messages and for a format guess). Opening and probing may
// read at most the job's ReadGuard.Limit bytes.
void OpenInput(const TSetupContext& setup, const std::string& file_name, AVIOContext* io);

// Prepares an output file: its streams from the options (codec contexts in OutputCodecs), its
// tags and muxer options, and the checks of its name (the file itself is created when the run
// starts). From the point the file is registered a failed output stays in OutputFiles. The
// forced formats are cleared either way.
void PrepareOutput(const TSetupContext& setup, const std::string& file_name);

// Add one stream to OC (a registered output or the one PrepareOutput is preparing) and clear
// the per-stream options.
void AddVideoStream(const TSetupContext& setup, AVFormatContext* oc);
void AddAudioStream(const TSetupContext& setup, AVFormatContext* oc);
void AddSubtitleStream(const TSetupContext& setup, AVFormatContext* oc);
// A stream-copy stream that takes the first input's cover picture (audio outputs).
void AddCoverStream(const TSetupContext& setup, AVFormatContext* oc);

// Looks up the encoder (ENCODER true) or decoder NAME of the codec TYPE. An empty name gives
// AV_CODEC_ID_NONE. Raises "Unknown encoder 'x'" or "Invalid encoder type 'x'" (or "decoder").
// Legacy encoder names are mapped (CodecAlias); the AMR-NB names give AV_CODEC_ID_AMR_NB with
// the library's encoder, or none when the engine's own encoder is to be used (AmrNbEncoder.h).
void LookUpCodec(const std::string& name, AVMediaType type, bool encoder, AVCodecID& id,
                 const AVCodec** codec);

// The encoder name today's libraries use for a legacy name ("libfaac" -> "aac").
std::string CodecAlias(const std::string& name);

}  // namespace file_setup
