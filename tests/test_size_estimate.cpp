// Size estimates and target sizes through quorvin-convert: the estimate against the real
// output, the upper-bound flag, --estimate writing nothing, and --target-size fitting an output
// or refusing a target that cannot be met.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "MediaUtil.h"
#include "SizeEstimate.h"

namespace fs = std::filesystem;
using media::RunCommand;
using media::TempDir;

namespace {

// A moving picture with a sine tone, SECONDS long.
std::string MakeMovingSource(const TempDir& dir, double seconds) {
  const std::string path = dir.File("moving.mkv");
  const std::string d = std::to_string(seconds);
  EXPECT_TRUE(
      media::MakeMedia(path, {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:d=" + d, "-f",
                              "lavfi", "-i", "sine=frequency=440:sample_rate=44100:d=" + d, "-c:v",
                              "ffv1", "-c:a", "pcm_s16le", "-ac", "2"}));
  return path;
}

// Stereo noise, which lossless sound cannot pack much.
std::string MakeNoiseSource(const TempDir& dir, double seconds) {
  const std::string path = dir.File("noise.wav");
  EXPECT_TRUE(media::MakeMedia(
      path, {"-f", "lavfi", "-i", "anoisesrc=sample_rate=44100:d=" + std::to_string(seconds), "-ac",
             "2"}));
  return path;
}

struct Estimated {
  long long bytes = -1;
  bool upper_bound = false;
};

// The estimate quorvin-convert --estimate prints for SOURCE ("FILE: ~1.2 MB (1234567 bytes)").
Estimated EstimateOf(const std::string& source, const std::string& format) {
  const auto r = RunCommand({QUORVIN_CLI, "--estimate", "--format", format, source});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  Estimated e;
  const size_t open = r.out.find(" (");
  const size_t colon = r.out.find(": ");
  if (open == std::string::npos || colon == std::string::npos) {
    ADD_FAILURE() << "no estimate in: " << r.out;
    return e;
  }
  e.bytes = std::atoll(r.out.c_str() + open + 2);
  e.upper_bound = r.out.compare(colon + 2, std::string("≤").size(), "≤") == 0;
  return e;
}

struct Converted {
  int exit_code = -1;
  std::string out;
  std::vector<fs::path> files;  // everything in the output folder afterwards
};

Converted Convert(const TempDir& dir, const std::string& source, std::vector<std::string> choices) {
  static int count = 0;
  const std::string folder = dir.File("out" + std::to_string(++count));
  fs::create_directory(folder);
  std::vector<std::string> argv{QUORVIN_CLI, "-o", folder};
  argv.insert(argv.end(), choices.begin(), choices.end());
  argv.push_back(source);
  const auto r = RunCommand(argv);
  Converted c{r.exit_code, r.out + r.err, {}};
  for (const auto& entry : fs::directory_iterator(folder)) c.files.push_back(entry.path());
  return c;
}

// The one output of C, read in full by the ffmpeg tool; its size, or -1.
long long CheckedOutputSize(const Converted& c) {
  EXPECT_EQ(c.files.size(), 1u) << c.out;
  if (c.files.size() != 1) return -1;
  const auto decode = RunCommand(
      {"ffmpeg", "-v", "error", "-nostdin", "-i", c.files[0].string(), "-f", "null", "-"});
  EXPECT_EQ(decode.exit_code, 0) << decode.err;
  EXPECT_TRUE(decode.err.empty()) << decode.err;
  return static_cast<long long>(fs::file_size(c.files[0]));
}

}  // namespace

TEST(SizeEstimate, BitRateFormatsComeWithin15PercentOfTheRealOutput) {
  TempDir dir;
  const std::string source = MakeMovingSource(dir, 8);
  for (const std::string format : {"mp3", "wmv", "mpeg1"}) {
    SCOPED_TRACE(format);
    const Estimated estimate = EstimateOf(source, format);
    EXPECT_FALSE(estimate.upper_bound);
    const Converted c = Convert(dir, source, {"--format", format});
    ASSERT_EQ(c.exit_code, 0) << c.out;
    const double real = static_cast<double>(CheckedOutputSize(c));
    EXPECT_NEAR(real / static_cast<double>(estimate.bytes), 1.0, 0.15)
        << "real " << real << ", estimated " << estimate.bytes;
  }
}

TEST(SizeEstimate, ConstantQualityAndLosslessAreUpperBoundsTheOutputStaysUnder) {
  TempDir dir;
  const std::string moving = MakeMovingSource(dir, 4);
  const std::string noise = MakeNoiseSource(dir, 4);
  for (const auto& [format, source] : {std::pair{"h264", moving}, std::pair{"flac", noise}}) {
    SCOPED_TRACE(format);
    const Estimated estimate = EstimateOf(source, format);
    EXPECT_TRUE(estimate.upper_bound);
    const Converted c = Convert(dir, source, {"--format", format});
    ASSERT_EQ(c.exit_code, 0) << c.out;
    EXPECT_LE(CheckedOutputSize(c), estimate.bytes);
  }
}

