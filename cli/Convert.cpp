// Conversion: probes each file as the file list does, sets up one job per file as the queue
// does, and runs them one after another (or N at once with --jobs) on the job component. A
// folder named as an input stands for the media files inside it, as a folder dropped on the
// window's list does.
//
// Threads: the job component raises its events on worker threads; they only update the
// per-file states and print, under `Console::mutex`. Lock order: StopControl::mutex, then the
// component's lock, then Console::mutex (never the component's lock under Console::mutex). The main
// thread sets the jobs up and waits for each batch's final notice. SIGINT, SIGTERM and SIGHUP are
// blocked in every thread and taken by a signal thread, which stops the component like the Stop
// button whatever the main thread is doing; it also wakes the main thread with kWakeSignal, so that
// an open or read that blocks during set-up returns and sees the stop through its interrupt
// callback.
//
// Output: lines are written with write(2); once standard output is gone (a closed pipe, a
// closed terminal) nothing more is printed, and the conversions go on.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "ConversionJob.h"
#include "JobComponent.h"
#include "MainSettings.h"
#include "MediaFiles.h"
#include "ProfileErrors.h"
#include "ReasonText.h"
#include "SizeEstimate.h"
#include "Trash.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxFilesPerBatch = 64;
// Sent by the signal thread to the main thread to cut a blocking system call short.
constexpr int kWakeSignal = SIGUSR1;
// Sent by the main thread to end the signal thread.
constexpr int kQuitSignal = SIGUSR2;

std::atomic<bool> g_stdout_gone{false};

// Writes all of TEXT to FD, retrying after interruptions. False when the descriptor takes no
// more (closed pipe or terminal, full disk).
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Print(const std::string& text) {
  if (g_stdout_gone) return;
  if (!WriteAll(STDOUT_FILENO, text)) g_stdout_gone = true;
}

void PrintError(const std::string& message) {
  WriteAll(STDERR_FILENO, "quorvin-convert: " + message + "\n");
}

// TEXT on one line: control characters (a line break in a file name or in a library's error
// text, a terminal escape) are written as \n, \t, \r or \xHH.
std::string OneLine(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // U+0080..U+009F in UTF-8: C1 control characters, which terminals also act on.
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c >= 0x20 && c != 0x7F && !c1) {
      line += text[i];
    } else if (c == '\n') {
      line += "\\n";
    } else if (c == '\t') {
      line += "\\t";
    } else if (c == '\r') {
      line += "\\r";
    } else {
      const unsigned value = c1 ? static_cast<unsigned char>(text[++i]) : c;
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", value);
      line += hex;
    }
  }
  return line;
}

struct ConvertArgs {
  std::string output_folder;
  bool have_output_folder = false;
  TSettingChoices choices;
  std::string aspect;       // empty: the format's preset choice
  std::string zoom;         // empty: "None"
  std::string video_codec;  // empty: the format's preset choice
  bool overwrite = false;
  bool skip_existing = false;
  // Each output is read back before it counts as done; with --no-check no source goes to the
  // trash either, since nothing says its output is sound.
  bool check = true;
  bool details = false;  // a line with what the check read follows each "Done"
  int jobs = 1;
  int threads = 0;
  // --trash-sources: each source whose outputs all ended done and checked goes to the trash.
  bool trash_sources = false;
  bool estimate = false;     // --estimate: print each file's estimated size, convert nothing
  int64_t target_bytes = 0;  // --target-size MB: fit each output into this many bytes
  std::vector<std::string> files;
};

// "--target-size MB": a positive number of megabytes (1 MB = 1,000,000 bytes), as bytes.
int64_t ParseMegabytes(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(value >= 0.01) || value > 1e7)
    throw TChoiceError("--target-size needs a size in MB from 0.01 to 10000000, got \"" + text +
                       "\"");
  return std::llround(value * 1e6);
}

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

