#include "PlaybackStreams.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

QImage ConvertPicture(SwsContext* ctx, const AVFrame* frame, QSize size, QImage::Format format) {
  const int pixel_bytes = format == QImage::Format_RGB888 ? 3 : 4;
  const qsizetype stride = static_cast<qsizetype>((size.width() + 15) & ~15) * pixel_bytes;
  // One spare row for the stores past the last row's end.
  auto* buffer = static_cast<uchar*>(std::malloc(stride * (size.height() + 1)));
  if (buffer == nullptr) return {};
  QImage image(
      buffer, size.width(), size.height(), stride, format, [](void* memory) { std::free(memory); },
      buffer);
  if (image.isNull()) {
    std::free(buffer);
    return {};
  }
  uint8_t* planes[4] = {buffer, nullptr, nullptr, nullptr};
  int strides[4] = {static_cast<int>(stride), 0, 0, 0};
  sws_scale(ctx, frame->data, frame->linesize, 0, frame->height, planes, strides);
  return image;
}

size_t TSoundReader::Read(char* out, size_t max, int64_t* end_pts_us) {
  size_t copied = 0;
  max -= max % static_cast<size_t>(bytes_per_frame_);
  while (copied < max) {
    if (offset_ == chunk_.bytes.size()) {
      if (!queue_.TryPop(chunk_)) break;
      offset_ = 0;
    }
    const size_t n = std::min(max - copied, chunk_.bytes.size() - offset_);
    std::memcpy(out + copied, chunk_.bytes.data() + offset_, n);
    copied += n;
    offset_ += n;
    *end_pts_us = chunk_.pts_us + static_cast<int64_t>(offset_) * 1000000 / bytes_per_second_;
  }
  return copied;
}

void TSoundReader::Forget() {
  chunk_ = TSoundChunk();
  offset_ = 0;
}
