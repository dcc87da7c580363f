#include "FrameHook.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <new>

extern "C" {
#include <libavutil/log.h>
}

namespace {

// Modules stay loaded for the life of the process: a chain's nodes point into them, and a
// module named again by a later job is reused rather than loaded a second time.
std::mutex g_modules_mutex;              // guards g_modules
std::map<std::string, void*> g_modules;  // file name -> dlopen handle

void* LoadModule(const std::string& file_name) {
  std::lock_guard<std::mutex> lock(g_modules_mutex);
  auto found = g_modules.find(file_name);
  if (found != g_modules.end()) return found->second;
  void* handle = dlopen(file_name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    av_log(nullptr, AV_LOG_ERROR, "%s\n", why ? why : "cannot load module");
    return nullptr;
  }
  g_modules.emplace(file_name, handle);
  return handle;
}

}  // namespace

TFrameHookChain::~TFrameHookChain() {
  ReleaseFrameHooks(*this);
}

int AddFrameHook(TFrameHookChain& chain, const std::vector<std::string>& words) {
  if (words.empty()) return -2;
  void* handle = LoadModule(words[0]);
  if (!handle) return -1;

  TFrameHookChain::Node node;
  node.configure = reinterpret_cast<QuorvinHookConfigureFn>(dlsym(handle, "Configure"));
  node.process = reinterpret_cast<QuorvinHookProcessFn>(dlsym(handle, "Process"));
  node.release = reinterpret_cast<QuorvinHookReleaseFn>(dlsym(handle, "Release"));
  if (!node.process) {
    av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n", words[0].c_str());
    return -2;
  }
  if (!node.configure && words.size() > 1) {
    av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n", words[0].c_str());
    return -2;
  }
  try {
    chain.nodes_.reserve(chain.nodes_.size() + 1);
  } catch (const std::bad_alloc&) {
    return -12;
  }
  if (node.configure) {
    // The module receives its own mutable copies of the words, ending with a null entry.
    std::vector<std::string> copies(words);
    std::vector<char*> argv;
    for (auto& word : copies) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (node.configure(&node.context, static_cast<int>(words.size()), argv.data()) != 0) {
      av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", words[0].c_str());
      // A module may have allocated its context before refusing.
      if (node.release && node.context) node.release(node.context);
      return -22;
    }
  }
  chain.nodes_.push_back(node);
  return 0;
}

void RunFrameHooks(TFrameHookChain& chain, QuorvinHookPicture* picture, int pix_fmt, int width,
                   int height, int64_t pts_us) {
  for (auto& node : chain.nodes_)
    node.process(node.context, picture, pix_fmt, width, height, pts_us);
}

void ReleaseFrameHooks(TFrameHookChain& chain) {
  for (auto& node : chain.nodes_)
    if (node.release) node.release(node.context);
  chain.nodes_.clear();
}
