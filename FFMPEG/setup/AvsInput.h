// Script input: an input file "*.avs" whose line
//     DirectShowSource("path", fps=N, convertfps=true)
// stands for the media file "path" delivered at a constant N frames per second. The conversion
// queue writes such two-line scripts for RealMedia sources; other lines (LoadPlugin) are ignored.
//
// How the engine sees it: OpenAvsInput opens the source through libavdevice's "lavfi" input
// with a small filter graph (movie/amovie sources, an fps filter). The result is an ordinary
// input format context whose video stream carries decoded pictures (rawvideo) with time base
// 1/N and one tick per picture, pictures being repeated or dropped to hold the rate
// (convertfps=true), and whose audio stream carries the source's decoded sound as PCM. The
// transcode loop therefore needs nothing special for scripts: it decodes rawvideo and PCM like
// any other input and its timestamps are constant-rate from the start.
#pragma once

extern "C" {
#include <libavutil/rational.h>
}

#include <cstdint>
#include <string>

#include "AVPtr.h"

struct AvsScript {
  std::string source_path;
  AVRational frame_rate{0, 0};  // 0/0: no fps given, the source's own timing is kept
};

// True when FILE_NAME ends in ".avs" (any letter case).
bool IsAvsScript(const std::string& file_name);

// Reads the DirectShowSource call of the script FILE_NAME; the path is a string in double
// quotes, or in triple double quotes ("""...""") when it holds a double quote. Returns 0,
// AVERROR(ENOENT) when the file cannot be read, or AVERROR(EINVAL) when it holds no usable
// DirectShowSource("...") call. The rate is always held by repeating and dropping pictures
// (convertfps=true, the only form the queue writes); other arguments are ignored.
int ReadAvsScript(const std::string& file_name, AvsScript& script);

// What an opened script input brings besides its format context.
struct AvsInput {
  InputFormatPtr context;                       // the lavfi input, owned by the caller from here on
  int64_t source_duration_us = AV_NOPTS_VALUE;  // the source's duration (lavfi knows none)
  bool has_video = false;
  bool has_audio = false;
};

// Opens SCRIPT's source as described above, with INTERRUPT (may be null) as the context's
// interrupt callback. Returns an AVERROR code (0 on success); on failure ERROR_TEXT names the
// file and the cause. The source itself is opened once to find its streams and duration.
int OpenAvsInput(const AvsScript& script, const AVIOInterruptCB* interrupt, AvsInput& input,
                 std::string& error_text);

// The filter graph text for SCRIPT with the given streams, the source path escaped for the
// graph parser (exposed for tests). LAST_PICTURE_S, the display time of the source's last
// picture, keeps that picture on screen to the source's end (the fps filter would otherwise
// stop at its start). FORMAT, when given, is the demuxer the source is read with.
std::string AvsFilterGraph(const AvsScript& script, bool video, bool audio,
                           double last_picture_s = 0, const std::string& format = {});
