// The output check: a finished output is read back before it gets its final name. Good outputs
// pass with their details (the PSNR compared with the ffmpeg tool's own measurement), a
// shortened output is done with a note, an unreadable one fails and leaves no file, a duration
// limit is honoured, the device limits are read from files the ffmpeg tool made, and the
// command line's --details and --no-check.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "EngineDoor.h"
#include "MediaUtil.h"
#include "OutputCheck.h"
#include "OutputFiles.h"

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// An engine whose finished output is changed on disk after the run and before the check, as a
// failing disk or a cut-short write would leave it.
class DamagingEngine : public TEngineDoor {
 public:
  enum class Damage { kNone, kCutInHalf, kOverwrite, kStopBeforeCheck };
  Damage damage = Damage::kNone;

 protected:
  void ConfirmRunResult() override {
    const std::string part = Files.OutputPartPaths[0];
    const auto size = std::filesystem::file_size(part);
    if (damage == Damage::kStopBeforeCheck) State.RequestAbort();
    if (damage == Damage::kCutInHalf) std::filesystem::resize_file(part, size / 2);
    if (damage == Damage::kOverwrite) {
      std::ofstream out(part, std::ios::binary | std::ios::trunc);
      out << std::string(static_cast<size_t>(size), '\x5a');
    }
  }
};

class OutputCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    src_ = new media::TempDir;
    auto args = media::AudioSource(3.0);
    args.insert(args.end(), {"-c:a", "pcm_s16le"});
    ASSERT_TRUE(media::MakeMedia(src_->File("tone.wav"), args));
    ASSERT_TRUE(media::MakeAudioVideo(src_->File("clip.mp4"),
                                      {"-c:v", "libx264", "-c:a", "aac", "-shortest"}, 2.0,
                                      "320x240", "25"));
  }
  static void TearDownTestSuite() {
    delete src_;
    src_ = nullptr;
  }

  // Converts SOURCE into OUTPUT (format from its name) with the check on; the exception's text
  // when the run fails, else "".
  std::string Run(DamagingEngine& engine, const std::string& source, const std::string& output) {
    engine.Options.CheckOutput = 1;
    engine.OpenInputFile(source);
    EXPECT_TRUE(engine.OpenOutputFile(output)) << engine.LastErrorText;
    try {
      engine.Transcode();
    } catch (const std::exception& e) {
      engine.Files.Release();
      return e.what();
    }
    engine.Files.Release();
    return "";
  }

  static media::TempDir* src_;
  media::TempDir out_;
};

media::TempDir* OutputCheckTest::src_ = nullptr;

}  // namespace

TEST_F(OutputCheckTest, GoodOutputsPassWithWhatWasChecked) {
  DamagingEngine sound;
  ASSERT_EQ(Run(sound, src_->File("tone.wav"), out_.File("tone.mp3")), "");
  EXPECT_EQ(sound.State.RunWarning, "");
  EXPECT_EQ(sound.State.CheckDetails, "Checked: 1 stream, 3.0 s");

  DamagingEngine both;
  both.Options.VideoCodecName = "mpeg4";
  ASSERT_EQ(Run(both, src_->File("clip.mp4"), out_.File("clip.avi")), "");
  EXPECT_EQ(both.State.RunWarning, "");
  double seconds = 0, db = 0;
  char unit[3] = {};
  EXPECT_EQ(std::sscanf(both.State.CheckDetails.c_str(), "Checked: 2 streams, %lf s, PSNR %lf d%2s",
                        &seconds, &db, unit),
            3)
      << both.State.CheckDetails;
  EXPECT_STREQ(unit, "B");
  EXPECT_NEAR(seconds, 2.05, 0.051) << both.State.CheckDetails;
  EXPECT_GT(db, 20) << both.State.CheckDetails;
  EXPECT_TRUE(media::DecodesCleanly(out_.File("clip.avi")));
}

TEST_F(OutputCheckTest, DurationLimitIsNoShortfall) {
  DamagingEngine engine;
  engine.Options.RecordingTimeUs = 1000000;
  ASSERT_EQ(Run(engine, src_->File("tone.wav"), out_.File("tone.mp3")), "");
  EXPECT_EQ(engine.State.RunWarning, "");
  EXPECT_EQ(engine.State.CheckDetails, "Checked: 1 stream, 1.0 s");
}

TEST_F(OutputCheckTest, OutputCutShortIsDoneWithANote) {
  DamagingEngine engine;
  engine.damage = DamagingEngine::Damage::kCutInHalf;
  ASSERT_EQ(Run(engine, src_->File("tone.wav"), out_.File("tone.mp3")), "");
  const std::string lead = "the output's sound lasts ";
  const size_t at = engine.State.RunWarning.find(lead);
  double lasts = 0;
  EXPECT_TRUE(at != std::string::npos &&
              std::sscanf(engine.State.RunWarning.c_str() + at + lead.size(), "%lf s of 3.0 s",
                          &lasts) == 1 &&
              engine.State.RunWarning.find(" s of 3.0 s") != std::string::npos && lasts >= 1.3 &&
              lasts < 1.7)
      << "[" << engine.State.RunWarning << "] " << engine.State.CheckDetails;
  // Kept under its final name, as every output with a note; an independent reader agrees on
  // its length.
  const media::ProbeInfo info = media::Probe(out_.File("tone.mp3"));
  ASSERT_TRUE(info.ok) << info.error;
  const media::DecodedSound sound = media::DecodeSound(out_.File("tone.mp3"));
  EXPECT_LT(sound.end_s - sound.start_s, 2.0);
}

