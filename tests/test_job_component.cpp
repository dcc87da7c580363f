// The job component: job list, start chaining, stop, events and the routing of the libraries'
// log lines. Jobs convert tiny files made with the ffmpeg tool.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Job.h"
#include "JobComponent.h"
#include "LogRouting.h"
#include "MediaUtil.h"

namespace {

using namespace std::chrono_literals;

struct Terminate {
  int index;
  bool finished;
  bool exception;
  std::string message;
  std::thread::id thread;
};

// Checks that T reports job INDEX as failed by an exception with MESSAGE.
void ExpectFailedWith(const Terminate& t, int index, const std::string& message) {
  EXPECT_EQ(t.index, index);
  EXPECT_FALSE(t.finished);
  EXPECT_TRUE(t.exception);
  EXPECT_EQ(t.message, message);
}

// Records the component's events; every field is guarded by `mutex`.
class Recorder {
 public:
  explicit Recorder(VIDevozORE& component) {
    component.OnTerminate = [this](int index, bool finished, bool exception,
                                   const std::string& message) {
      std::lock_guard<std::mutex> guard(mutex);
      terminates.push_back({index, finished, exception, message, std::this_thread::get_id()});
      if (on_terminate) on_terminate(index);
      cv.notify_all();
    };
    component.OnProgress = [this](int index, int, int, int, float, float, int64_t, int) {
      std::function<void(int)> hook;
      {
        std::lock_guard<std::mutex> guard(mutex);
        progress_indexes.push_back(index);
        hook = on_progress;
      }
      if (hook) hook(index);
    };
    component.OnLog = [this](int index, TLogLevel level, const std::string& msg) {
      std::lock_guard<std::mutex> guard(mutex);
      logs.push_back({index, level, msg});
    };
  }

  // Waits for the run's final notice (AIndex -1).
  bool WaitForFinal(std::chrono::milliseconds timeout = 60s) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, timeout, [this] {
      for (const auto& t : terminates) {
        if (t.index == -1) return true;
      }
      return false;
    });
  }

  std::vector<Terminate> Terminates() {
    std::lock_guard<std::mutex> guard(mutex);
    return terminates;
  }

  struct LogLine {
    int index;
    TLogLevel level;
    std::string msg;
  };

  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Terminate> terminates;
  std::vector<int> progress_indexes;
  std::vector<LogLine> logs;
  std::function<void(int)> on_terminate;  // called under `mutex`
  std::function<void(int)> on_progress;   // called without `mutex`
};

class JobComponentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new media::TempDir;
    ASSERT_TRUE(
        media::MakeAudioVideo(dir_->File("short.avi"), {"-c:v", "mpeg4", "-c:a", "mp2"}, 1.0));
    // Long enough that a job is still running at its first progress report (a conversion of
    // 30 s of 160x120 pictures can end within the first 100 ms).
    ASSERT_TRUE(media::MakeAudioVideo(dir_->File("long.avi"), {"-c:v", "mpeg4", "-c:a", "mp2"},
                                      30.0, "480x360"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override { ASSERT_TRUE(component_.LoadLibraries()) << component_.LastError(); }

  // Adds a job converting `source` to an MPEG-4 AVI; returns its index.
  int AddJob(const std::string& source, const std::string& output_name) {
    const int index = component_.AddInputFile(dir_->File(source));
    EXPECT_GE(index, 0) << component_.LastError();
    if (index < 0) return index;
    TOutputOptions options;
    options.VideoCodec = "mpeg4";
    options.AudioCodec = "mp2";
    const std::string output = out_.File(output_name);
    EXPECT_TRUE(component_.SetOutputFile(index, output, &options)) << component_.LastError();
    return index;
  }

  static media::TempDir* dir_;
  media::TempDir out_;
  VIDevozORE component_;
};

media::TempDir* JobComponentTest::dir_ = nullptr;

}  // namespace

