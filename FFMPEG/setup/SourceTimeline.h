// Where a source's media lies on its clock. A container's own start time and duration take
// every stream into account, also streams no output format here writes (cue and timed-ID3
// data, subtitles, timecode tracks) and attached cover pictures; those must not move the
// start of the output, nor stretch its expected length.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>

struct TMediaSpan {
  int64_t StartUs = AV_NOPTS_VALUE;     // on the file's clock, microseconds
  int64_t DurationUs = AV_NOPTS_VALUE;  // from StartUs
};

// True for the streams a conversion is made of: sound, and pictures that are not an attached
// cover picture.
bool IsMediaStream(const AVStream* stream);

// The span of IC's media streams: the earliest start among them and the latest known end.
// Falls back to the container's start and duration where the media streams state none; where
// a media stream states a start but no duration, the container's end counts for it.
TMediaSpan MediaSpanOf(const AVFormatContext* ic);
