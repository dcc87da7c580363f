#include "RunState.h"

void TRunState::Reset() {
  Running = false;
  AbortRequested = false;
  Finished = false;
  Terminated = false;
  ExceptionRaised = false;
  ErrorMessage.clear();
  RunWarning.clear();
  CheckDetails.clear();
  Paused = false;
}

void TRunState::RequestAbort() {
  AbortRequested = true;
  std::lock_guard<std::mutex> lock(PauseMutex);
  PauseWake.notify_all();
}

void TRunState::RequestPause(bool paused) {
  std::lock_guard<std::mutex> lock(PauseMutex);
  Paused = paused;
  PauseWake.notify_all();
}

void TRunState::WaitWhilePaused() {
  if (!Paused) return;
  std::unique_lock<std::mutex> lock(PauseMutex);
  PauseWake.wait(lock, [this] { return !Paused || AbortRequested; });
}

void TRunState::WaitWhilePaused(const std::atomic<bool>& give_up) {
  if (!Paused) return;
  std::unique_lock<std::mutex> lock(PauseMutex);
  PauseWake.wait(lock, [this, &give_up] { return !Paused || AbortRequested || give_up; });
}

void TRunState::WakePaused() {
  std::lock_guard<std::mutex> lock(PauseMutex);
  PauseWake.notify_all();
}

void TRunStats::ReleaseObjects() {
  VStatsFile.reset();
  HookBitmap.reset();
  std::vector<uint8_t>().swap(RgbBuffer);
  ToRgbContext.reset();
  FromRgbContext.reset();
}
