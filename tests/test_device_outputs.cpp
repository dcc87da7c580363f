// Outputs a player accepts: upright pictures from rotated sources, stereo AAC and signalled
// video profiles in the device formats, the peak-rate cap, the MP4 index at the front, AVI
// FourCC, index and sync, the source's tags and cover, standard MPEG frame rates, letterbox.
// Conversions run through quorvin-convert; every property is read back with ffprobe/ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "CliConvert.h"
#include "ConversionJob.h"
#include "MediaUtil.h"

namespace {

std::string StreamField(const std::string& path, const std::string& type, const std::string& key) {
  const auto s = media::Probe(path).First(type);
  if (!s) return "";
  const auto it = s->fields.find(key);
  return it == s->fields.end() ? "" : it->second;
}

// The first picture as 16x16 grey levels, decoded by the ffmpeg tool (which turns rotated
// sources upright itself).
std::string Thumbnail(const std::string& path) {
  return media::RunCommand({"ffmpeg", "-v", "error", "-i", path, "-frames:v", "1", "-vf",
                            "scale=16:16", "-f", "rawvideo", "-pix_fmt", "gray", "-"})
      .out;
}

double MeanDifference(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return 255;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i)
    sum += std::abs(static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]));
  return sum / static_cast<double>(a.size());
}

std::vector<std::string> TopLevelBoxes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> boxes;
  unsigned char head[16];
  while (in.read(reinterpret_cast<char*>(head), 8)) {
    uint64_t size = (uint64_t{head[0]} << 24) | (head[1] << 16) | (head[2] << 8) | head[3];
    boxes.emplace_back(reinterpret_cast<char*>(head + 4), 4);
    if (size == 1 && in.read(reinterpret_cast<char*>(head + 8), 8)) {
      size = 0;
      for (int i = 8; i < 16; ++i) size = (size << 8) | head[i];
      in.seekg(static_cast<std::streamoff>(size) - 16, std::ios::cur);
    } else if (size >= 8) {
      in.seekg(static_cast<std::streamoff>(size) - 8, std::ios::cur);
    } else {
      break;
    }
  }
  return boxes;
}

