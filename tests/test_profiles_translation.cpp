// Setting lists, quality levels, volume steps, the text rules and the settings-to-job
// translation.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "FormatCatalogue.h"
#include "MainSettings.h"
#include "ProfileErrors.h"
#include "QualityLevels.h"
#include "SettingChoices.h"
#include "TextRules.h"
#include "Translation.h"
#include "VolumeLevels.h"

namespace {

TMainSettings CreatedSettings() {
  TMainSettings settings;
  InitialiseSettingLists(settings);
  return settings;
}

// The main window after it is shown with this format and both qualities at "Normal".
TMainSettings ShownWith(int format_index) {
  TMainSettings settings = CreatedSettings();
  settings.ComboOutputFormat.Select(format_index);
  ApplyShownSettings(settings, {});
  return settings;
}

TOutputOptions Translate(const TMainSettings& settings) {
  TOutputOptions options;
  ResetOutputOptions(options);
  options.FrameRate = SelectedFrameRate(settings);
  TranslateSettings(settings, options);
  return options;
}

}  // namespace

TEST(ProfilesSettingList, SelectionOutsideTheItemsLeavesNoSelection) {
  TSettingList list;
  EXPECT_EQ(list.Text(), "");
  list.Add("a");
  list.Add("b");
  list.Select(1);
  EXPECT_EQ(list.Text(), "b");
  for (int bad : {2, -1, -7, 1000}) {
    list.Select(1);
    list.Select(bad);
    EXPECT_EQ(list.ItemIndex(), -1) << bad;
    EXPECT_EQ(list.Text(), "") << bad;
  }
  list.Select(0);
  EXPECT_FALSE(list.SelectText("B"));  // whole text, case-sensitive; selection kept
  EXPECT_EQ(list.Text(), "a");
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Text(), "");
}

TEST(ProfilesSettingList, CreationFillsTheFixedLists) {
  TMainSettings settings = CreatedSettings();
  EXPECT_EQ(settings.ComboVideoQuality.Items(),
            (std::vector<std::string>{"Highest", "Higher", "Normal", "Lower", "Lowest"}));
  EXPECT_EQ(settings.ComboVideoQuality.Text(), "Normal");
  EXPECT_EQ(settings.ComboAudioQuality.Text(), "Normal");
  EXPECT_EQ(settings.ComboAspectRatio.Items(),
            (std::vector<std::string>{"Original", "4:3 (Standard", "16:9 (Wide Screen)"}));
  EXPECT_EQ(settings.ComboLetterBox.Text(), "None");
  EXPECT_EQ(settings.ComboAudioChannels.Text(), "Stereo");
  EXPECT_EQ(settings.ComboSamplingRate.Text(), "44100 Hz");
  EXPECT_EQ(settings.ComboVideoBitrate.Text(), "512 Kbps");
  EXPECT_EQ(settings.ComboAudioBitrate.Text(), "128 Kbps");
  EXPECT_EQ(settings.VolumeLevel, 255);
  EXPECT_EQ(settings.VolumeLabel, "100%");
  EXPECT_EQ(settings.OutputExtension, "");
}

TEST(ProfilesText, RulesTurnDisplayTextsIntoEngineValues) {
  struct Case {
    const char* text;
    const char* leading;
    const char* kilo;
    const char* size;
    const char* rate;
  };
  const Case cases[] = {
      {"512 Kbps", "512", "512000", "512Kbps", "512"},
      {"8000  bps", "8000", "8000000", "8000bps", "8000"},
      {"29.97 fps", "29.97", "29.97000", "29.97fps", "29.97"},
      {"320 x 240 (VGA)", "320", "320000", "320x240", "320"},
      {"128 x 96   (SQCIF)", "128", "128000", "128x96", "128"},
      {"704 x 576 (4CIF)", "704", "704000", "704x576", "704"},
      {"Auto", "", "000", "Auto", "25"},
      {" Auto", "", "000", "Auto", "25"},
      {"AUTO ", "AUTO", "AUTO000", "AUTO", "25"},
      {"", "", "000", "", ""},
      {"11 fps", "11", "11000", "11fps", "11"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LeadingNumber(c.text), c.leading) << c.text;
    EXPECT_EQ(KiloRule(c.text), c.kilo) << c.text;
    EXPECT_EQ(FrameSizeRule(c.text), c.size) << c.text;
    EXPECT_EQ(FrameRateRule(c.text), c.rate) << c.text;
  }
}

