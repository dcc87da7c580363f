// Target presets, option lines and applying the job records to an engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Binding.h"
#include "EngineDoor.h"
#include "MediaUtil.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {

class OptionsRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadLibraries("", true, error)) << error;
    engine.ResetEngine();
    engine.OnLog = [this](int, const std::string& msg) { logs.push_back(msg); };
  }

  std::string Failure(const std::function<void()>& step) {
    try {
      step();
    } catch (const FFMpegException& e) {
      return e.what();
    }
    return "";
  }

  int64_t VideoOption(const char* name) {
    int64_t value = -1;
    av_opt_get_int(engine.CodecDefaults[AVMEDIA_TYPE_VIDEO].get(), name, 0, &value);
    return value;
  }

  TEngineDoor engine;
  std::vector<std::string> logs;
};

}  // namespace

TEST_F(OptionsRecordsTest, TargetPresets) {
  engine.Dispatch("target", "pal-dvd");
  EXPECT_EQ(engine.Options.FrameWidth, 720);
  EXPECT_EQ(engine.Options.FrameHeight, 576);
  EXPECT_EQ(engine.Options.FrameRate.num, 25);
  EXPECT_EQ(engine.Options.FrameRate.den, 1);
  EXPECT_EQ(engine.Options.VideoCodecName, "mpeg2video");
  EXPECT_EQ(engine.Options.AudioCodecName, "ac3");
  EXPECT_STREQ(engine.Options.OutputFormat->name, "dvd");
  EXPECT_EQ(engine.Options.AudioSampleRate, 48000);
  EXPECT_FLOAT_EQ(engine.Options.FrameAspectRatio, 16.0f / 9.0f);
  EXPECT_EQ(VideoOption("g"), 15);
  EXPECT_EQ(VideoOption("b"), 6000000);
  EXPECT_EQ(VideoOption("maxrate"), 9000000);

  engine.ResetEngine();
  engine.Dispatch("aspect", "4:3");
  engine.Options.AudioChannels = 1;
  engine.Dispatch("target", " ntsc-svcd ");
  EXPECT_EQ(engine.Options.FrameWidth, 480);
  EXPECT_EQ(engine.Options.FrameHeight, 480);
  EXPECT_EQ(engine.Options.FrameRate.num, 30000);
  EXPECT_EQ(engine.Options.AudioChannels, 2);
  EXPECT_FLOAT_EQ(engine.Options.FrameAspectRatio, 4.0f / 3.0f);  // an aspect given first stays
  EXPECT_EQ(VideoOption("g"), 18);
  // Today's libraries know no SCAN_OFFSET flag: the preset goes on without it, and says so.
  EXPECT_NE(std::find(logs.begin(), logs.end(),
                      "Target preset: the libraries refuse flags +SCAN_OFFSET; it is left out"),
            logs.end());

  engine.ResetEngine();
  EXPECT_EQ(Failure([&] { engine.Dispatch("target", "dvd"); }), "frame_rate is invalid.");
  engine.Dispatch("r", "25");
  logs.clear();
  engine.Dispatch("target", "vcd");
  EXPECT_EQ(engine.Options.FrameHeight, 288);
  EXPECT_EQ(logs, std::vector<std::string>{"Assuming PAL for target."});
  EXPECT_EQ(Failure([&] { engine.Dispatch("target", "film-dv50"); }), "");
  EXPECT_EQ(engine.Options.FramePixFmt, AV_PIX_FMT_YUV422P);
  EXPECT_EQ(engine.Options.FrameHeight, 480);
  EXPECT_EQ(Failure([&] { engine.Dispatch("target", "pal-laserdisc"); }), "Unknown target type");
}

TEST_F(OptionsRecordsTest, AutoNormFollowsTheInputAndElseTheDefault) {
  media::TempDir dir;
  std::string ntsc = dir.File("ntsc.mp4");
  ASSERT_TRUE(media::MakeMedia(ntsc, media::VideoSource(0.2, "160x120", "30000/1001")));
  engine.Dispatch("r", "10");  // decides nothing
  engine.OpenInputFile(ntsc);
  engine.TargetPreset("dvd", "auto", "pal");
  EXPECT_EQ(engine.Options.FrameHeight, 480);

  engine.ResetEngine();
  engine.Dispatch("r", "10");
  engine.TargetPreset("dvd", "auto", "pal");
  EXPECT_EQ(engine.Options.FrameHeight, 576);
}

