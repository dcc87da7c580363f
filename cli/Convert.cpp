// Conversion: probes each file as the file list does, sets up one job per file as the queue
// does, and runs them one after another (or N at once with --jobs) on the job component.
//
// Threads: the job component raises its events on worker threads; they only update the
// per-file states and print, under `Console::mutex`. The main thread waits for the run's final
// notice and handles Ctrl-C: SIGINT is blocked in every thread and taken with sigtimedwait by
// the main thread, which then stops the component like the Stop button.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "AVProbe.h"
#include "Commands.h"
#include "ConversionJob.h"
#include "JobComponent.h"
#include "MainSettings.h"
#include "ProbeColumns.h"
#include "ProfileErrors.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFilesPerBatch = 64;
// Sent to the main thread when the run is over (blocked everywhere, taken by sigtimedwait).
constexpr int kWakeSignal = SIGUSR1;

void PrintError(const std::string& message) {
  std::fprintf(stderr, "quorvin-convert: %s\n", message.c_str());
}

struct ConvertArgs {
  std::string output_folder;
  bool have_output_folder = false;
  TSettingChoices choices;
  std::string aspect;       // empty: the format's preset choice
  std::string zoom;         // empty: "None"
  std::string video_codec;  // empty: the format's preset choice
  bool overwrite = false;
  int jobs = 1;
  int threads = 0;
  std::vector<std::string> files;
};

int ParseCount(const char* name, const std::string& text, int min_value) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < min_value || value > 64) {
    throw TChoiceError(std::string(name) + " needs a number from " + std::to_string(min_value) +
                       " to 64, got \"" + text + "\"");
  }
  return static_cast<int>(value);
}

ConvertArgs ParseArgs(int argc, char** argv) {
  ConvertArgs args;
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= argc) throw TChoiceError(std::string(name) + " needs a value");
      return argv[++i];
    };
    if (only_files || arg.empty() || arg[0] != '-' || arg == "-") {
      args.files.push_back(arg);
    } else if (arg == "--") {
      only_files = true;
    } else if (arg == "-o" || arg == "--output") {
      args.output_folder = value("-o");
      args.have_output_folder = true;
    } else if (arg == "--aspect") {
      args.aspect = value("--aspect");
      if (args.aspect != "Original" && args.aspect != "4:3" && args.aspect != "16:9") {
        throw TChoiceError("--aspect must be Original, 4:3 or 16:9, got \"" + args.aspect + "\"");
      }
    } else if (arg == "--zoom") {
      args.zoom = value("--zoom");
      if (args.zoom != "None" && args.zoom != "LetterBox") {
        throw TChoiceError("--zoom must be None or LetterBox, got \"" + args.zoom + "\"");
      }
    } else if (arg == "--video-codec") {
      args.video_codec = value("--video-codec");
    } else if (arg == "--overwrite") {
      args.overwrite = true;
    } else if (arg == "--jobs") {
      args.jobs = ParseCount("--jobs", value("--jobs"), 1);
    } else if (arg == "--threads") {
      args.threads = ParseCount("--threads", value("--threads"), 0);
    } else if (!TakeChoiceOption(argc, argv, i, args.choices)) {
      throw TChoiceError("unknown option \"" + arg + "\"");
    }
  }
  if (!args.have_output_folder) throw TChoiceError("-o FOLDER is required");
  if (args.files.empty()) throw TChoiceError("no input files given");
  return args;
}

std::string TrimBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

enum class FileResult { kPending, kDone, kFail, kAbort };

struct FileState {
  std::string source;
  int job_index = -1;
  Clock::time_point started{};
  bool running = false;
  int percent = -1;  // -1: the total duration is unknown
  int frames = 0;
  int64_t size_bytes = 0;
  double speed = 0;
  FileResult result = FileResult::kPending;
};

// Everything the event handlers share with the main thread. `mutex` guards every field.
struct Console {
  std::mutex mutex;
  std::condition_variable run_over_cv;
  bool run_over = false;
  // The thread that waits for the run to end; woken with kWakeSignal as soon as it is over.
  pthread_t main_thread{};
  bool user_aborted = false;
  bool live = false;  // standard output is a terminal: one redrawn progress line
  bool live_line_shown = false;
  Clock::time_point last_plain_line{};
  std::vector<FileState> files;
  std::map<int, size_t> by_job;  // job index -> files[]
  int jobs_at_once = 1;
  int jobs_terminated = 0;
};

int TerminalWidth() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 10) return ws.ws_col;
  return 80;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ProgressText(const FileState& f) {
  char text[256];
  const std::string percent = f.percent < 0 ? "?%" : std::to_string(f.percent) + "%";
  std::snprintf(text, sizeof text, "%s  %s  %d frames  File Size : %lld KBytes  %.2fx",
                BaseName(f.source).c_str(), percent.c_str(), f.frames,
                static_cast<long long>((f.size_bytes + 500) / 1000), f.speed);
  return text;
}

