// Feeds one option (name and value, split at the first '=') to the dispatcher of a reset
// engine. Option failures are FFMpegException; anything else (a crash, a sanitizer report,
// another exception) is a fault.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Binding.h"
#include "EngineDoor.h"

extern "C" {
#include <libavutil/log.h>
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TEngineDoor* engine = [] {
    std::string error;
    LoadLibraries("", true, error);
    auto* e = new TEngineDoor();
    e->ResetEngine();
    return e;
  }();
  static int runs = 0;
  // A fresh engine state now and then, so accumulated options do not hide paths.
  if (++runs % 64 == 0) engine->ResetEngine();

  std::string text(reinterpret_cast<const char*>(data), size);
  std::size_t equals = text.find('=');
  std::string name = text.substr(0, equals);
  std::string value = equals == std::string::npos ? std::string() : text.substr(equals + 1);
  // A frame-hook command loads a shared object by name: not something to try with random paths.
  if (name == "vhook") return 0;
  try {
    engine->Dispatch(name, value);
  } catch (const FFMpegException&) {
  }
  av_log_set_level(AV_LOG_QUIET);  // "v" may have raised it
  return 0;
}
