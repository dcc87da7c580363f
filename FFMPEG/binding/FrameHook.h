// Frame-hook modules: shared objects loaded with dlopen (option "vhook") whose "Process" entry
// point runs on every decoded video picture of a job. See include/quorvin_framehook.h for the
// module side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorvin_framehook.h"

// One job's chain of configured modules, run in the order they were added. Releasing the chain
// (explicitly or by destruction) calls each module's "Release" once.
class TFrameHookChain {
 public:
  TFrameHookChain() = default;
  TFrameHookChain(const TFrameHookChain&) = delete;
  TFrameHookChain& operator=(const TFrameHookChain&) = delete;
  ~TFrameHookChain();

  bool Empty() const { return nodes_.empty(); }
  std::size_t Size() const { return nodes_.size(); }

 private:
  struct Node {
    QuorvinHookConfigureFn configure = nullptr;
    QuorvinHookProcessFn process = nullptr;
    QuorvinHookReleaseFn release = nullptr;
    void* context = nullptr;
  };
  std::vector<Node> nodes_;

  friend int AddFrameHook(TFrameHookChain&, const std::vector<std::string>&);
  friend void RunFrameHooks(TFrameHookChain&, QuorvinHookPicture*, int, int, int, int64_t);
  friend void ReleaseFrameHooks(TFrameHookChain&);
};

// Loads the module named by words[0] (once per file name per process), configures it with all
// the words and appends it to the chain. Returns 0, or -2 (no words, or a missing entry point),
// -1 (the module could not be loaded), -12 (out of memory), -22 (Configure refused). Failures
// are logged through av_log.
int AddFrameHook(TFrameHookChain& chain, const std::vector<std::string>& words);

// Runs "Process" of each module of the chain on the picture, in order.
void RunFrameHooks(TFrameHookChain& chain, QuorvinHookPicture* picture, int pix_fmt, int width,
                   int height, int64_t pts_us);

// Calls "Release" of each module that has one and empties the chain. Safe to call repeatedly.
void ReleaseFrameHooks(TFrameHookChain& chain);
