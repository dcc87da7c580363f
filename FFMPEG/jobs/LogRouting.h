// Routing of the codec libraries' log text to jobs: the pieces each thread logs are joined into
// lines, and a thread that runs a job names that job (the current job) for the length of the
// run, so its lines can be given to the job's component.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "Binding.h"

class TFFmpeg;

// Pending (not yet LF-terminated) library log text per thread. The first node lives inline;
// further threads get chained nodes.
class TLogList {
 public:
  struct Node {
    std::thread::id ThreadID;  // default id: the inline node is free
    std::string Pending;
    int Level = 0;  // engine level of the piece the pending text ends with
  };
  // The node of `thread_id`: the inline node when it is free or already claimed by that
  // thread, else the chained node of that thread, created when missing.
  Node& Find(std::thread::id thread_id);
  void Clear();
  std::size_t NodeCount() const;

 private:
  Node first_;
  std::list<Node> chain_;
};

// Forgets every thread's pending text.
void ClearLogBuffers();

// Adds TEXT, logged by the calling thread at engine level LEVEL, to the thread's pending text
// and returns the complete lines (without their line feeds); the rest stays pending.
std::vector<std::string> TakeLogLines(const char* text, int level);

// The job the calling thread runs, or nullptr.
TFFmpeg* CurrentJob();

// Makes JOB the calling thread's current job until the end of the scope, and lets through the
// library lines of the thread that the job's verbosity asks for. Text the thread left without a
// line end before belongs to nobody and is dropped; text the job leaves so is delivered as its
// last line.
class CurrentJobScope {
 public:
  explicit CurrentJobScope(TFFmpeg* job);
  ~CurrentJobScope();
  CurrentJobScope(const CurrentJobScope&) = delete;
  CurrentJobScope& operator=(const CurrentJobScope&) = delete;

 private:
  TFFmpeg* previous_;
  TThreadLogLevel level_;
};
