// The presentation clock of the preview: a time in microseconds from the start of the file that
// advances with the system clock while running. When the file has sound and a sound device is
// present, the player keeps it on the sound's time (the audio clock is the master); otherwise it
// runs on its own. Read by the UI thread and by the video decoding thread (to drop late pictures).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

class TPlaybackClock {
 public:
  int64_t NowUs() const {
    std::lock_guard lock(mutex_);
    return running_ ? anchor_us_ + ElapsedUs() : anchor_us_;
  }
  bool Running() const {
    std::lock_guard lock(mutex_);
    return running_;
  }
  void Set(int64_t time_us) {
    std::lock_guard lock(mutex_);
    anchor_us_ = time_us;
    anchor_ = std::chrono::steady_clock::now();
  }
  void Pause() {
    std::lock_guard lock(mutex_);
    if (running_) anchor_us_ += ElapsedUs();
    running_ = false;
  }
  void Resume() {
    std::lock_guard lock(mutex_);
    if (running_) return;
    anchor_ = std::chrono::steady_clock::now();
    running_ = true;
  }

 private:
  int64_t ElapsedUs() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 anchor_)
        .count();
  }

  mutable std::mutex mutex_;  // guards every field below
  int64_t anchor_us_ = 0;
  std::chrono::steady_clock::time_point anchor_ = std::chrono::steady_clock::now();
  bool running_ = false;
};
