// What flows between the preview's threads, each connection a BoundedQueue: the demuxing thread
// fills one packet queue per decoded stream, the video thread turns packets into pictures for the
// picture queue, the audio thread into sound chunks for the sound queue. Every queue has a bound
// (pictures by count, sound by bytes; packets by the demuxer's joint rule, see TMediaSession), so
// memory stays flat however long the file is. A closed queue marks the end of its stream, an
// aborted one wakes every thread waiting on it at once, and a seek resets them all.
#pragma once

#include <QImage>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "AVPtr.h"
#include "BoundedQueue.h"

using TPacketQueue = BoundedQueue<PacketPtr>;

// A picture ready to be shown.
struct TPicture {
  int64_t pts_us = 0;  // presentation time from the start of the file
  QImage image;        // RGB, scaled for the surface with the display aspect ratio
  FramePtr frame;      // the decoded picture, upright, at the video's own size (a reference)
};
using TPictureQueue = BoundedQueue<TPicture>;

// FRAME converted by CTX (made for FRAME's size and format, SIZE and FORMAT, a 24- or 32-bit
// RGB format) into a new picture of SIZE; a null image when memory runs out. The rows have room
// to spare: the library's same-size converter works in groups of 16 pixels and otherwise leaves
// the last columns unwritten or stores past the end of the picture.
QImage ConvertPicture(SwsContext* ctx, const AVFrame* frame, QSize size, QImage::Format format);

// Interleaved signed 16-bit samples in the sound device's format, starting at PTS_US.
struct TSoundChunk {
  int64_t pts_us = 0;
  std::vector<char> bytes;
};
using TSoundQueue = BoundedQueue<TSoundChunk>;

// The sound device's side of the sound queue: reads any number of bytes across chunks and keeps
// the chunk it has read only in part. It belongs to the thread the device pulls on.
class TSoundReader {
 public:
  TSoundReader(TSoundQueue& queue, int bytes_per_second, int bytes_per_frame)
      : queue_(queue), bytes_per_second_(bytes_per_second), bytes_per_frame_(bytes_per_frame) {}

  // Copies up to MAX bytes (whole sample frames) without waiting. Returns the count copied and
  // sets END_PTS_US to the time just after the last byte copied.
  size_t Read(char* out, size_t max, int64_t* end_pts_us);
  // True when the audio thread closed the queue and every sample has been read.
  bool Drained() const { return offset_ == chunk_.bytes.size() && queue_.Ended(); }
  // Drops the chunk read in part (the queue was reset for a seek).
  void Forget();

 private:
  TSoundQueue& queue_;
  const int bytes_per_second_;
  const int bytes_per_frame_;
  TSoundChunk chunk_;  // the chunk being read
  size_t offset_ = 0;  // bytes of chunk_ already read
};