TEST(ProfilesText, IntegerConversionAcceptsOnlyWholeDecimalIntegers) {
  EXPECT_EQ(ParseInteger("000"), 0);
  EXPECT_EQ(ParseInteger("2500000"), 2500000);
  EXPECT_EQ(ParseInteger("-1"), -1);
  EXPECT_EQ(ParseInteger("+7"), 7);
  for (const char* bad :
       {"", "12a", "1 ", " 1", "29.97", "0x10", "+", "-", "+-1", "99999999999", "Autobps"}) {
    EXPECT_THROW(ParseInteger(bad), TConversionError) << bad;
  }
}

TEST(ProfilesQuality, LevelsSelectTheTableItemOrKeepTheSelection) {
  struct Case {
    int format;
    int video_level;
    int audio_level;
    const char* video;
    const char* audio;
  };
  const Case cases[] = {
      {0, 0, 0, "1200 Kbps", "320 Kbps"},
      {0, 3, 2, "256 Kbps", "128 Kbps"},
      {0, 4, 4, "128 Kbps", "64 Kbps"},
      {10, 2, 4, "1200 Kbps", "32 Kbps"},
      {12, 0, 0, "512 Kbps", "12200 bps"},
      {13, 4, 4, "64 Kbps", "4750 bps"},
      {14, 3, 4, "512 Kbps", "48 Kbps"},
      {16, 1, 1, "2000 Kbps", "192 Kbps"},
      {17, 4, 3, "512 Kbps", "80 Kbps"},
      {19, 4, 0, "768 Kbps", "224 Kbps"},
      {20, 3, 0, "1200 Kbps", "256 Kbps"},
      {5, 0, 4, "", "48 Kbps"},  // audio formats have no video bit-rate list
  };
  for (const Case& c : cases) {
    TMainSettings settings = CreatedSettings();
    settings.ComboOutputFormat.Select(c.format);
    settings.ComboVideoQuality.Select(c.video_level);
    settings.ComboAudioQuality.Select(c.audio_level);
    ApplyShownSettings(settings, {});
    SCOPED_TRACE(settings.ComboOutputFormat.Text());
    EXPECT_EQ(settings.ComboVideoBitrate.Text(), c.video);
    EXPECT_EQ(settings.ComboAudioBitrate.Text(), c.audio);
    EXPECT_EQ(ComboVideoQualityHint(settings), c.video);
  }
}

TEST(ProfilesQuality, EveryVideoQualityLevelGivesItsOwnRate) {
  for (const FormatCatalogueEntry& entry : FormatCatalogue()) {
    if (entry.SoundOnly) continue;
    std::set<std::string> rates;
    for (int level = 0; level < 5; ++level) {
      TMainSettings settings = CreatedSettings();
      settings.ComboOutputFormat.SelectText(std::string(entry.Caption));
      settings.ComboVideoQuality.Select(level);
      ApplyShownSettings(settings, {});
      rates.insert(settings.ComboVideoBitrate.Text());
    }
    EXPECT_EQ(rates.size(), 5u) << entry.Caption;
  }
}

TEST(ProfilesQuality, EveryQualityLevelNamesAnItemOfItsFormatsLists) {
  // A level whose text names no item leaves the preset's default selected: a typo in a row
  // would silently make two levels the same.
  for (const FormatCatalogueEntry& entry : FormatCatalogue()) {
    for (int level = 0; level < 5; ++level) {
      TMainSettings settings = CreatedSettings();
      settings.ComboOutputFormat.SelectText(std::string(entry.Caption));
      settings.ComboVideoQuality.Select(level);
      settings.ComboAudioQuality.Select(level);
      ApplyShownSettings(settings, {});
      SCOPED_TRACE(std::string(entry.Caption) + " level " + std::to_string(level));
      if (!entry.SoundOnly) {
        EXPECT_EQ(LeadingNumber(settings.ComboVideoBitrate.Text()), entry.Quality.Video[level]);
      }
      const std::string& audio = settings.ComboAudioBitrate.Text();
      const std::string wanted(entry.Quality.Audio[level]);
      EXPECT_TRUE(LeadingNumber(audio) == wanted || audio == "Level " + wanted) << audio;
    }
  }
}

