#include "QualityLevels.h"

#include "FormatCatalogue.h"
#include "MainSettings.h"

namespace {

// The number at a list's selected quality index; no selection reads as the empty text.
std::string_view LevelValue(const std::array<std::string_view, 5>& values, int index) {
  return (index >= 0 && index < static_cast<int>(values.size())) ? values[index]
                                                                 : std::string_view{};
}

}  // namespace

void ApplyQualityLevels(TMainSettings& settings) {
  const FormatCatalogueEntry* format = SelectedFormat(settings);
  if (format == nullptr) return;
  const TQualityRow& row = format->Quality;

  std::string video(LevelValue(row.Video, settings.ComboVideoQuality.ItemIndex()));
  settings.ComboVideoBitrate.SelectText(video + " Kbps");

  // The audio list words its items "128 Kbps", "7400 bps" (the mobile formats, in bit/s) or
  // "Level 5" (FLAC compression levels).
  const std::string& current = settings.ComboAudioBitrate.Text();
  std::string audio(LevelValue(row.Audio, settings.ComboAudioQuality.ItemIndex()));
  if (current.rfind(kCompressionLevelPrefix, 0) == 0) {
    settings.ComboAudioBitrate.SelectText(std::string(kCompressionLevelPrefix) + audio);
    return;
  }
  const bool kbps = current.find("Kbps") != std::string::npos;
  settings.ComboAudioBitrate.SelectText(audio + (kbps ? " Kbps" : " bps"));
}

const std::string& ComboVideoQualityHint(const TMainSettings& settings) {
  return settings.ComboVideoBitrate.Text();
}

const std::string& ComboAudioQualityHint(const TMainSettings& settings) {
  return settings.ComboAudioBitrate.Text();
}