// Called with console.mutex held.
void ClearLiveLine(Console& console) {
  if (console.live && console.live_line_shown) {
    std::fputs("\r\033[K", stdout);
    console.live_line_shown = false;
  }
}

// Called with console.mutex held.
void DrawLiveLine(Console& console) {
  std::string line;
  for (const FileState& f : console.files) {
    if (!f.running) continue;
    if (!line.empty()) line += " | ";
    line += ProgressText(f);
  }
  const size_t width = static_cast<size_t>(TerminalWidth() - 1);
  if (line.size() > width) line.resize(width);
  std::fputs(("\r" + line + "\033[K").c_str(), stdout);
  std::fflush(stdout);
  console.live_line_shown = true;
}

void OnProgress(Console& console, int index, int frame_number, int current_duration_ms,
                int64_t current_size, int total_output_duration_ms) {
  std::lock_guard<std::mutex> guard(console.mutex);
  auto it = console.by_job.find(index);
  if (it == console.by_job.end()) return;
  FileState& f = console.files[it->second];
  f.running = true;
  // Percentage as the file list shows it: truncated, capped at 100.
  f.percent =
      total_output_duration_ms > 0
          ? static_cast<int>(std::min<int64_t>(
                static_cast<int64_t>(current_duration_ms) * 100 / total_output_duration_ms, 100))
          : -1;
  f.frames = frame_number < 0 ? 0 : frame_number;
  f.size_bytes = current_size;
  const double wall_ms =
      std::chrono::duration<double, std::milli>(Clock::now() - f.started).count();
  f.speed = wall_ms > 0 ? current_duration_ms / wall_ms : 0;
  if (console.live) {
    DrawLiveLine(console);
    return;
  }
  const auto now = Clock::now();
  if (now - console.last_plain_line < std::chrono::seconds(1)) return;
  console.last_plain_line = now;
  std::printf("%s\n", ProgressText(f).c_str());
  std::fflush(stdout);
}

void PrintResult(Console& console, const FileState& f, const std::string& reason) {
  ClearLiveLine(console);
  switch (f.result) {
    case FileResult::kDone:
      std::printf("%s: Done\n", f.source.c_str());
      break;
    case FileResult::kAbort:
      std::printf("%s: Abort\n", f.source.c_str());
      break;
    case FileResult::kFail:
      std::printf("%s: Fail: %s\n", f.source.c_str(), reason.c_str());
      break;
    case FileResult::kPending:
      break;
  }
  std::fflush(stdout);
}

void OnTerminate(Console& console, int index, bool finished, bool exception,
                 const std::string& message) {
  std::lock_guard<std::mutex> guard(console.mutex);
  if (index < 0) {
    ClearLiveLine(console);
    console.run_over = true;
    console.run_over_cv.notify_all();
    pthread_kill(console.main_thread, kWakeSignal);
    return;
  }
  auto it = console.by_job.find(index);
  if (it == console.by_job.end()) return;
  FileState& f = console.files[it->second];
  f.running = false;
  std::string reason = message;
  if (exception) {
    f.result = FileResult::kFail;
  } else if (console.user_aborted) {
    f.result = FileResult::kAbort;
  } else if (finished) {
    f.result = FileResult::kDone;
  } else {
    // Not finished, no error and no stop request: never report that as a success.
    f.result = FileResult::kFail;
    reason = "the conversion ended before the end of the input";
  }
  PrintResult(console, f, reason);
  // Jobs start in list order: the first jobs_at_once at Start, then one per terminate notice.
  ++console.jobs_terminated;
  const int next_job = console.jobs_at_once + console.jobs_terminated - 1;
  if (auto next = console.by_job.find(next_job); next != console.by_job.end()) {
    console.files[next->second].started = Clock::now();
  }
  if (console.live) DrawLiveLine(console);
}

}  // namespace

