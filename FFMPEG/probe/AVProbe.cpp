#include "AVProbe.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/parseutils.h>
}

#include <climits>
#include <cstdlib>
#include <utility>

#include "Binding.h"
#include "FFmpegException.h"
#include "LocalInput.h"
#include "OpenErrors.h"
#include "Orientation.h"

namespace {

constexpr size_t kTagChars = 511;   // tag texts hold at most 511 characters
constexpr size_t kGenreChars = 31;  // the genre at most 31
constexpr size_t kCodecNameChars = 31;

std::string Tag(const AVDictionary* metadata, const char* key, size_t max_chars) {
  const AVDictionaryEntry* e = av_dict_get(metadata, key, nullptr, 0);
  if (!e || !e->value) return {};
  std::string value = e->value;
  if (value.size() > max_chars) value.resize(max_chars);
  return value;
}

// Leading decimal number of a tag such as "2007-05-01" or "3/12"; 0 when there is none.
int LeadingNumberTag(const AVDictionary* metadata, const char* key) {
  const AVDictionaryEntry* e = av_dict_get(metadata, key, nullptr, 0);
  if (!e || !e->value) return 0;
  const long n = std::strtol(e->value, nullptr, 10);
  return n > 0 && n <= INT_MAX ? static_cast<int>(n) : 0;
}

int ClampToInt(int64_t value) {
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// A video stream the file list describes: an attached cover picture is none.
bool IsDescribedVideo(const AVStream* st) {
  return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

}  // namespace

void TAVProbe::CheckLibraries() {
  if (!Bound(TLibrary::avcodec)) throw FFMpegException("LibAVCodec not loaded.");
  if (!Bound(TLibrary::avformat)) throw FFMpegException("LibAVFormat not loaded.");
  if (!Bound(TLibrary::avutil)) throw FFMpegException("LibAVUtil not loaded.");
  if (!Bound(TLibrary::swscale)) throw FFMpegException("LibSwScale not loaded.");
}

bool TAVProbe::Open(const std::string& file_name, const std::string& format_name) {
  CheckLibraries();
  Close();

  const AVInputFormat* format = nullptr;
  if (!format_name.empty()) {
    format = av_find_input_format(format_name.c_str());
    if (!format) {
      last_error_ = "Unknown input format: " + format_name;
      return false;
    }
  }

  if (!format) {
    if (std::string why = NotARegularFileText(file_name); !why.empty()) {
      last_error_ = why;
      return false;
    }
  }
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) {
    last_error_ = OpenErrorText(AVERROR(ENOMEM), file_name);
    return false;
  }
  guard_.Stop = &abort_;
  guard_.ClearRefusal();
  raw->interrupt_callback = guard_.Callback();
  guard_.SeeStopCount();
  // Devices and other inputs without a file are opened by their own rules; files by these.
  const bool reads_files = !format || !(format->flags & AVFMT_NOFILE);
  if (reads_files) {
    if (const int rules = ApplyLocalInputRules(raw, file_name); rules < 0) {
      avformat_free_context(raw);
      last_error_ = OpenErrorText(rules, file_name);
      return false;
    }
  }
  const std::string url = reads_files ? LocalFileUrl(file_name) : file_name;
  guard_.Begin(raw);
  // Tells why the guard ended the open, if it did.
  auto stopped = [&]() -> bool {
    last_error_ = ReadStopText(guard_, file_name);
    return !last_error_.empty();
  };
  // On failure avformat_open_input frees the context itself.
  int ret = avformat_open_input(&raw, url.c_str(), format, nullptr);
  if (ret < 0) {
    guard_.End();
    if (stopped()) return false;
    last_error_ = LocalInputRefusalText(ret, file_name, guard_);
    if (last_error_.empty()) last_error_ = OpenErrorText(ret, file_name);
    return false;
  }
  InputFormatPtr ctx(raw);

  ret = avformat_find_stream_info(ctx.get(), nullptr);
  guard_.End();
  if (stopped()) return false;
  if (ret < 0) {
    last_error_ = FormatWithFileName("%s: could not find codec parameters", file_name);
    return false;
  }

  CountStreams(ctx.get());
  context_ = std::move(ctx);
  format_name_ = format_name;
  return true;
}

void TAVProbe::CountStreams(const AVFormatContext* ctx) {
  stream_count_ = static_cast<int>(ctx->nb_streams);
  program_count_ = static_cast<int>(ctx->nb_programs);
  audio_ = video_ = subtitle_ = KindCount{0, -1};
  for (int i = 0; i < stream_count_; ++i) {
    const AVStream* st = ctx->streams[i];
    KindCount* kind = nullptr;
    switch (st->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        if (IsDescribedVideo(st)) kind = &video_;
        break;
      case AVMEDIA_TYPE_AUDIO:
        kind = &audio_;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        kind = &subtitle_;
        break;
      default:
        break;
    }
    if (!kind) continue;
    ++kind->Count;
    if (kind->First == -1) kind->First = i;
  }
}

void TAVProbe::Close() {
  context_.reset();
  format_name_.clear();
  stream_count_ = program_count_ = -1;
  audio_ = video_ = subtitle_ = KindCount{};
}

void TAVProbe::GetFileInfo(FileInfo& info) const {
  GetFileInfo(context_.get(), info);
}

void TAVProbe::GetFileInfo(const AVFormatContext* ctx, FileInfo& info) {
  info = FileInfo{};
  if (!ctx) {
    av_log(nullptr, AV_LOG_INFO, "file not loaded.\n");
    return;
  }
  const AVDictionary* md = ctx->metadata;
  info.StartTime = ctx->start_time;
  info.Duration = ctx->duration;
  info.BitRate = ClampToInt(ctx->bit_rate);
  info.Timestamp = 0;
  if (const AVDictionaryEntry* e = av_dict_get(md, "creation_time", nullptr, 0)) {
    int64_t us = 0;
    if (av_parse_time(&us, e->value, 0) == 0) info.Timestamp = us;
  }
  info.Title = Tag(md, "title", kTagChars);
  info.Author = Tag(md, "author", kTagChars);
  if (info.Author.empty()) info.Author = Tag(md, "artist", kTagChars);
  info.Copyright = Tag(md, "copyright", kTagChars);
  info.Comment = Tag(md, "comment", kTagChars);
  info.Album = Tag(md, "album", kTagChars);
  info.Year = LeadingNumberTag(md, "date");
  if (info.Year == 0) info.Year = LeadingNumberTag(md, "year");
  info.Track = LeadingNumberTag(md, "track");
  info.Genre = Tag(md, "genre", kGenreChars);
}

void TAVProbe::GetVideoStreamInfo(int index, VideoStreamInfo& info) const {
  GetVideoStreamInfo(context_.get(), index, info);
}

int TAVProbe::VideoStreamCountOf(const AVFormatContext* ctx, int* first) {
  int count = 0;
  if (first) *first = -1;
  for (unsigned i = 0; ctx && i < ctx->nb_streams; ++i) {
    if (!IsDescribedVideo(ctx->streams[i])) continue;
    if (count++ == 0 && first) *first = static_cast<int>(i);
  }
  return count;
}

void TAVProbe::GetVideoStreamInfo(const AVFormatContext* ctx, int index, VideoStreamInfo& info) {
  info = VideoStreamInfo{};
  if (!ctx) {
    av_log(nullptr, AV_LOG_INFO, "file not loaded.\n");
    return;
  }
  if (index < 0) {
    VideoStreamCountOf(ctx, &index);
    if (index == -1) {
      av_log(nullptr, AV_LOG_ERROR, "no video stream.\n");
      return;
    }
  }
  if (index >= static_cast<int>(ctx->nb_streams)) {
    av_log(nullptr, AV_LOG_ERROR, "stream index #%d is invalid.\n", index);
    return;
  }
  const AVStream* st = ctx->streams[index];
  const AVCodecParameters* par = st->codecpar;
  if (par->codec_type != AVMEDIA_TYPE_VIDEO) {
    av_log(nullptr, AV_LOG_ERROR, "stream #%d is not video stream.\n", index);
    return;
  }

  info.Language = Tag(st->metadata, "language", 3);
  info.CodecName = avcodec_get_name(par->codec_id);
  if (info.CodecName.size() > kCodecNameChars) info.CodecName.resize(kCodecNameChars);
  info.StartTime = st->start_time;
  if (st->start_time != AV_NOPTS_VALUE)
    info.StartTimeUs = av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q);
  info.Duration = st->duration;
  if (st->duration != AV_NOPTS_VALUE)
    info.DurationUs = av_rescale_q(st->duration, st->time_base, AV_TIME_BASE_Q);
  info.BitRate = ClampToInt(par->bit_rate);
  info.Height = par->height;
  info.Width = par->width;
  // An unknown sample aspect ratio means square pixels; without one the ratio would be 0.
  AVRational sar = av_guess_sample_aspect_ratio(const_cast<AVFormatContext*>(ctx),
                                                const_cast<AVStream*>(st), nullptr);
  if (sar.num <= 0 || sar.den <= 0) sar = AVRational{1, 1};
  if (par->height > 0)
    info.AspectRatio = static_cast<float>(par->width * av_q2d(sar) / par->height);
  if (SwapsAxes(OrientationOf(st)) && info.AspectRatio > 0) {
    // Pictures stored turned a quarter are shown (and converted) upright.
    std::swap(info.Width, info.Height);
    info.AspectRatio = 1.0f / info.AspectRatio;
  }
  info.PixelFormat = par->format;
  info.FrameRateNum = st->r_frame_rate.num;
  info.FrameRateDen = st->r_frame_rate.den;
}
