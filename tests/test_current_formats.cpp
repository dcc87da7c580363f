// The formats of today's players (H.264 and HEVC in MP4, VP9 in WebM, Opus, FLAC), converted
// with quorvin-convert from tiny generated sources and read back with ffprobe, a full decode by
// the ffmpeg tool and GStreamer: codecs, profiles, levels, tags, sound parameters, the rate
// cap, upright pictures, display shape, source tags and cover pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "CliConvert.h"
#include "MediaUtil.h"

namespace {

std::string Field(const media::ProbeInfo& info, const std::string& type, const std::string& key) {
  const auto s = info.First(type);
  if (!s) return "";
  const auto it = s->fields.find(key);
  return it == s->fields.end() ? "" : it->second;
}

// A tag of the file or of its sound stream (where Ogg keeps them), by name in any letter case
// (Vorbis comments are case-free).
std::string Tag(const media::ProbeInfo& info, const std::string& name) {
  const auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string wanted = "tag:" + lower(name);
  for (const auto& [key, value] : info.format_fields)
    if (lower(key) == wanted) return value;
  if (const auto a = info.First("audio")) {
    for (const auto& [key, value] : a->fields)
      if (lower(key) == wanted) return value;
  }
  return "";
}

// The first sound stream of PATH fully decoded by the ffmpeg tool to interleaved signed 32-bit
// samples (16- and 24-bit sound lands in the upper bits), as raw bytes.
std::string DecodedSamples(const media::TempDir& dir, const std::string& path) {
  static int count = 0;
  const std::string raw = dir.File("decoded" + std::to_string(++count) + ".raw");
  const auto r = media::RunCommand(
      {"ffmpeg", "-v", "error", "-y", "-i", path, "-map", "0:a:0", "-f", "s32le", raw});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::ifstream in(raw, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<int32_t> Samples(const std::string& raw) {
  std::vector<int32_t> samples(raw.size() / 4);
  std::memcpy(samples.data(), raw.data(), samples.size() * 4);
  return samples;
}

struct Wanted {
  const char* format;
  const char* ext;
  const char* container;  // ffprobe's format name starts with it
  const char* vcodec;     // empty: sound only
  const char* vprofile;
  const char* acodec;
  int sample_rate;
  int channels;
};

}  // namespace

TEST(CurrentFormatsTest, EachFormatWritesWhatItsPlayersRead) {
  media::TempDir dir;
  const std::string src = dir.File("src.mp4");
  ASSERT_TRUE(media::MakeMedia(
      src, {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:d=1", "-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=44100:d=1", "-ac", "2", "-c:v", "libx264", "-preset",
            "ultrafast", "-c:a", "aac", "-metadata", "title=Kept title", "-shortest"}));
  const Wanted cases[] = {
      {"h264", "mp4", "mov", "h264", "High", "aac", 48000, 2},
      {"hevc", "mp4", "mov", "hevc", "Main", "aac", 48000, 2},
      {"webm", "webm", "matroska", "vp9", "Profile 0", "opus", 48000, 2},
      {"opus", "opus", "ogg", "", "", "opus", 48000, 2},
      {"flac", "flac", "flac", "", "", "flac", 44100, 2},
  };
  for (const Wanted& c : cases) {
    SCOPED_TRACE(c.format);
    const std::string out = media::ConvertWithCli(dir, src, c.ext, {"--format", c.format});
    const media::ProbeInfo info = media::Probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.format_name.rfind(c.container, 0), 0u) << info.format_name;
    const auto a = info.First("audio");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->codec_name, c.acodec);
    EXPECT_EQ(a->sample_rate, c.sample_rate);
    EXPECT_EQ(a->channels, c.channels);
    if (std::string(c.acodec) == "aac") {
      EXPECT_EQ(Field(info, "audio", "profile"), "LC");
    }
    if (*c.vcodec) {
      const auto v = info.First("video");
      ASSERT_TRUE(v.has_value());
      EXPECT_EQ(v->codec_name, c.vcodec);
      EXPECT_EQ(Field(info, "video", "profile"), c.vprofile);
      EXPECT_EQ(v->width, 320);
      EXPECT_EQ(v->height, 240);
      EXPECT_NEAR(v->r_frame_rate.Value(), 25.0, 0.01);  // "Original" keeps the source's rate
      EXPECT_EQ(v->pix_fmt, "yuv420p");
    } else {
      EXPECT_EQ(info.Count("video"), 0);
    }
    EXPECT_EQ(Tag(info, "title"), "Kept title");
    EXPECT_NEAR(info.duration_s, 1.0, 0.1);
    EXPECT_TRUE(media::DecodesCleanly(out));
    const media::GstInfo gst = media::GstDiscover(out);
    EXPECT_TRUE(gst.ok) << gst.error;
    EXPECT_NEAR(gst.duration_s, 1.0, 0.1);
  }

  // H.264: reordered pictures, a level that fits the picture and cap (320x240 at 8 Mbps: 3.0),
  // the index at the front. HEVC: tagged hvc1 for Apple's players.
  const media::ProbeInfo avc =
      media::Probe(media::ConvertWithCli(dir, src, "mp4", {"--format", "h264"}));
  EXPECT_EQ(Field(avc, "video", "level"), "30");
  EXPECT_NE(Field(avc, "video", "has_b_frames"), "0");
  EXPECT_EQ(Field(avc, "video", "codec_tag_string"), "avc1");
  const media::ProbeInfo hevc =
      media::Probe(media::ConvertWithCli(dir, src, "mp4", {"--format", "hevc"}));
  EXPECT_EQ(Field(hevc, "video", "codec_tag_string"), "hvc1");
}