// (chunk id, size) of every entry of an AVI file's idx1 index.
std::vector<std::pair<std::string, uint32_t>> AviIndex(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::pair<std::string, uint32_t>> entries;
  const size_t at = data.rfind("idx1");
  if (at == std::string::npos || at + 8 > data.size()) return entries;
  auto u32 = [&](size_t p) {
    return static_cast<uint32_t>(static_cast<unsigned char>(data[p])) |
           static_cast<uint32_t>(static_cast<unsigned char>(data[p + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(data[p + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(data[p + 3])) << 24;
  };
  const size_t count = u32(at + 4) / 16;
  for (size_t k = 0; k < count && at + 24 + 16 * k <= data.size(); ++k)
    entries.emplace_back(data.substr(at + 8 + 16 * k, 4), u32(at + 20 + 16 * k));
  return entries;
}

// Seconds from the start of the picture to the first sound, on the file's own clock.
double SoundOnset(const std::string& path) {
  const auto r = media::RunCommand(
      {"ffmpeg", "-nostdin", "-copyts", "-i", path, "-map", "0:a:0", "-af",
       "aresample=async=1:first_pts=0,silencedetect=noise=-40dB:d=0.05", "-f", "null", "-"});
  // The number after LABEL in the filter's log, or -1 when the log has none.
  auto value_after = [&r](const std::string& label) {
    const size_t at = r.err.find(label);
    return at == std::string::npos ? -1.0 : std::atof(r.err.c_str() + at + label.size());
  };
  const double silence_start = value_after("silence_start: ");
  const double silence_end = value_after("silence_end: ");
  const double onset =
      silence_start >= 0 && silence_start < 0.01 && silence_end >= 0 ? silence_end : 0.0;
  return onset - std::atof(StreamField(path, "video", "start_time").c_str());
}

// Width x sample aspect / height of the first video stream; 0 without one.
double DisplayAspect(const std::string& path) {
  const auto v = media::Probe(path).First("video");
  if (!v || v->height == 0) return 0;
  const double sar = v->sample_aspect_ratio.num > 0 && v->sample_aspect_ratio.den > 0
                         ? v->sample_aspect_ratio.Value()
                         : 1.0;
  return v->width * sar / v->height;
}

// Width / height of the picture inside black bars (the ffmpeg tool's cropdetect), in pixels.
double PictureShape(const std::string& path) {
  const auto r =
      media::RunCommand({"ffmpeg", "-nostdin", "-hide_banner", "-i", path, "-frames:v", "5", "-vf",
                         "cropdetect=limit=24:round=2:reset=0", "-f", "null", "-"});
  const size_t at = r.err.rfind("crop=");
  if (at == std::string::npos) return 0;
  int w = 0, h = 0;
  return std::sscanf(r.err.c_str() + at, "crop=%d:%d:", &w, &h) == 2 && h > 0
             ? static_cast<double>(w) / h
             : 0;
}

// The pack headers of an MPEG-1 or MPEG-2 program stream.
struct Pack {
  size_t offset = 0;
  double scr_s = 0;        // system clock reference
  double bytes_per_s = 0;  // declared mux rate
  int version = 0;         // 1 or 2
};

std::vector<Pack> ProgramStreamPacks(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string start("\x00\x00\x01\xba", 4);
  std::vector<Pack> packs;
  for (size_t at = data.find(start); at != std::string::npos && at + 14 <= data.size();
       at = data.find(start, at + 4)) {
    auto b = [&](int i) {
      return static_cast<uint64_t>(static_cast<unsigned char>(data[at + 4 + i]));
    };
    Pack p;
    p.offset = at;
    if (b(0) >> 6 == 1) {
      const uint64_t scr = ((b(0) >> 3) & 7) << 30 | (b(0) & 3) << 28 | b(1) << 20 |
                           (b(2) >> 3) << 15 | (b(2) & 3) << 13 | b(3) << 5 | b(4) >> 3;
      p.scr_s = scr / 90000.0;
      p.bytes_per_s = static_cast<double>(b(6) << 14 | b(7) << 6 | b(8) >> 2) * 50;
      p.version = 2;
    } else if (b(0) >> 4 == 2) {
      const uint64_t scr =
          ((b(0) >> 1) & 7) << 30 | b(1) << 22 | (b(2) >> 1) << 15 | b(3) << 7 | b(4) >> 1;
      p.scr_s = scr / 90000.0;
      p.bytes_per_s = static_cast<double>((b(5) & 0x7f) << 15 | b(6) << 7 | b(7) >> 1) * 50;
      p.version = 1;
    } else {
      continue;
    }
    packs.push_back(p);
  }
  return packs;
}

// Seconds from the start of the picture to the first bright picture, on the file's own clock.
double FlashOnset(const std::string& path) {
  const auto r = media::RunCommand(
      {"ffmpeg", "-nostdin", "-copyts", "-i", path, "-map", "0:v:0", "-vf",
       "signalstats,metadata=mode=print:key=lavfi.signalstats.YAVG", "-f", "null", "-"});
  std::istringstream log(r.err);
  std::string line;
  double pts = -1;
  while (std::getline(log, line)) {
    const size_t at = line.find("pts_time:");
    if (at != std::string::npos) pts = std::atof(line.c_str() + at + 9);
    const size_t yavg = line.find("YAVG=");
    if (yavg != std::string::npos && std::atof(line.c_str() + yavg + 5) > 128)
      return pts - std::atof(StreamField(path, "video", "start_time").c_str());
  }
  return -1;
}

}  // namespace

TEST(DeviceOutputsTest, RotatedSourcesComeOutUpright) {
  media::TempDir dir;
  const std::string base = dir.File("base.mp4");
  ASSERT_TRUE(media::MakeMedia(base, {"-f", "lavfi", "-i", "testsrc=size=96x64:rate=25:d=0.4",
                                      "-c:v", "libx264", "-preset", "ultrafast"}));
  for (const char* degrees : {"90", "180", "270"}) {
    SCOPED_TRACE(degrees);
    const std::string src = dir.File(std::string("rot") + degrees + ".mp4");
    ASSERT_TRUE(media::MakeMedia(
        src, {"-i", base, "-c", "copy", "-metadata:s:v:0", std::string("rotate=") + degrees}));
    const std::string out = media::ConvertWithCli(dir, src, "mp4", {"--format", "17"});
    const auto v = media::Probe(out).First("video");
    ASSERT_TRUE(v.has_value());
    const bool quarter = std::string(degrees) != "180";
    EXPECT_EQ(v->width, quarter ? 64 : 96);
    EXPECT_EQ(v->height, quarter ? 96 : 64);
    EXPECT_EQ(StreamField(out, "video", "rotation"), "");
    EXPECT_LT(MeanDifference(Thumbnail(out), Thumbnail(src)), 12.0);
    if (quarter) {
      const auto probe = media::RunCommand({QUORVIN_CLI, "--probe", src});
      EXPECT_NE(probe.out.find("64x96"), std::string::npos) << probe.out;
    }
  }
}

TEST(DeviceOutputsTest, AppleFormatsGetStereoAacAndSignalledVideoProfiles) {
  media::TempDir dir;
  const std::string src = dir.File("surround.mp4");
  ASSERT_TRUE(media::MakeMedia(src, {"-f",
                                     "lavfi",
                                     "-i",
                                     "testsrc=size=320x240:rate=25:d=1",
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     "sine=d=1:sample_rate=48000",
                                     "-filter_complex",
                                     "[1:a]aformat=channel_layouts=5.1[a]",
                                     "-map",
                                     "0:v",
                                     "-map",
                                     "[a]",
                                     "-c:v",
                                     "libx264",
                                     "-preset",
                                     "ultrafast",
                                     "-c:a",
                                     "aac"}));

  // iPod at its highest audio quality (320 kbps in its list).
  const std::string mp4 =
      media::ConvertWithCli(dir, src, "mp4", {"--format", "0", "--audio-quality", "Highest"});
  const auto a = media::Probe(mp4).First("audio");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->codec_name, "aac");
  EXPECT_EQ(a->channels, 2);
  EXPECT_LE(a->bit_rate, 165000);
  EXPECT_EQ(StreamField(mp4, "video", "profile"), "Simple Profile");
  EXPECT_EQ(StreamField(mp4, "video", "level"), "4");  // 320x240 at up to 1.9 Mbps: level 4a
  const auto boxes = TopLevelBoxes(mp4);
  std::vector<std::string> main_boxes;
  for (const auto& b : boxes)
    if (b == "ftyp" || b == "moov" || b == "mdat") main_boxes.push_back(b);
  EXPECT_EQ(main_boxes, (std::vector<std::string>{"ftyp", "moov", "mdat"}));

  const std::string avc =
      media::ConvertWithCli(dir, src, "mp4", {"--format", "0", "--video-codec", "H264"});
  EXPECT_EQ(StreamField(avc, "video", "codec_name"), "h264");
  EXPECT_NE(StreamField(avc, "video", "profile").find("Baseline"), std::string::npos);
  EXPECT_EQ(StreamField(avc, "video", "level"), "13");
  EXPECT_EQ(StreamField(avc, "video", "has_b_frames"), "0");
  EXPECT_EQ(StreamField(avc, "audio", "channels"), "2");
}

TEST(DeviceOutputsTest, NoisySourceStaysUnderThePeakRate) {
  media::TempDir dir;
  const std::string src = dir.File("noisy.mp4");
  ASSERT_TRUE(media::MakeMedia(
      src,
      {"-f", "lavfi", "-i", "testsrc2=size=640x480:rate=25:d=2,noise=alls=40:allf=t", "-f", "lavfi",
       "-i", "sine=d=2", "-c:v", "libx264", "-preset", "ultrafast", "-crf", "15", "-c:a", "aac"}));
  const std::string out =
      media::ConvertWithCli(dir, src, "mp4", {"--format", "1", "--video-quality", "Highest"});
  EXPECT_LE(media::PeakVideoBitsPerSecond(out), 2500000.0);
  EXPECT_GT(media::PeakVideoBitsPerSecond(out), 1000000.0);  // the cap, not a starved encoder
}

TEST(DeviceOutputsTest, AviKeepsFourccIndexAndLateSound) {
  media::TempDir dir;
  const std::string src = dir.File("late.mp4");
  ASSERT_TRUE(
      media::MakeMedia(src, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=2", "-itsoffset",
                             "0.5", "-f", "lavfi", "-i", "sine=d=1.5:sample_rate=44100", "-c:v",
                             "libx264", "-preset", "ultrafast", "-c:a", "aac"}));
  const double source_onset = SoundOnset(src);
  ASSERT_NEAR(source_onset, 0.5, 0.03);

  // AVI keeps no presentation times: H.264 in AVI must come without reordered pictures, or
  // players show every picture late.
  const std::vector<std::vector<std::string>> jobs = {
      {"--format", "14"}, {"--format", "15"}, {"--format", "14", "--video-codec", "H264"}};
  for (const auto& choices : jobs) {
    SCOPED_TRACE(choices.back());
    const std::string avi = media::ConvertWithCli(dir, src, "avi", choices);
    const std::string tag = choices.back() == "H264" ? "H264"
                            : choices[1] == "15"     ? "DX50"
                                                     : "FMP4";
    EXPECT_EQ(StreamField(avi, "video", "codec_tag_string"), tag);
    if (tag == "H264") {
      EXPECT_EQ(StreamField(avi, "video", "has_b_frames"), "0");
    }
    const auto index = AviIndex(avi);
    ASSERT_FALSE(index.empty());
    int empty_video = 0;
    for (const auto& [id, size] : index)
      if (id == "00dc" && size == 0) ++empty_video;
    EXPECT_EQ(empty_video, 0);
    EXPECT_NEAR(SoundOnset(avi), source_onset, 0.020);
  }
}

// A source whose picture starts 46 ms after its sound, with a white flash and a beep at the
// same moment 2 s in: flash and beep stay together within 10 ms, whether the first picture
// lies just past a picture-grid point of the output (25 fps: the sound's first moments are
// cut) or well before the next one (15 fps: the sound starts later). The picture used to be
// placed on the grid point before it, so the sound came 46 ms late.
TEST(DeviceOutputsTest, LatePictureStaysInStepWithItsSound) {
  media::TempDir dir;
  for (const char* rate : {"25", "15"}) {
    SCOPED_TRACE(rate);
    const std::string src = dir.File(std::string("late") + rate + ".mkv");
    const std::string flash = std::string("color=black:s=160x120:r=") + rate +
                              ":d=3,format=yuv420p,geq=lum='if(between(T,2,2.1),235,16)'"
                              ":cb=128:cr=128,settb=1/1000,setpts=PTS+46";
    ASSERT_TRUE(media::MakeMedia(
        src, {"-copyts", "-f", "lavfi", "-i", flash, "-f", "lavfi", "-i",
              "aevalsrc='if(between(t,2.046,2.2),0.5*sin(2*PI*1000*t),0)':s=44100:d=3", "-fps_mode",
              "passthrough", "-enc_time_base:v", "1:1000", "-c:v", "mpeg4", "-c:a", "flac"}));
    ASSERT_NEAR(SoundOnset(src) - FlashOnset(src), 0.0, 0.002);
    const std::string fps = std::string(rate) + ".0 fps";
    const std::vector<std::pair<std::vector<std::string>, std::string>> jobs = {
        {{"--format", "14", "--framerate", fps}, "avi"},
        {{"--format", "17", "--framerate", fps}, "mp4"},
        {{"--format", "20", "--framerate", fps}, "wmv"}};
    for (const auto& [choices, ext] : jobs) {
      SCOPED_TRACE(ext);
      const std::string out = media::ConvertWithCli(dir, src, ext, choices);
      EXPECT_NEAR(SoundOnset(out) - FlashOnset(out), 0.0, 0.010);
    }
  }
}

TEST(DeviceOutputsTest, TagsCoverAndCreationTimeAreKept) {
  media::TempDir dir;
  const std::string tagged = dir.File("tagged.mp4");
  ASSERT_TRUE(media::MakeMedia(tagged, {"-f",        "lavfi",
                                        "-i",        "testsrc=size=160x120:d=0.5",
                                        "-f",        "lavfi",
                                        "-i",        "sine=d=0.5",
                                        "-c:v",      "libx264",
                                        "-preset",   "ultrafast",
                                        "-c:a",      "aac",
                                        "-metadata", "title=Quiet",
                                        "-metadata", "artist=Testers",
                                        "-metadata", "track=3",
                                        "-metadata", "creation_time=2020-05-17T10:20:30Z"}));
  const std::string song = dir.File("song.mp3");
  ASSERT_TRUE(media::MakeMedia(song, {"-f",
                                      "lavfi",
                                      "-i",
                                      "sine=d=0.5",
                                      "-f",
                                      "lavfi",
                                      "-i",
                                      "testsrc=size=64x64:d=1",
                                      "-map",
                                      "0",
                                      "-map",
                                      "1",
                                      "-frames:v",
                                      "1",
                                      "-c:a",
                                      "libmp3lame",
                                      "-c:v",
                                      "mjpeg",
                                      "-disposition:v",
                                      "attached_pic",
                                      "-metadata",
                                      "title=Cover Song"}));

  const auto mp4 = media::Probe(media::ConvertWithCli(dir, tagged, "mp4", {"--format", "17"}));
  EXPECT_EQ(mp4.format_fields.at("TAG:title"), "Quiet");
  EXPECT_EQ(mp4.format_fields.at("TAG:artist"), "Testers");
  EXPECT_EQ(mp4.format_fields.at("TAG:creation_time").substr(0, 19), "2020-05-17T10:20:30");

  for (const auto& [format, ext] : {std::pair{"6", "mp3"}, std::pair{"7", "m4a"}}) {
    SCOPED_TRACE(ext);
    const auto info = media::Probe(media::ConvertWithCli(dir, song, ext, {"--format", format}));
    const auto pic = info.First("video");
    ASSERT_TRUE(pic.has_value());
    EXPECT_EQ(pic->fields.at("DISPOSITION:attached_pic"), "1");
    EXPECT_EQ(info.format_fields.at("TAG:title"), "Cover Song");
  }
}

TEST(DeviceOutputsTest, MpegFrameRatesAndSilentSources) {
  media::TempDir dir;
  const std::string src = dir.File("clip.mp4");
  ASSERT_TRUE(media::MakeMedia(src, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=15:d=1",
                                     "-c:v", "libx264", "-preset", "ultrafast"}));
  // MPEG-1 has no 15 fps: the nearest standard rate is used instead of failing.
  const std::string mpg =
      media::ConvertWithCli(dir, src, "mpg", {"--format", "18", "--framerate", "15.0 fps"});
  EXPECT_EQ(StreamField(mpg, "video", "r_frame_rate"), "24000/1001");
  EXPECT_TRUE(media::DecodesCleanly(mpg));

  const auto r = media::RunCommand({QUORVIN_CLI, "-o", dir.Path().string(), "--format", "6", src});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("The source has no sound to convert"), std::string::npos) << r.out;
}