int RunConvert(int argc, char** argv) {
  ConvertArgs args;
  TMainSettings settings;
  try {
    args = ParseArgs(argc, argv);
    InitialiseSettingLists(settings);
    ApplySettingChoices(settings, args.choices);
    if (args.aspect == "Original") settings.ComboAspectRatio.Select(0);
    if (args.aspect == "4:3") settings.ComboAspectRatio.Select(1);
    if (args.aspect == "16:9") settings.ComboAspectRatio.Select(2);
    if (!args.zoom.empty()) settings.ComboLetterBox.SelectText(args.zoom);
    if (!args.video_codec.empty() && !settings.ComboVideoCodec.SelectText(args.video_codec)) {
      std::string offered;
      for (const std::string& item : settings.ComboVideoCodec.Items()) {
        offered += (offered.empty() ? "" : ", ") + item;
      }
      throw TChoiceError("--video-codec \"" + args.video_codec +
                         "\" is not offered by this format (offered: " + offered + ")");
    }
  } catch (const TChoiceError& e) {
    PrintError(e.what());
    return 2;
  }
  if (!IsDirectory(TrimBlanks(args.output_folder))) {
    PrintError("The output folder \"" + args.output_folder +
               "\" does not exist or has been deleted! Please choose a new output folder.");
    return 2;
  }

  // Block SIGINT before any thread exists, so every thread inherits the mask and only the
  // main thread's sigtimedwait below takes it.
  // The wake signal is blocked the same way; the end-of-run notice sends it so the main thread
  // leaves its wait at once instead of at the next tick.
  sigset_t sigint;
  sigemptyset(&sigint);
  sigaddset(&sigint, SIGINT);
  sigset_t waited = sigint;
  sigaddset(&waited, kWakeSignal);
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);

  Console console;
  console.live = isatty(STDOUT_FILENO) != 0;
  console.main_thread = pthread_self();
  console.jobs_at_once = args.jobs;

  int exit_status = 0;
  {
    VIDevozORE component;
    if (!component.LoadLibraries()) {
      PrintError("Some files are missing. Please re-install this software (" +
                 component.LastError() + ")");
      return 1;
    }
    component.CodecThreads = args.threads;
    component.OnProgress = [&console](int index, int frame_number, int, int current_duration_ms,
                                      float, float, int64_t current_size, int total_duration_ms) {
      OnProgress(console, index, frame_number, current_duration_ms, current_size,
                 total_duration_ms);
    };
    component.OnTerminate = [&console](int index, bool finished, bool exception,
                                       const std::string& message) {
      OnTerminate(console, index, finished, exception, message);
    };

    // Output names taken by earlier files of this run, so that two sources with the same name
    // never write one output file.
    std::set<std::string> reserved;
    std::vector<std::string> scripts;
    bool any_failed = false;
    bool stopping = false;
    const timespec no_wait{0, 0};
    const timespec tick{0, 100 * 1000 * 1000};
    auto take_sigint = [&](const timespec& wait) {
      if (stopping || sigtimedwait(&waited, nullptr, &wait) != SIGINT) return;
      {
        std::lock_guard<std::mutex> guard(console.mutex);
        console.user_aborted = true;
      }
      component.Stop();
      stopping = true;
      // A second Ctrl-C ends the program at once.
      pthread_sigmask(SIG_UNBLOCK, &sigint, nullptr);
    };

    // Files are set up and run in batches, so that a long file list never holds more than a
    // batch of open inputs and outputs at once.
    for (size_t first = 0; first < args.files.size() && !stopping; first += kFilesPerBatch) {
      const size_t last = std::min(args.files.size(), first + kFilesPerBatch);
      for (size_t i = first; i < last && !stopping; ++i) {
        const std::string& file = args.files[i];
        const ProbeColumns columns = ProbeFileColumns(component.Probe(), file);
        TConversionRow row{file, columns.video_size, columns.duration};
        const TConversionJobSetup setup =
            SetUpConversionJob(component, settings, args.output_folder, args.overwrite, row,
                               [&reserved](const std::string& p) { return reserved.count(p) > 0; });
        if (!setup.ScriptPath.empty()) scripts.push_back(setup.ScriptPath);
        {
          std::lock_guard<std::mutex> guard(console.mutex);
          console.files.push_back(FileState{file});
          if (!setup.Ok) {
            any_failed = true;
            console.files.back().result = FileResult::kFail;
            PrintResult(console, console.files.back(), setup.Error);
          } else {
            reserved.insert(setup.OutputPath);
            console.files.back().job_index = setup.Index;
            console.by_job[setup.Index] = console.files.size() - 1;
            std::printf("%s -> %s\n", file.c_str(), setup.OutputPath.c_str());
            std::fflush(stdout);
          }
        }
        take_sigint(no_wait);
      }

      bool any_job = false;
      {
        std::lock_guard<std::mutex> guard(console.mutex);
        const auto now = Clock::now();
        for (FileState& f : console.files) f.started = now;
        any_job = !console.by_job.empty();
        console.run_over = false;
        console.jobs_terminated = 0;
      }
      if (any_job && !stopping) {
        component.Start(args.jobs);
        for (;;) {
          {
            std::unique_lock<std::mutex> lock(console.mutex);
            if (console.run_over) break;
            if (stopping) {
              console.run_over_cv.wait_for(lock, std::chrono::milliseconds(100));
              continue;
            }
          }
          take_sigint(tick);
        }
      }
      component.ClearTasks();
      std::lock_guard<std::mutex> guard(console.mutex);
      console.by_job.clear();
    }
    for (const std::string& script : scripts) std::remove(script.c_str());

    std::lock_guard<std::mutex> guard(console.mutex);
    for (const FileState& f : console.files) {
      if (f.result == FileResult::kFail) any_failed = true;
    }
    if (console.user_aborted) {
      exit_status = 130;
    } else {
      std::printf("All Conversions Completed\n");
      exit_status = any_failed ? 1 : 0;
    }
  }
  std::fflush(stdout);
  return exit_status;
}
