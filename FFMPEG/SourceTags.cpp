#include "SourceTags.h"

#include <string_view>

#include "DeviceLimits.h"
#include "FFmpeg.h"

namespace {

constexpr const char* kSourceTags[] = {"title", "artist", "album",  "date",
                                       "track", "genre",  "comment"};

}  // namespace

void CopySourceTags(const AVFormatContext* source, AVFormatContext* output,
                    bool with_creation_time) {
  if (!source || !output) return;
  auto copy = [&](const char* key) {
    const AVDictionaryEntry* tag = av_dict_get(source->metadata, key, nullptr, 0);
    if (tag && tag->value[0] != '\0')
      av_dict_set(&output->metadata, key, tag->value, AV_DICT_DONT_OVERWRITE);
  };
  for (const char* key : kSourceTags) copy(key);
  if (with_creation_time) copy("creation_time");
}

bool IsAttachedPicture(const AVStream* stream) {
  return stream && (stream->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

const AVStream* CoverPictureStream(const AVFormatContext* source) {
  if (!source) return nullptr;
  for (unsigned i = 0; i < source->nb_streams; ++i) {
    const AVStream* st = source->streams[i];
    const AVCodecID id = st->codecpar->codec_id;
    if (IsAttachedPicture(st) && (id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_PNG)) return st;
  }
  return nullptr;
}

bool StoresCoverPicture(const AVOutputFormat* format) {
  if (!format || !format->name) return false;
  return std::string_view(format->name) == "mp3" || IsMp4Family(format);
}

void TCustomFFmpeg::NewCoverStream(AVFormatContext* oc) {
  const int file_index = Files.OutputFileCount;
  if (file_index >= kMaxFiles || oc->nb_streams >= static_cast<unsigned>(kMaxStreamsPerFile))
    throw FFMpegException("Could not alloc stream");
  AVStream* st = avformat_new_stream(oc, nullptr);
  if (!st) throw FFMpegException("Could not alloc stream");
  CodecContextPtr ctx(avcodec_alloc_context3(nullptr));
  if (!ctx) throw FFMpegException("Could not alloc stream");
  ctx->codec_type = AVMEDIA_TYPE_VIDEO;
  // Marks the stream as the cover, so the run maps it to the source's cover picture.
  st->disposition = AV_DISPOSITION_ATTACHED_PIC;
  st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  Files.OutputStreamCopy[file_index][st->index] = true;
  Files.OutputCodecs[file_index][st->index] = std::move(ctx);
}
