// Opening a file can take long or block (a slow disk, a network mount, a named pipe): the UI
// thread never does it. WaitOffThread runs the work on a thread of its own and keeps the
// calling thread's events flowing meanwhile (painting, accessibility requests, Stop, the close
// box), then hands back the result as a plain call would.
#pragma once

#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// Runs WORK on a new thread and waits for its result in a local event loop. Returns nothing
// when GIVE_UP() turns true first (checked every 10 ms): the thread then ends on its own and
// its result is dropped there, so WORK must own (or share) everything it touches. Commands that
// arrive while waiting run as usual: the caller guards against starting the same work twice.
template <typename Result>
std::optional<Result> WaitOffThread(std::function<Result()> work,
                                    const std::function<bool()>& give_up = {}) {
  struct Shared {
    std::mutex mutex;  // guards result and done
    std::optional<Result> result;
    bool done = false;
  };
  auto shared = std::make_shared<Shared>();
  std::thread([shared, work = std::move(work)] {
    std::optional<Result> result(work());
    const std::lock_guard<std::mutex> guard(shared->mutex);
    shared->result = std::move(result);
    shared->done = true;
  }).detach();

  const auto done = [&shared] {
    const std::lock_guard<std::mutex> guard(shared->mutex);
    return shared->done;
  };
  if (!done()) {
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (done() || (give_up && give_up())) loop.quit();
    });
    poll.start();
    loop.exec();
  }
  const std::lock_guard<std::mutex> guard(shared->mutex);
  if (!shared->done) return std::nullopt;
  return std::move(shared->result);
}