TEST(JobComponentProperties, DefaultsAndProgressIntervalFloor) {
  VIDevozORE component;
  EXPECT_EQ(VIDevozORE::Version(), "2.0b");
  EXPECT_EQ(component.LogLevel(), llInfo);
  EXPECT_EQ(component.ProgressInterval(), 500);
  EXPECT_EQ(component.ThreadPriority, tpNormal);
  EXPECT_EQ(component.CodecThreads, 1);
  const std::pair<int, int> intervals[] = {{50, 100}, {100, 100}, {101, 101}, {-5, 100}};
  for (const auto& [given, stored] : intervals) {
    component.SetProgressInterval(given);
    EXPECT_EQ(component.ProgressInterval(), stored) << given;
  }
}

TEST(JobComponentProperties, LogLevelMapping) {
  const std::pair<int, TLogLevel> levels[] = {{-2, llQuiet}, {-1, llQuiet}, {0, llError},
                                              {1, llInfo},   {2, llDebug},  {3, llAll},
                                              {4, llAll},    {40, llAll}};
  for (const auto& [level, mapped] : levels) EXPECT_EQ(MapLogLevel(level), mapped) << level;
}

TEST(JobComponentLogList, InlineNodeIsClaimedFirstAndChainedNodesFollow) {
  TLogList list;
  // Two ids of threads alive at the same time (ids of ended threads may be reused).
  const std::thread::id a = std::this_thread::get_id();
  std::thread::id b;
  std::thread([&b] { b = std::this_thread::get_id(); }).join();
  TLogList::Node& first = list.Find(a);
  first.Pending = "a";
  TLogList::Node& second = list.Find(b);
  second.Pending = "b";
  EXPECT_NE(&first, &second);
  EXPECT_EQ(&list.Find(a), &first);
  EXPECT_EQ(list.Find(b).Pending, "b");
  EXPECT_EQ(list.NodeCount(), 2u);
  list.Clear();
  EXPECT_EQ(list.NodeCount(), 0u);
  EXPECT_EQ(list.Find(b).Pending, "");  // the freed inline node is claimed again
}

// A wait for a job's thread lasts until the thread has ended, returns at once on the job's own
// thread (where it would never end), and a job whose last owner is its own thread is freed
// there without waiting for itself.
TEST(JobComponentThreads, WaitsEndWithTheThreadButNeverOnItsOwnThread) {
  TWorkerThreads threads;
  auto job = std::make_shared<TFFmpeg>();
  const std::weak_ptr<TFFmpeg> watched = job;
  std::promise<void> go;
  std::shared_future<void> released = go.get_future().share();
  std::atomic<bool> own_wait_result{true};
  std::atomic<long long> own_wait_ms{-1};
  job->OnTerminate = [released, raw = job.get(), &own_wait_result, &own_wait_ms] {
    released.wait();
    const auto start = std::chrono::steady_clock::now();
    own_wait_result = raw->WaitForThread(10000);
    own_wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  };
  job->TerminateOnThread(threads);
  EXPECT_FALSE(job->WaitForThread(50)) << "the thread has not ended yet";
  job.reset();  // the thread now holds the last reference
  go.set_value();
  threads.JoinAll();
  EXPECT_TRUE(watched.expired());
  EXPECT_FALSE(own_wait_result);
  EXPECT_GE(own_wait_ms, 0);
  EXPECT_LT(own_wait_ms, 5000);  // a wait for itself would last the full 10 s
}

TEST_F(JobComponentTest, AddInputFileFailureLeavesTheListUnchanged) {
  EXPECT_EQ(component_.AddInputFile(dir_->File("missing.avi")), -1);
  EXPECT_FALSE(component_.LastError().empty());
  EXPECT_NE(component_.LastError().find("missing.avi"), std::string::npos)
      << component_.LastError();
  EXPECT_EQ(component_.TaskCount(), 0);
  EXPECT_THROW(component_.SetOutputFile(0, out_.File("x.avi")), std::out_of_range);
}

TEST_F(JobComponentTest, StartWithAnEmptyListRaisesNothing) {
  Recorder recorder(component_);
  component_.Start(1);
  EXPECT_FALSE(recorder.WaitForFinal(300ms));
  EXPECT_TRUE(recorder.Terminates().empty());
}