TEST(LetterBoxTest, FitsThePictureInsideTheFrameWithEvenBars) {
  TOutputOptions portrait;
  portrait.FrameSize = "320x240";
  ApplyLetterBox("720x1280", portrait);
  EXPECT_EQ(portrait.FrameSize, "136x240");
  EXPECT_EQ(portrait.PadLeft + portrait.PadRight, 184);
  EXPECT_EQ(portrait.PadLeft % 2, 0);
  EXPECT_EQ(portrait.PadTop + portrait.PadBottom, 0);
  EXPECT_EQ(portrait.AspectRatio, "320:240");

  // The aspect rule's choice is the picture's display aspect.
  TOutputOptions wide;
  wide.FrameSize = "176x144";
  wide.AspectRatio = "16:9";
  ApplyLetterBox("640x480", wide);
  EXPECT_EQ(wide.FrameSize, "176x100");
  EXPECT_EQ(wide.PadTop, 22);
  EXPECT_EQ(wide.PadBottom, 22);

  TOutputOptions source_size;  // no frame size: the source size is kept, nothing to fit
  ApplyLetterBox("720x1280", source_size);
  EXPECT_EQ(source_size, TOutputOptions{});
}

TEST(DeviceOutputsTest, AnamorphicAndPortraitSourcesKeepTheirShape) {
  media::TempDir dir;
  // A 16:9 DVD picture: 720x576 stored, sample aspect 64:45.
  const std::string wide = dir.File("wide.mpg");
  ASSERT_TRUE(media::MakeMedia(wide, {"-f", "lavfi", "-i", "testsrc2=size=720x576:rate=25:d=1",
                                      "-vf", "setsar=64/45", "-c:v", "mpeg2video", "-f", "dvd"}));
  const struct {
    const char* format;
    const char* ext;
    double tolerance;  // MPEG-1 names pixel shapes from a table (16:9 on 4:3 is 1.5 % off)
  } wide_cases[] = {
      {"17", "mp4", 0.01}, {"0", "mp4", 0.01}, {"19", "mpg", 0.01}, {"18", "mpg", 0.02}};
  for (const auto& c : wide_cases) {
    SCOPED_TRACE(c.format);
    const std::string out = media::ConvertWithCli(dir, wide, c.ext, {"--format", c.format});
    EXPECT_NEAR(DisplayAspect(out) / (16.0 / 9.0), 1.0, c.tolerance);
  }
  // The Video Size ratio of the source is 1.25; the letterboxed picture is 16:9 all the same.
  const std::string boxed =
      media::ConvertWithCli(dir, wide, "mp4", {"--format", "0", "--zoom", "LetterBox"});
  EXPECT_NEAR(DisplayAspect(boxed), 4.0 / 3.0, 0.01);
  EXPECT_NEAR(PictureShape(boxed) / (16.0 / 9.0), 1.0, 0.05);

  // A portrait phone clip: MPEG-1 and MPEG-2 cannot name its shape on a 320x240 frame, so the
  // picture stands upright between bars on square pixels.
  const std::string portrait = dir.File("portrait.mp4");
  ASSERT_TRUE(media::MakeMedia(portrait, {"-f", "lavfi", "-i", "testsrc2=size=720x1280:rate=25:d=1",
                                          "-c:v", "libx264", "-preset", "ultrafast"}));
  for (const char* format : {"18", "19"}) {
    SCOPED_TRACE(format);
    const std::string out = media::ConvertWithCli(dir, portrait, "mpg", {"--format", format});
    EXPECT_NEAR(DisplayAspect(out), 4.0 / 3.0, 0.01);
    EXPECT_NEAR(PictureShape(out) / (9.0 / 16.0), 1.0, 0.05);
  }
  // Formats with free sample aspects keep the frame and show it at the source's shape.
  EXPECT_NEAR(DisplayAspect(media::ConvertWithCli(dir, portrait, "mp4", {"--format", "0"})),
              9.0 / 16.0, 0.01);
}

