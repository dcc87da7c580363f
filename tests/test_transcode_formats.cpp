// Every offered output format, end to end the way a job runs it: the profile model picks the
// format's settings, the translation fills the output record, the engine opens the input,
// applies the record, sets up the output and transcodes. The result is checked with ffprobe
// and a full decode by the ffmpeg tool; the same conversion with every stage on the job's
// thread must give the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

TOutputOptions FormatOptions(const std::string& caption) {
  TMainSettings settings;
  InitialiseSettingLists(settings);
  TSettingChoices choices;
  choices.Format = caption;
  ApplySettingChoices(settings, choices);
  return ProfileOutputOptions(settings);
}

std::string LowerExtension(std::string_view extension) {
  std::string ext(extension);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// Samples per frame of the encoders with a fixed frame size (0: any size).
int EncoderFrameSize(const std::string& encoder) {
  static const std::map<std::string, int> sizes = {
      {"libfaac", 1024}, {"aac", 1024}, {"libmp3lame", 1152}, {"mp2", 1152},
      {"wmav2", 2048},   {"ac3", 1536}, {"libamr_nb", 160}};
  const auto it = sizes.find(encoder);
  return it == sizes.end() ? 0 : it->second;
}

// Converts SRC into the format with caption CAPTION; returns the log lines of the run.
std::vector<std::string> ConvertLogged(const std::string& src, const std::string& out,
                                       const std::string& caption) {
  std::vector<std::string> lines;
  TEngineDoor engine;
  engine.ResetEngine();
  engine.SetVerbosity(0);
  engine.OnLog = [&lines](int, const std::string& msg) { lines.push_back(msg); };
  EXPECT_NO_THROW(engine.OpenInputFile(src));
  EXPECT_NO_THROW(engine.ApplyOutputOptions(out, FormatOptions(caption)));
  EXPECT_TRUE(engine.OpenOutputFile(out)) << engine.LastErrorText;
  EXPECT_NO_THROW(engine.Transcode());
  EXPECT_TRUE(engine.State.Finished);
  engine.FreeFileSet();
  return lines;
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
  const media::CommandResult r =
      media::RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0", "-c", "copy",
                         "-f", "framemd5", "-"});
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

// Sound that ends inside an encoder frame: the last partial frame is padded and written, so the
// output's sound ends no earlier than the source's, and less than two frames after it (one of
// padding, one of the priming delay that some containers cannot state).
TEST(OutputFormatsTest, SoundEndsWithTheSourceInEveryFormat) {
  std::string error;
  ASSERT_TRUE(LoadLibraries("", false, error)) << error;
  media::TempDir dir;
  const std::string src = dir.File("src.mkv");
  constexpr double kSourceS = 1.023;
  ASSERT_TRUE(media::MakeMedia(
      src, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=1.023", "-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=48000:d=1.023", "-c:v", "mpeg4", "-c:a", "pcm_s16le"}));
  int index = 0;
  for (const auto& format : FormatCatalogue()) {
    const std::string caption(format.Caption);
    SCOPED_TRACE(caption);
    const TOutputOptions options = FormatOptions(caption);
    const std::string out =
        dir.File("out" + std::to_string(index++) + "." + LowerExtension(format.Extension));
    Convert(src, out, options, false);
    const media::DecodedSound sound = media::DecodeSound(out);
    ASSERT_GT(sound.frames, 0);
    // The file's start: its first packet (a priming delay stated before 0 does not count).
    double start = sound.start_s;
    for (const auto& [stream, times] : media::PacketTimesPerStream(out))
      start = std::min(start, std::max(times.first_pts_s, 0.0));
    // The output's own rate: a format may keep the source's rate instead of setting one.
    const auto audio = media::Probe(out).First("audio");
    ASSERT_TRUE(audio.has_value());
    const double rate = audio->sample_rate;
    const double frame_s = static_cast<double>(EncoderFrameSize(options.AudioCodec)) / rate;
    EXPECT_GE(sound.end_s - start, kSourceS - 0.002) << "the sound's end is lost";
    // Some decoders (WMA) drop the encoder's first frame and stamp the rest late, so the end
    // alone does not show a lost frame; the samples do.
    EXPECT_GE(static_cast<double>(sound.samples) / rate, kSourceS - frame_s - 0.002);
    EXPECT_LE(sound.end_s - start, kSourceS + 2 * frame_s + 0.003);
  }
}

// A song whose ID3 tag holds an empty cover picture: the picture is left out with a note, and
// the sound is converted in every format that keeps covers.
TEST(OutputFormatsTest, EmptyCoverPictureIsLeftOut) {
  std::string error;
  ASSERT_TRUE(LoadLibraries("", false, error)) << error;
  media::TempDir dir;
  const std::string adts = dir.File("raw.aac");
  ASSERT_TRUE(media::MakeMedia(
      adts, {"-f", "lavfi", "-i", "sine=frequency=440:d=1", "-c:a", "aac", "-f", "adts"}));
  // ID3v2.3: a title and an APIC frame (JPEG, front cover, no description) whose picture is a
  // single zero byte.
  const std::string apic = std::string("\0image/jpeg\0\x03\0\0", 15);
  const std::string title = std::string("\0Song", 5);
  auto frame = [](const char* id, const std::string& body) {
    const auto n = static_cast<unsigned>(body.size());
    return std::string(id) + std::string{'\0', '\0', '\0', static_cast<char>(n)} +
           std::string(2, '\0') + body;
  };
  const std::string tag = frame("TIT2", title) + frame("APIC", apic);
  const std::string src = dir.File("song.aac");
  media::WriteFile(src, std::string("ID3\x03\0\0\0\0\0", 9) + static_cast<char>(tag.size()) + tag +
                            ReadAll(adts));
  ASSERT_EQ(media::Probe(src).Count("video"), 1) << "the source has its cover stream";

  const std::pair<const char*, const char*> formats[] = {{"iPod (*.mp4)", "mp4"},
                                                         {"MP3 - Mpeg Layer3 Audio (*.mp3)", "mp3"},
                                                         {"M4A - Mpeg4 Audio File (*.m4a)", "m4a"}};
  for (const auto& [caption, ext] : formats) {
    SCOPED_TRACE(caption);
    const std::string out = dir.File(std::string("out.") + ext);
    const auto lines = ConvertLogged(src, out, caption);
    const media::DecodedSound sound = media::DecodeSound(out);
    EXPECT_NEAR(sound.end_s - sound.start_s, 1.0, 0.06);
    EXPECT_EQ(media::Probe(out).Count("video"), 0);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
      return l.find("cover picture") != std::string::npos;
    }));
  }
}

