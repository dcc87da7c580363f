#include "LogRouting.h"

#include <mutex>
#include <utility>

#include "Job.h"

namespace {

// Pending library text of one thread is handed out as a line once it grows past this size
// without a line feed, so a library that never ends its line cannot grow it without bound.
constexpr std::size_t kMaxPendingLogText = 64 * 1024;

// The job the calling thread runs, set for the length of its run (on a worker thread, or on
// the controlling thread in main-thread mode); library lines logged meanwhile are its lines.
thread_local TFFmpeg* t_current_job = nullptr;

// A leaf lock: nothing else is taken while it is held.
std::mutex g_log_buffers_mutex;
TLogList g_log_buffers;  // guarded by g_log_buffers_mutex

// Text the calling thread logged without ending its line, with its level; cleared.
std::pair<std::string, int> TakePendingText() {
  std::lock_guard<std::mutex> guard(g_log_buffers_mutex);
  TLogList::Node& node = g_log_buffers.Find(std::this_thread::get_id());
  return {std::move(node.Pending), node.Level};
}

}  // namespace

TLogList::Node& TLogList::Find(std::thread::id thread_id) {
  if (first_.ThreadID == std::thread::id() || first_.ThreadID == thread_id) {
    first_.ThreadID = thread_id;
    return first_;
  }
  for (Node& node : chain_) {
    if (node.ThreadID == thread_id) return node;
  }
  chain_.push_front(Node{thread_id, {}});
  return chain_.front();
}

void TLogList::Clear() {
  first_.ThreadID = std::thread::id();
  first_.Pending.clear();
  chain_.clear();
}

std::size_t TLogList::NodeCount() const {
  return (first_.ThreadID == std::thread::id() ? 0 : 1) + chain_.size();
}

void ClearLogBuffers() {
  std::lock_guard<std::mutex> guard(g_log_buffers_mutex);
  g_log_buffers.Clear();
}

std::vector<std::string> TakeLogLines(const char* text, int level) {
  std::vector<std::string> lines;
  std::lock_guard<std::mutex> guard(g_log_buffers_mutex);
  TLogList::Node& node = g_log_buffers.Find(std::this_thread::get_id());
  std::string joined = std::move(node.Pending);
  joined += text;
  std::size_t start = 0;
  for (std::size_t lf; (lf = joined.find('\n', start)) != std::string::npos; start = lf + 1) {
    lines.emplace_back(joined, start, lf - start);
  }
  node.Pending.assign(joined, start);
  node.Level = level;
  if (node.Pending.size() > kMaxPendingLogText) {
    lines.push_back(std::move(node.Pending));
    node.Pending.clear();
  }
  return lines;
}

TFFmpeg* CurrentJob() {
  return t_current_job;
}

CurrentJobScope::CurrentJobScope(TFFmpeg* job)
    : previous_(t_current_job), level_(job->Verbosity()) {
  TakePendingText();
  t_current_job = job;
}

CurrentJobScope::~CurrentJobScope() {
  const auto [rest, level] = TakePendingText();
  if (!rest.empty() && t_current_job->Owner)
    t_current_job->Owner->RouteLibraryLine(t_current_job, level, rest);
  t_current_job = previous_;
}
