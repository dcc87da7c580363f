// Every offered output format, end to end the way a job runs it: the profile model picks the
// format's settings, the translation fills the output record, the engine opens the input,
// applies the record, sets up the output and transcodes. The result is checked with ffprobe
// and a full decode by the ffmpeg tool; the same conversion with every stage on the job's
// thread must give the same bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "Binding.h"
#include "EngineDoor.h"
#include "FormatCatalogue.h"
#include "MainSettings.h"
#include "MediaUtil.h"
#include "SettingChoices.h"

namespace {

// Codec names ffprobe reports for the engine's encoder names.
std::string ProbeName(const std::string& encoder) {
  static const std::map<std::string, std::string> names = {
      {"libx264", "h264"},   {"libxvid", "mpeg4"},    {"libfaac", "aac"},
      {"libmp3lame", "mp3"}, {"libamr_nb", "amr_nb"}, {"libopencore_amrnb", "amr_nb"},
      {"libx265", "hevc"},   {"libvpx-vp9", "vp9"},   {"libopus", "opus"}};
  const auto it = names.find(encoder);
  return it == names.end() ? encoder : it->second;
}

struct Expected {
  int width = 160, height = 120;
  double rate = 25;
  int sample_rate = 0, channels = 2;
};

Expected FromRecord(const TOutputOptions& o) {
  Expected x;
  const auto by = o.FrameSize.find('x');
  if (by != std::string::npos) {
    x.width = std::atoi(o.FrameSize.substr(0, by).c_str());
    x.height = std::atoi(o.FrameSize.substr(by + 1).c_str());
  }
  if (!o.FrameRate.empty()) x.rate = std::atof(o.FrameRate.c_str());
  // No rate asked for: the source's (44100 Hz).
  x.sample_rate = o.AudioSampleRate > 0 ? o.AudioSampleRate : 44100;
  if (o.AudioChannels > 0) x.channels = o.AudioChannels;
  return x;
}

void Convert(const std::string& src, const std::string& out, const TOutputOptions& options,
             bool serial_stages) {
  TEngineDoor engine;
  engine.ResetEngine();
  engine.SetVerbosity(0);
  engine.Options.SerialStages = serial_stages ? 1 : 0;
  ASSERT_NO_THROW(engine.OpenInputFile(src));
  ASSERT_NO_THROW(engine.ApplyOutputOptions(out, options));
  ASSERT_TRUE(engine.OpenOutputFile(out)) << engine.LastErrorText;
  ASSERT_NO_THROW(engine.Transcode());
  EXPECT_TRUE(engine.State.Finished);
  engine.FreeFileSet();
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Ogg and Matroska muxers give every file new random stream serials and track IDs; what such
// files must share is every packet, as the ffmpeg tool reads them.
bool RandomContainerIds(const std::string& ext) {
  return ext == "opus" || ext == "webm";
}

std::string PacketHashes(const std::string& path) {
  const media::CommandResult r = media::RunCommand(
      {"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0", "-c", "copy", "-f",
       "framemd5", "-"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r.out;
}

}  // namespace

TEST(OutputFormatsTest, EveryFormatConvertsASmallSource) {
  std::string error;
  ASSERT_TRUE(LoadLibraries("", false, error)) << error;
  media::TempDir dir;
  const std::string src = dir.File("src.mp4");
  ASSERT_TRUE(media::MakeMedia(
      src, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=2", "-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=44100:d=2", "-ac", "2", "-c:v", "libx264", "-preset",
            "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest"}));

  int index = 0;
  for (const auto& format : FormatCatalogue()) {
    const std::string caption(format.Caption);
    SCOPED_TRACE(caption);
    TMainSettings settings;
    InitialiseSettingLists(settings);
    TSettingChoices choices;
    choices.Format = caption;
    ApplySettingChoices(settings, choices);
    const TOutputOptions options = ProfileOutputOptions(settings);

    std::string ext(format.Extension);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string out = dir.File("out" + std::to_string(index++) + "." + ext);
    Convert(src, out, options, false);
    // The stages on one thread make the same file, byte for byte.
    const std::string serial = dir.File("serial" + std::to_string(index) + "." + ext);
    Convert(src, serial, options, true);
    if (RandomContainerIds(ext)) {
      EXPECT_EQ(PacketHashes(out), PacketHashes(serial));
    } else {
      EXPECT_TRUE(ReadAll(out) == ReadAll(serial));
    }

    const Expected x = FromRecord(options);
    const auto info = media::Probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    const auto a = info.First("audio");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->codec_name, ProbeName(options.AudioCodec));
    EXPECT_EQ(a->sample_rate, x.sample_rate);
    EXPECT_EQ(a->channels, x.channels);
    const auto times = media::PacketTimesPerStream(out);
    if (options.DisableVideo) {
      EXPECT_EQ(info.Count("video"), 0);
      EXPECT_NEAR(info.duration_s, 2.0, 0.1);
    } else {
      const auto v = info.First("video");
      ASSERT_TRUE(v.has_value());
      EXPECT_EQ(v->codec_name, ProbeName(options.VideoCodec));
      EXPECT_EQ(v->width, x.width);
      EXPECT_EQ(v->height, x.height);
      EXPECT_NEAR(v->r_frame_rate.Value(), x.rate, 0.01);
      // Duration within one output frame (plus the millisecond rounding of some containers);
      // both streams start and end within 100 ms of each other.
      const auto& vt = times.at(v->index);
      const auto& at = times.at(a->index);
      EXPECT_NEAR(vt.end_s - vt.first_pts_s, 2.0, 1.0 / x.rate + 0.003);
      EXPECT_NEAR(vt.first_pts_s, at.first_pts_s, 0.1);
      EXPECT_NEAR(vt.end_s, at.end_s, 0.1);
    }
    EXPECT_TRUE(media::DecodesCleanly(out));
  }
}
