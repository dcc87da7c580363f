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

namespace {

const AVStream* AttachedPicture(const AVFormatContext* source, bool usable) {
  if (!source) return nullptr;
  for (unsigned i = 0; i < source->nb_streams; ++i) {
    const AVStream* st = source->streams[i];
    const AVCodecID id = st->codecpar->codec_id;
    if (!IsAttachedPicture(st) || (id != AV_CODEC_ID_MJPEG && id != AV_CODEC_ID_PNG)) continue;
    // A muxer refuses a picture stream without a size (an empty or unreadable picture), and
    // with it the whole file.
    const bool readable =
        st->attached_pic.size > 0 && st->codecpar->width > 0 && st->codecpar->height > 0;
    if (readable == usable) return st;
  }
  return nullptr;
}

}  // namespace

const AVStream* CoverPictureStream(const AVFormatContext* source) {
  return AttachedPicture(source, true);
}

bool HasUnusableCoverPicture(const AVFormatContext* source) {
  return AttachedPicture(source, false) != nullptr && AttachedPicture(source, true) == nullptr;
}

bool StoresCoverPicture(const AVOutputFormat* format) {
  if (!format || !format->name) return false;
  const std::string_view name = format->name;
  return name == "mp3" || name == "flac" || IsMp4Family(format);
}