// The item of `items` that TEXT names in any letter case. Throws TChoiceError naming them.
std::string OneOf(const char* name, const std::string& text,
                  std::initializer_list<const char*> items) {
  std::string offered;
  for (const char* item : items) {
    if (strcasecmp(item, text.c_str()) == 0) return item;
    offered += std::string(offered.empty() ? "" : ", ") + item;
  }
  throw TChoiceError(std::string(name) + " must be one of " + offered + ", got \"" + text + "\"");
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
      args.aspect = OneOf("--aspect", value("--aspect"), {"Original", "4:3", "16:9"});
    } else if (arg == "--zoom") {
      args.zoom = OneOf("--zoom", value("--zoom"), {"None", "LetterBox"});
    } else if (arg == "--video-codec") {
      args.video_codec = value("--video-codec");
    } else if (arg == "--overwrite") {
      args.overwrite = true;
    } else if (arg == "--trash-sources") {
      args.trash_sources = true;
    } else if (arg == "--skip-existing") {
      args.skip_existing = true;
    } else if (arg == "--no-check") {
      args.check = false;
    } else if (arg == "--details") {
      args.details = true;
    } else if (arg == "--jobs") {
      args.jobs = ParseCount("--jobs", value("--jobs"), 1);
    } else if (arg == "--threads") {
      args.threads = ParseCount("--threads", value("--threads"), 0);
    } else if (arg == "--estimate") {
      args.estimate = true;
    } else if (arg == "--target-size") {
      args.target_bytes = ParseMegabytes(value("--target-size"));
    } else if (!TakeChoiceOption(argc, argv, i, args.choices)) {
      throw TChoiceError("unknown option \"" + arg + "\"");
    }
  }
  if (!args.have_output_folder && !args.estimate) throw TChoiceError("-o FOLDER is required");
  if (args.files.empty()) throw TChoiceError("no input files given");
  return args;
}

// How many files are set up at once: each set-up job keeps its input open and each running job
// its output as well, so under a low descriptor limit (ulimit -n) fewer files are set up at a
// time and the rest wait for the next batch instead of failing.
size_t FilesPerBatch(int jobs_at_once) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return kMaxFilesPerBatch;
  }
  // Descriptors of the process itself, and a few more per running job (output, statistics).
  const long spare = static_cast<long>(limit.rlim_cur) - 24 - 4L * jobs_at_once;
  return static_cast<size_t>(std::clamp<long>(spare, 1, kMaxFilesPerBatch));
}

enum class FileResult { kPending, kDone, kFail, kAbort };

struct FileState {
  std::string source;
  std::string output{};  // where its job writes, once set up
  int job_index = -1;
  bool duration_known = true;  // false: the total is the ten-hour limit of an unknown duration
  Clock::time_point started{};
  bool running = false;
  bool reported = false;  // its job has reported progress: it has written its output
  int percent = -1;       // -1: the total duration is unknown
  int frames = 0;
  int64_t size_bytes = 0;
  double speed = 0;      // seconds of media converted per second
  double elapsed_s = 0;  // since the job started
  double left_s = -1;    // estimated time to the end; -1 while unknown
  FileResult result = FileResult::kPending;
  bool warned = false;    // done, with a note
  std::string details{};  // what the output check read, once done
};