TEST_F(JobComponentTest, StartTwoOfThreeStartsTheThirdWhenOneEnds) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(AddJob("short.avi", "out" + std::to_string(i) + ".avi"), i);
  Recorder recorder(component_);
  bool third_launched_at_first_end = true;
  recorder.on_terminate = [&](int index) {
    if (index >= 0 && recorder.terminates.size() == 1) {
      third_launched_at_first_end = component_.Task(2)->Launched();
    }
  };
  component_.Start(2);
  EXPECT_TRUE(component_.Task(0)->Launched());
  EXPECT_TRUE(component_.Task(1)->Launched());
  ASSERT_TRUE(recorder.WaitForFinal());
  EXPECT_FALSE(third_launched_at_first_end);

  const auto terminates = recorder.Terminates();
  ASSERT_EQ(terminates.size(), 4u);
  std::set<int> indexes;
  for (int i = 0; i < 3; ++i) {
    indexes.insert(terminates[i].index);
    EXPECT_TRUE(terminates[i].finished) << terminates[i].message;
    EXPECT_FALSE(terminates[i].exception) << terminates[i].message;
    EXPECT_NE(terminates[i].thread, std::this_thread::get_id());
  }
  EXPECT_EQ(indexes, (std::set<int>{0, 1, 2}));
  EXPECT_EQ(terminates[3].index, -1);
  EXPECT_TRUE(terminates[3].finished);
  EXPECT_FALSE(terminates[3].exception);
  EXPECT_EQ(terminates[3].message, "");
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(media::DecodesCleanly(out_.File("out" + std::to_string(i) + ".avi")));
}

TEST_F(JobComponentTest, StopWithOneRunningAndOneWaitingJob) {
  ASSERT_EQ(AddJob("long.avi", "running.avi"), 0);
  ASSERT_EQ(AddJob("short.avi", "waiting.avi"), 1);
  component_.SetProgressInterval(100);
  Recorder recorder(component_);
  std::once_flag stopped;
  recorder.on_progress = [&](int) { std::call_once(stopped, [&] { component_.Stop(); }); };
  component_.Start(1);
  ASSERT_TRUE(recorder.WaitForFinal());
  std::this_thread::sleep_for(200ms);  // a second final notice would arrive by now

  // Both jobs report AFinished false (in either order: the never-run job's notice comes from
  // its own thread), then exactly one final notice follows.
  const auto terminates = recorder.Terminates();
  ASSERT_EQ(terminates.size(), 3u);
  std::set<int> indexes;
  for (int i = 0; i < 2; ++i) {
    indexes.insert(terminates[i].index);
    EXPECT_FALSE(terminates[i].finished) << terminates[i].index;
    EXPECT_FALSE(terminates[i].exception) << terminates[i].message;
  }
  EXPECT_EQ(indexes, (std::set<int>{0, 1}));
  EXPECT_EQ(terminates[2].index, -1);
  // The stopped job's output is complete up to the stop; the job that never ran leaves no
  // empty file behind once the jobs are freed.
  component_.ClearTasks();
  EXPECT_TRUE(media::DecodesCleanly(out_.File("running.avi")));
  EXPECT_FALSE(std::filesystem::exists(out_.File("waiting.avi")));
}

TEST_F(JobComponentTest, RemoveTaskRenumbersLaterJobs) {
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(AddJob("short.avi", std::string("r") + std::to_string(i) + ".avi"), i);
  const auto former1 = component_.Task(1);
  const auto former2 = component_.Task(2);
  component_.RemoveTask(0);
  ASSERT_EQ(component_.TaskCount(), 2);
  EXPECT_EQ(component_.Task(0), former1);
  EXPECT_EQ(component_.Task(1), former2);
  EXPECT_EQ(former1->Index.load(), 0);
  EXPECT_EQ(former2->Index.load(), 1);

  // Jobs that never ran get their terminate notice, with the new numbers, from Stop.
  Recorder recorder(component_);
  component_.Stop();
  ASSERT_TRUE(recorder.WaitForFinal());
  std::set<int> indexes;
  for (const auto& t : recorder.Terminates()) {
    if (t.index >= 0) indexes.insert(t.index);
  }
  EXPECT_EQ(indexes, (std::set<int>{0, 1}));
}

