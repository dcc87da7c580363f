// Format list and catalogue: list contents, separator refusal, the format change handler's
// effects on the model (extension, last index, video lists, drop-down count, Output column).
#include <gtest/gtest.h>

#include <cctype>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
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

TEST(ProfilesCatalogue, ListHoldsEveryFormatWithSeparatorsBetweenGroupsInOrder) {
  TMainSettings settings = CreatedSettings();
  const TSettingList& list = settings.ComboOutputFormat;
  const int formats = static_cast<int>(FormatCatalogue().size());
  ASSERT_EQ(list.Count(), FormatListCount());
  EXPECT_EQ(list.Count(), formats + 4);  // four groups follow the first
  EXPECT_EQ(list.ItemIndex(), 0);
  EXPECT_EQ(list.DropDownCount, 25);

  const std::string separator = "              -----------------------------------------";
  ASSERT_EQ(separator.size(), 55u);
  for (int index : {4, 8, 11, 21}) EXPECT_EQ(list.Items()[index], separator) << index;

  // Every non-separator item is a catalogue row, with the extension its caption advertises,
  // and rows follow the table's order.
  int found = 0;
  for (int i = 0; i < list.Count(); ++i) {
    if (i == 4 || i == 8 || i == 11 || i == 21) continue;
    const FormatCatalogueEntry* entry = FindFormat(list.Items()[i]);
    ASSERT_NE(entry, nullptr) << list.Items()[i];
    EXPECT_EQ(entry, &FormatCatalogue()[static_cast<size_t>(found)]);
    EXPECT_EQ(FormatAtListIndex(i), entry);
    ++found;
    std::string lower_ext;
    for (char c : entry->Extension) lower_ext += static_cast<char>(std::tolower(c));
    EXPECT_NE(list.Items()[i].find("(*." + lower_ext + ")"), std::string::npos) << list.Items()[i];
  }
  EXPECT_EQ(found, formats);
  EXPECT_EQ(list.Items()[0], "iPod (*.mp4)");
  EXPECT_EQ(list.Items()[13], "3G2 - Mobile Video Format (*.3g2)");
  EXPECT_EQ(list.Items()[20], "WMV - Windows Media Video (*.wmv)");
  EXPECT_EQ(FindFormat(list.Items()[19])->Extension, "MPG");
  for (int outside : {-1, 4, 21, list.Count()}) EXPECT_EQ(FormatAtListIndex(outside), nullptr);
}

// Settings store the list index and the command line takes it ("--format 18" is MPEG-1): a
// row inserted anywhere but at the end would move every later format.
TEST(ProfilesCatalogue, EveryKeyKeepsItsListIndex) {
  const std::pair<std::string_view, int> pinned[] = {
      {"ipod", 0},   {"ipodextra", 1},   {"ipodtouch", 2}, {"ipodtouchextra", 3}, {"aac", 5},
      {"mp3", 6},    {"m4a", 7},         {"iphone", 9},    {"appletv", 10},       {"3gp", 12},
      {"3g2", 13},   {"avi-normal", 14}, {"divx", 15},     {"mov", 16},           {"mp4", 17},
      {"mpeg1", 18}, {"mpeg2", 19},      {"wmv", 20},      {"h264", 22},          {"hevc", 23},
      {"webm", 24},  {"opus", 25},       {"flac", 26}};
  ASSERT_EQ(std::size(pinned), FormatCatalogue().size());
  for (const auto& [key, index] : pinned) {
    const FormatCatalogueEntry* entry = FormatAtListIndex(index);
    ASSERT_NE(entry, nullptr) << key;
    EXPECT_EQ(entry->Key, key) << index;
  }
}

TEST(ProfilesCatalogue, TodaysFormatsCarryTheirCaptionsAndDeviceLimits) {
  const std::pair<int, std::string_view> captions[] = {{22, "MP4 - H.264 Video (*.mp4)"},
                                                       {23, "MP4 - H.265/HEVC Video (*.mp4)"},
                                                       {24, "WebM - VP9 Video (*.webm)"},
                                                       {25, "Opus Audio (*.opus)"},
                                                       {26, "FLAC - Lossless Audio (*.flac)"}};
  for (const auto& [index, caption] : captions) {
    const FormatCatalogueEntry* entry = FormatAtListIndex(index);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Caption, caption);
    // The engine applies the format's encoder and muxer settings by this name.
    EXPECT_EQ(entry->Device, entry->Key);
  }
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
    for (int separator : {4, 8, 11, 21}) {
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
    EXPECT_TRUE(SelectedFormat(settings)->SoundOnly);
  }
  for (int sound : {25, 26}) {
    Choose(settings, sound);
    EXPECT_FALSE(VideoListsEnabled(settings)) << sound;
  }
  for (int video : {22, 23, 24}) {
    Choose(settings, video);
    EXPECT_TRUE(VideoListsEnabled(settings)) << video;
  }
  EXPECT_TRUE(FindFormat(kAac)->SoundOnly);
  EXPECT_FALSE(FindFormat(kIPhone)->SoundOnly);
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