// FLAC keeps the source's sample width (16 or 24 bits), rate and channels, and at "100%" its
// samples exactly; another volume step scales the 24 bits, not a 16-bit rounding of them.
TEST(CurrentFormatsTest, FlacKeepsTheSourceSamplesAndTheirWidth) {
  media::TempDir dir;
  // aevalsrc computes in double precision, so the 24-bit sources use all 24 bits.
  const std::string two = "aevalsrc=0.8*sin(2*PI*440*t)|0.5*sin(2*PI*660*t)";
  const std::string six = "aevalsrc=0.8*sin(2*PI*440*t)|0.1*t|-0.3|0.6*sin(2*PI*97*t)|0|0.25";
  struct Case {
    const char* name;
    std::string source;
    std::vector<std::string> codec;
    int rate;
    int channels;
    const char* sample_fmt;
    const char* bits;
  };
  const Case cases[] = {
      {"wav24.wav", two, {"-c:a", "pcm_s24le"}, 48000, 2, "s32", "24"},
      {"flac24.flac", six, {"-c:a", "flac", "-sample_fmt", "s32"}, 96000, 6, "s32", "24"},
      {"float.wav", two, {"-c:a", "pcm_f32le"}, 44100, 2, "s32", "24"},
      {"wav16.wav", two, {"-c:a", "pcm_s16le"}, 44100, 2, "s16", "16"},
      {"flac16.flac", six, {"-c:a", "flac", "-sample_fmt", "s16"}, 22050, 6, "s16", "16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string src = dir.File(c.name);
    std::vector<std::string> args{"-f", "lavfi", "-i",
                                  c.source + ":s=" + std::to_string(c.rate) + ":d=0.5"};
    args.insert(args.end(), c.codec.begin(), c.codec.end());
    ASSERT_TRUE(media::MakeMedia(src, args));
    const std::string out = media::ConvertWithCli(dir, src, "flac", {"--format", "flac"});
    const media::ProbeInfo info = media::Probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    const auto a = info.First("audio");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->codec_name, "flac");
    EXPECT_EQ(a->sample_fmt, c.sample_fmt);
    EXPECT_EQ(Field(info, "audio", "bits_per_raw_sample"), c.bits);
    EXPECT_EQ(a->sample_rate, c.rate);
    EXPECT_EQ(a->channels, c.channels);
    EXPECT_TRUE(media::DecodesCleanly(out));
    const std::string source_samples = DecodedSamples(dir, src);
    ASSERT_FALSE(source_samples.empty());
    // A float source is taken to 24 bits, which loses the float's finest steps.
    if (std::string(c.name) != "float.wav") {
      EXPECT_TRUE(DecodedSamples(dir, out) == source_samples);
    } else {
      const auto in = Samples(source_samples), got = Samples(DecodedSamples(dir, out));
      ASSERT_EQ(got.size(), in.size());
      for (size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(got[i], in[i], 256) << i;
    }
  }

  // "40%" (100/256) on the 24-bit source: the samples are scaled with their low bits kept.
  const std::string quiet = media::ConvertWithCli(dir, dir.File("wav24.wav"), "flac",
                                                  {"--format", "flac", "--volume", "2"});
  const media::ProbeInfo info = media::Probe(quiet);
  EXPECT_EQ(Field(info, "audio", "bits_per_raw_sample"), "24");
  const auto in = Samples(DecodedSamples(dir, dir.File("wav24.wav")));
  const auto got = Samples(DecodedSamples(dir, quiet));
  ASSERT_EQ(got.size(), in.size());
  bool below_16_bits = false;
  for (size_t i = 0; i < in.size(); ++i) {
    const double wanted = static_cast<double>(in[i] / 256) * 100.0 / 256.0;
    ASSERT_NEAR(got[i] / 256, wanted, 1.0) << i;
    if (got[i] & 0xff00) below_16_bits = true;
  }
  EXPECT_TRUE(below_16_bits);
}

TEST(CurrentFormatsTest, LevelFitsTheLargerPictureAndNoSecondExceedsTheCap) {
  media::TempDir dir;
  const std::string src = dir.File("noisy.mp4");
  ASSERT_TRUE(media::MakeMedia(
      src,
      {"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:d=2,noise=alls=40:allf=t", "-f", "lavfi",
       "-i", "sine=d=2", "-c:v", "libx264", "-preset", "ultrafast", "-crf", "15", "-c:a", "aac"}));
  // Lowest: 2000 Kbps; noise makes every encoder want far more.
  // (VP9's cap is libvpx's constrained-quality ceiling, which it holds only over longer runs.)
  for (const auto& [format, ext] : {std::pair{"h264", "mp4"}, std::pair{"hevc", "mp4"}}) {
    SCOPED_TRACE(format);
    const std::string out =
        media::ConvertWithCli(dir, src, ext, {"--format", format, "--video-quality", "Lowest"});
    const double peak = media::PeakVideoBitsPerSecond(out);
    EXPECT_LE(peak, 2000000.0 * 1.05);
    EXPECT_GT(peak, 1000000.0);  // the cap, not a starved encoder
    EXPECT_TRUE(media::DecodesCleanly(out));
  }
  // 1280x720 at 25 fps needs level 3.1; its High rate (17.5 Mbps) is below the Highest cap.
  const std::string hd = dir.File("hd.mp4");
  ASSERT_TRUE(media::MakeMedia(hd, {"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25:d=0.4",
                                    "-c:v", "libx264", "-preset", "ultrafast"}));
  const media::ProbeInfo avc = media::Probe(
      media::ConvertWithCli(dir, hd, "mp4", {"--format", "h264", "--video-quality", "Highest"}));
  EXPECT_EQ(Field(avc, "video", "level"), "31");
}