TEST_F(JobComponentTest, JobWithoutOutputEndsWithAnException) {
  ASSERT_EQ(component_.AddInputFile(dir_->File("short.avi")), 0);
  Recorder recorder(component_);
  component_.Start(1);
  ASSERT_TRUE(recorder.WaitForFinal());
  const auto terminates = recorder.Terminates();
  ASSERT_EQ(terminates.size(), 2u);
  ExpectFailedWith(terminates[0], 0, "Must supply at least one output file");
  EXPECT_EQ(terminates[1].index, -1);
  std::lock_guard<std::mutex> guard(recorder.mutex);
  bool logged = false;
  for (const auto& line : recorder.logs) {
    logged |= line.index == 0 && line.level == llQuiet &&
              line.msg == "Must supply at least one output file";
  }
  EXPECT_TRUE(logged);
}

// A handler that throws fails the job it reports on, with the handler's text as the reason; the
// run goes on with its next job and its final notice.
TEST_F(JobComponentTest, ThrowingHandlerFailsItsJobWithItsText) {
  ASSERT_EQ(AddJob("long.avi", "progress.avi"), 0);
  ASSERT_EQ(AddJob("short.avi", "terminate.avi"), 1);
  ASSERT_EQ(AddJob("short.avi", "fine.avi"), 2);
  Recorder recorder(component_);
  recorder.on_progress = [](int index) {
    if (index == 0) throw std::runtime_error("progress handler failed");
  };
  recorder.on_terminate = [](int index) {
    if (index == 1) throw std::runtime_error("terminate handler failed");
  };
  component_.Start(1);
  ASSERT_TRUE(recorder.WaitForFinal());
  const auto terminates = recorder.Terminates();
  ASSERT_EQ(terminates.size(), 4u);
  ExpectFailedWith(terminates[0], 0, "progress handler failed");
  EXPECT_FALSE(std::filesystem::exists(out_.File("progress.avi")));
  // The second job had ended when its terminate handler failed: it is failed afterwards.
  const TRunState& ended = component_.Task(1)->RunState();
  EXPECT_FALSE(ended.Finished);
  EXPECT_TRUE(ended.ExceptionRaised);
  EXPECT_EQ(ended.ErrorMessage, "terminate handler failed");
  EXPECT_EQ(terminates[2].index, 2);
  EXPECT_TRUE(terminates[2].finished) << terminates[2].message;
  EXPECT_EQ(terminates[3].index, -1);
}

// A log handler may be called from inside the libraries: its failure asks the run to end, and
// the job fails with the handler's text and keeps no output.
TEST_F(JobComponentTest, ThrowingLogHandlerFailsItsJobAndKeepsNoOutput) {
  ASSERT_EQ(AddJob("long.avi", "logged.avi"), 0);
  Recorder recorder(component_);
  std::atomic<int> lines{0};
  component_.OnLog = [&lines](int index, TLogLevel, const std::string&) {
    if (index == 0 && lines++ == 0) throw std::runtime_error("log handler failed");
  };
  component_.Start(1);
  ASSERT_TRUE(recorder.WaitForFinal());
  ASSERT_GT(lines.load(), 0);
  const auto terminates = recorder.Terminates();
  ASSERT_EQ(terminates.size(), 2u);
  ExpectFailedWith(terminates[0], 0, "log handler failed");
  EXPECT_FALSE(std::filesystem::exists(out_.File("logged.avi")));
}

TEST_F(JobComponentTest, MainThreadModeRunsJobsOneAfterAnotherInsideStart) {
  ASSERT_EQ(AddJob("short.avi", "m0.avi"), 0);
  ASSERT_EQ(AddJob("short.avi", "m1.avi"), 1);
  Recorder recorder(component_);
  component_.Start(0);
  // Without a scheduler the run is synchronous: it is over when Start returns.
  const auto terminates = recorder.Terminates();
  ASSERT_EQ(terminates.size(), 3u);
  EXPECT_EQ(terminates[0].index, 0);
  EXPECT_EQ(terminates[1].index, 1);
  EXPECT_EQ(terminates[2].index, -1);
  for (const auto& t : terminates) EXPECT_EQ(t.thread, std::this_thread::get_id());
  EXPECT_TRUE(terminates[0].finished);
  EXPECT_TRUE(terminates[1].finished);
}

