// --list-formats and --show-options: the profile model on the command line.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "Commands.h"
#include "FormatCatalogue.h"
#include "MainSettings.h"
#include "ProfileErrors.h"
#include "SettingChoices.h"

namespace {

void PrintError(const std::string& message) {
  std::fprintf(stderr, "quorvin-convert: %s\n", message.c_str());
}

}  // namespace

bool TakeChoiceOption(int argc, char** argv, int& i, TSettingChoices& choices) {
  struct Option {
    const char* name;
    std::string* value = nullptr;
    std::optional<std::string>* optional = nullptr;
  };
  const Option options[] = {
      {"--format", &choices.Format},
      {"--video-quality", &choices.VideoQuality},
      {"--audio-quality", &choices.AudioQuality},
      {"--size", nullptr, &choices.Size},
      {"--framerate", nullptr, &choices.FrameRate},
      {"--channels", nullptr, &choices.Channels},
      {"--volume", nullptr, &choices.Volume},
  };
  for (const Option& option : options) {
    if (std::strcmp(argv[i], option.name) != 0) continue;
    if (i + 1 >= argc) throw TChoiceError(std::string(option.name) + " needs a value");
    const std::string value = argv[++i];
    if (option.value) {
      *option.value = value;
    } else {
      *option.optional = value;
    }
    return true;
  }
  return false;
}

int RunListFormats(int argc, char** argv) {
  if (argc > 1) {
    PrintError(std::string("--list-formats takes no arguments, got \"") + argv[1] + "\"");
    return 2;
  }
  const auto items = OutputFormatListItems();
  for (int i = 0; i < static_cast<int>(items.size()); ++i) {
    const FormatCatalogueEntry* entry = FindFormat(items[i]);
    if (entry == nullptr) continue;  // separator
    std::printf("%d\t%.*s\t%.*s\n", i, static_cast<int>(entry->Extension.size()),
                entry->Extension.data(), static_cast<int>(entry->Caption.size()),
                entry->Caption.data());
  }
  return 0;
}

int RunShowOptions(int argc, char** argv) {
  TSettingChoices choices;
  TOutputOptions options;
  try {
    for (int i = 1; i < argc; ++i) {
      if (!TakeChoiceOption(argc, argv, i, choices)) {
        throw TChoiceError(std::string("unknown option \"") + argv[i] + "\" for --show-options");
      }
    }
    TMainSettings settings;
    InitialiseSettingLists(settings);
    ApplySettingChoices(settings, choices);
    options = ProfileOutputOptions(settings);
  } catch (const TChoiceError& e) {
    PrintError(e.what());
    return 2;
  } catch (const std::exception& e) {
    PrintError(std::string("cannot translate the settings: ") + e.what());
    return 1;
  }
  auto boolean = [](bool value) { return value ? "true" : "false"; };
  std::printf("FrameRate=%s\n", options.FrameRate.c_str());
  std::printf("VideoCodec=%s\n", options.VideoCodec.c_str());
  std::printf("AudioCodec=%s\n", options.AudioCodec.c_str());
  std::printf("FrameSize=%s\n", options.FrameSize.c_str());
  std::printf("VideoBitrate=%d\n", options.VideoBitrate);
  std::printf("AudioBitrate=%d\n", options.AudioBitrate);
  std::printf("AudioSampleRate=%d\n", options.AudioSampleRate);
  std::printf("AudioChannels=%d\n", options.AudioChannels);
  std::printf("DisableVideo=%s\n", boolean(options.DisableVideo));
  std::printf("AudioVolume=%d\n", options.AudioVolume);
  // Fields only some formats set; the others' output stays as it was.
  if (options.VideoQuality >= 0) std::printf("VideoQuality=%d\n", options.VideoQuality);
  if (options.VideoMaxRate > 0) std::printf("VideoMaxRate=%d\n", options.VideoMaxRate);
  if (options.AudioCompressionLevel >= 0)
    std::printf("AudioCompressionLevel=%d\n", options.AudioCompressionLevel);
  return 0;
}