TEST(DeviceOutputsTest, MpegProgramStreamsKeepClockRateAndVersion) {
  media::TempDir dir;
  const std::string src = dir.File("eight.mp4");
  ASSERT_TRUE(media::MakeMedia(src, {"-f", "lavfi", "-i", "testsrc2=size=640x480:rate=25:d=8", "-f",
                                     "lavfi", "-i", "sine=d=8:sample_rate=44100", "-ac", "2",
                                     "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"}));
  const struct {
    std::vector<std::string> choices;
    int version;
  } cases[] = {{{"--format", "18"}, 1},
               {{"--format", "19"}, 2},
               {{"--format", "18", "--audio-quality", "Lowest"}, 1},
               {{"--format", "19", "--audio-quality", "Highest"}, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.choices.back());
    const std::string out = media::ConvertWithCli(dir, src, "mpg", c.choices);
    const auto packs = ProgramStreamPacks(out);
    ASSERT_GT(packs.size(), 10u);
    double largest_gap = 0, latest = -1;
    bool one_version = true;
    for (size_t i = 1; i < packs.size(); ++i) {
      const double gap = packs[i].scr_s - packs[i - 1].scr_s;
      largest_gap = std::max(largest_gap, gap);
      // The bytes since the previous pack must arrive at the declared rate by this clock.
      const double transfer = (packs[i].offset - packs[i - 1].offset) / packs[i - 1].bytes_per_s;
      latest = std::max(latest, transfer - gap);
      one_version = one_version && packs[i].version == c.version;
    }
    EXPECT_TRUE(one_version && packs[0].version == c.version);
    EXPECT_LE(largest_gap, 0.7);
    EXPECT_LE(latest, 1.0 / 90000);
    // GStreamer, a reader that shares no code with FFmpeg, takes the file as it is meant.
    const auto gst = media::GstDiscover(out);
    ASSERT_TRUE(gst.ok) << gst.error;
    EXPECT_NEAR(gst.duration_s, media::Probe(out).duration_s, 0.1);
    EXPECT_NE(
        gst.caps.find("systemstream=(boolean)true, mpegversion=(int)" + std::to_string(c.version)),
        std::string::npos)
        << gst.caps;
    EXPECT_TRUE(media::DecodesCleanly(out));
  }
}

