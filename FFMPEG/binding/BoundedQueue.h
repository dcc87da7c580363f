// The one queue between two threads, used by a conversion run's stages and by the preview's
// threads alike. Push waits while the queue is full: it holds Capacity items (0: no limit), or
// the sizes given with its items add up to Budget bytes or more (0: no limit). A queue that
// holds nothing takes any item, however large, so one item bigger than the budget still passes.
// Pop waits while it is empty. Close ends the stream, and either end may close it: Pop hands
// out what is left and then reports the end, Push refuses from then on (so a consumer that
// needs nothing more tells its producer by closing). Abort ends it at once: every waiting Push
// and Pop returns false and nothing is handed out any more, so a thread that fails can wake all
// the others whichever side of a queue they wait on. Reset empties the queue and opens it again
// (a player that seeks starts its streams afresh once its threads have stopped).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

template <typename T>
class BoundedQueue {
 public:
  explicit BoundedQueue(std::size_t capacity = 0, std::size_t budget = 0)
      : capacity_(capacity), budget_(budget) {}
  BoundedQueue(const BoundedQueue&) = delete;
  BoundedQueue& operator=(const BoundedQueue&) = delete;

  // False when the queue was aborted or closed (ITEM is then dropped). BYTES is the item's size
  // for the budget.
  bool Push(T item, std::size_t bytes = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    not_full_.wait(lock, [this] { return aborted_ || closed_ || HasRoom(); });
    if (aborted_ || closed_) return false;
    items_.push_back({std::move(item), bytes});
    bytes_ += bytes;
    not_empty_.notify_one();
    return true;
  }

  // False at the end of the stream (closed and empty) or when aborted.
  bool Pop(T& item) {
    std::unique_lock<std::mutex> lock(mutex_);
    not_empty_.wait(lock, [this] { return aborted_ || closed_ || !items_.empty(); });
    return TakeFront(item);
  }

  // Pop without waiting: false when nothing is there (or the queue was aborted).
  bool TryPop(T& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    return TakeFront(item);
  }

  // Calls VISIT(item) on the item INDEX places from the front, under the queue's lock; false
  // when there is no such item.
  template <typename Visit>
  bool Peek(std::size_t index, Visit visit) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (aborted_ || index >= items_.size()) return false;
    visit(items_[index].value);
    return true;
  }

  // Waits until the queue holds fewer than ITEMS items and less than BYTES bytes (0: either
  // not counted). False when the queue was closed or aborted meanwhile.
  bool WaitBelow(std::size_t items, std::size_t bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    not_full_.wait(lock, [&] {
      return aborted_ || closed_ ||
             ((items == 0 || items_.size() < items) && (bytes == 0 || bytes_ < bytes));
    });
    return !aborted_ && !closed_;
  }

  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    not_empty_.notify_all();
    not_full_.notify_all();
  }

  void Abort() {
    std::lock_guard<std::mutex> lock(mutex_);
    aborted_ = true;
    items_.clear();
    bytes_ = 0;
    not_empty_.notify_all();
    not_full_.notify_all();
  }

  // Empties the queue and opens it again. Only when no thread waits on it.
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
    bytes_ = 0;
    closed_ = false;
    aborted_ = false;
  }

  // True once either end closed the queue or it was aborted.
  bool Closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_ || aborted_;
  }
  // True when the stream has ended: closed and every item handed out, or aborted.
  bool Ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return aborted_ || (closed_ && items_.empty());
  }
  std::size_t Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
  }
  std::size_t Bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

 private:
  struct Entry {
    T value;
    std::size_t bytes;
  };

  bool HasRoom() const {
    if (items_.empty()) return true;
    if (capacity_ != 0 && items_.size() >= capacity_) return false;
    return budget_ == 0 || bytes_ < budget_;
  }

  // Under the lock.
  bool TakeFront(T& item) {
    if (aborted_ || items_.empty()) return false;
    item = std::move(items_.front().value);
    bytes_ -= items_.front().bytes;
    items_.pop_front();
    not_full_.notify_all();
    return true;
  }

  const std::size_t capacity_;
  const std::size_t budget_;
  mutable std::mutex mutex_;
  std::condition_variable not_empty_, not_full_;
  std::deque<Entry> items_;
  std::size_t bytes_ = 0;
  bool closed_ = false;
  bool aborted_ = false;
};
