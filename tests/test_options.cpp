// The option dispatcher, generic options, target presets and the option-line rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Binding.h"
#include "EngineDoor.h"
#include "MediaUtil.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {

// An engine after the job component's reset, with its log lines collected.
class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadLibraries("", true, error)) << error;
    engine.ResetEngine();
    engine.OnLog = [this](int level, const std::string& msg) { logs.push_back({level, msg}); };
  }

  // The message of the FFMpegException that applying name=value raises ("" when none).
  std::string Failure(const std::string& name, const std::string& value) {
    try {
      engine.Dispatch(name, value);
    } catch (const FFMpegException& e) {
      return e.what();
    }
    return "";
  }

  int64_t CodecOption(AVMediaType type, const char* name) {
    int64_t value = -1;
    EXPECT_GE(av_opt_get_int(engine.CodecDefaults[type].get(), name, 0, &value), 0) << name;
    return value;
  }

  bool Logged(const std::string& msg) const {
    for (const auto& line : logs)
      if (line.second == msg) return true;
    return false;
  }

  TEngineDoor engine;
  std::vector<std::pair<int, std::string>> logs;
};

}  // namespace

TEST_F(OptionsTest, LogOnlyRejectedAndUnknownRows) {
  EXPECT_EQ(Failure("y", ""), "");
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0], std::make_pair(1, std::string("Do nothing: option - y")));

  EXPECT_EQ(Failure("threads", "4"), "TODO: option - threads");
  EXPECT_EQ(Failure("vbsf", "h264_mp4toannexb"), "TODO: option - vbsf");

  logs.clear();
  EXPECT_EQ(Failure("xyz", "17"), "");
  EXPECT_EQ(Failure("", ""), "");
  EXPECT_TRUE(logs.empty());
  EXPECT_TRUE(engine.OptionNames.empty());
  EXPECT_EQ(engine.Options.ThreadCount, 1);

  // Names are matched exactly: no trimming, no case folding.
  EXPECT_EQ(Failure("S", "641x480"), "");
  EXPECT_EQ(Failure(" s", "641x480"), "");
  EXPECT_EQ(engine.Options.FrameWidth, 0);
}

TEST_F(OptionsTest, PictureChecks) {
  EXPECT_EQ(Failure("s", "641x480"), "Frame size must be a multiple of 2");
  EXPECT_EQ(engine.Options.FrameWidth, 641);  // the odd value stays stored
  EXPECT_EQ(Failure("s", "big"), "Incorrect frame size");
  EXPECT_EQ(Failure("s", "vga"), "");
  EXPECT_EQ(engine.Options.FrameWidth, 640);
  EXPECT_EQ(engine.Options.FrameHeight, 480);

  EXPECT_EQ(Failure("croptop", "10"), "");
  EXPECT_EQ(engine.Options.FrameHeight, 470);
  EXPECT_EQ(engine.Options.CropTop, 10);
  EXPECT_EQ(Failure("croptop", "-2"), "");
  EXPECT_EQ(engine.Options.CropTop, 10);
  EXPECT_EQ(Failure("cropbottom", "470"),
            "Vertical crop dimensions are outside the range of the original image.\n"
            "Remember to crop first and scale second.");
  EXPECT_EQ(Failure("cropleft", "640"),
            "Horizontal crop dimensions are outside the range of the original image.\n"
            "Remember to crop first and scale second.");
  EXPECT_EQ(Failure("cropright", "3"), "Right crop size must be a multiple of 2");
  EXPECT_EQ(Failure("padleft", "5"), "Left pad size must be a multiple of 2");
  EXPECT_EQ(Failure("padtop", "8"), "");
  EXPECT_EQ(engine.Options.PadTop, 8);
  EXPECT_EQ(engine.Options.FrameHeight, 470);  // pads do not change the size

  EXPECT_EQ(Failure("aspect", "16:9"), "");
  EXPECT_FLOAT_EQ(engine.Options.FrameAspectRatio, 1.7777778f);
  EXPECT_EQ(Failure("aspect", "1.5"), "");
  EXPECT_FLOAT_EQ(engine.Options.FrameAspectRatio, 1.5f);
  for (const char* bad : {"4:0", "0", "x:3", "wide"})
    EXPECT_EQ(Failure("aspect", bad), "Incorrect aspect ratio specification.") << bad;

  EXPECT_EQ(Failure("qscale", "0"), "qscale must be > 0.0 and <= 255");
  EXPECT_EQ(Failure("qscale", "256"), "qscale must be > 0.0 and <= 255");
  EXPECT_EQ(Failure("qscale", "255"), "");
  EXPECT_FLOAT_EQ(engine.Options.VideoQScale, 255.0f);

  EXPECT_EQ(Failure("r", "abc"), "Incorrect frame rate");
  EXPECT_EQ(Failure("r", "30000/1001"), "");
  EXPECT_EQ(engine.Options.FrameRate.num, 30000);
  EXPECT_EQ(engine.Options.FrameRate.den, 1001);

  EXPECT_EQ(Failure("pix_fmt", "yuv422p"), "");
  EXPECT_EQ(engine.Options.FramePixFmt, AV_PIX_FMT_YUV422P);
  EXPECT_EQ(Failure("pix_fmt", "nonsense"), "");
  EXPECT_EQ(engine.Options.FramePixFmt, AV_PIX_FMT_NONE);
}