TEST_F(OptionsRecordsTest, VcdPresetReachesTheMpegMuxer) {
  media::TempDir dir;
  engine.Dispatch("target", "pal-vcd");
  std::string path = dir.File("out.mpg");
  ASSERT_TRUE(engine.OpenOutputFile(path)) << engine.LastErrorText;
  AVFormatContext* oc = engine.Files.OutputFiles[0].get();
  int64_t mux_rate = 0;
  ASSERT_GE(av_opt_get_int(oc->priv_data, "muxrate", 0, &mux_rate), 0);
  EXPECT_EQ(mux_rate, 1411200);
  EXPECT_EQ(oc->packet_size, 2324u);
}

TEST(OptionsLines, SplitsLinesAtTheFirstEqualsSign) {
  auto lines = SplitOptionLines("  vcodec=mpeg4\r\nb=1000=2\rvn\n\nalang= eng \ny= \n ");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], std::make_pair(std::string("vcodec"), std::string("mpeg4")));
  EXPECT_EQ(lines[1], std::make_pair(std::string("b"), std::string("1000=2")));
  EXPECT_EQ(lines[2], std::make_pair(std::string("vn"), std::string()));
  EXPECT_EQ(lines[3], std::make_pair(std::string(), std::string()));
  EXPECT_EQ(lines[4], std::make_pair(std::string("alang"), std::string(" eng ")));
  EXPECT_EQ(lines[5], std::make_pair(std::string("y"), std::string()));  // text is trimmed
  EXPECT_TRUE(SplitOptionLines(" \r\n ").empty());
}

TEST(OptionsLines, HookRangesAndCommands) {
  auto ranges = ParseHookRanges("1000-2000, 500-800");
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[0].Start, 500000);
  EXPECT_EQ(ranges[0].End, 800000);
  EXPECT_EQ(ranges[1].Start, 1000000);
  EXPECT_TRUE(ParseHookRanges("1000, 3000-2000, x-y, ").empty());
  ranges = ParseHookRanges("x-300,99999999999999999-1");
  ASSERT_EQ(ranges.size(), 2u);  // a bad start counts as -1 ms; an overflowing one too
  EXPECT_EQ(ranges[0].Start, -1000);
  EXPECT_EQ(ranges[0].End, 1000);
  EXPECT_EQ(ranges[1].End, 300000);
  EXPECT_TRUE(ParseHookRanges("0-99999999999999999").empty());

  EXPECT_EQ(SplitHookCommand("/x/invert.so  luma"),
            (std::vector<std::string>{"/x/invert.so", "luma"}));
  EXPECT_EQ(SplitHookCommand("/my dir/hook.so|a b||c"),
            (std::vector<std::string>{"/my dir/hook.so", "a b", "c"}));
  EXPECT_EQ(SplitHookCommand(std::string(600, ' ') + "a").size(), 1u);
  std::string many;
  for (int i = 0; i < 300; ++i) many += "w ";
  EXPECT_EQ(SplitHookCommand(many).size(), 254u);
}

TEST(OptionsLines, RecordTimestamps) {
  EXPECT_EQ(TimestampFromDateTime(25569.0, 0), 0);
  EXPECT_EQ(TimestampFromDateTime(25570.5, 0), 129600);
  EXPECT_EQ(TimestampFromDateTime(25569.0, -60), -3600);  // local time one hour ahead of UTC
}

TEST_F(OptionsRecordsTest, ResetOutputRecordTouchesOnlyItsAssignedFields) {
  engine.Dispatch("alang", "eng");
  engine.Dispatch("vsync", "2");
  engine.Dispatch("s", "320x240");
  engine.Dispatch("vcodec", "mpeg4");
  TOutputOptions options;
  ResetOutputOptions(options);
  engine.ApplyOutputOptions("out.mp4", options);
  EXPECT_EQ(engine.Options.AudioLanguage, "");
  EXPECT_EQ(engine.Options.VideoSyncMethod, -1);
  EXPECT_EQ(engine.Options.PadColor, (std::array<int, 3>{0, 128, 128}));
  EXPECT_EQ(engine.Options.FrameWidth, 320);
  EXPECT_EQ(engine.Options.VideoCodecName, "mpeg4");
  EXPECT_EQ(engine.Options.AudioChannels, 2);
  EXPECT_EQ(engine.Options.RecordingTimeUs, INT64_MAX);
  EXPECT_EQ(engine.Options.HookTimeRangeCount, 0);
  EXPECT_TRUE(engine.OptionNames.empty());
}