// Everything the event handlers share with the main thread. `mutex` guards every field.
struct Console {
  std::mutex mutex;
  std::condition_variable run_over_cv;
  bool run_over = false;
  bool user_aborted = false;
  bool live = false;     // standard output is a terminal: one redrawn progress line
  bool details = false;  // --details: the check's line follows each "Done"
  bool live_line_shown = false;
  Clock::time_point run_started = Clock::now();
  Clock::time_point last_plain_line{};
  std::vector<FileState> files;
  std::map<int, size_t> by_job;  // job index -> files[]
  int jobs_at_once = 1;
  int jobs_terminated = 0;
  bool trash_sources = false;   // sources go to the trash after their last job (--trash-sources)
  TSourceTrashPlan trash_plan;  // every listed file, one use per listing
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

// SECONDS as m:ss, or h:mm:ss from one hour on.
std::string ClockText(double seconds) {
  const long total = std::lround(std::max(0.0, seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

std::string KBytesText(int64_t bytes) {
  return std::to_string((bytes + 500) / 1000) + " KBytes";
}

// The figures of a file's progress, after its name: percentage, pictures written and per
// second, output size, speed, time since its start and time left.
std::string ProgressFigures(const FileState& f) {
  char text[200];
  const std::string percent = f.percent < 0 ? "?%" : std::to_string(f.percent) + "%";
  const double pictures_per_s = f.elapsed_s > 0 ? f.frames / f.elapsed_s : 0;
  const std::string left = f.left_s < 0 ? "?" : ClockText(f.left_s);
  std::snprintf(text, sizeof text, "  %s  %d frames  %.0f fps  %s  %.1fx  %s elapsed  %s left",
                percent.c_str(), f.frames, pictures_per_s, KBytesText(f.size_bytes).c_str(),
                f.speed, ClockText(f.elapsed_s).c_str(), left.c_str());
  return text;
}

std::string ProgressText(const FileState& f) {
  return OneLine(BaseName(f.source)) + ProgressFigures(f);
}

// NAME cut to at most WIDTH bytes (at least 8) by leaving out its middle, without splitting a
// UTF-8 sequence.
std::string ShortenedName(const std::string& name, size_t width) {
  width = std::max<size_t>(width, 8);
  if (name.size() <= width) return name;
  auto boundary = [&name](size_t at) {
    while (at > 0 && at < name.size() && (static_cast<unsigned char>(name[at]) & 0xC0) == 0x80) {
      --at;
    }
    return at;
  };
  const size_t head = boundary((width - 3) / 2);
  const size_t tail = boundary(name.size() - (width - 3 - (width - 3) / 2));
  return name.substr(0, head) + "..." + name.substr(tail);
}

// Called with console.mutex held.
void ClearLiveLine(Console& console) {
  if (console.live && console.live_line_shown) {
    Print("\r\033[K");
    console.live_line_shown = false;
  }
}

// Called with console.mutex held.
void DrawLiveLine(Console& console) {
  // The figures are kept whole; the names give way when the line is wider than the terminal.
  std::vector<std::pair<std::string, std::string>> parts;  // name, figures
  size_t figures_width = 0, names_width = 0;
  for (const FileState& f : console.files) {
    if (!f.running) continue;
    parts.emplace_back(OneLine(BaseName(f.source)), ProgressFigures(f));
    figures_width += parts.back().second.size() + (parts.size() > 1 ? 3 : 0);
    names_width += parts.back().first.size();
  }
  const size_t width = static_cast<size_t>(TerminalWidth() - 1);
  const bool shorten = !parts.empty() && figures_width + names_width > width;
  const size_t name_width =
      shorten && width > figures_width ? (width - figures_width) / parts.size() : 0;
  std::string line;
  for (const auto& [name, figures] : parts) {
    if (!line.empty()) line += " | ";
    line += (shorten ? ShortenedName(name, name_width) : name) + figures;
  }
  if (line.size() > width) line.resize(width);
  Print("\r" + line + "\033[K");
  console.live_line_shown = true;
}

void OnProgress(Console& console, int index, int frame_number, int current_duration_ms,
                int64_t current_size, int total_output_duration_ms) {
  std::lock_guard<std::mutex> guard(console.mutex);
  auto it = console.by_job.find(index);
  if (it == console.by_job.end()) return;
  FileState& f = console.files[it->second];
  f.running = true;
  f.reported = true;
  // Percentage as the file list shows it: truncated, capped at 100.
  f.percent =
      total_output_duration_ms > 0
          ? static_cast<int>(std::min<int64_t>(
                static_cast<int64_t>(current_duration_ms) * 100 / total_output_duration_ms, 100))
          : -1;
  f.frames = frame_number < 0 ? 0 : frame_number;
  f.size_bytes = current_size;
  f.elapsed_s = std::chrono::duration<double>(Clock::now() - f.started).count();
  f.speed = f.elapsed_s > 0 ? current_duration_ms / 1000.0 / f.elapsed_s : 0;
  // What is left of the media at the speed so far.
  f.left_s = f.duration_known && f.percent >= 0 && f.speed > 0
                 ? std::max(0, total_output_duration_ms - current_duration_ms) / 1000.0 / f.speed
                 : -1;
  if (console.live) {
    DrawLiveLine(console);
    return;
  }
  const auto now = Clock::now();
  if (now - console.last_plain_line < std::chrono::seconds(1)) return;
  console.last_plain_line = now;
  Print(ProgressText(f) + "\n");
}

// REASON without the leading "SOURCE: " that many of the engine's texts begin with, so that a
// line names its file once.
std::string ReasonWithoutName(const std::string& reason, const std::string& source) {
  const std::string prefix = source + ": ";
  if (!source.empty() && reason.size() > prefix.size() &&
      reason.compare(0, prefix.size(), prefix) == 0) {
    return reason.substr(prefix.size());
  }
  return reason;
}

// Called with console.mutex held. `note`: the reason of a Fail, or the warning of a Done.
void PrintResult(Console& console, const FileState& f, const std::string& note) {
  ClearLiveLine(console);
  const std::string source = OneLine(f.source);
  // The reason's own line breaks become spaces; those of the file names in it stay visible.
  const std::vector<std::string> names{f.source, f.output};
  switch (f.result) {
    case FileResult::kDone:
      // The result line stays as scripts read it; the details come on a line of their own.
      Print(source + (note.empty()
                          ? std::string(": Done\n")
                          : ": Done, but " + OneLine(ReasonOnOneLine(note, names)) + "\n"));
      if (console.details && !f.details.empty()) Print("  " + OneLine(f.details) + "\n");
      break;
    case FileResult::kAbort:
      Print(source + ": Abort\n");
      break;
    case FileResult::kFail:
      Print(source +
            ": Fail: " + OneLine(ReasonOnOneLine(ReasonWithoutName(note, f.source), names)) + "\n");
      break;
    case FileResult::kPending:
      break;
  }
}

// Called with console.mutex held, after the result line of F, for each listed file once it has
// ended (also when it failed before its job). With --trash-sources a source moves after its
// last job, when every job that read it ended done without a note; a done file then gets a
// second line, "FILE: moved to the trash" or "FILE: kept (REASON)". A failed or aborted file
// never touches its source and gets no second line.
void TrashSourceAfterEnd(Console& console, const FileState& f) {
  if (!console.trash_sources) return;
  const std::string said =
      console.trash_plan.AfterUse(f.source, f.result == FileResult::kDone, f.warned);
  if (!said.empty()) Print(OneLine(f.source) + ": " + OneLine(said) + "\n");
}

void OnTerminate(Console& console, TCustomJobComponent& component, int index, bool finished,
                 bool exception, const std::string& message) {
  // Read before taking console.mutex: RunWarning() takes the component's lock, which this
  // thread already holds while the event runs.
  std::string warning, details;
  if (index >= 0 && finished && !exception) {
    try {
      warning = component.RunWarning(index);
      details = component.RunCheckDetails(index);
    } catch (const std::exception&) {
    }
  }
  std::lock_guard<std::mutex> guard(console.mutex);
  if (index < 0) {
    ClearLiveLine(console);
    console.run_over = true;
    console.run_over_cv.notify_all();
    return;
  }
  auto it = console.by_job.find(index);
  if (it == console.by_job.end()) return;
  FileState& f = console.files[it->second];
  f.running = false;
  std::string note = message;
  if (exception) {
    f.result = FileResult::kFail;
  } else if (finished) {
    // A job that reached the end of its input before a stop request is done.
    f.result = FileResult::kDone;
    f.warned = !warning.empty();
    f.details = details;
    note = warning;
  } else if (console.user_aborted) {
    f.result = FileResult::kAbort;
  } else {
    // Not finished, no error and no stop request: never report that as a success.
    f.result = FileResult::kFail;
    note = kEndedEarlyReason;
  }
  PrintResult(console, f, note);
  TrashSourceAfterEnd(console, f);
  // Jobs start in list order: the first jobs_at_once at Start, then one per terminate notice.
  ++console.jobs_terminated;
  const int next_job = console.jobs_at_once + console.jobs_terminated - 1;
  if (auto next = console.by_job.find(next_job); next != console.by_job.end()) {
    console.files[next->second].started = Clock::now();
  }
  if (console.live) DrawLiveLine(console);
}

// Stop requests by signal. The first SIGINT, SIGTERM or SIGHUP stops the run like the Stop
// button; a second one ends the program at once.
struct StopControl {
  std::mutex mutex;            // held while stopping, and while the main thread starts a batch
  std::atomic<int> signal{0};  // the first stop signal, 0 while none came
  std::atomic<bool> setup_over{false};
};

void EmptyHandler(int) {}

void SignalThread(const sigset_t& waited, StopControl& stop, Console& console,
                  TCustomJobComponent& component, pthread_t main_thread) {
  const timespec tick{0, 100 * 1000 * 1000};
  for (;;) {
    const int sig = sigtimedwait(&waited, nullptr, &tick);
    if (sig == kQuitSignal) return;
    if (sig < 0) {
      // While the main thread may still be inside a set-up call, keep cutting its blocking
      // system calls short until it has seen the stop.
      if (stop.signal != 0 && !stop.setup_over) pthread_kill(main_thread, kWakeSignal);
      continue;
    }
    if (stop.signal != 0) {
      // A second request: end now, as the default action of the signal does.
      signal(sig, SIG_DFL);
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, sig);
      pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      raise(sig);
      _exit(128 + sig);
    }
    std::lock_guard<std::mutex> guard(stop.mutex);
    {
      std::lock_guard<std::mutex> console_guard(console.mutex);
      console.user_aborted = true;
    }
    stop.signal = sig;
    component.SetProbeAbort(true);
    component.Stop();
    pthread_kill(main_thread, kWakeSignal);
  }
}

// Standard input, output and error left closed by the caller are opened on /dev/null, so that
// no file the program opens later takes their number and receives its messages.
void OpenMissingStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) close(opened);
    }
  }
}

