// Presets: what each format puts into the setting lists, and what it leaves alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FormatCatalogue.h"
#include "MainSettings.h"
#include "Presets.h"

namespace {

using Items = std::vector<std::string>;

TMainSettings CreatedSettings() {
  TMainSettings settings;
  InitialiseSettingLists(settings);
  return settings;
}

void Choose(TMainSettings& settings, int index) {
  settings.ComboOutputFormat.Select(index);
  ComboOutputFormatChange(settings);
}

struct ListExpect {
  int count;
  const char* selected;  // "" for a cleared list
};

struct PresetCase {
  int index;
  Items video_codecs;
  const char* video_codec;
  Items audio_codecs;
  const char* audio_codec;
  ListExpect size, video_bitrate, frame_rate, audio_bitrate, sample_rate;
  const char* channels;  // "" = left unchanged
  const char* aspect;    // "" = left unchanged
};

void ExpectList(const TSettingList& list, const ListExpect& expect, const char* name) {
  EXPECT_EQ(list.Count(), expect.count) << name;
  EXPECT_EQ(list.Text(), expect.selected) << name;
  if (expect.count == 0) {
    EXPECT_EQ(list.ItemIndex(), -1) << name;
  }
}

const ListExpect kCleared{0, ""};

const std::vector<PresetCase> kPresetCases = {
    {0,
     {"MPEG4", "H264"},
     "MPEG4",
     {"mpeg4aac"},
     "mpeg4aac",
     {1, "320 x 240"},
     {7, "512 Kbps"},
     {7, "Auto"},
     {13, "64 Kbps"},
     {8, "44100 Hz"},
     "",
     ""},
    {1,
     {"MPEG4", "H264"},
     "MPEG4",
     {"mpeg4aac"},
     "mpeg4aac",
     {1, "640 x 480"},
     {5, "1500 Kbps"},
     {7, "Auto"},
     {13, "64 Kbps"},
     {8, "44100 Hz"},
     "",
     ""},
    {2,
     {"MPEG4"},
     "MPEG4",
     {"mpeg4aac"},
     "mpeg4aac",
     {1, "480 x 320"},
     {5, "1200 Kbps"},
     {7, "Auto"},
     {13, "80 Kbps"},
     {8, "44100 Hz"},
     "",
     ""},
    {3,
     {"MPEG4"},
     "MPEG4",
     {"mpeg4aac"},
     "mpeg4aac",
     {1, "640 x 480"},
     {5, "1500 Kbps"},
     {7, "Auto"},
     {13, "80 Kbps"},
     {8, "44100 Hz"},
     "",
     ""},
    {5,
     {},
     "",
     {"aac"},
     "aac",
     kCleared,
     kCleared,
     kCleared,
     {13, "128 Kbps"},
     {8, "48000 Hz"},
     "Stereo",
     "Original"},
    {6,
     {},
     "",
     {"mp3"},
     "mp3",
     kCleared,
     kCleared,
     kCleared,
     {13, "192 Kbps"},
     {8, "48000 Hz"},
     "Stereo",
     "Original"},
    {7,
     {},
     "",
     {"mpeg4aac"},
     "mpeg4aac",
     kCleared,
     kCleared,
     kCleared,
     {13, "128 Kbps"},
     {8, "48000 Hz"},
     "Stereo",
     "Original"},
    {9,
     {"MPEG4"},
     "MPEG4",
     {"mpeg4aac"},
     "mpeg4aac",
     {1, "480 x 320"},
     {5, "1200 Kbps"},
     {7, "Auto"},
     {13, "80 Kbps"},
     {8, "44100 Hz"},
     "Stereo",
     "Original"},
    {10,
     {"MPEG4"},
     "MPEG4",
     {"mpeg4aac"},
     "mpeg4aac",
     {1, "640 x 480"},
     {5, "1500 Kbps"},
     {7, "Auto"},
     {13, "128 Kbps"},
     {8, "44100 Hz"},
     "Stereo",
     "Original"},
    {12,
     {"MPEG4", "H263", "H264"},
     "MPEG4",
     {"amr_nb", "mpeg4aac"},
     "amr_nb",
     {7, "176 x 144 (QCIF)"},
     {6, "128 Kbps"},
     {4, "Auto"},
     {8, "7400 bps"},
     {2, "8000  bps"},
     "Mono",
     ""},
    {13,
     {"MPEG4", "H263", "H264"},
     "MPEG4",
     {"amr_nb", "mpeg4aac"},
     "amr_nb",
     {7, "176 x 144 (QCIF)"},
     {6, "128 Kbps"},
     {4, "Auto"},
     {8, "7400 bps"},
     {2, "8000  bps"},
     "Mono",
     ""},
    {14,
     {"MPEG4", "H264"},
     "MPEG4",
     {"pcm_s16le", "mp3", "mp2", "ac3"},
     "pcm_s16le",
     {23, "Original Video Size"},
     {13, "1200 Kbps"},
     {7, "Auto"},
     {13, "128 Kbps"},
     {8, "48000 Hz"},
     "Stereo",
     "Original"},
    {15,
     {"MPEG4"},
     "MPEG4",
     {"mp3"},
     "mp3",
     {23, "Original Video Size"},
     {13, "1200 Kbps"},
     {7, "Auto"},
     {13, "128 Kbps"},
     {8, "48000 Hz"},
     "Stereo",
     "Original"},
    {16,
     {"MPEG4"},
     "MPEG4",
     {"mpeg4aac"},
     "mpeg4aac",
     {23, "Original Video Size"},
     {13, "1200 Kbps"},
     {7, "Auto"},
     {13, "128 Kbps"},
     {8, "44100 Hz"},
     "Stereo",
     "Original"},
    {17,
     {"MPEG4", "H264", "XVid"},
     "MPEG4",
     {"mpeg4aac"},
     "mpeg4aac",
     {23, "Original Video Size"},
     {13, "1200 Kbps"},
     {7, "Auto"},
     {13, "128 Kbps"},
     {8, "44100 Hz"},
     "Stereo",
     "Original"},
    {18,
     {"MPEG1VIDEO"},
     "MPEG1VIDEO",
     {"mp2"},
     "mp2",
     {23, "320 x 240 (VGA)"},
     {13, "1600 Kbps"},
     {7, "25.0 fps"},
     {13, "192 Kbps"},
     {8, "44100 Hz"},
     "Stereo",
     "Original"},
    {19,
     {"MPEG2VIDEO"},
     "MPEG2VIDEO",
     {"mp2", "ac3"},
     "mp2",
     {23, "320 x 240 (VGA)"},
     {13, "2000 Kbps"},
     {7, "25.0 fps"},
     {13, "192 Kbps"},
     {8, "44100 Hz"},
     "Stereo",
     "Original"},
    {20,
     {"WMV2"},
     "WMV2",
     {"wmav2"},
     "wmav2",
     {23, "320 x 240 (VGA)"},
     {13, "1200 Kbps"},
     {7, "Auto"},
     {13, "128 Kbps"},
     {8, "48000 Hz"},
     "Stereo",
     "Original"},
};

}  // namespace

