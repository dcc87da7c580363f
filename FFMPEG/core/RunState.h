// The state of one job's run, in two parts:
// - TRunState: the flags the job component reads and sets from its own thread while the job
//   runs (atomics), the pause wait, and how the run ended.
// - TRunStats: counters, statistics and working objects that the transcoder writes during the
//   run; the only engine part besides the file set that a run changes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "AVPtr.h"
#include "EngineTypes.h"
#include "OutputCheck.h"

class TRunState {
 public:
  // Clears the flags, the pause request and the messages.
  void Reset();

  // Sets AbortRequested and wakes a paused job so that it can see it.
  void RequestAbort();
  // Pauses (true) or resumes (false) the job at its next WaitWhilePaused.
  void RequestPause(bool paused);
  bool PauseRequested() const { return Paused.load(); }
  // Returns at once unless paused; otherwise blocks until resumed or aborted.
  void WaitWhilePaused();
  // The same, and also returns once GIVE_UP is set; whoever sets it calls WakePaused.
  void WaitWhilePaused(const std::atomic<bool>& give_up);
  // Wakes every WaitWhilePaused so that it checks its conditions again.
  void WakePaused();

  std::atomic<bool> Running{false};
  std::atomic<bool> AbortRequested{false};
  std::atomic<bool> Finished{false};
  std::atomic<bool> Terminated{false};
  std::atomic<bool> ExceptionRaised{false};
  std::string ErrorMessage;  // message of the exception that ended the job
  // A finished run's note for the user, empty when there is none: for example that the source
  // ended well before its known duration ("the source ended at 3.1 s of 10 s"). Written by the
  // job's thread before its terminate notice; read by the terminate handler.
  std::string RunWarning;
  // What the output check found of a finished run ("Checked: 2 streams, 60.0 s, PSNR 38.4
  // dB"); empty when the run was not checked. Written and read as RunWarning is.
  std::string CheckDetails;

 private:
  // Pause flag; PauseMutex guards the wait on PauseWake (the flag itself is atomic).
  std::atomic<bool> Paused{false};
  std::mutex PauseMutex;
  std::condition_variable PauseWake;
};

struct TRunStats {
  // Frees the working objects (statistics file, hook pictures and converters); the counters
  // stay readable after the job's files were freed.
  void ReleaseObjects();

  int64_t VideoBytes = 0, AudioBytes = 0, ExtraBytes = 0;  // encoded bytes and global headers
  int FramesDuplicated = 0, FramesDropped = 0;             // by frame-rate sync
  int64_t TimerStart = 0;  // wall clock (microseconds) when the main loop started
  // Scaler flags of the run: SWS_BICUBIC unless the generic option "sws_flags" says otherwise.
  int SwsFlags = SWS_BICUBIC;
  FilePtr VStatsFile;  // "vstats" output, opened on the first coded picture

  // Frame hooks: a hook runs on decoded pictures (set when "vhook" loads one; the run turns it
  // off when a hook or the before-hook callback asks to stop).
  bool UsingFrameHook = false;
  int HookFrameCounter = 0;  // pictures pre-processed so far
  THookAction HookAction = haContinue;
  int HookTimeRangeIndex = 0;
  std::unique_ptr<THookBitmap> HookBitmap;
  std::vector<uint8_t> RgbBuffer;  // RGB picture for the custom hook
  SwsPtr ToRgbContext, FromRgbContext;

  // What a finished run's outputs should hold, one entry per output file of our own, for the
  // output check ("check_output"); filled at the run's end.
  std::vector<TOutputExpectation> CheckPlans;
};
