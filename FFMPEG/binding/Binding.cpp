#include "Binding.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {

std::mutex g_load_mutex;            // guards the load step itself
std::atomic<bool> g_loaded{false};  // set once every library passed the check
int g_level_at_load = AV_LOG_INFO;  // the libraries' own level before the load; under g_load_mutex
// Level of lines logged on threads without a level of their own: engine scale, and the
// libraries' scale the log callback compares with.
std::atomic<int> g_engine_level{1};
std::atomic<int> g_av_limit{AV_LOG_INFO};
std::atomic<void (*)(int, const char*)> g_sink{nullptr};

// The calling thread's own limit on the libraries' scale (TThreadLogLevel), or kNoThreadLimit.
constexpr int kNoThreadLimit = INT_MIN;
thread_local int t_av_limit = kNoThreadLimit;

// av_log_format_line2 keeps track of whether the next piece starts a line; the libraries log
// from many threads, so each thread keeps its own state.
thread_local int t_print_prefix = 1;

void LogCallback(void* avcl, int level, const char* fmt, va_list args) {
  // Decided before any formatting: most lines the libraries log are not shown to anyone.
  const int limit =
      t_av_limit != kNoThreadLimit ? t_av_limit : g_av_limit.load(std::memory_order_relaxed);
  if (level > limit) return;
  auto sink = g_sink.load();
  if (!sink) {
    av_log_default_callback(avcl, level, fmt, args);
    return;
  }
  // Lines longer than the buffer are cut; the buffer keeps 2047 characters and the zero.
  char line[2048];
  va_list copy;
  va_copy(copy, args);
  av_log_format_line2(avcl, level, fmt, copy, line, sizeof(line), &t_print_prefix);
  va_end(copy);
  sink(level, line);
}

struct LibraryCheck {
  TLibrary library;
  const char* name;  // base name, e.g. "avcodec"
  unsigned runtime_version;
  unsigned header_major;
};

std::string LibraryFileName(const char* name, unsigned major, bool versioned) {
  std::string file = std::string("lib") + name + ".so";
  if (versioned) file.append(".").append(std::to_string(major));
  return file;
}

}  // namespace

bool LoadLibraries(const std::string& folder, bool versioned_names, std::string& error_text) {
  std::lock_guard<std::mutex> lock(g_load_mutex);
  if (g_loaded) return true;
  const LibraryCheck checks[] = {
      {TLibrary::avcodec, "avcodec", avcodec_version(), LIBAVCODEC_VERSION_MAJOR},
      {TLibrary::avformat, "avformat", avformat_version(), LIBAVFORMAT_VERSION_MAJOR},
      {TLibrary::avutil, "avutil", avutil_version(), LIBAVUTIL_VERSION_MAJOR},
      {TLibrary::swscale, "swscale", swscale_version(), LIBSWSCALE_VERSION_MAJOR},
      {TLibrary::swresample, "swresample", swresample_version(), LIBSWRESAMPLE_VERSION_MAJOR},
  };
  for (const auto& check : checks) {
    unsigned found_major = check.runtime_version >> 16;
    if (found_major != check.header_major) {
      std::string file = LibraryFileName(check.name, check.header_major, versioned_names);
      if (!folder.empty()) file = folder + "/" + file;
      char text[512];
      std::snprintf(text, sizeof(text), "Load libraray %s error: %s", file.c_str(),
                    ("version " + std::to_string(found_major) + " found, " +
                     std::to_string(check.header_major) + " expected")
                        .c_str());
      error_text = text;
      return false;
    }
  }
  // The level found becomes the level of lines outside any job; the libraries' own level is
  // opened fully, since every line now passes the filter of the log callback instead.
  g_level_at_load = av_log_get_level();
  SetLibraryLogLevel(EngineLogLevelFromAv(g_level_at_load));
  av_log_set_level(AV_LOG_TRACE);
  av_log_set_callback(LogCallback);
  // A write beyond the file-size limit (ulimit -f) then fails with EFBIG, which the run reports
  // ("File too large") before it removes its temporary file, instead of the signal ending the
  // whole program with the file left behind.
  signal(SIGXFSZ, SIG_IGN);
  g_loaded = true;
  return true;
}

bool LibrariesLoaded() {
  return g_loaded;
}

bool Bound(TLibrary) {
  return g_loaded;
}

void UnloadAll() {
  std::lock_guard<std::mutex> lock(g_load_mutex);
  if (!g_loaded) return;
  g_loaded = false;
  av_log_set_callback(av_log_default_callback);
  av_log_set_level(g_level_at_load);
}

void SetLibraryLogSink(void (*sink)(int av_level, const char* text)) {
  g_sink = sink;
}

int AvLogLevelFromEngine(int engine_level) {
  if (engine_level < 0) return AV_LOG_QUIET;
  switch (engine_level) {
    case 0:
      return AV_LOG_WARNING;
    case 1:
      return AV_LOG_INFO;
    case 2:
      return AV_LOG_DEBUG;
    default:
      return AV_LOG_TRACE;
  }
}

int EngineLogLevelFromAv(int av_level) {
  if (av_level < AV_LOG_PANIC) return -1;
  if (av_level <= AV_LOG_WARNING) return 0;
  if (av_level <= AV_LOG_INFO) return 1;
  if (av_level <= AV_LOG_DEBUG) return 2;
  return 3;
}

void SetLibraryLogLevel(int engine_level) {
  g_engine_level = engine_level < 0 ? -1 : engine_level;
  g_av_limit = AvLogLevelFromEngine(engine_level);
}

int LibraryLogLevel() {
  return g_engine_level;
}

TThreadLogLevel::TThreadLogLevel(int engine_level) : previous_(t_av_limit) {
  t_av_limit = AvLogLevelFromEngine(engine_level);
}

TThreadLogLevel::~TThreadLogLevel() {
  t_av_limit = previous_;
}

std::string ErrorText(int av_error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(av_error, text, sizeof(text)) < 0)
    std::snprintf(text, sizeof(text), "error %d", av_error);
  return text;
}

std::string ProgramFolder() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  std::string folder = exe.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}
