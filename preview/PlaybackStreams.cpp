#include "PlaybackStreams.h"

#include <algorithm>
#include <cstring>
#include <utility>

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