TEST(ProfilesQuality, FormatChangeKeepsPresetRatesUntilAQualityListChanges) {
  TMainSettings settings = ShownWith(0);
  settings.ComboVideoQuality.Select(4);
  ApplyQualityLevels(settings);
  settings.ComboOutputFormat.Select(20);
  ComboOutputFormatChange(settings);
  EXPECT_EQ(settings.ComboVideoBitrate.Text(), "1200 Kbps");  // the WMV preset's own
  // Changing the audio quality re-selects the video bit rate as well.
  settings.ComboAudioQuality.Select(1);
  ApplyQualityLevels(settings);
  EXPECT_EQ(settings.ComboVideoBitrate.Text(), "768 Kbps");
  EXPECT_EQ(settings.ComboAudioBitrate.Text(), "192 Kbps");
}

TEST(ProfilesQuality, NoQualitySelectionOrUnknownFormatKeepsTheRates) {
  TMainSettings settings = ShownWith(17);
  settings.ComboVideoQuality.Select(-1);
  settings.ComboAudioQuality.Select(-1);
  ApplyQualityLevels(settings);
  EXPECT_EQ(settings.ComboVideoBitrate.Text(), "1200 Kbps");
  EXPECT_EQ(settings.ComboAudioBitrate.Text(), "128 Kbps");
  settings.ComboVideoQuality.Select(0);
  settings.ComboOutputFormat.Select(-1);
  ApplyQualityLevels(settings);
  EXPECT_EQ(settings.ComboVideoBitrate.Text(), "1200 Kbps");
}

TEST(ProfilesVolume, PositionsGiveTheirLabelAndValue) {
  const int values[] = {1, 50, 100, 150, 200, 255, 300, 350, 400, 450, 600};
  TMainSettings settings = CreatedSettings();
  for (int position = 0; position <= 10; ++position) {
    TrackBar1Change(settings, position);
    EXPECT_EQ(settings.VolumeLevel, values[position]);
    EXPECT_EQ(settings.VolumeLabel, std::to_string(position * 20) + "%");
  }
  for (int outside : {-1, 11, 100}) {
    TrackBar1Change(settings, outside);
    EXPECT_EQ(settings.VolumeLevel, 255);
    EXPECT_EQ(settings.VolumeLabel, "");
  }
}

// The option record of every format shown with both qualities at "Normal". -1 = not written.
TEST(ProfilesTranslation, EveryFormatGivesItsOutputOptions) {
  struct Case {
    int index;
    const char* video_codec;
    const char* audio_codec;
    const char* frame_size;
    int video_bitrate, audio_bitrate, sample_rate, channels;
    bool disable_video;
    const char* frame_rate;
  };
  const Case cases[] = {
      {0, "mpeg4", "libfaac", "320x240", 512000, 128000, 44100, -1, false, "25"},
      {1, "mpeg4", "libfaac", "640x480", 1200000, 128000, 44100, -1, false, "25"},
      {2, "mpeg4", "libfaac", "480x320", 1200000, 128000, 44100, 2, false, "25"},
      {3, "mpeg4", "libfaac", "640x480", 1200000, 128000, 44100, 2, false, "25"},
      {5, "", "libfaac", "", 0, 128000, 48000, 2, true, ""},
      {6, "", "libmp3lame", "", 0, 128000, 48000, 2, true, ""},
      {7, "", "libfaac", "", 0, 128000, 48000, 2, true, ""},
      {9, "mpeg4", "libfaac", "480x320", 1200000, 128000, 44100, 2, false, "25"},
      {10, "mpeg4", "libfaac", "640x480", 1200000, 64000, 44100, -1, false, "25"},
      {12, "mpeg4", "libamr_nb", "176x144", 128000, 7400, 8000, 1, false, "25"},
      {13, "mpeg4", "libamr_nb", "176x144", 128000, 7400, 8000, 1, false, "25"},
      {14, "mpeg4", "pcm_s16le", "", 1200000, 128000, 48000, 2, false, "25"},
      {15, "mpeg4", "libmp3lame", "", 1200000, 128000, 48000, 2, false, "25"},
      {16, "mpeg4", "libfaac", "", 1200000, 128000, 44100, 2, false, "25"},
      {17, "mpeg4", "libfaac", "", 1200000, 128000, 44100, 2, false, "25"},
      {18, "mpeg1video", "mp2", "320x240", 1200000, 128000, 44100, 2, false, "25.0"},
      {19, "mpeg2video", "mp2", "320x240", 1200000, 128000, 44100, 2, false, "25.0"},
      {20, "wmv2", "wmav2", "320x240", 1500000, 128000, 48000, 2, false, "25"},
  };
  for (const Case& c : cases) {
    const TMainSettings settings = ShownWith(c.index);
    SCOPED_TRACE(settings.ComboOutputFormat.Text());
    const TOutputOptions o = ProfileOutputOptions(settings);
    EXPECT_EQ(o.VideoCodec, c.video_codec);
    EXPECT_EQ(o.AudioCodec, c.audio_codec);
    EXPECT_EQ(o.FrameSize, c.frame_size);
    EXPECT_EQ(o.VideoBitrate, c.video_bitrate);
    EXPECT_EQ(o.AudioBitrate, c.audio_bitrate);
    EXPECT_EQ(o.AudioSampleRate, c.sample_rate);
    EXPECT_EQ(o.AudioChannels, c.channels);
    EXPECT_EQ(o.DisableVideo, c.disable_video);
    EXPECT_EQ(o.FrameRate, c.frame_rate);
    EXPECT_EQ(o.AudioVolume, 255);
    // Fields outside the translation keep their reset values.
    EXPECT_EQ(o.AspectRatio, "");
    EXPECT_EQ(o.Duration, -1);
  }
}