TEST(ProfilesPresets, EachFormatFillsItsListsAndSelectsItsDefaults) {
  for (const PresetCase& c : kPresetCases) {
    TMainSettings settings = CreatedSettings();
    // No channel or aspect selection, so "left unchanged" reads as the empty text.
    settings.ComboAudioChannels.Select(-1);
    settings.ComboAspectRatio.Select(-1);
    Choose(settings, c.index);
    SCOPED_TRACE(settings.ComboOutputFormat.Text());
    EXPECT_EQ(settings.ComboVideoCodec.Items(), c.video_codecs);
    EXPECT_EQ(settings.ComboVideoCodec.Text(), c.video_codec);
    EXPECT_EQ(settings.ComboAudioCodec.Items(), c.audio_codecs);
    EXPECT_EQ(settings.ComboAudioCodec.Text(), c.audio_codec);
    ExpectList(settings.ComboVideoSize, c.size, "size");
    ExpectList(settings.ComboVideoBitrate, c.video_bitrate, "video bit rate");
    ExpectList(settings.ComboVideoFramerate, c.frame_rate, "frame rate");
    ExpectList(settings.ComboAudioBitrate, c.audio_bitrate, "audio bit rate");
    ExpectList(settings.ComboSamplingRate, c.sample_rate, "sample rate");
    EXPECT_EQ(settings.ComboAudioChannels.Text(), c.channels);
    EXPECT_EQ(settings.ComboAspectRatio.Text(), c.aspect);
    // Presets never touch the quality lists.
    EXPECT_EQ(settings.ComboVideoQuality.Text(), "Normal");
  }
}