TEST_F(OutputCheckTest, UnreadableOutputFailsAndLeavesNoFile) {
  DamagingEngine engine;
  engine.damage = DamagingEngine::Damage::kOverwrite;
  engine.Options.VideoCodecName = "mpeg4";
  const std::string output = out_.File("clip.mp4");
  const std::string error = Run(engine, src_->File("clip.mp4"), output);
  EXPECT_TRUE(Contains(error, "the output cannot be opened")) << error;
  EXPECT_FALSE(std::filesystem::exists(output));
  EXPECT_FALSE(std::filesystem::exists(PartFileName(output)));
  EXPECT_EQ(engine.State.CheckDetails, "");
}

TEST_F(OutputCheckTest, StopBeforeTheCheckKeepsTheOutputUnchecked) {
  DamagingEngine engine;
  engine.damage = DamagingEngine::Damage::kStopBeforeCheck;
  ASSERT_EQ(Run(engine, src_->File("tone.wav"), out_.File("tone.mp3")), "");
  EXPECT_FALSE(engine.State.Finished);
  EXPECT_EQ(engine.State.CheckDetails, "");
  EXPECT_TRUE(media::DecodesCleanly(out_.File("tone.mp3")));
}

TEST_F(OutputCheckTest, DeviceLimitsAreReadFromTheFile) {
  // H.264 High with B-frames is no iPod's video, but is the H.264 format's.
  const std::string high = out_.File("high.mp4");
  ASSERT_TRUE(
      media::MakeMedia(high, {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:d=1", "-c:v",
                              "libx264", "-pix_fmt", "yuv420p", "-profile:v", "high", "-bf", "2"}));
  TOutputExpectation expect;
  expect.Path = high;
  expect.Streams = {TExpectedStream{AVMEDIA_TYPE_VIDEO, 1000000}};
  expect.Device = TDeviceTarget::kIPod;
  TOutputCheckResult result = CheckOutputFile(expect, nullptr);
  ASSERT_TRUE(result.Readable) << result.Failure;
  EXPECT_TRUE(Contains(result.Note, "not H.264 Baseline")) << result.Note;
  expect.Device = TDeviceTarget::kH264;
  result = CheckOutputFile(expect, nullptr);
  EXPECT_EQ(result.Note, "");

  // MPEG-4 with B-frames is not the Simple Profile the phones take; 3GP's level 3 covers CIF
  // at 15 fps and no more.
  const std::string bframes = out_.File("b.3gp");
  ASSERT_TRUE(media::MakeMedia(bframes, {"-f", "lavfi", "-i", "testsrc=size=176x144:rate=15:d=1",
                                         "-c:v", "mpeg4", "-bf", "2"}));
  expect.Path = bframes;
  expect.Device = TDeviceTarget::k3GP;
  result = CheckOutputFile(expect, nullptr);
  EXPECT_TRUE(Contains(result.Note, "not MPEG-4 Simple Profile")) << result.Note;

  // Six channels are more than the Apple players' two.
  const std::string six = out_.File("six.m4a");
  ASSERT_TRUE(media::MakeMedia(six, {"-f", "lavfi", "-i", "sine=d=1", "-ac", "6", "-c:a", "aac"}));
  expect.Path = six;
  expect.Streams = {TExpectedStream{AVMEDIA_TYPE_AUDIO, 1000000}};
  expect.Device = TDeviceTarget::kIPod;
  result = CheckOutputFile(expect, nullptr);
  EXPECT_TRUE(Contains(result.Note, "the output's sound has 6 channels")) << result.Note;
}

TEST_F(OutputCheckTest, CommandLineDetailsAndNoCheck) {
  // MPEG-4 at the source's size and rate, so the encoder's PSNR is that of the output against
  // the source, which the ffmpeg tool measures on its own.
  const std::string src = src_->File("clip.mp4");
  const auto checked =
      media::RunCommand({QUORVIN_CLI, "-o", out_.Path().string(), "--format", "17", "--size",
                         "320x240", "--framerate", "25", "--details", src});
  ASSERT_EQ(checked.exit_code, 0) << checked.out << checked.err;
  // Read with sscanf: GCC 12 warns inside libstdc++'s regex compiler in the sanitizers'
  // build, and warnings fail that build.
  const std::string lead = ": Done\n  Checked: 2 streams, ";
  const size_t line = checked.out.find(lead);
  ASSERT_NE(line, std::string::npos) << checked.out;
  double seconds = 0, db = 0;
  char tail[3] = {};
  ASSERT_EQ(std::sscanf(checked.out.c_str() + line + lead.size(), "%lf s, PSNR %lf d%2s", &seconds,
                        &db, tail),
            3)
      << checked.out;
  EXPECT_STREQ(tail, "B");
  const std::string output = out_.File("clip.mp4");
  EXPECT_NEAR(seconds, media::Probe(output).duration_s, 0.1);
  const auto psnr = media::RunCommand({"ffmpeg", "-nostdin", "-hide_banner", "-i", output, "-i",
                                       src, "-lavfi", "[0:v][1:v]psnr", "-f", "null", "-"});
  const size_t at = psnr.err.find("average:");
  ASSERT_NE(at, std::string::npos) << psnr.err;
  EXPECT_NEAR(db, std::atof(psnr.err.c_str() + at + 8), 1.0) << psnr.err.substr(at, 80);

  // Without the check there is nothing to detail; the result line is the same.
  const auto unchecked = media::RunCommand({QUORVIN_CLI, "-o", out_.Path().string(), "--format",
                                            "17", "--no-check", "--details", "--overwrite", src});
  ASSERT_EQ(unchecked.exit_code, 0) << unchecked.out << unchecked.err;
  EXPECT_TRUE(Contains(unchecked.out, src + ": Done\n")) << unchecked.out;
  EXPECT_FALSE(Contains(unchecked.out, "Checked:")) << unchecked.out;
}
