#include "FilterLibrary.h"

#include <dlfcn.h>

#include <mutex>

extern "C" {
#include <libavdevice/version.h>
#include <libavfilter/version.h>
}

#include "FFmpegException.h"

namespace {

std::string SharedName(const char* name, int major) {
  return std::string("lib") + name + ".so." + std::to_string(major);
}

std::string LoadErrorText(const std::string& file, const std::string& reason) {
  return "Load libraray " + file + " error: " + reason;
}

// The library named FILE, loaded once for the life of the process (never unloaded: filter
// graphs and registered formats point into it). Empty REASON on success.
void* OpenShared(const std::string& file, std::string& reason) {
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    reason = why ? why : "not found";
  }
  return handle;
}

template <typename Fn>
bool Find(void* handle, const char* symbol, Fn& fn, std::string& reason) {
  fn = reinterpret_cast<Fn>(dlsym(handle, symbol));
  if (!fn) reason = std::string("no function ") + symbol;
  return fn != nullptr;
}

struct LoadedFilters {
  TFilterLibrary api;
  std::string error;  // empty when loaded
};

LoadedFilters LoadFilters() {
  LoadedFilters loaded;
  const std::string file = SharedName("avfilter", LIBAVFILTER_VERSION_MAJOR);
  std::string reason;
  void* h = OpenShared(file, reason);
  TFilterLibrary& f = loaded.api;
  const bool ok = h && Find(h, "avfilter_get_by_name", f.get_by_name, reason) &&
                  Find(h, "avfilter_graph_alloc", f.graph_alloc, reason) &&
                  Find(h, "avfilter_graph_create_filter", f.graph_create_filter, reason) &&
                  Find(h, "avfilter_graph_parse_ptr", f.graph_parse_ptr, reason) &&
                  Find(h, "avfilter_graph_config", f.graph_config, reason) &&
                  Find(h, "avfilter_graph_free", f.graph_free, reason) &&
                  Find(h, "avfilter_inout_alloc", f.inout_alloc, reason) &&
                  Find(h, "avfilter_inout_free", f.inout_free, reason) &&
                  Find(h, "avfilter_link", f.link, reason) &&
                  Find(h, "av_buffersrc_add_frame", f.buffersrc_add_frame, reason) &&
                  Find(h, "av_buffersrc_add_frame_flags", f.buffersrc_add_frame_flags, reason) &&
                  Find(h, "av_buffersink_get_frame", f.buffersink_get_frame, reason) &&
                  Find(h, "av_buffersink_get_time_base", f.buffersink_get_time_base, reason);
  if (!ok) loaded.error = LoadErrorText(file, reason);
  return loaded;
}

}  // namespace

const TFilterLibrary& FilterLibrary() {
  static const LoadedFilters loaded = LoadFilters();
  if (!loaded.error.empty()) throw FFMpegException(loaded.error);
  return loaded.api;
}

void FreeFilterGraph(AVFilterGraph** graph) {
  if (graph && *graph) FilterLibrary().graph_free(graph);
}

bool RegisterDeviceFormats(std::string& error_text) {
  static std::once_flag once;
  static std::string error;
  std::call_once(once, [] {
    const std::string file = SharedName("avdevice", LIBAVDEVICE_VERSION_MAJOR);
    std::string reason;
    void (*register_all)() = nullptr;
    void* h = OpenShared(file, reason);
    if (h && Find(h, "avdevice_register_all", register_all, reason))
      register_all();
    else
      error = LoadErrorText(file, reason);
  });
  error_text = error;
  return error.empty();
}
