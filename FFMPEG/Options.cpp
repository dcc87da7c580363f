// The option dispatcher, the generic option store and the target presets.
#include <string>

#include "Binding.h"
#include "FFmpeg.h"

extern "C" {
#include <libavutil/opt.h>
}

void TCustomFFmpeg::ApplyGenericOptions(void* target, const void* source, int flags) {
  if (!target || !source) return;
  for (const auto& name : OptionNames) {
    const AVOption* option = av_opt_find(const_cast<void*>(source), name.c_str(), nullptr, 0, 0);
    if (!option || (option->flags & flags) != flags) continue;
    uint8_t* text = nullptr;
    if (av_opt_get(const_cast<void*>(source), name.c_str(), 0, &text) < 0) continue;
    av_opt_set(target, name.c_str(), reinterpret_cast<const char*>(text), 0);
    av_free(text);
  }
}