TEST(SizeEstimate, EstimateConvertsNothingAndTotalsEveryFileOfAFolder) {
  TempDir dir;
  MakeMovingSource(dir, 1);
  MakeNoiseSource(dir, 1);
  const std::string out = dir.File("out");
  fs::create_directory(out);
  const auto r =
      RunCommand({QUORVIN_CLI, "--estimate", "-o", out, "--format", "ipod", dir.Path().string()});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("moving.mkv: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("noise.wav: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Total: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" for 2 files"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_empty(out));
  // Nothing beside the sources either: no output, no temporary file.
  int entries = 0;
  for (const auto& entry : fs::directory_iterator(dir.Path())) entries += entry.exists();
  EXPECT_EQ(entries, 3);
}

TEST(SizeEstimate, UnknownDurationIsCountedApartFromTheTotal) {
  ProbeColumns known;
  known.ok = true;
  known.has_sound = true;
  known.duration_seconds = 10;
  ProbeColumns unknown = known;
  unknown.duration_seconds = -1;
  TOutputOptions options;
  options.AudioCodec = "libmp3lame";
  options.AudioBitrate = 128000;
  options.DisableVideo = true;
  const TSizeEstimate a = EstimateOutputSize(options, "MP3", known);
  const TSizeEstimate b = EstimateOutputSize(options, "MP3", unknown);
  EXPECT_TRUE(a.Known);
  EXPECT_FALSE(b.Known);
  EXPECT_EQ(b.Text(), "?");
  EXPECT_EQ(TotalEstimateText({a, b}), a.Text() + " for 2 files (1 unknown)");
}

TEST(TargetSize, OutputLandsBetween90And100PercentOfTheTarget) {
  // One pass of MPEG-4 and of x265, two passes of x264 and of VP9 (whose statistics files must
  // not stay beside the output: the folder holds the output alone), and a sound-only format's
  // rate.
  TempDir dir;
  const std::string source = MakeMovingSource(dir, 10);
  for (const auto& [format, megabytes] :
       {std::pair{"ipod", 1.0}, std::pair{"h264", 1.0}, std::pair{"hevc", 0.6},
        std::pair{"webm", 0.6}, std::pair{"mp3", 0.15}}) {
    SCOPED_TRACE(format);
    const Converted c =
        Convert(dir, source, {"--format", format, "--target-size", std::to_string(megabytes)});
    ASSERT_EQ(c.exit_code, 0) << c.out;
    const double share = static_cast<double>(CheckedOutputSize(c)) / (megabytes * 1e6);
    EXPECT_LE(share, 1.0);
    EXPECT_GE(share, 0.9);
  }
}

TEST(TargetSize, ImpossibleTargetFailsAtOnceWithTheSizeNeeded) {
  TempDir dir;
  const std::string source = MakeMovingSource(dir, 10);
  const Converted c = Convert(dir, source, {"--format", "ipod", "--target-size", "0.05"});
  EXPECT_EQ(c.exit_code, 1);
  EXPECT_EQ(c.out.find("frames"), std::string::npos) << "it was converted: " << c.out;
  EXPECT_TRUE(c.files.empty());
  // The size named is enough: given as the target, it converts.
  double needed = 0;
  const size_t at = c.out.find(": Fail: needs at least ");
  ASSERT_NE(at, std::string::npos) << c.out;
  ASSERT_EQ(std::sscanf(c.out.c_str() + at, ": Fail: needs at least %lf MB", &needed), 1) << c.out;
  EXPECT_GT(needed, 0.05);
  EXPECT_LT(needed, 1.0) << "a size this clip does not need: " << c.out;
  const Converted fits =
      Convert(dir, source, {"--format", "ipod", "--target-size", std::to_string(needed)});
  EXPECT_EQ(fits.exit_code, 0) << fits.out;
  EXPECT_LE(CheckedOutputSize(fits), static_cast<long long>(needed * 1e6));
}

TEST(TargetSize, AnOutputOverTheTargetIsNeverKept) {
  // Lossless sound has no rate to lower: noise that does not pack under the target fails.
  TempDir dir;
  const std::string source = MakeNoiseSource(dir, 4);
  const Converted c = Convert(dir, source, {"--format", "flac", "--target-size", "0.3"});
  EXPECT_EQ(c.exit_code, 1);
  EXPECT_NE(c.out.find("larger than its target size"), std::string::npos) << c.out;
  EXPECT_TRUE(c.files.empty());
}
