#include "PlaybackQueues.h"

#include <algorithm>
#include <cstring>

// --- TPacketQueues ---

bool TPacketQueues::Full() const {
  if (bytes_ >= kMaxBytes) return true;
  bool any_used = false;
  for (const TQueue& q : queues_) {
    if (!q.used) continue;
    any_used = true;
    if (q.packets.size() < kEnoughPackets) return false;
  }
  return any_used;
}

bool TPacketQueues::WaitForRoom(const std::atomic<bool>& abort) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return abort.load() || !Full(); });
  return !abort.load();
}

void TPacketQueues::Push(TStream stream, PacketPtr packet) {
  {
    std::lock_guard lock(mutex_);
    if (packet) bytes_ += static_cast<size_t>(packet->size);
    queues_[stream].packets.push_back(std::move(packet));
  }
  changed_.notify_all();
}

bool TPacketQueues::Pop(TStream stream, PacketPtr& packet, const std::atomic<bool>& abort) {
  {
    std::unique_lock lock(mutex_);
    std::deque<PacketPtr>& q = queues_[stream].packets;
    changed_.wait(lock, [&] { return abort.load() || !q.empty(); });
    if (abort.load()) return false;
    packet = std::move(q.front());
    q.pop_front();
    if (packet) bytes_ -= static_cast<size_t>(packet->size);
  }
  changed_.notify_all();
  return true;
}

void TPacketQueues::Use(TStream stream, bool used) {
  std::lock_guard lock(mutex_);
  queues_[stream].used = used;
}

void TPacketQueues::Clear() {
  {
    std::lock_guard lock(mutex_);
    for (TQueue& q : queues_) q.packets.clear();
    bytes_ = 0;
  }
  changed_.notify_all();
}

void TPacketQueues::WakeAll() {
  // Taking the lock orders the abort flag's store before any waiter's re-check.
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

// --- TPictureQueue ---

bool TPictureQueue::Push(TPicture&& picture, const std::atomic<bool>& abort) {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return abort.load() || pictures_.size() < capacity_; });
    if (abort.load()) return false;
    pictures_.push_back(std::move(picture));
  }
  changed_.notify_all();
  return true;
}

std::optional<int64_t> TPictureQueue::PeekPts(size_t index) const {
  std::lock_guard lock(mutex_);
  if (index >= pictures_.size()) return std::nullopt;
  return pictures_[index].pts_us;
}

bool TPictureQueue::Pop(TPicture& picture) {
  {
    std::lock_guard lock(mutex_);
    if (pictures_.empty()) return false;
    picture = std::move(pictures_.front());
    pictures_.pop_front();
  }
  changed_.notify_all();
  return true;
}

void TPictureQueue::Clear() {
  {
    std::lock_guard lock(mutex_);
    pictures_.clear();
  }
  changed_.notify_all();
}

void TPictureQueue::WakeAll() {
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

// --- TSampleBuffer ---

bool TSampleBuffer::Push(int64_t pts_us, std::vector<char>&& bytes,
                         const std::atomic<bool>& abort) {
  if (bytes.empty()) return true;
  {
    std::unique_lock lock(mutex_);
    // An empty buffer always takes the chunk, so a chunk larger than the bound cannot block.
    changed_.wait(lock, [&] { return abort.load() || bytes_ < max_bytes_; });
    if (abort.load()) return false;
    bytes_ += bytes.size();
    chunks_.push_back(TChunk{pts_us, std::move(bytes)});
  }
  changed_.notify_all();
  return true;
}

size_t TSampleBuffer::Read(char* out, size_t max, int64_t* end_pts_us) {
  size_t copied = 0;
  {
    std::lock_guard lock(mutex_);
    max -= max % static_cast<size_t>(bytes_per_frame_);
    while (copied < max && !chunks_.empty()) {
      TChunk& chunk = chunks_.front();
      const size_t n = std::min(max - copied, chunk.bytes.size() - chunk.offset);
      std::memcpy(out + copied, chunk.bytes.data() + chunk.offset, n);
      copied += n;
      chunk.offset += n;
      bytes_ -= n;
      *end_pts_us = chunk.pts_us + static_cast<int64_t>(chunk.offset) * 1000000 / bytes_per_second_;
      if (chunk.offset == chunk.bytes.size()) chunks_.pop_front();
    }
  }
  if (copied > 0) changed_.notify_all();
  return copied;
}

void TSampleBuffer::MarkEnd() {
  std::lock_guard lock(mutex_);
  ended_ = true;
}

bool TSampleBuffer::Drained() const {
  std::lock_guard lock(mutex_);
  return ended_ && chunks_.empty();
}

void TSampleBuffer::Clear() {
  {
    std::lock_guard lock(mutex_);
    chunks_.clear();
    bytes_ = 0;
    ended_ = false;
  }
  changed_.notify_all();
}

void TSampleBuffer::WakeAll() {
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}