TEST_F(JobComponentTest, MainThreadModeUsesTheCallersScheduler) {
  ASSERT_EQ(AddJob("short.avi", "s0.avi"), 0);
  std::vector<std::pair<int, std::function<void()>>> scheduled;
  component_.MainThreadScheduler = [&](int delay_ms, std::function<void()> call) {
    scheduled.emplace_back(delay_ms, std::move(call));
  };
  Recorder recorder(component_);
  component_.Start(0);
  ASSERT_EQ(scheduled.size(), 1u);
  EXPECT_EQ(scheduled[0].first, 100);
  EXPECT_TRUE(recorder.Terminates().empty());
  scheduled[0].second();
  ASSERT_EQ(recorder.Terminates().size(), 2u);
  EXPECT_TRUE(recorder.Terminates()[0].finished);
}

TEST_F(JobComponentTest, PauseHoldsTheJobUntilResume) {
  ASSERT_EQ(AddJob("long.avi", "paused.avi"), 0);
  component_.SetProgressInterval(100);
  Recorder recorder(component_);
  std::once_flag paused;
  recorder.on_progress = [&](int) { std::call_once(paused, [&] { component_.Pause(); }); };
  component_.Start(1);
  EXPECT_FALSE(recorder.WaitForFinal(700ms));
  size_t progress_before;
  {
    std::lock_guard<std::mutex> guard(recorder.mutex);
    progress_before = recorder.progress_indexes.size();
  }
  std::this_thread::sleep_for(300ms);
  {
    std::lock_guard<std::mutex> guard(recorder.mutex);
    EXPECT_EQ(recorder.progress_indexes.size(), progress_before);
  }
  component_.Resume();
  ASSERT_TRUE(recorder.WaitForFinal());
  EXPECT_TRUE(recorder.Terminates()[0].finished);
}

// Library lines go to the job whose run logged them: three jobs one after another, on worker
// threads (whose ids the system may reuse) and on the calling thread. Lines logged outside a
// run go out with no job, and the handler may log again and call the component meanwhile.
TEST_F(JobComponentTest, LibraryLinesReachTheJobWhoseRunLoggedThem) {
  std::mutex mutex;
  std::condition_variable ended;
  bool final_notice = false;
  std::vector<std::pair<int, std::string>> lines;
  for (const int concurrent : {1, 0}) {
    SCOPED_TRACE(concurrent);
    component_.ClearTasks();
    const std::string tag = "run" + std::to_string(concurrent) + "-";
    for (int i = 0; i < 3; ++i) ASSERT_EQ(AddJob("short.avi", tag + std::to_string(i) + ".avi"), i);
    {
      std::lock_guard<std::mutex> guard(mutex);
      final_notice = false;
      lines.clear();
    }
    component_.OnLog = [&](int index, TLogLevel, const std::string& msg) {
      {
        std::lock_guard<std::mutex> guard(mutex);
        lines.emplace_back(index, msg);
      }
      if (msg == "outside any run") {
        EXPECT_EQ(component_.TaskCount(), 3);
        av_log(nullptr, AV_LOG_INFO, "logged by the handler\n");
      }
    };
    component_.OnTerminate = [&](int index, bool, bool, const std::string&) {
      std::lock_guard<std::mutex> guard(mutex);
      if (index == -1) final_notice = true;
      ended.notify_all();
    };
    component_.Start(concurrent);
    {
      std::unique_lock<std::mutex> lock(mutex);
      ASSERT_TRUE(ended.wait_for(lock, 60s, [&] { return final_notice; }));
    }
    av_log(nullptr, AV_LOG_INFO, "outside any run\n");

    std::lock_guard<std::mutex> guard(mutex);
    int per_job[3] = {};
    for (const auto& [index, msg] : lines) {
      for (int job = 0; job < 3; ++job) {
        if (msg.find(tag + std::to_string(job) + ".avi") == std::string::npos) continue;
        EXPECT_EQ(index, job) << msg;
        ++per_job[job];
      }
    }
    for (int job = 0; job < 3; ++job) EXPECT_GT(per_job[job], 0) << job;
    const std::pair<int, std::string> outside{-1, "outside any run"};
    const std::pair<int, std::string> nested{-1, "logged by the handler"};
    EXPECT_NE(std::find(lines.begin(), lines.end(), outside), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), nested), lines.end());
  }
}

