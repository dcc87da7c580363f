// Format list and catalogue: list contents, separator refusal, the format change handler's
// effects on the model (extension, last index, video lists, drop-down count, Output column).
#include <gtest/gtest.h>

#include <cctype>
#include <stdexcept>
#include <string>
#include <vector>

#include "FormatCatalogue.h"
#include "MainSettings.h"
#include "QualityLevels.h"

namespace {

constexpr const char* kAac = "AAC - Advance Audio Coding (*.aac)";
constexpr const char* kIPhone = "iPhone (*.mp4)";

TMainSettings CreatedSettings() {
  TMainSettings settings;
  InitialiseSettingLists(settings);
  return settings;
}

void Choose(TMainSettings& settings, int index, const TFormatChangeHooks& hooks = {}) {
  settings.ComboOutputFormat.Select(index);
  ComboOutputFormatChange(settings, hooks);
}

bool VideoListsEnabled(const TMainSettings& s) {
  return s.ComboVideoQuality.Enabled && s.ComboVideoSize.Enabled && s.ComboVideoFramerate.Enabled;
}

}  // namespace

TEST(ProfilesCatalogue, ListHoldsEighteenFormatsAndThreeSeparatorsInOrder) {
  TMainSettings settings = CreatedSettings();
  const TSettingList& list = settings.ComboOutputFormat;
  ASSERT_EQ(list.Count(), 21);
  EXPECT_EQ(list.ItemIndex(), 0);
  EXPECT_EQ(list.DropDownCount, 25);

  const std::string separator = "              -----------------------------------------";
  ASSERT_EQ(separator.size(), 55u);
  for (int index : {4, 8, 11}) EXPECT_EQ(list.Items()[index], separator) << index;

  // Every non-separator item is a catalogue row, with the extension its caption advertises.
  int formats = 0;
  for (int i = 0; i < list.Count(); ++i) {
    if (i == 4 || i == 8 || i == 11) continue;
    const FormatCatalogueEntry* entry = FindFormat(list.Items()[i]);
    ASSERT_NE(entry, nullptr) << list.Items()[i];
    ++formats;
    std::string lower_ext;
    for (char c : entry->Extension) lower_ext += static_cast<char>(std::tolower(c));
    EXPECT_NE(list.Items()[i].find("(*." + lower_ext + ")"), std::string::npos) << list.Items()[i];
  }
  EXPECT_EQ(formats, 18);
  EXPECT_EQ(list.Items()[0], "iPod (*.mp4)");
  EXPECT_EQ(list.Items()[13], "3G2 - Mobile Video Format (*.3g2)");
  EXPECT_EQ(list.Items()[20], "WMV - Windows Media Video (*.wmv)");
  EXPECT_EQ(FindFormat(list.Items()[19])->Extension, "MPG");
}

TEST(ProfilesCatalogue, LookupIsExactWholeTextCaseSensitive) {
  EXPECT_NE(FindFormat("iPod (*.mp4)"), nullptr);
  EXPECT_EQ(FindFormat("ipod (*.mp4)"), nullptr);
  EXPECT_EQ(FindFormat("iPod (*.mp4) "), nullptr);
  EXPECT_EQ(FindFormat("iPod"), nullptr);
  EXPECT_EQ(FindFormat(""), nullptr);
  EXPECT_EQ(FindFormat(kFormatSeparator), nullptr);
}

TEST(ProfilesCatalogue, SeparatorBringsPreviousFormatBackAndChangesNothing) {
  for (int previous : {0, 6, 12, 20}) {
    TMainSettings settings = CreatedSettings();
    Choose(settings, previous);
    settings.ComboAudioChannels.Select(1);
    const TMainSettings before = settings;
    int column_writes = 0;
    TFormatChangeHooks hooks{[&](const std::string&) { ++column_writes; }, [] { return 40; }};
    for (int separator : {4, 8, 11}) {
      Choose(settings, separator, hooks);
      EXPECT_EQ(settings.ComboOutputFormat.ItemIndex(), previous);
      EXPECT_EQ(settings.LastFormatIndex, previous);
      EXPECT_EQ(settings.OutputExtension, before.OutputExtension);
      EXPECT_EQ(settings.ComboVideoBitrate.Items(), before.ComboVideoBitrate.Items());
      EXPECT_EQ(settings.ComboAudioChannels.ItemIndex(), 1);
      EXPECT_EQ(settings.ComboOutputFormat.DropDownCount, before.ComboOutputFormat.DropDownCount);
    }
    EXPECT_EQ(column_writes, 0);
  }
}

