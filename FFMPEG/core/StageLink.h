// The connection between two stages of a run: one BoundedQueue, owned by the run's scheduler.
// The producer pushes items and ends the stream; the consumer pops them, and may close its end
// when it needs nothing more, which the producer learns when a push is refused (or from
// Closed()). When the stages run on threads, the consumer's thread pops. When they all run on
// one thread, the scheduler connects the link to its consumer's step instead: a pushed item is
// taken out again and handled at once (depth first), and the end of the stream runs the
// consumer's finish, so that the same stage code runs both ways.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

#include "BoundedQueue.h"

template <typename T>
class StageLink {
 public:
  using Step = std::function<bool(T& item)>;  // false: the consumer needs nothing more
  using Finish = std::function<void()>;

  StageLink(std::size_t capacity, std::size_t budget) : queue_(capacity, budget) {}
  StageLink(const StageLink&) = delete;
  StageLink& operator=(const StageLink&) = delete;

  // One-thread mode: every pushed item goes to STEP at once, and End calls FINISH.
  void ConnectStep(Step step, Finish finish) {
    step_ = std::move(step);
    finish_ = std::move(finish);
  }

  // Producer: false when the consumer has closed its end (or the run was aborted); ITEM is
  // then dropped. BYTES is the item's size for the queue's budget.
  bool Push(T item, std::size_t bytes = 0) {
    if (!queue_.Push(std::move(item), bytes)) return false;
    if (step_) {
      T next;
      if (queue_.TryPop(next) && !step_(next)) queue_.Close();
    }
    return true;
  }

  // Producer: nothing follows. In one-thread mode the consumer finishes now (once).
  void End() {
    queue_.Close();
    if (finish_ && !finished_) {
      finished_ = true;
      finish_();
    }
  }

  // Consumer on its own thread: the next item; false at the end of the stream or on abort.
  bool Pop(T& item) { return queue_.Pop(item); }
  // Consumer: nothing more is taken; what waits is still handed out.
  void CloseInput() { queue_.Close(); }

  // The run failed or was stopped: every waiting Push and Pop returns.
  void Abort() { queue_.Abort(); }
  // True once either end closed the link or it was aborted.
  bool Closed() const { return queue_.Closed(); }

 private:
  BoundedQueue<T> queue_;
  Step step_;
  Finish finish_;
  bool finished_ = false;
};