TEST_F(OptionsTest, PadColorConvertsToYuv) {
  engine.Dispatch("padcolor", "0xFFFFFF");
  EXPECT_EQ(engine.Options.PadColor, (std::array<int, 3>{255, 128, 128}));
  engine.Dispatch("padcolor", "0");
  EXPECT_EQ(engine.Options.PadColor, (std::array<int, 3>{0, 128, 128}));
  engine.Dispatch("padcolor", "255");  // pure red, 0x00BBGGRR
  EXPECT_EQ(engine.Options.PadColor, (std::array<int, 3>{76, 85, 255}));
}

TEST_F(OptionsTest, CodecNamesTagsAndNumbers) {
  engine.Dispatch("vcodec", "copy");
  EXPECT_EQ(engine.Options.VideoStreamCopy, 1);
  EXPECT_TRUE(engine.Options.VideoCodecName.empty());
  engine.Dispatch("vcodec", "mpeg4");
  EXPECT_EQ(engine.Options.VideoCodecName, "mpeg4");
  EXPECT_EQ(engine.Options.VideoStreamCopy, 1);  // a later name keeps the copy flag
  engine.Dispatch("acodec", "");
  EXPECT_TRUE(engine.Options.AudioCodecName.empty());

  engine.Dispatch("vtag", "XVID");
  EXPECT_EQ(engine.Options.VideoCodecTag, 'X' | 'V' << 8 | 'I' << 16 | 'D' << 24);
  EXPECT_EQ(Failure("vtag", "DIVX5"), "video tag parameter must be 4 chars");
  EXPECT_EQ(Failure("atag", "mp"), "audio tag parameter must be 4 chars");

  EXPECT_EQ(Failure("pass", "3"), "pass number can be only 1 or 2");
  EXPECT_EQ(Failure("pass", "2"), "");
  EXPECT_EQ(engine.Options.DoPass, 2);

  EXPECT_EQ(Failure("vsync", "one"), "'one' is not a valid integer value");
  EXPECT_EQ(Failure("vol", "99999999999"), "'99999999999' is not a valid integer value");
  EXPECT_EQ(Failure("muxdelay", "0.x"), "'0.x' is not a valid floating point value");
  EXPECT_EQ(Failure("ar", "0"), "");
  EXPECT_EQ(engine.Options.AudioSampleRate, 44100);  // only values above 0 count
  EXPECT_EQ(Failure("ac", "1"), "");
  EXPECT_EQ(engine.Options.AudioChannels, 1);

  engine.Dispatch("title", "");
  engine.Dispatch("title", "Song");
  engine.Dispatch("title", "");
  EXPECT_EQ(engine.Options.Title, "Song");  // empty tag values are ignored
  engine.Dispatch("alang", "eng");
  engine.Dispatch("alang", "");
  EXPECT_EQ(engine.Options.AudioLanguage, "");  // but a language is taken as given
}

TEST_F(OptionsTest, TimeValues) {
  engine.Dispatch("t", "00:00:02.5");
  EXPECT_EQ(engine.Options.RecordingTimeUs, 2500000);
  EXPECT_EQ(engine.Options.TotalDurationMs, 2500);
  engine.Dispatch("t", "0");  // zero changes nothing
  EXPECT_EQ(engine.Options.TotalDurationMs, 2500);
  engine.Dispatch("ss", "1.5");
  EXPECT_EQ(engine.Options.StartTimeUs, 1500000);
  EXPECT_EQ(Failure("itsoffset", "soon"), "Invalid duration specification for itsoffset: soon");
  EXPECT_EQ(Failure("timestamp", "never"), "Invalid date specification for timestamp: never");
  engine.Dispatch("timestamp", "1970-01-02 00:00:00Z");
  EXPECT_EQ(engine.Options.RecTimestamp, 86400);
}