TEST(ProfilesCatalogue, ChangeSetsExtensionLastIndexAndOutputColumn) {
  TMainSettings settings = CreatedSettings();
  std::vector<std::string> column;
  TFormatChangeHooks hooks{[&](const std::string& ext) { column.push_back(ext); }, {}};
  Choose(settings, 19, hooks);
  EXPECT_EQ(settings.OutputExtension, "MPG");
  EXPECT_EQ(settings.LastFormatIndex, 19);
  EXPECT_EQ(column, std::vector<std::string>{"MPG"});
  Choose(settings, 13, hooks);
  EXPECT_EQ(settings.OutputExtension, "3G2");
  EXPECT_EQ(column.back(), "3G2");
}

TEST(ProfilesCatalogue, AudioFormatsDisableTheVideoListsOthersEnableThem) {
  TMainSettings settings = CreatedSettings();
  Choose(settings, 5);
  EXPECT_FALSE(VideoListsEnabled(settings));
  // The hidden codec and bit-rate lists are not part of this check.
  EXPECT_TRUE(settings.ComboVideoBitrate.Enabled);
  Choose(settings, 9);
  EXPECT_EQ(settings.ComboOutputFormat.Text(), kIPhone);
  EXPECT_TRUE(VideoListsEnabled(settings));
  for (int audio : {5, 6, 7}) {
    Choose(settings, audio);
    EXPECT_FALSE(VideoListsEnabled(settings)) << audio;
    EXPECT_TRUE(IsAudioFormatCaption(settings.ComboOutputFormat.Text()));
  }
  EXPECT_TRUE(IsAudioFormatCaption(kAac));
  EXPECT_FALSE(IsAudioFormatCaption(kIPhone));
}

TEST(ProfilesCatalogue, UnknownSelectionRunsNoPresetButStillUpdatesTheWindow) {
  TMainSettings settings = CreatedSettings();
  Choose(settings, 5);  // AAC: video lists disabled
  const auto sizes = settings.ComboVideoSize.Items();
  std::string written = "none";
  // A stored index outside the list leaves no selection.
  Choose(settings, 42, {[&](const std::string& ext) { written = ext; }, {}});
  EXPECT_EQ(settings.ComboOutputFormat.ItemIndex(), -1);
  EXPECT_EQ(settings.OutputExtension, "AAC");
  EXPECT_EQ(written, "AAC");
  EXPECT_EQ(settings.LastFormatIndex, -1);
  EXPECT_EQ(settings.ComboVideoSize.Items(), sizes);
  EXPECT_TRUE(VideoListsEnabled(settings));
}

TEST(ProfilesCatalogue, DropDownCountComesFromTheOptionsOrFallsBackTo25) {
  TMainSettings settings = CreatedSettings();
  EXPECT_EQ(settings.ComboOutputFormat.DropDownCount, 25);
  Choose(settings, 1, {{}, [] { return 30; }});
  EXPECT_EQ(settings.ComboOutputFormat.DropDownCount, 30);
  ComboOutputFormatDropDown(settings, {{}, [] { return 47; }});
  EXPECT_EQ(settings.ComboOutputFormat.DropDownCount, 47);
  Choose(settings, 2, {{}, []() -> int { throw std::runtime_error("no dialog"); }});
  EXPECT_EQ(settings.ComboOutputFormat.DropDownCount, 25);
  ComboOutputFormatDropDown(settings, {{}, [] { return 0; }});
  EXPECT_EQ(settings.ComboOutputFormat.DropDownCount, 25);
}

TEST(ProfilesCatalogue, ShowHandlerAppliesStoredFormatAndQualities) {
  TMainSettings settings = CreatedSettings();
  settings.ComboOutputFormat.Select(17);  // as loaded from the settings store
  settings.ComboVideoQuality.Select(4);
  ApplyShownSettings(settings, {});
  EXPECT_EQ(settings.OutputExtension, "MP4");
  EXPECT_EQ(settings.LastFormatIndex, 17);
  EXPECT_EQ(settings.ComboVideoBitrate.Text(), "512 Kbps");
}
