#include "SettingChoices.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <vector>

#include "FormatCatalogue.h"
#include "MainSettings.h"
#include "ProfileErrors.h"
#include "QualityLevels.h"
#include "TextRules.h"
#include "Translation.h"
#include "VolumeLevels.h"

namespace {

std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  quoted.append(text).push_back('"');
  return quoted;
}

std::string ItemsOnOffer(const TSettingList& list) {
  std::string result;
  for (const std::string& item : list.Items()) {
    if (!result.empty()) result += ", ";
    result += Quoted(item);
  }
  return result;
}

bool IsDigits(std::string_view text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string WithoutBlanks(std::string_view text) {
  std::string result;
  for (char c : text) {
    if (c != ' ') result += c;
  }
  return result;
}

std::optional<double> Number(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// Index of the item a choice names: the exact item text first, then the item text in any
// letter case, then the looser `same` rule.
template <typename Same>
int FindItem(const TSettingList& list, std::string_view text, Same same) {
  const int exact = list.IndexOf(text);
  if (exact >= 0) return exact;
  const std::string lower = LowerCase(text);
  for (int i = 0; i < list.Count(); ++i) {
    if (LowerCase(list.Items()[i]) == lower) return i;
  }
  for (int i = 0; i < list.Count(); ++i) {
    if (same(list.Items()[i])) return i;
  }
  return -1;
}

void SelectChoice(TSettingList& list, int index, std::string_view option, std::string_view text,
                  std::string_view what, const TMainSettings& settings) {
  if (index >= 0) {
    list.Select(index);
    return;
  }
  const std::string format = Quoted(settings.ComboOutputFormat.Text());
  if (list.Count() == 0) {
    throw TChoiceError(std::string(option) + " " + Quoted(text) + ": the format " + format +
                       " has no " + std::string(what) + " list");
  }
  throw TChoiceError(std::string(option) + " " + Quoted(text) + " names no item of the " +
                     std::string(what) + " list of " + format + "; choose one of " +
                     ItemsOnOffer(list));
}

int ResolveQualityOption(std::string_view option, std::string_view text) {
  try {
    return ResolveQualityChoice(text);
  } catch (const TChoiceError& e) {
    throw TChoiceError(std::string(option) + ": " + e.what());
  }
}

}  // namespace

int ResolveFormatChoice(std::string_view text) {
  const auto items = OutputFormatListItems();
  const int count = static_cast<int>(items.size());
  if (IsDigits(text)) {
    int index = 0;
    std::from_chars(text.data(), text.data() + text.size(), index);
    if (index >= count) {
      throw TChoiceError("--format " + std::string(text) + ": no output format has that list " +
                         "index (0 to " + std::to_string(count - 1) + ")");
    }
    if (FindFormat(items[index]) == nullptr) {
      throw TChoiceError("--format " + std::string(text) +
                         ": that list index is a separator, not a format");
    }
    return index;
  }
  // The names a format answers to, in any letter case, from the most to the least particular:
  // its key ("h264"; "mp4" stays the MPEG-4 format, as it was before the other MP4 formats came,
  // and no key is a name two formats share, such as "avi"), its caption, also without " (*.ext)";
  // the part before " - " ("MP3", "AVI"); its extension. The first kind that some format answers to
  // decides; two formats answering to it is an ambiguity ("avi", "mpg"), never a silent pick.
  const std::string wanted = LowerCase(text);
  auto caption_names = [](std::string_view caption) {
    std::vector<std::string> names{LowerCase(caption)};
    if (const size_t open = caption.rfind(" (*."); open != std::string_view::npos) {
      names.push_back(LowerCase(caption.substr(0, open)));
    }
    return names;
  };
  auto short_name = [](std::string_view caption) {
    const size_t dash = caption.find(" - ");
    return dash == std::string_view::npos ? std::string() : LowerCase(caption.substr(0, dash));
  };
  const std::function<bool(const FormatCatalogueEntry&)> kinds[] = {
      [&](const FormatCatalogueEntry& f) { return f.Key == wanted; },
      [&](const FormatCatalogueEntry& f) {
        const auto names = caption_names(f.Caption);
        return std::find(names.begin(), names.end(), wanted) != names.end();
      },
      [&](const FormatCatalogueEntry& f) { return short_name(f.Caption) == wanted; },
      [&](const FormatCatalogueEntry& f) { return LowerCase(f.Extension) == wanted; },
  };
  for (const auto& answers : kinds) {
    std::vector<int> found;
    for (int i = 0; i < count; ++i) {
      const FormatCatalogueEntry* format = FindFormat(items[i]);
      if (format != nullptr && answers(*format)) found.push_back(i);
    }
    if (found.size() == 1) return found.front();
    if (found.size() > 1) {
      std::string candidates;
      for (int i : found) {
        candidates += (candidates.empty() ? "" : ", ") + std::to_string(i) + " " + Quoted(items[i]);
      }
      throw TChoiceError("--format " + Quoted(text) + " names more than one format (" + candidates +
                         "); give its list index or caption");
    }
  }
  throw TChoiceError("--format " + Quoted(text) +
                     ": unknown output format (give a list index, a caption, a name such as "
                     "\"iPod\" or \"MP3\", or an extension; see --list-formats)");
}

int ResolveQualityChoice(std::string_view text) {
  const std::string lower = LowerCase(text);
  for (int i = 0; i < static_cast<int>(QualityLevels.size()); ++i) {
    if (LowerCase(QualityLevels[i]) == lower) return i;
  }
  throw TChoiceError("unknown quality level " + Quoted(text) +
                     "; choose one of Highest, Higher, Normal, Lower, Lowest");
}

int ResolveVolumeChoice(std::string_view text) {
  if (IsDigits(text)) {
    int position = 0;
    std::from_chars(text.data(), text.data() + text.size(), position);
    if (position < static_cast<int>(VolumeLevels.size())) return position;
  }
  throw TChoiceError("--volume " + Quoted(text) + ": give a whole number from 0 to 10");
}

void ApplySettingChoices(TMainSettings& settings, const TSettingChoices& choices) {
  const int format = ResolveFormatChoice(choices.Format);
  const int video_quality = ResolveQualityOption("--video-quality", choices.VideoQuality);
  const int audio_quality = ResolveQualityOption("--audio-quality", choices.AudioQuality);
  const int volume = choices.Volume ? ResolveVolumeChoice(*choices.Volume) : -1;

  settings.ComboOutputFormat.Select(format);
  settings.ComboVideoQuality.Select(video_quality);
  settings.ComboAudioQuality.Select(audio_quality);
  ApplyShownSettings(settings, {});

  if (choices.Size) {
    const std::string wanted = LowerCase(WithoutBlanks(*choices.Size));
    const int index = FindItem(settings.ComboVideoSize, *choices.Size, [&](const std::string& s) {
      return !wanted.empty() && LowerCase(FrameSizeRule(s)) == wanted;
    });
    SelectChoice(settings.ComboVideoSize, index, "--size", *choices.Size, "video size", settings);
  }
  if (choices.FrameRate) {
    const std::string_view text = *choices.FrameRate;
    const std::optional<double> wanted = Number(text);
    const bool auto_wanted = LowerCase(text) == "auto";
    const int index = FindItem(settings.ComboVideoFramerate, text, [&](const std::string& s) {
      if (auto_wanted) return LowerCase(s).find("auto") != std::string::npos;
      const std::optional<double> number = Number(LeadingNumber(s));
      return wanted && number && *wanted == *number;
    });
    SelectChoice(settings.ComboVideoFramerate, index, "--framerate", text, "frame rate", settings);
  }
  if (choices.Channels) {
    const std::string wanted = LowerCase(*choices.Channels);
    const int index = FindItem(settings.ComboAudioChannels, *choices.Channels,
                               [&](const std::string& s) { return LowerCase(s) == wanted; });
    SelectChoice(settings.ComboAudioChannels, index, "--channels", *choices.Channels,
                 "audio channels", settings);
  }
  if (volume >= 0) TrackBar1Change(settings, volume);
}

TOutputOptions ProfileOutputOptions(const TMainSettings& settings) {
  TOutputOptions options;
  ResetOutputOptions(options);
  FillProfileOptions(settings, options);
  return options;
}
