#include "SourceTags.h"

#include <string_view>

#include "DeviceLimits.h"

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
  const std::string_view name = format->name;
  return name == "mp3" || name == "flac" || IsMp4Family(format);
}
