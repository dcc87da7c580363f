#include "ProbeColumns.h"

#include <cmath>
#include <cstdio>

#include "AVProbe.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

namespace {

// At least two digits, as "00" formatting writes numbers; a negative keeps its sign.
std::string TwoDigits(long long value) {
  char buffer[32];
  if (value < 0)
    std::snprintf(buffer, sizeof buffer, "-%02lld", -value);
  else
    std::snprintf(buffer, sizeof buffer, "%02lld", value);
  return buffer;
}

// The sound and picture facts of CONTEXT that a size estimate reads.
void NoteStreamsForEstimate(const AVFormatContext* context, ProbeColumns& columns) {
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVStream* stream = context->streams[i];
    const AVCodecParameters* par = stream->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      columns.has_video = true;
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && !columns.has_sound) {
      columns.has_sound = true;
      columns.sound_rate = par->sample_rate > 0 ? par->sample_rate : 0;
      columns.sound_channels = par->ch_layout.nb_channels > 0 ? par->ch_layout.nb_channels : 0;
      const int format_bits = 8 * av_get_bytes_per_sample(static_cast<AVSampleFormat>(par->format));
      columns.sound_bits = par->bits_per_raw_sample > 0 ? par->bits_per_raw_sample : format_bits;
    }
  }
}

}  // namespace

std::string FormatDuration(char separator, double seconds) {
  if (!std::isfinite(seconds) || std::fabs(seconds) > 9.2e18) return "-";
  const auto minutes_total = static_cast<long long>(std::trunc(seconds / 60));
  const long long hours = minutes_total / 60;
  const long long minutes = minutes_total % 60;
  // Halves round to even, as the rounding of the system's number formatting does.
  const auto secs = static_cast<long long>(std::nearbyint(seconds - 60.0 * minutes_total));
  return TwoDigits(hours) + separator + TwoDigits(minutes) + separator + TwoDigits(secs);
}

std::string VideoSizeText(int video_stream_count, int width, int height) {
  if (video_stream_count <= 0) return " ";
  return std::to_string(width) + "x" + std::to_string(height);
}

std::string FrameRateText(int video_stream_count, int num, int den) {
  if (video_stream_count <= 0) return " ";
  if (num <= 0 || den <= 0) return "Unknown";
  const double hundredths = std::round(static_cast<double>(num) / den * 100.0);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", hundredths / 100.0);
  std::string text = buffer;
  // Shortest form: drop trailing zeros and then a trailing point.
  while (!text.empty() && text.back() == '0') text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

std::string DurationText(int64_t duration_us) {
  if (duration_us < 0) return "Unknown";
  const std::string text = FormatDuration(':', static_cast<double>(duration_us / 1000000));
  return text.find('-') != std::string::npos ? "Unknown" : text;
}

ProbeColumns ProbeFileColumns(TAVProbe& probe, const std::string& file_name) {
  ProbeColumns columns;
  if (!probe.Open(file_name, "")) {
    columns.error = probe.LastError();
    return columns;
  }
  columns = OpenedFileColumns(probe.Context());
  // The file is let go at once: an open file keeps its disk from being unmounted and a
  // deleted file's space from being freed for as long as the probe lives.
  probe.Close();
  return columns;
}

ProbeColumns OpenedFileColumns(const AVFormatContext* context) {
  ProbeColumns columns;
  if (!context) return columns;
  columns.ok = true;
  const int video_streams = TAVProbe::VideoStreamCountOf(context);
  VideoStreamInfo video;
  if (video_streams > 0) TAVProbe::GetVideoStreamInfo(context, -1, video);
  columns.video_size = VideoSizeText(video_streams, video.Width, video.Height);
  if (video_streams > 0 && video.AspectRatio > 0) columns.display_aspect = video.AspectRatio;
  columns.frame_rate = FrameRateText(video_streams, video.FrameRateNum, video.FrameRateDen);
  FileInfo info;
  TAVProbe::GetFileInfo(context, info);
  columns.duration = DurationText(info.Duration);
  if (info.Duration >= 0) columns.duration_seconds = static_cast<double>(info.Duration) / 1e6;
  NoteStreamsForEstimate(context, columns);
  return columns;
}

std::string ProbeLine(const std::string& file_name, const ProbeColumns& columns) {
  return file_name + '\t' + columns.video_size + '\t' + columns.frame_rate + '\t' +
         columns.duration + '\t' + (columns.ok ? "" : "Error");
}