// The level byte of the H.263 sample entry ("d263" box) of an MP4-family file; -1 without one.
int H263BoxLevel(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  static const std::string kBox(
      "\0\0\0\x0f"
      "d263",
      8);
  const size_t at = data.find(kBox);
  return at == std::string::npos || at + 14 > data.size()
             ? -1
             : static_cast<unsigned char>(data[at + 13]);
}

TEST(DeviceOutputsTest, VideoDeclaresALevelTheStreamMeets) {
  media::TempDir dir;
  const std::string src = dir.File("noisy.mp4");
  ASSERT_TRUE(media::MakeMedia(
      src, {"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25:d=2,noise=alls=100:allf=t", "-c:v",
            "libx264", "-crf", "12", "-preset", "ultrafast"}));
  // The general MP4 format keeps the 1280x720 size: 3600 macroblocks, Simple Profile level 6.
  const std::string mp4 = media::ConvertWithCli(dir, src, "mp4", {"--format", "17"});
  const std::string profile = StreamField(mp4, "video", "profile");
  const int mp4_level = std::atoi(StreamField(mp4, "video", "level").c_str());
  EXPECT_TRUE((profile == "Simple Profile" && mp4_level == 6) || profile == "Main Profile")
      << profile << " level " << mp4_level;
  // XVid states its own Simple Profile level 3 unless told otherwise.
  const std::string xvid =
      media::ConvertWithCli(dir, src, "mp4", {"--format", "17", "--video-codec", "XVID"});
  EXPECT_EQ(StreamField(xvid, "video", "profile") + " " + StreamField(xvid, "video", "level"),
            profile + " " + std::to_string(mp4_level));
  // Phones take Simple Profile up to level 3, which allows 384 kbps in any second.
  const std::string mobile =
      media::ConvertWithCli(dir, src, "3gp", {"--format", "12", "--video-quality", "Highest"});
  EXPECT_EQ(StreamField(mobile, "video", "profile"), "Simple Profile");
  EXPECT_LE(std::atoi(StreamField(mobile, "video", "level").c_str()), 3);
  EXPECT_LE(media::PeakVideoBitsPerSecond(mobile), 384000);
  // H.263 at 25 fps needs level 20 (QCIF up to 30 fps, 128 kbps) or above; level 10 allows
  // 15 fps and 64 kbps.
  const std::string h263 =
      media::ConvertWithCli(dir, src, "3gp", {"--format", "12", "--video-codec", "H263"});
  const int level = H263BoxLevel(h263);
  const std::map<int, double> h263_rates = {{20, 128000}, {30, 384000}, {40, 2048000}};
  ASSERT_TRUE(h263_rates.count(level)) << "level " << level;
  EXPECT_LE(media::PeakVideoBitsPerSecond(h263), h263_rates.at(level));
}