// A WMA source's decoder gives its first frame two packets late: the sound still starts with
// the pictures, without silence made up in front of it.
TEST(OutputFormatsTest, LateFirstSoundFrameKeepsItsPlace) {
  std::string error;
  ASSERT_TRUE(LoadLibraries("", false, error)) << error;
  media::TempDir dir;
  const std::string src = dir.File("src.wmv");
  ASSERT_TRUE(media::MakeMedia(
      src, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=3", "-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=48000:d=3", "-c:v", "wmv2", "-c:a", "wmav2"}));
  const media::DecodedSound source = media::DecodeSound(src);
  ASSERT_GT(source.start_s, 0.05) << "the decoder no longer starts late";
  const double source_s = static_cast<double>(source.samples) / 48000;

  // MOV states where its sound starts: with the first picture.
  const std::string mov = dir.File("out.mov");
  ConvertLogged(src, mov, "MOV - QuickTime Video (*.mov)");
  const media::DecodedSound in_mov = media::DecodeSound(mov);
  EXPECT_LT(in_mov.start_s, 0.02);
  EXPECT_NEAR(in_mov.end_s - in_mov.start_s, source_s, 0.03);
  // AVI keeps no start times: leading silence would lengthen the sound.
  const std::string avi = dir.File("out.avi");
  ConvertLogged(src, avi, "AVI - Audio Video Interleave (*.avi)");
  const media::DecodedSound in_avi = media::DecodeSound(avi);
  EXPECT_NEAR(static_cast<double>(in_avi.samples) / 48000, source_s, 0.01);
}

// Less sound than one encoder frame (and than an encoder's priming delay): every format still
// writes it. The WMA decoder drops a file's first frame as the encoder's priming, so a WMV file
// with one frame decodes to no sound, as the ffmpeg tool's does.
TEST(OutputFormatsTest, SoundShorterThanOneFrameIsWritten) {
  std::string error;
  ASSERT_TRUE(LoadLibraries("", false, error)) << error;
  media::TempDir dir;
  const std::string src = dir.File("src.mkv");
  ASSERT_TRUE(media::MakeMedia(
      src, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=1", "-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=48000:d=0.02", "-c:v", "mpeg4", "-c:a", "pcm_s16le"}));
  int index = 0;
  for (const auto& format : FormatCatalogue()) {
    const std::string caption(format.Caption);
    SCOPED_TRACE(caption);
    const TOutputOptions options = FormatOptions(caption);
    const std::string out =
        dir.File("out" + std::to_string(index++) + "." + LowerExtension(format.Extension));
    Convert(src, out, options, false);
    // Two ADTS frames alone are too little for ffprobe to tell the format (the ffmpeg tool's
    // file fares no better or worse by chance); the engine's writing of ADTS is the same.
    if (format.Extension == "AAC") continue;
    const auto a = media::Probe(out).First("audio");
    ASSERT_TRUE(a.has_value());
    const auto packets = media::PacketTimesPerStream(out);
    ASSERT_TRUE(packets.count(a->index));
    EXPECT_GE(packets.at(a->index).count, 1);
    if (options.AudioCodec != "wmav2") {
      EXPECT_GE(static_cast<double>(media::DecodeSound(out).samples) / a->sample_rate,
                0.02 - 0.001);
    }
  }
}