TEST(ProfilesPresets, EveryRecordSelectsAnItemOfItsOwnList) {
  // A typo in a preset's default would leave a list without selection; catch it in the data.
  for (const TPresetRecord& record : PresetRecords()) {
    for (const TListPreset* list :
         {&record.VideoCodec, &record.AudioCodec, &record.VideoSize, &record.VideoBitrate,
          &record.VideoFramerate, &record.AudioBitrate, &record.SamplingRate}) {
      if (list->Items.empty()) continue;
      EXPECT_NE(std::find(list->Items.begin(), list->Items.end(), list->Selected),
                list->Items.end())
          << record.Variant << " " << list->Selected;
    }
  }
  for (const FormatCatalogueEntry& entry : FormatCatalogue()) {
    EXPECT_NE(FindPreset(entry.Preset, entry.Variant), nullptr) << entry.Caption;
  }
}

TEST(ProfilesPresets, NamedListsKeepTheirExactTexts) {
  TMainSettings settings = CreatedSettings();
  Choose(settings, 0);
  EXPECT_EQ(settings.ComboVideoBitrate.Items(),
            (Items{"128 Kbps", "256 Kbps", "512 Kbps", "800 Kbps", "1200 Kbps", "1500 Kbps",
                   "2500 Kbps"}));
  EXPECT_EQ(settings.ComboSamplingRate.Items()[6], "54000 Hz");
  Choose(settings, 12);
  EXPECT_EQ(settings.ComboSamplingRate.Items(), (Items{"8000  bps", "16000 bps"}));
  EXPECT_EQ(settings.ComboVideoFramerate.Items(),
            (Items{"Auto", "11 fps", "14.985 fps", "15 fps"}));
  Choose(settings, 14);
  EXPECT_EQ(settings.ComboVideoBitrate.Items()[3], "256 Kbps");  // only the AVI list has it
  EXPECT_EQ(settings.ComboVideoSize.Items()[20], "704 x 576 (4CIF)");
}

TEST(ProfilesPresets, ListsAPresetLeavesUnchangedCarryOver) {
  TMainSettings settings = CreatedSettings();
  Choose(settings, 12);  // 3GP selects Mono
  EXPECT_EQ(settings.ComboAudioChannels.Text(), "Mono");
  settings.ComboAspectRatio.Select(2);
  Choose(settings, 0);  // iPod leaves channels and aspect
  EXPECT_EQ(settings.ComboAudioChannels.Text(), "Mono");
  EXPECT_EQ(settings.ComboAspectRatio.Text(), "16:9 (Wide Screen)");
  Choose(settings, 9);  // iPhone sets both
  EXPECT_EQ(settings.ComboAudioChannels.Text(), "Stereo");
  EXPECT_EQ(settings.ComboAspectRatio.Text(), "Original");
}

TEST(ProfilesPresets, EachPresetReplacesWhatThePreviousOneLeft) {
  TMainSettings settings = CreatedSettings();
  Choose(settings, 12);
  Choose(settings, 5);  // AAC right after 3GP fills its own lists
  EXPECT_EQ(settings.ComboAudioBitrate.Text(), "128 Kbps");
  EXPECT_EQ(settings.ComboSamplingRate.Text(), "48000 Hz");
  EXPECT_EQ(settings.ComboVideoSize.Text(), "");
  EXPECT_EQ(settings.ComboVideoFramerate.Text(), "");
  EXPECT_EQ(settings.ComboVideoCodec.Text(), "");

  Choose(settings, 19);
  EXPECT_EQ(settings.ComboVideoFramerate.Text(), "25.0 fps");
  EXPECT_EQ(settings.ComboVideoSize.Text(), "320 x 240 (VGA)");
  Choose(settings, 17);
  EXPECT_EQ(settings.ComboVideoFramerate.Text(), "Auto");
  EXPECT_EQ(settings.ComboVideoSize.Text(), "Original Video Size");
}