// Selects the item of LIST that TEXT names, the exact text first, then in any letter case.
bool SelectAnyCase(TSettingList& list, const std::string& text) {
  if (list.SelectText(text)) return true;
  for (const std::string& item : list.Items()) {
    if (strcasecmp(item.c_str(), text.c_str()) == 0) return list.SelectText(item);
  }
  return false;
}

// Reads the arguments and the setting choices they make. False, after printing why, when they
// are not valid.
bool ReadChoices(int argc, char** argv, ConvertArgs& args, TMainSettings& settings) {
  try {
    args = ParseArgs(argc, argv);
    InitialiseSettingLists(settings);
    ApplySettingChoices(settings, args.choices);
    if (args.aspect == "Original") settings.ComboAspectRatio.Select(0);
    if (args.aspect == "4:3") settings.ComboAspectRatio.Select(1);
    if (args.aspect == "16:9") settings.ComboAspectRatio.Select(2);
    if (!args.zoom.empty()) settings.ComboLetterBox.SelectText(args.zoom);
    if (!args.video_codec.empty() && !SelectAnyCase(settings.ComboVideoCodec, args.video_codec)) {
      std::string offered;
      for (const std::string& item : settings.ComboVideoCodec.Items()) {
        offered += (offered.empty() ? "" : ", ") + item;
      }
      throw TChoiceError("--video-codec \"" + args.video_codec +
                         "\" is not offered by this format (offered: " + offered + ")");
    }
  } catch (const TChoiceError& e) {
    PrintError(e.what());
    return false;
  }
  return true;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The files to convert: each folder among FILES is replaced by the media files inside it and
// its subfolders, as the window adds a dropped folder. A folder without any stays, to be
// reported as such.
std::vector<std::string> WithFoldersExpanded(const std::vector<std::string>& files) {
  std::vector<std::string> expanded;
  for (const std::string& file : files) {
    std::vector<std::string> found;
    if (IsFolder(file)) found = MediaFilesInFolder(file);
    if (found.empty()) {
      expanded.push_back(file);
    } else {
      expanded.insert(expanded.end(), found.begin(), found.end());
    }
  }
  return expanded;
}

// Why the output folder cannot take the outputs, or "" when it can.
std::string OutputFolderProblem(const std::string& output_folder) {
  // The name byte for byte, as the outputs will use it.
  const std::string& folder = output_folder;
  struct stat st;
  if (stat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    return "The output folder \"" + OneLine(output_folder) +
           "\" is not a folder. Please choose a folder.";
  }
  if (stat(folder.c_str(), &st) != 0) {
    return "The output folder \"" + OneLine(output_folder) +
           "\" does not exist or has been deleted! Please choose a new output folder.";
  }
  return "";
}

// Blocks the stop signals and the signal thread's quit signal (before any thread exists, so that
// every thread inherits the mask and only the signal thread takes them) and makes the wake
// signal interrupt system calls. Returns the signals the signal thread waits for.
sigset_t PrepareSignals() {
  // A closed standard output is a reason to stop printing (see Print), not to end.
  signal(SIGPIPE, SIG_IGN);
  sigset_t waited;
  sigemptyset(&waited);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, kQuitSignal}) sigaddset(&waited, sig);
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);
  // No SA_RESTART: the wake signal cuts a blocking call short and does nothing else.
  struct sigaction wake {};
  wake.sa_handler = EmptyHandler;
  sigemptyset(&wake.sa_mask);
  sigaction(kWakeSignal, &wake, nullptr);
  return waited;
}