TEST_F(OptionsTest, MapsScalesAndMatrices) {
  engine.Dispatch("map", "0:1");
  engine.Dispatch("map", "0.1");
  engine.Dispatch("map", "1:0:0:0x2");
  ASSERT_EQ(engine.Files.StreamMapCount, 3);
  EXPECT_EQ(engine.Files.StreamMaps[1].FileIndex, 0);
  EXPECT_EQ(engine.Files.StreamMaps[1].StreamIndex, 1);
  EXPECT_EQ(engine.Files.StreamMaps[1].SyncStreamIndex, 1);
  EXPECT_EQ(engine.Files.StreamMaps[2].SyncStreamIndex, 2);
  for (int i = 3; i < kMaxStreamMaps; ++i) engine.Dispatch("map", "0:0");
  EXPECT_EQ(Failure("map", "0:0"), "Too many stream maps (at most 20)");
  EXPECT_EQ(engine.Files.StreamMapCount, kMaxStreamMaps);

  engine.Dispatch("map_meta_data", "0:1");
  EXPECT_EQ(engine.Files.MetaDataMaps[0].InFile, 1);

  engine.Dispatch("itsscale", "0:2");
  EXPECT_DOUBLE_EQ(engine.Files.InputTsScale[0][0], 2.0);
  EXPECT_EQ(Failure("itsscale", "20:1"), "stream index over MAX_STREAMS(20)");
  EXPECT_EQ(Failure("itsscale", "-1:1"), "stream index over MAX_STREAMS(20)");

  std::string matrix;
  for (int i = 1; i <= 64; ++i) matrix += std::to_string(i) + (i < 64 ? "," : "");
  engine.Dispatch("intra_matrix", matrix);
  ASSERT_EQ(engine.Options.IntraMatrix.size(), 64u);
  EXPECT_EQ(engine.Options.IntraMatrix[63], 64);
  EXPECT_EQ(Failure("inter_matrix", "1,2,3"), "Syntax error in matrix \"1,2,3\" at coeff 2");
  EXPECT_TRUE(engine.Options.InterMatrix.empty());
}

TEST_F(OptionsTest, NewStreamsNeedAnOutputFile) {
  EXPECT_EQ(Failure("newvideo", ""), "At least one output file must be specified");
  EXPECT_EQ(Failure("newaudio", ""), "At least one output file must be specified");
}

TEST_F(OptionsTest, BitRatesGoToTheirOwnCodecType) {
  int64_t video_default = CodecOption(AVMEDIA_TYPE_VIDEO, "b");
  engine.Dispatch("ab", "128");
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "b"), 128);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), video_default);
  EXPECT_TRUE(Logged(
      "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s"));

  logs.clear();
  engine.Dispatch("b", "1000");
  engine.Dispatch("maxrate", "2000000");
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 1000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "maxrate"), 2000000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "b"), 128);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "maxrate"), 0);
  EXPECT_TRUE(logs.empty());

  engine.Dispatch("vb", "800000");
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 800000);
}

TEST_F(OptionsTest, GenericOptionsAndTheirCopyIntoRealContexts) {
  EXPECT_TRUE(engine.SetGenericOption("gop", "30"));  // legacy name of "g"
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "g"), 30);
  EXPECT_TRUE(engine.SetGenericOptionInt("ab", 96000));
  EXPECT_TRUE(engine.SetGenericOption("sws_flags", "bilinear"));
  EXPECT_TRUE(engine.SetGenericOption("packetsize", "2324"));
  EXPECT_EQ(engine.FormatDefaults->packet_size, 2324u);
  EXPECT_TRUE(engine.SetGenericOption("muxrate", "1411200"));  // an MPEG muxer option
  ASSERT_EQ(engine.MuxerOptions.size(), 1u);
  EXPECT_EQ(engine.MuxerOptions[0].second, "1411200");
  EXPECT_FALSE(engine.SetGenericOption("b", " "));
  EXPECT_FALSE(engine.SetGenericOption("nosuchoption", "1"));
  EXPECT_FALSE(engine.SetGenericOption("g", "not-a-number"));

  CodecContextPtr video(avcodec_alloc_context3(nullptr));
  CodecContextPtr audio(avcodec_alloc_context3(nullptr));
  engine.ApplyGenericOptions(video.get(), engine.CodecDefaults[AVMEDIA_TYPE_VIDEO].get(),
                             AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
  engine.ApplyGenericOptions(audio.get(), engine.CodecDefaults[AVMEDIA_TYPE_AUDIO].get(),
                             AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
  EXPECT_EQ(video->gop_size, 30);
  EXPECT_EQ(audio->bit_rate, 96000);
  EXPECT_NE(video->bit_rate, 96000);
  EXPECT_NE(audio->gop_size, 30);  // "g" is a video option
}
