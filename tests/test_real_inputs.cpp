// The kinds of files users bring, made small during the run: the probe's column texts (through
// quorvin-convert --probe) and the engine's input set-up must agree with ffprobe on each.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Binding.h"
#include "EngineDoor.h"
#include "MediaUtil.h"
#include "ProbeColumns.h"

namespace {

struct UserFile {
  const char* name;
  std::vector<std::string> codec_args;
  bool video, audio;
};

// Sources are 176x144 (RealVideo and H.263 need such sizes) at 25 pictures per second.
const std::vector<UserFile>& UserFiles() {
  static const std::vector<UserFile> files = {
      {"h264-aac.mp4", {"-c:v", "libx264", "-c:a", "aac"}, true, true},
      {"h264-vorbis.mkv", {"-c:v", "libx264", "-c:a", "libvorbis"}, true, true},
      {"mpeg4-mp3.avi", {"-c:v", "mpeg4", "-c:a", "libmp3lame"}, true, true},
      {"mpeg2-ac3.mpg", {"-c:v", "mpeg2video", "-c:a", "ac3"}, true, true},
      {"mpeg2-ac3.ts", {"-c:v", "mpeg2video", "-c:a", "ac3"}, true, true},
      {"flv1-mp3.flv", {"-c:v", "flv", "-c:a", "libmp3lame"}, true, true},
      {"wmv2-wmav2.wmv", {"-c:v", "wmv2", "-c:a", "wmav2"}, true, true},
      {"h264-aac.mov", {"-c:v", "libx264", "-c:a", "aac"}, true, true},
      {"h263-aac.3gp", {"-c:v", "h263", "-c:a", "aac", "-ac", "1", "-ar", "22050"}, true, true},
      {"rv10-ac3.rm", {"-c:v", "rv10", "-c:a", "ac3"}, true, true},
      {"rv20-ac3.rmvb", {"-f", "rm", "-c:v", "rv20", "-c:a", "ac3"}, true, true},
      {"pcm.wav", {"-vn", "-c:a", "pcm_s16le"}, false, true},
      {"lame.mp3", {"-vn", "-c:a", "libmp3lame"}, false, true},
      {"vorbis.ogg", {"-vn", "-c:a", "libvorbis"}, false, true},
      {"animated.gif", {"-an", "-c:v", "gif"}, true, false},
  };
  return files;
}

class ProbeRealInputs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<media::TempDir>();
    for (const auto& f : UserFiles())
      media::MakeAudioVideo(dir_->File(f.name), f.codec_args, 2.2, "176x144", "25");
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static std::string Path(const UserFile& f) { return dir_->File(f.name); }

  static std::unique_ptr<media::TempDir> dir_;
};

std::unique_ptr<media::TempDir> ProbeRealInputs::dir_;

// The three column texts ffprobe's figures give.
std::string ExpectedLine(const std::string& path, const media::ProbeInfo& info) {
  ProbeColumns c;
  c.ok = true;
  std::optional<media::ProbeStream> video;
  for (const auto& s : info.streams)
    if (s.codec_type == "video" && s.fields.count("DISPOSITION:attached_pic") &&
        s.fields.at("DISPOSITION:attached_pic") == "0" && !video)
      video = s;
  const int n = video ? 1 : 0;
  c.video_size = VideoSizeText(n, video ? video->width : 0, video ? video->height : 0);
  c.frame_rate = FrameRateText(n, video ? static_cast<int>(video->r_frame_rate.num) : 0,
                               video ? static_cast<int>(video->r_frame_rate.den) : 0);
  c.duration =
      info.duration_s < 0 ? "Unknown" : FormatDuration(':', std::floor(info.duration_s + 1e-9));
  return ProbeLine(path, c);
}

}  // namespace

TEST_F(ProbeRealInputs, CliProbeMatchesFfprobe) {
  std::vector<std::string> argv = {QUORVIN_CLI, "--probe"};
  for (const auto& f : UserFiles()) argv.push_back(Path(f));
  const auto result = media::RunCommand(argv);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  std::istringstream out(result.out);
  std::string line;
  for (const auto& f : UserFiles()) {
    ASSERT_TRUE(std::getline(out, line)) << "no line for " << f.name;
    const auto info = media::Probe(Path(f));
    ASSERT_TRUE(info.ok) << f.name << ": " << info.error;
    EXPECT_EQ(line, ExpectedLine(Path(f), info)) << f.name;
    // And the figures are the ones the file was made with.
    if (f.video)
      EXPECT_NE(line.find("\t176x144\t25\t00:00:02\t"), std::string::npos) << line;
    else
      EXPECT_NE(line.find("\t \t \t00:00:02\t"), std::string::npos) << line;
  }
}

TEST_F(ProbeRealInputs, CliProbeReportsBadFiles) {
  const auto missing = dir_->File("missing.avi");
  const auto bad = dir_->File("bad.mp4");
  media::WriteFile(bad, "no movie here");
  const auto good = Path(UserFiles()[0]);
  const auto result = media::RunCommand({QUORVIN_CLI, "--probe", missing, good, bad});
  EXPECT_EQ(result.exit_code, 1);
  std::istringstream out(result.out);
  std::string line;
  ASSERT_TRUE(std::getline(out, line));
  EXPECT_EQ(line, missing + "\t\t\t\tError");
  ASSERT_TRUE(std::getline(out, line));
  EXPECT_EQ(line, good + "\t176x144\t25\t00:00:02\t");
  ASSERT_TRUE(std::getline(out, line));
  EXPECT_EQ(line, bad + "\t\t\t\tError");
  EXPECT_NE(result.err.find(missing + ": no such file or directory"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find(bad + ": Unknown format"), std::string::npos) << result.err;

  EXPECT_EQ(media::RunCommand({QUORVIN_CLI, "--probe"}).exit_code, 2);
}

TEST_F(ProbeRealInputs, FileSetupOpensEveryKind) {
  std::string error;
  ASSERT_TRUE(LoadLibraries("", true, error)) << error;
  SetLibraryLogSink([](int, const char*) {});
  for (const auto& f : UserFiles()) {
    SCOPED_TRACE(f.name);
    TEngineDoor engine;
    engine.ResetEngine();
    try {
      engine.OpenInputFile(Path(f));
    } catch (const FFMpegException& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    const auto info = media::Probe(Path(f));
    if (const auto v = info.First("video")) {
      EXPECT_EQ(engine.Options.FrameWidth, v->width);
      EXPECT_EQ(engine.Options.FrameHeight, v->height);
      EXPECT_EQ(engine.Options.FrameRate.num * v->r_frame_rate.den,
                engine.Options.FrameRate.den * v->r_frame_rate.num);
      EXPECT_NE(engine.Options.FramePixFmt, AV_PIX_FMT_NONE);
    }
    if (const auto a = info.First("audio")) {
      EXPECT_EQ(engine.Options.AudioSampleRate, a->sample_rate);
      EXPECT_EQ(engine.Options.AudioChannels, a->channels);
    }
    EXPECT_NEAR(engine.Options.TotalDurationMs, info.duration_s * 1000, 1);

    // An output of the same kinds of streams can be prepared from it.
    ASSERT_TRUE(engine.OpenOutputFile(dir_->File(std::string("out-") + f.name + ".avi")))
        << engine.LastErrorText;
    EXPECT_EQ(engine.Files.OutputFiles[0]->nb_streams, (f.video ? 1u : 0u) + (f.audio ? 1u : 0u));
  }
  SetLibraryLogSink(nullptr);
}