// A job removed from the list while it runs raises no event any more, not even the final
// progress report its stopped run still gives.
TEST_F(JobComponentTest, JobRemovedWhileRunningRaisesNoFurtherProgress) {
  ASSERT_EQ(AddJob("long.avi", "removed.avi"), 0);
  component_.SetProgressInterval(100);
  const std::shared_ptr<TFFmpeg> job = component_.Task(0);
  Recorder recorder(component_);
  std::atomic<bool> removed{false};
  std::atomic<int> after_removal{0};
  recorder.on_progress = [&](int) {
    if (removed.exchange(true)) {
      ++after_removal;
      return;
    }
    component_.RemoveTask(0);
  };
  component_.Start(1);
  ASSERT_TRUE(job->WaitForThread(30000));
  EXPECT_TRUE(removed);
  EXPECT_EQ(component_.TaskCount(), 0);
  EXPECT_EQ(after_removal, 0);
}

TEST_F(JobComponentTest, OutputOverItsSizeLimitIsEncodedAgainAtALowerRateOrNotKept) {
  // The first run at the record's rate overshoots the limit; the job encodes again at a lower
  // rate and keeps only an output within the limit. Without a rate to lower it fails.
  const std::string source = out_.File("moving.mkv");
  ASSERT_TRUE(media::MakeMedia(source, {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:d=10",
                                        "-f", "lavfi", "-i", "sine=d=10", "-c:v", "ffv1"}));
  auto run = [this, &source](Recorder& recorder, const std::string& name, int video_rate,
                             std::int64_t limit) {
    const int index = component_.AddInputFile(source);
    EXPECT_GE(index, 0) << component_.LastError();
    TOutputOptions options;
    options.VideoCodec = "mpeg4";
    options.VideoBitrate = video_rate;
    options.AudioCodec = video_rate > 0 ? "mp2" : "pcm_s16le";
    options.MaxOutputBytes = limit;
    EXPECT_TRUE(component_.SetOutputFile(index, out_.File(name), &options))
        << component_.LastError();
    component_.Start(1);
    EXPECT_TRUE(recorder.WaitForFinal(300s));
    component_.ClearTasks();
  };
  Recorder plain(component_);
  run(plain, "plain.avi", 600000, 0);
  ASSERT_TRUE(std::filesystem::exists(out_.File("plain.avi")));
  const auto plain_size =
      static_cast<std::int64_t>(std::filesystem::file_size(out_.File("plain.avi")));
  const std::int64_t limit = plain_size * 85 / 100;

  Recorder fitted(component_);
  run(fitted, "fitted.avi", 600000, limit);
  const auto terminates = fitted.Terminates();
  ASSERT_FALSE(terminates.empty());
  EXPECT_FALSE(terminates[0].exception) << terminates[0].message;
  ASSERT_TRUE(std::filesystem::exists(out_.File("fitted.avi")));
  EXPECT_LE(static_cast<std::int64_t>(std::filesystem::file_size(out_.File("fitted.avi"))), limit);
  {
    std::lock_guard<std::mutex> guard(fitted.mutex);
    EXPECT_TRUE(std::any_of(fitted.logs.begin(), fitted.logs.end(), [](const auto& line) {
      return line.msg.find("encoding it again at a lower rate") != std::string::npos;
    }));
  }

  // PCM sound and no video rate to lower: the output is not kept.
  Recorder refused(component_);
  run(refused, "refused.avi", -1, 1000);
  const auto refusal = refused.Terminates();
  ASSERT_FALSE(refusal.empty());
  EXPECT_TRUE(refusal[0].exception);
  EXPECT_NE(refusal[0].message.find("larger than its target size"), std::string::npos)
      << refusal[0].message;
  EXPECT_FALSE(std::filesystem::exists(out_.File("refused.avi")));
}