// Streams no format here writes do not place the output on the clock. A transport stream whose
// data stream (as cue and ID3 streams are) begins 0.72 s before its pictures and sound, and a
// Matroska file whose subtitles begin 0.5 s before them, used to come out with the first
// picture held and silence for that long in front, and as much longer.
TEST(DeviceOutputsTest, StreamsNotConvertedDoNotMoveTheStartOrTheLength) {
  media::TempDir dir;
  const std::string base = dir.File("base.ts");
  ASSERT_TRUE(media::MakeMedia(base, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=2", "-f",
                                      "lavfi", "-i", "sine=d=2", "-c:v", "libx264", "-preset",
                                      "ultrafast", "-c:a", "aac", "-f", "mpegts"}));
  const std::string blob = dir.File("cues.bin");
  media::WriteFile(blob, std::string(1500, 'c'));
  const std::string cued = dir.File("cued.ts");
  ASSERT_TRUE(
      media::MakeMedia(cued, {"-f", "data", "-i", blob, "-itsoffset", "0.72", "-i", base, "-map",
                              "1:v", "-map", "1:a", "-map", "0:d", "-c", "copy", "-f", "mpegts"}));
  const std::string srt = dir.File("early.srt");
  media::WriteFile(srt, "1\n00:00:00,000 --> 00:00:00,400\nEarly\n\n");
  const std::string titled = dir.File("titled.mkv");
  ASSERT_TRUE(media::MakeMedia(
      titled, {"-i",         srt,        "-itsoffset", "0.5",
               "-f",         "lavfi",    "-i",         "testsrc=size=160x120:rate=25:d=2",
               "-itsoffset", "0.5",      "-f",         "lavfi",
               "-i",         "sine=d=2", "-map",       "1:v",
               "-map",       "2:a",      "-map",       "0:s",
               "-c:v",       "libx264",  "-preset",    "ultrafast",
               "-c:a",       "aac",      "-c:s",       "srt"}));

  const std::vector<std::pair<std::string, std::string>> formats{
      {"0", "mp4"}, {"6", "mp3"}, {"14", "avi"}, {"17", "mp4"}, {"19", "mpg"}, {"20", "wmv"}};
  for (const auto& [format, ext] : formats) {
    SCOPED_TRACE(ext + " format " + format);
    // The same as from the source without its data stream.
    const std::string plain = media::ConvertWithCli(dir, base, ext, {"--format", format});
    const std::string out = media::ConvertWithCli(dir, cued, ext, {"--format", format});
    const auto info = media::Probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_NEAR(info.duration_s, media::Probe(plain).duration_s, 0.03);
    if (info.Count("video") > 0) {
      EXPECT_NEAR(SoundOnset(out), SoundOnset(plain), 0.02);
    }
  }
  const std::string out = media::ConvertWithCli(dir, titled, "mp4", {"--format", "17"});
  EXPECT_NEAR(media::Probe(out).duration_s, 2.0, 0.1);
  EXPECT_NEAR(SoundOnset(out), 0.0, 0.03);
}