TEST_F(OptionsRecordsTest, OutputRecordFieldsOverrideLinesAndFailuresKeepEarlierFields) {
  TOutputOptions options;
  options.ExtraOptions = "vcodec=mpeg4\nab=64000\ntitle=Line";
  options.VideoCodec = "libxvid";
  options.AudioBitrate = 128000;
  options.Duration = 1500;
  options.Title = "Field";
  options.HookRanges = "1000-2000,500-800";
  engine.ApplyOutputOptions("out.avi", options);
  EXPECT_EQ(engine.Options.VideoCodecName, "libxvid");
  int64_t audio_rate = 0;
  av_opt_get_int(engine.CodecDefaults[AVMEDIA_TYPE_AUDIO].get(), "b", 0, &audio_rate);
  EXPECT_EQ(audio_rate, 128000);
  EXPECT_EQ(engine.Options.Title, "Field");
  EXPECT_EQ(engine.Options.TotalDurationMs, 1500);
  ASSERT_EQ(engine.Options.HookTimeRangeCount, 2);
  EXPECT_EQ(engine.Options.HookTimeRanges[0].End, 800000);

  // A failing field ends the application; fields before it stay applied.
  engine.ResetEngine();
  TOutputOptions bad;
  bad.ExtraOptions = "alang=fra";
  bad.AudioCodec = "mp2";
  bad.FrameSize = "321x240";
  bad.VideoCodec = "mpeg4";
  try {
    engine.ApplyOutputOptions("out.avi", bad);
    FAIL() << "no exception";
  } catch (const FFMpegException& e) {
    EXPECT_STREQ(e.what(), "Frame size must be a multiple of 2");
  }
  EXPECT_EQ(engine.Options.AudioCodecName, "mp2");
  EXPECT_EQ(engine.Options.VideoCodecName, "mpeg4");  // the video codec comes before the size
  EXPECT_EQ(engine.Options.AudioLanguage, "");        // the record's language replaced the line's
  EXPECT_EQ(engine.Options.PadColor, (std::array<int, 3>{16, 128, 128}));  // not reached

  // With a hook flag set the ranges are not read.
  engine.ResetEngine();
  TOutputOptions hooked;
  hooked.UseBeforeHook = true;
  hooked.HookRanges = "0-100";
  engine.ApplyOutputOptions("out.avi", hooked);
  EXPECT_EQ(engine.Options.HookTimeRangeCount, 0);
}

TEST_F(OptionsRecordsTest, InputRecord) {
  TInputOptions options;
  options.ExtraOptions = "itsscale=1:0.5\nss=7";
  options.FileFormat = "mpegts";
  options.StartTime = 2500;
  options.ProgramID = 0;
  engine.ApplyInputOptions("in.ts", options);
  EXPECT_STREQ(engine.Options.InputFormat->name, "mpegts");
  EXPECT_EQ(engine.Options.StartTimeUs, 2500000);  // the field overrides the line
  EXPECT_EQ(engine.Options.ProgramId, 0);
  EXPECT_DOUBLE_EQ(engine.Files.InputTsScale[0][1], 0.5);

  TInputOptions unknown;
  unknown.FileFormat = "nosuchformat";
  EXPECT_EQ(Failure([&] { engine.ApplyInputOptions("in", unknown); }),
            "Unknown input format: nosuchformat");
  EXPECT_EQ(Failure([&] { engine.Dispatch("f", "nosuchformat"); }),
            "Unknown input or output format: nosuchformat");
  engine.Dispatch("f", "ipod");  // an output-only name is accepted
  EXPECT_EQ(engine.Options.InputFormat, nullptr);
  EXPECT_STREQ(engine.Options.OutputFormat->name, "ipod");
}
