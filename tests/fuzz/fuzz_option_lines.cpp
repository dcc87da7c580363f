// Feeds a whole text to the option-line rules: ExtraOptions lines through the dispatcher, hook
// ranges, frame-hook command words and the number conversions.
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
    return e;
  }();
  std::string text(reinterpret_cast<const char*>(data), size);

  for (const auto& [name, value] : SplitOptionLines(text)) {
    (void)value;
    if (name == "vhook") return 0;  // never load shared objects named by random text
  }
  engine->ResetEngine();
  try {
    engine->ApplyOptionLines(text);
  } catch (const FFMpegException&) {
  }
  av_log_set_level(AV_LOG_QUIET);

  for (const auto& range : ParseHookRanges(text))
    if (range.End < range.Start || range.End < 0) __builtin_trap();
  for (const auto& word : SplitHookCommand(text))
    if (word.empty()) __builtin_trap();
  long long integer = 0;
  double number = 0;
  ParseIntValue(text, integer);
  ParseFloatValue(text, number);
  TextCursor cursor(text);
  cursor.Long();
  cursor.SkipOne();
  cursor.Double();
  LeadingInt(text, 0);
  TimestampFromDateTime(number, static_cast<int>(integer % 1440));
  return 0;
}