TEST(ProfilesTranslation, ListChoicesReachTheRecord) {
  TMainSettings settings = CreatedSettings();
  settings.ComboOutputFormat.Select(6);
  ComboOutputFormatChange(settings);  // preset defaults, no quality levels
  settings.ComboAudioChannels.SelectText("Mono");
  TOutputOptions o = Translate(settings);
  EXPECT_EQ(o.AudioBitrate, 192000);
  EXPECT_EQ(o.AudioChannels, 1);
  EXPECT_TRUE(o.DisableVideo);

  settings = ShownWith(17);
  settings.ComboVideoCodec.SelectText("XVid");
  settings.ComboVideoSize.SelectText("704 x 576 (4CIF)");
  settings.ComboVideoFramerate.SelectText("14.985 fps");
  o = Translate(settings);
  EXPECT_EQ(o.VideoCodec, "libxvid");
  EXPECT_EQ(o.FrameSize, "704x576");
  EXPECT_EQ(o.FrameRate, "14.985");
  settings.ComboVideoCodec.SelectText("H264");
  EXPECT_EQ(Translate(settings).VideoCodec, "libx264");

  settings = ShownWith(12);
  settings.ComboVideoCodec.SelectText("H263");
  settings.ComboAudioCodec.SelectText("mpeg4aac");  // the AMR rule ignores the codec list
  settings.ComboAudioChannels.SelectText("Stereo");
  o = Translate(settings);
  EXPECT_EQ(o.VideoCodec, "h263");
  EXPECT_EQ(o.AudioCodec, "libamr_nb");
  EXPECT_EQ(o.AudioChannels, 1);

  settings = ShownWith(0);
  settings.ComboVideoCodec.SelectText("H264");
  settings.ComboAudioCodec.Select(-1);  // the AAC rule does not read the codec list
  o = Translate(settings);
  EXPECT_EQ(o.VideoCodec, "libx264");
  EXPECT_EQ(o.AudioCodec, "libfaac");
  EXPECT_EQ(o.AudioChannels, -1);  // "Stereo": the source's channels, at most two
  settings.ComboAudioChannels.SelectText("Mono");
  EXPECT_EQ(Translate(settings).AudioChannels, 1);

  settings = ShownWith(14);
  settings.ComboAudioCodec.SelectText("ac3");
  EXPECT_EQ(Translate(settings).AudioCodec, "ac3");
}

