#include "SourceTimeline.h"

#include <algorithm>

bool IsMediaStream(const AVStream* stream) {
  const AVMediaType type = stream->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO) return true;
  return type == AVMEDIA_TYPE_VIDEO && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

namespace {

int64_t ContainerEndUs(const AVFormatContext* ic) {
  if (ic->duration == AV_NOPTS_VALUE || ic->duration <= 0) return AV_NOPTS_VALUE;
  return (ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0) + ic->duration;
}

}  // namespace

TMediaSpan MediaSpanOf(const AVFormatContext* ic) {
  int64_t start = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE;
  bool end_unknown = false;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream* st = ic->streams[i];
    if (!IsMediaStream(st) || st->start_time == AV_NOPTS_VALUE) continue;
    const AVRational tb = st->time_base;
    if (tb.num <= 0 || tb.den <= 0) continue;
    const int64_t s = av_rescale_q(st->start_time, tb, AV_TIME_BASE_Q);
    start = start == AV_NOPTS_VALUE ? s : std::min(start, s);
    if (st->duration == AV_NOPTS_VALUE || st->duration <= 0) {
      end_unknown = true;
      continue;
    }
    const int64_t e = av_rescale_q(st->start_time + st->duration, tb, AV_TIME_BASE_Q);
    end = end == AV_NOPTS_VALUE ? e : std::max(end, e);
  }
  TMediaSpan span;
  if (start == AV_NOPTS_VALUE) {
    span.StartUs = ic->start_time;
    span.DurationUs = ic->duration;
    return span;
  }
  span.StartUs = start;
  const int64_t container_end = ContainerEndUs(ic);
  if ((end_unknown || end == AV_NOPTS_VALUE) && container_end != AV_NOPTS_VALUE)
    end = end == AV_NOPTS_VALUE ? container_end : std::max(end, container_end);
  if (end != AV_NOPTS_VALUE && end > start) span.DurationUs = end - start;
  return span;
}