// A cover picture stored beside the video (as phone and tag tools add one) neither becomes
// the picture nor gives it its size and shape.
TEST(DeviceOutputsTest, CoverPictureNeverSetsThePicture) {
  media::TempDir dir;
  const std::string src = dir.File("cover.mp4");
  ASSERT_TRUE(media::MakeMedia(src, {"-f",
                                     "lavfi",
                                     "-i",
                                     "testsrc=size=320x240:rate=25:d=1",
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     "sine=d=1",
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     "color=red:size=413x414:d=1",
                                     "-map",
                                     "0:v",
                                     "-map",
                                     "2:v",
                                     "-map",
                                     "1:a",
                                     "-frames:v:1",
                                     "1",
                                     "-c:v:0",
                                     "libx264",
                                     "-preset",
                                     "ultrafast",
                                     "-pix_fmt:v:0",
                                     "yuv420p",
                                     "-c:v:1",
                                     "mjpeg",
                                     "-pix_fmt:v:1",
                                     "yuvj444p",
                                     "-disposition:v:1",
                                     "attached_pic",
                                     "-c:a",
                                     "aac"}));
  ASSERT_EQ(StreamField(src, "video", "width"), "320");
  const std::vector<std::pair<std::string, std::string>> formats{
      {"14", "avi"}, {"15", "avi"}, {"16", "mov"}, {"17", "mp4"}, {"0", "mp4"}};
  for (const auto& [format, ext] : formats) {
    SCOPED_TRACE(ext + " format " + format);
    const std::string out = media::ConvertWithCli(dir, src, ext, {"--format", format});
    const auto info = media::Probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    ASSERT_EQ(info.Count("video"), 1);
    const auto v = info.First("video");
    EXPECT_EQ(v->width, 320);
    EXPECT_EQ(v->height, 240);
    EXPECT_NEAR(DisplayAspect(out), 4.0 / 3.0, 0.01);
    // The test pattern, not the red cover.
    EXPECT_LT(MeanDifference(Thumbnail(out), Thumbnail(src)), 12.0);
  }
}