TEST(ProfilesTranslation, BadNumberStopsTheTranslationAfterTheWrittenFields) {
  TMainSettings settings = ShownWith(17);
  settings.ComboAudioBitrate.Clear();
  settings.ComboAudioBitrate.Add("lots Kbps");
  settings.ComboAudioBitrate.Select(0);
  TOutputOptions o;
  EXPECT_THROW(TranslateSettings(settings, o), TConversionError);
  EXPECT_EQ(o.VideoCodec, "mpeg4");    // written before the conversions
  EXPECT_EQ(o.VideoBitrate, 1200000);  // first conversion done
  EXPECT_EQ(o.AudioBitrate, -1);       // failing one and those after it are not
  EXPECT_EQ(o.AudioSampleRate, -1);

  settings = ShownWith(12);
  settings.ComboSamplingRate.Select(-1);  // the empty text is no number
  EXPECT_THROW(Translate(settings), TConversionError);
}

TEST(ProfilesTranslation, SelectionWithoutCatalogueRowWritesNothing) {
  TMainSettings settings = ShownWith(0);
  settings.ComboOutputFormat.Select(4);  // a separator
  TOutputOptions o;
  TranslateSettings(settings, o);
  EXPECT_EQ(o, TOutputOptions{});
}

TEST(ProfilesChoices, NamedChoicesSelectItemsOrFailClearly) {
  EXPECT_EQ(ResolveFormatChoice("0"), 0);
  EXPECT_EQ(ResolveFormatChoice("20"), 20);
  EXPECT_EQ(ResolveFormatChoice("MPEG-2 Movie (*.mpg)"), 19);
  // Names and extensions in any case, where they name one format.
  const std::pair<const char*, int> named[] = {{"ipod (*.mp4)", 0},
                                               {"ipod", 0},
                                               {"IPOD EXTRA (640 x 480)", 1},
                                               {"iphone", 9},
                                               {"mp3", 6},
                                               {"MP3", 6},
                                               {"mp4", 17},
                                               {"m4a", 7},
                                               {"3g2", 13},
                                               {"wmv", 20},
                                               {"mpeg-1 movie", 18},
                                               {"mpeg1", 18},
                                               {"divx", 15},
                                               {"h264", 22},
                                               {"HEVC", 23},
                                               {"webm", 24},
                                               {"opus", 25},
                                               {"FLAC", 26},
                                               {"MP4 - H.264 Video (*.mp4)", 22},
                                               {"flac - lossless audio", 26}};
  for (const auto& [name, index] : named) EXPECT_EQ(ResolveFormatChoice(name), index) << name;
  for (const char* bad : {"4", "8", "11", "21", "-1", "99999999999", "", "avi", "MPG", "ipod touc",
                          "27", "              -----------------------------------------"}) {
    EXPECT_THROW(ResolveFormatChoice(bad), TChoiceError) << bad;
  }
  EXPECT_EQ(ResolveQualityChoice("lowest"), 4);
  EXPECT_THROW(ResolveQualityChoice("Best"), TChoiceError);
  EXPECT_EQ(ResolveVolumeChoice("10"), 10);
  for (const char* bad : {"11", "-1", "5.5", "", "x"}) {
    EXPECT_THROW(ResolveVolumeChoice(bad), TChoiceError) << bad;
  }

  TSettingChoices choices;
  choices.Format = "17";
  choices.Size = "640x480";
  choices.FrameRate = "29.97";
  choices.Channels = "Mono";
  choices.Volume = "0";
  TMainSettings settings = CreatedSettings();
  ApplySettingChoices(settings, choices);
  EXPECT_EQ(settings.ComboVideoSize.Text(), "640 x 480");
  EXPECT_EQ(settings.ComboVideoFramerate.Text(), "29.97 fps");
  EXPECT_EQ(settings.ComboAudioChannels.Text(), "Mono");
  EXPECT_EQ(settings.VolumeLevel, 1);
  // List items in any letter case.
  choices.Size = "640X480";
  choices.FrameRate = "29.97 FPS";
  choices.Channels = "STEREO";
  settings = CreatedSettings();
  ApplySettingChoices(settings, choices);
  EXPECT_EQ(settings.ComboVideoSize.Text(), "640 x 480");
  EXPECT_EQ(settings.ComboVideoFramerate.Text(), "29.97 fps");
  EXPECT_EQ(settings.ComboAudioChannels.Text(), "Stereo");

  choices.Format = "6";  // MP3 has no size list
  settings = CreatedSettings();
  EXPECT_THROW(ApplySettingChoices(settings, choices), TChoiceError);
}
