// The bounded queues between the preview's threads. The demuxing thread fills one packet queue
// per decoded stream; the video thread turns packets into pictures for the picture queue, the
// audio thread into samples for the sample buffer. Each queue has a fixed bound, so memory stays
// flat however long the file is: a producer waits for room, and a waiting thread returns as
// soon as the session's abort flag is set and the queue is woken.
#pragma once

#include <QImage>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "AVPtr.h"

// The packets of the video and the audio stream, with one lock for both, since the demuxer
// waits on their joint fill level.
class TPacketQueues {
 public:
  enum TStream { kVideo = 0, kAudio = 1 };

  // Waits until the demuxer may read another packet: neither the byte bound is reached nor do
  // all used streams hold enough packets already. False when aborted.
  bool WaitForRoom(const std::atomic<bool>& abort);
  // Takes ownership of PACKET; a null packet marks the end of the stream.
  void Push(TStream stream, PacketPtr packet);
  // Waits for the next packet of STREAM. False when aborted; otherwise PACKET holds the packet,
  // or null at the end of the stream.
  bool Pop(TStream stream, PacketPtr& packet, const std::atomic<bool>& abort);
  void Use(TStream stream, bool used);
  void Clear();
  void WakeAll();

 private:
  static constexpr size_t kMaxBytes = 16 * 1024 * 1024;
  static constexpr size_t kEnoughPackets = 40;

  struct TQueue {
    std::deque<PacketPtr> packets;  // null entry = end of stream
    bool used = false;
  };
  bool Full() const;

  std::mutex mutex_;  // guards queues_ and bytes_
  std::condition_variable changed_;
  TQueue queues_[2];
  size_t bytes_ = 0;
};

// A picture ready to be shown.
struct TPicture {
  int64_t pts_us = 0;  // presentation time from the start of the file
  QImage image;        // RGB, scaled for the surface with the display aspect ratio
  FramePtr frame;      // the decoded picture at the video's own size (a counted reference)
};

class TPictureQueue {
 public:
  explicit TPictureQueue(size_t capacity) : capacity_(capacity) {}
  // Waits for room, then takes the picture. False when aborted (the picture is dropped).
  bool Push(TPicture&& picture, const std::atomic<bool>& abort);
  // Presentation time of the picture INDEX places from the front, if there is one.
  std::optional<int64_t> PeekPts(size_t index) const;
  bool Pop(TPicture& picture);
  void Clear();
  void WakeAll();

 private:
  const size_t capacity_;
  mutable std::mutex mutex_;  // guards pictures_
  std::condition_variable changed_;
  std::deque<TPicture> pictures_;
};

// Interleaved signed 16-bit samples in the sound device's format, with the time of each chunk.
class TSampleBuffer {
 public:
  TSampleBuffer(int bytes_per_second, int bytes_per_frame, size_t max_bytes)
      : bytes_per_second_(bytes_per_second),
        bytes_per_frame_(bytes_per_frame),
        max_bytes_(max_bytes) {}
  bool Push(int64_t pts_us, std::vector<char>&& bytes, const std::atomic<bool>& abort);
  // Copies up to MAX bytes (whole sample frames) without waiting. Returns the count copied and
  // sets END_PTS_US to the time just after the last byte copied.
  size_t Read(char* out, size_t max, int64_t* end_pts_us);
  void MarkEnd();
  // True when the end was marked and every sample has been read.
  bool Drained() const;
  void Clear();
  void WakeAll();
  int BytesPerSecond() const { return bytes_per_second_; }

 private:
  struct TChunk {
    int64_t pts_us;
    std::vector<char> bytes;
    size_t offset = 0;  // bytes already read
  };
  const int bytes_per_second_;
  const int bytes_per_frame_;
  const size_t max_bytes_;
  mutable std::mutex mutex_;  // guards chunks_, bytes_, ended_
  std::condition_variable changed_;
  std::deque<TChunk> chunks_;
  size_t bytes_ = 0;
  bool ended_ = false;
};