// Everything one run of the command shares between its steps.
struct ConvertRun {
  const ConvertArgs& args;
  const TMainSettings& settings;
  TCustomJobComponent& component;
  Console& console;
  StopControl& stop;
  TRunOutputNames names;  // names promised to the outputs, and the files the run reads
  std::vector<std::string> scripts;
};

// With --skip-existing: the output FILE would get without numbering, when a finished file of
// that name is there (a regular file with content; an unfinished output only ever has its
// hidden temporary name), else "". The source itself never counts as its own output.
std::string FinishedOutput(const ConvertRun& run, const std::string& file) {
  const std::string plain = PlainOutputPath(run.args.output_folder, file, run.settings);
  struct stat out {};
  struct stat in {};
  if (stat(plain.c_str(), &out) != 0 || !S_ISREG(out.st_mode) || out.st_size == 0) return {};
  if (stat(file.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) return {};
  return plain;
}

// Sets up one job for each of the files [first, last), printing what goes where or why a file
// fails. A file is opened once, by its job: the picture size and duration the options need
// come from there.
void SetUpBatch(ConvertRun& run, size_t first, size_t last) {
  Console& console = run.console;
  for (size_t i = first; i < last && run.stop.signal == 0; ++i) {
    const std::string& file = run.args.files[i];
    if (IsFolder(file)) {
      // Folders were replaced by their media files; one left here has none.
      std::lock_guard<std::mutex> guard(console.mutex);
      console.files.push_back(FileState{file});
      console.files.back().result = FileResult::kFail;
      PrintResult(console, console.files.back(), "no media files in this folder");
      TrashSourceAfterEnd(console, console.files.back());
      continue;
    }
    if (run.args.skip_existing) {
      const std::string finished = FinishedOutput(run, file);
      if (!finished.empty()) {
        std::lock_guard<std::mutex> guard(console.mutex);
        console.files.push_back(FileState{file, finished});
        console.files.back().result = FileResult::kDone;
        Print(OneLine(file) + ": Skipped, " + OneLine(finished) + " exists\n");
        continue;
      }
    }
    TConversionRow row;
    row.SourcePath = file;
    row.ColumnsFromJob = true;
    TJobExtras extras;
    extras.CheckOutput = run.args.check;
    extras.TargetSizeBytes = run.args.target_bytes;
    const TConversionJobSetup setup =
        SetUpConversionJob(run.component, run.settings, run.args.output_folder, run.args.overwrite,
                           row, run.names.Reserved(), extras);
    if (!setup.ScriptPath.empty()) run.scripts.push_back(setup.ScriptPath);
    std::lock_guard<std::mutex> guard(console.mutex);
    console.files.push_back(FileState{file});
    FileState& f = console.files.back();
    if (!setup.Ok) {
      // A set-up cut short by a stop request is an abort, not a failure.
      f.result = run.stop.signal != 0 ? FileResult::kAbort : FileResult::kFail;
      PrintResult(console, f, setup.Error);
      TrashSourceAfterEnd(console, f);
    } else {
      run.names.Promise(setup.OutputPath);
      f.output = setup.OutputPath;
      f.duration_known = DurationLimitMs(run.component.SourceColumns(setup.Index).duration) < 0;
      f.job_index = setup.Index;
      console.by_job[setup.Index] = console.files.size() - 1;
      Print(OneLine(file) + " -> " + OneLine(setup.OutputPath) + "\n");
    }
  }
}

// Starts the jobs of the batch set up last and waits for the run's final notice; then frees
// the jobs.
void RunBatch(ConvertRun& run) {
  Console& console = run.console;
  bool any_job = false;
  {
    std::lock_guard<std::mutex> guard(console.mutex);
    const auto now = Clock::now();
    for (FileState& f : console.files) f.started = now;
    console.run_over = false;
    console.jobs_terminated = 0;
    any_job = !console.by_job.empty();
  }
  bool started = false;
  if (any_job) {
    // Not under console.mutex: the component's events take it while holding the component's
    // lock, which Start takes too. Under stop.mutex, so that a stop request comes either
    // before (and nothing starts) or after Start (and stops what it started).
    std::lock_guard<std::mutex> stop_guard(run.stop.mutex);
    if (run.stop.signal == 0) {
      run.component.Start(run.args.jobs);
      started = true;
    }
  }
  if (started) {
    std::unique_lock<std::mutex> lock(console.mutex);
    console.run_over_cv.wait(lock, [&console] { return console.run_over; });
  }
  run.component.ClearTasks();
  std::lock_guard<std::mutex> guard(console.mutex);
  console.by_job.clear();
}

// Prints the line of every file not reported yet (never set up or never started: aborted) and
// the summary, on a terminal with the run's time and the size of the files it wrote. Returns
// the exit status.
int ReportRun(Console& console, const ConvertArgs& args, int stop_signal) {
  std::lock_guard<std::mutex> guard(console.mutex);
  for (size_t i = console.files.size(); i < args.files.size(); ++i) {
    console.files.push_back(FileState{args.files[i]});
  }
  TRunCounts counts;
  int64_t written_bytes = 0;
  for (FileState& f : console.files) {
    if (f.result == FileResult::kPending) {
      f.result = FileResult::kAbort;
      PrintResult(console, f, "");
    }
    struct stat st;
    // Done files, and the files a stop ended after they had started writing (an existing
    // file of that name was not written by this run when its job never started).
    const bool written =
        f.result == FileResult::kDone || (f.result == FileResult::kAbort && f.reported);
    if (written && !f.output.empty() && stat(f.output.c_str(), &st) == 0) {
      written_bytes += st.st_size;
    }
    counts.done += f.result == FileResult::kDone;
    counts.warned += f.warned;
    counts.failed += f.result == FileResult::kFail;
    counts.aborted += f.result == FileResult::kAbort;
  }
  std::string totals;
  if (console.live) {
    totals = " in " +
             ClockText(std::chrono::duration<double>(Clock::now() - console.run_started).count()) +
             ", " + KBytesText(written_bytes) + " written";
  }
  if (counts.AllClean(static_cast<int>(console.files.size()))) {
    Print("All Conversions Completed" + totals + "\n");
  } else {
    Print(RunCountsText(counts) + totals + "\n");
  }
  if (stop_signal != 0) return 128 + stop_signal;
  if (counts.failed > 0) return 1;
  return counts.warned > 0 ? 3 : 0;
}

// Connects the component's progress and terminate events to the console.
void ConnectEvents(TCustomJobComponent& component, Console& console) {
  component.OnProgress = [&console](int index, int frame_number, int, int current_duration_ms,
                                    float, float, int64_t current_size, int total_duration_ms) {
    OnProgress(console, index, frame_number, current_duration_ms, current_size, total_duration_ms);
  };
  component.OnTerminate = [&console, &component](int index, bool finished, bool exception,
                                                 const std::string& message) {
    OnTerminate(console, component, index, finished, exception, message);
  };
}

// Converts the files in batches, so that a long file list never holds more than a batch of
// open inputs at once, with a signal thread taking stop requests meanwhile. Returns the exit
// status.
int ConvertFiles(const ConvertArgs& args, const TMainSettings& settings, const sigset_t& waited,
                 Console& console, StopControl& stop) {
  VIDevozORE component;
  if (!component.LoadLibraries()) {
    PrintError("Some files are missing. Please re-install this software (" + component.LastError() +
               ")");
    return 1;
  }
  component.CodecThreads = args.threads;
  ConnectEvents(component, console);
  std::thread signal_thread(SignalThread, std::cref(waited), std::ref(stop), std::ref(console),
                            std::ref(component), pthread_self());
  {
    std::lock_guard<std::mutex> guard(console.mutex);
    for (const std::string& file : args.files) console.trash_plan.AddUse(file);
  }
  ConvertRun run{args, settings, component, console, stop, TRunOutputNames(args.files), {}};
  const size_t per_batch = FilesPerBatch(args.jobs);
  for (size_t first = 0; first < args.files.size() && stop.signal == 0; first += per_batch) {
    SetUpBatch(run, first, std::min(args.files.size(), first + per_batch));
    RunBatch(run);
  }
  stop.setup_over = true;
  for (const std::string& script : run.scripts) std::remove(script.c_str());
  // From here on a stop request changes nothing: every job has ended.
  pthread_kill(signal_thread.native_handle(), kQuitSignal);
  signal_thread.join();
  return ReportRun(console, args, stop.signal);
}

// --estimate: each file's estimated output size with the chosen settings,
// "FILE: ~12.4 MB (12412345 bytes)" ("FILE: ?" for an unknown duration, "FILE: Fail: REASON"
// for a file that cannot be read), then "Total: ~24.8 MB for 2 files". Nothing is written.
int EstimateFiles(const ConvertArgs& args, const TMainSettings& settings) {
  VIDevozORE component;
  if (!component.LoadLibraries()) {
    PrintError("Some files are missing. Please re-install this software (" + component.LastError() +
               ")");
    return 1;
  }
  std::vector<TSizeEstimate> estimates;
  bool any_failed = false;
  for (const std::string& file : args.files) {
    const ProbeColumns columns = IsFolder(file) ? ProbeColumns{} : component.ProbeFile(file);
    if (!columns.ok) {
      const std::string reason = IsFolder(file) ? "no media files in this folder" : columns.error;
      Print(OneLine(file) +
            ": Fail: " + OneLine(ReasonOnOneLine(ReasonWithoutName(reason, file), {file})) + "\n");
      any_failed = true;
      continue;
    }
    estimates.push_back(EstimateOutputSize(settings, columns));
    const TSizeEstimate& estimate = estimates.back();
    Print(OneLine(file) + ": " + estimate.Text() +
          (estimate.Known ? " (" + std::to_string(estimate.Bytes) + " bytes)" : "") + "\n");
  }
  Print("Total: " + TotalEstimateText(estimates) + "\n");
  return any_failed ? 1 : 0;
}

}  // namespace

int RunConvert(int argc, char** argv) {
  OpenMissingStandardDescriptors();
  ConvertArgs args;
  TMainSettings settings;
  if (!ReadChoices(argc, argv, args, settings)) return 2;
  args.files = WithFoldersExpanded(args.files);
  if (args.estimate) return EstimateFiles(args, settings);
  if (const std::string problem = OutputFolderProblem(args.output_folder); !problem.empty()) {
    PrintError(problem);
    return 2;
  }
  const sigset_t waited = PrepareSignals();
  Console console;
  console.live = isatty(STDOUT_FILENO) != 0;
  console.jobs_at_once = args.jobs;
  console.trash_sources = args.trash_sources && args.check;
  if (args.trash_sources && !args.check) {
    PrintError(
        "--trash-sources: every source stays where it is, since --no-check leaves the "
        "outputs unchecked");
  }
  console.details = args.details;
  StopControl stop;
  return ConvertFiles(args, settings, waited, console, stop);
}
