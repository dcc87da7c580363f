// Every format of the catalogue can be set up for output with the codecs its profile names.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "AmrNbEncoder.h"
#include "Binding.h"
#include "EngineDoor.h"
#include "FormatCatalogue.h"
#include "MainSettings.h"
#include "MediaUtil.h"
#include "Translation.h"

namespace {

// The job's output options as the queue fills them for CAPTION with the shown defaults.
TOutputOptions ProfileOptions(std::string_view caption) {
  TMainSettings settings;
  InitialiseSettingLists(settings);
  EXPECT_TRUE(settings.ComboOutputFormat.SelectText(caption)) << caption;
  ApplyShownSettings(settings, {});
  TOutputOptions options;
  ResetOutputOptions(options);
  FillProfileOptions(settings, options);
  return options;
}

std::string Lower(std::string_view text) {
  std::string s(text);
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The encoder a configured output context stands for.
std::string EncoderOf(const AVCodecContext* ctx) {
  if (ctx->codec) return ctx->codec->name;
  if (ctx->codec_id == AV_CODEC_ID_AMR_NB && AmrNbEncoder::UsesOwnEncoder(ctx)) return "libamr_nb";
  return "";
}

std::string ExpectedEncoder(const std::string& profile_name) {
  if (profile_name == "libamr_nb")
    return AmrNbEncoder::FindLibraryEncoder() ? AmrNbEncoder::FindLibraryEncoder()->name
                                              : "libamr_nb";
  return TEngineDoor::CodecAlias(profile_name);
}

}  // namespace

TEST(FileSetupCatalogue, EveryFormatSetsUpItsProfileCodecs) {
  std::string error;
  ASSERT_TRUE(LoadLibraries("", true, error)) << error;
  SetLibraryLogSink([](int, const char*) {});
  media::TempDir dir;
  const auto source = dir.File("source.mkv");
  ASSERT_TRUE(media::MakeAudioVideo(source, {"-c:v", "mpeg4", "-c:a", "mp2"}, 0.5, "320x240"));

  int count = 0;
  for (const auto& format : FormatCatalogue()) {
    SCOPED_TRACE(std::string(format.Caption));
    const TOutputOptions options = ProfileOptions(format.Caption);
    const std::string out =
        dir.File("out" + std::to_string(count++) + "." + Lower(format.Extension));
    TEngineDoor engine;
    engine.ResetEngine();
    engine.OpenInputFile(source);
    engine.ApplyOutputOptions(out, options);
    ASSERT_TRUE(engine.OpenOutputFile(out)) << engine.LastErrorText;
    ASSERT_EQ(engine.Files.OutputFileCount, 1);
    const AVFormatContext* oc = engine.Files.OutputFiles[0].get();

    const bool video = !options.DisableVideo && !options.VideoCodec.empty();
    ASSERT_EQ(oc->nb_streams, video ? 2u : 1u);
    int stream = 0;
    if (video) {
      const AVCodecContext* v = engine.Files.OutputCodecs[0][stream++].get();
      EXPECT_EQ(v->codec_type, AVMEDIA_TYPE_VIDEO);
      EXPECT_EQ(EncoderOf(v), ExpectedEncoder(options.VideoCodec));
      EXPECT_GT(v->width, 0);
      EXPECT_GT(v->height, 0);
      EXPECT_NE(v->pix_fmt, AV_PIX_FMT_NONE);
      EXPECT_GT(v->time_base.den, 0);
    }
    const AVCodecContext* a = engine.Files.OutputCodecs[0][stream].get();
    EXPECT_EQ(a->codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(EncoderOf(a), ExpectedEncoder(options.AudioCodec));
    if (options.AudioSampleRate > 0 && options.AudioCodec != "libamr_nb") {
      EXPECT_EQ(a->sample_rate, options.AudioSampleRate);
    }
    if (options.AudioChannels > 0 && options.AudioCodec != "libamr_nb") {
      EXPECT_EQ(a->ch_layout.nb_channels, options.AudioChannels);
    }
  }
  EXPECT_EQ(count, static_cast<int>(FormatCatalogue().size()));
  SetLibraryLogSink(nullptr);
}
