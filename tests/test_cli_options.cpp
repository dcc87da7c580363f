// quorvin-convert --list-formats and --show-options, run as a separate process.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "MediaUtil.h"

namespace {

media::CommandResult Cli(std::vector<std::string> args) {
  args.insert(args.begin(), QUORVIN_CLI);
  return media::RunCommand(args);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The ten printed fields, in order.
std::string Options(const char* frame_rate, const char* video_codec, const char* audio_codec,
                    const char* frame_size, int video_bitrate, int audio_bitrate, int sample_rate,
                    int channels, bool disable_video, int volume = 255) {
  std::ostringstream out;
  out << "FrameRate=" << frame_rate << "\nVideoCodec=" << video_codec
      << "\nAudioCodec=" << audio_codec << "\nFrameSize=" << frame_size
      << "\nVideoBitrate=" << video_bitrate << "\nAudioBitrate=" << audio_bitrate
      << "\nAudioSampleRate=" << sample_rate << "\nAudioChannels=" << channels
      << "\nDisableVideo=" << (disable_video ? "true" : "false") << "\nAudioVolume=" << volume
      << "\n";
  return out.str();
}

}  // namespace

TEST(CliOptions, ListFormatsPrintsIndexExtensionAndCaptionOfEachFormat) {
  const media::CommandResult r = Cli({"--list-formats"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 23u);
  EXPECT_EQ(lines.front(), "0\tMP4\tiPod (*.mp4)");
  EXPECT_EQ(lines[4], "5\tAAC\tAAC - Advance Audio Coding (*.aac)");
  EXPECT_EQ(lines[9], "12\t3GP\t3GP - Mobile Video Format (*.3gp)");
  EXPECT_EQ(lines[17], "20\tWMV\tWMV - Windows Media Video (*.wmv)");
  EXPECT_EQ(lines[18], "22\tMP4\tMP4 - H.264 Video (*.mp4)");
  EXPECT_EQ(lines.back(), "26\tFLAC\tFLAC - Lossless Audio (*.flac)");
  for (const std::string& line : lines) EXPECT_EQ(line.find("----"), std::string::npos);
}

TEST(CliOptions, ShowOptionsReproducesEveryFormatsRecord) {
  struct Case {
    const char* format;
    std::string expected;
  };
  const Case cases[] = {
      {"0", Options("25", "mpeg4", "libfaac", "320x240", 512000, 128000, 44100, -1, false)},
      {"1", Options("25", "mpeg4", "libfaac", "640x480", 1200000, 128000, 44100, -1, false)},
      {"2", Options("25", "mpeg4", "libfaac", "480x320", 1200000, 128000, 44100, 2, false)},
      {"3", Options("25", "mpeg4", "libfaac", "640x480", 1200000, 128000, 44100, 2, false)},
      {"5", Options("", "", "libfaac", "", 0, 128000, 48000, 2, true)},
      {"6", Options("", "", "libmp3lame", "", 0, 128000, 48000, 2, true)},
      {"7", Options("", "", "libfaac", "", 0, 128000, 48000, 2, true)},
      {"9", Options("25", "mpeg4", "libfaac", "480x320", 1200000, 128000, 44100, 2, false)},
      {"10", Options("25", "mpeg4", "libfaac", "640x480", 1200000, 64000, 44100, -1, false)},
      {"12", Options("25", "mpeg4", "libamr_nb", "176x144", 128000, 7400, 8000, 1, false)},
      {"13", Options("25", "mpeg4", "libamr_nb", "176x144", 128000, 7400, 8000, 1, false)},
      {"14", Options("25", "mpeg4", "pcm_s16le", "", 1200000, 128000, 48000, 2, false)},
      {"15", Options("25", "mpeg4", "libmp3lame", "", 1200000, 128000, 48000, 2, false)},
      {"16", Options("25", "mpeg4", "libfaac", "", 1200000, 128000, 44100, 2, false)},
      {"17", Options("25", "mpeg4", "libfaac", "", 1200000, 128000, 44100, 2, false)},
      {"18", Options("25.0", "mpeg1video", "mp2", "320x240", 1200000, 128000, 44100, 2, false)},
      {"19", Options("25.0", "mpeg2video", "mp2", "320x240", 1200000, 128000, 44100, 2, false)},
      {"WMV - Windows Media Video (*.wmv)",
       Options("25", "wmv2", "wmav2", "320x240", 1500000, 128000, 48000, 2, false)},
      // Constant quality under a rate cap; "Original" size and frame rate keep the source's.
      {"h264", Options("", "libx264", "libfaac", "", 8000000, 160000, 48000, 2, false) +
                   "VideoQuality=23\nVideoMaxRate=8000000\n"},
      {"hevc", Options("", "libx265", "libfaac", "", 8000000, 160000, 48000, 2, false) +
                   "VideoQuality=26\nVideoMaxRate=8000000\n"},
      {"webm", Options("", "libvpx-vp9", "libopus", "", 8000000, 128000, 48000, 2, false) +
                   "VideoQuality=32\nVideoMaxRate=8000000\n"},
      {"opus", Options("", "", "libopus", "", -1, 128000, 48000, 2, true)},
      // The source's rate and channels; the level is FLAC's compression level; "100%" leaves
      // the samples unchanged (256).
      {"flac",
       Options("", "", "flac", "", -1, -1, -1, -1, true, 256) + "AudioCompressionLevel=5\n"},
  };
  for (const Case& c : cases) {
    const media::CommandResult r = Cli({"--show-options", "--format", c.format});
    EXPECT_EQ(r.exit_code, 0) << c.format << ": " << r.err;
    EXPECT_EQ(r.out, c.expected) << c.format;
  }
}

TEST(CliOptions, ShowOptionsAppliesLevelsListChoicesAndVolume) {
  // Without --format: the first format, iPod, whose "Lower" is 256 Kbps.
  media::CommandResult r = Cli({"--show-options", "--video-quality", "Lower", "--volume", "10"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            Options("25", "mpeg4", "libfaac", "320x240", 256000, 128000, 44100, -1, false, 600));

  r = Cli({"--show-options", "--format", "3GP - Mobile Video Format (*.3gp)", "--audio-quality",
           "Highest"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("AudioBitrate=12200\n"), std::string::npos) << r.out;

  r = Cli({"--show-options", "--format", "17", "--size", "352 x 288 (CIF)", "--framerate",
           "29.97 fps", "--channels", "Mono", "--volume", "0", "--video-quality", "Highest"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            Options("29.97", "mpeg4", "libfaac", "352x288", 2500000, 128000, 44100, 1, false, 1));
}

TEST(CliOptions, BadChoicesAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"--format", "4"},                                   // separator
      {"--format", "21"},                                  // separator
      {"--format", "27"},                                  // outside the list
      {"--format", "avi"},                                 // two formats have it
      {"--format"},                                        // missing value
      {"--video-quality", "Best"},                         // unknown level
      {"--audio-quality"},                                 // missing value
      {"--size", "1000 x 1000"},                           // not an item
      {"--format", "6", "--size", "Original Video Size"},  // audio format: no size list
      {"--framerate", "12 fps"},
      {"--channels", "Surround"},
      {"--volume", "11"},
      {"--volume", "-1"},
      {"--volume", "loud"},
      {"--bitrate", "100"},  // unknown option
  };
  for (std::vector<std::string> args : cases) {
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    args.insert(args.begin(), "--show-options");
    const media::CommandResult r = Cli(args);
    EXPECT_EQ(r.exit_code, 2) << shown;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_NE(r.err.find("quorvin-convert: "), std::string::npos) << shown << r.err;
  }
  const media::CommandResult r = Cli({"--list-formats", "extra"});
  EXPECT_EQ(r.exit_code, 2);
}

TEST(CliOptions, HelpAndNoArgumentsShowTheUsage) {
  media::CommandResult r = Cli({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("--show-options"), std::string::npos);
  r = Cli({});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("Usage:"), std::string::npos);
}

// The usage text and the man page name the same exit statuses, every status the program ends
// with, and their --size example is an item of the default format.
TEST(CliOptions, HelpAndManPageAgreeOnExitStatusesAndTheSizeExample) {
  const media::CommandResult help = Cli({"--help"});
  ASSERT_EQ(help.exit_code, 0);
  std::ifstream man_file(QUORVIN_SOURCE_DIR "/resources/man/quorvin-convert.1.in");
  ASSERT_TRUE(man_file);
  const std::string man{std::istreambuf_iterator<char>(man_file), {}};

  auto numbers_in = [](const std::string& text, std::set<int>& found) {
    const std::regex number(R"(\d+)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), number);
         it != std::sregex_iterator(); ++it) {
      found.insert(std::stoi(it->str()));
    }
  };
  // --help: "  130, 143, 129  stopped by ..." under "Exit status:".
  std::set<int> help_statuses;
  const size_t help_exit = help.out.find("Exit status:\n");
  ASSERT_NE(help_exit, std::string::npos) << help.out;
  std::istringstream help_lines(help.out.substr(help_exit));
  std::smatch m;
  for (std::string line; std::getline(help_lines, line);) {
    if (std::regex_search(line, m, std::regex(R"(^  (\d+(, \d+)*)  )"))) {
      numbers_in(m[1].str(), help_statuses);
    }
  }
  // The man page: the tag line after each ".TP" of its EXIT STATUS section.
  std::set<int> man_statuses;
  const size_t man_exit = man.find(".SH EXIT STATUS\n");
  ASSERT_NE(man_exit, std::string::npos);
  std::istringstream man_lines(man.substr(man_exit, man.find(".SH", man_exit + 1) - man_exit));
  bool tag_next = false;
  for (std::string line; std::getline(man_lines, line);) {
    if (tag_next) numbers_in(line, man_statuses);
    tag_next = line == ".TP";
  }
  const std::set<int> expected = {0, 1, 2, 3, 129, 130, 143};
  EXPECT_EQ(help_statuses, expected) << help.out;
  EXPECT_EQ(man_statuses, expected);

  std::smatch help_size, man_size;
  ASSERT_TRUE(
      std::regex_search(help.out, help_size, std::regex(R"re(--size TEXT[^"]*e\.g\. "([^"]+)")re")))
      << help.out;
  ASSERT_TRUE(std::regex_search(man, man_size,
                                std::regex(R"re(\\-\\-size " TEXT"[^(]*\\\(dq(.+?)\\\(dq)re")));
  for (const std::string& example : {help_size[1].str(), man_size[1].str()}) {
    const media::CommandResult r = Cli({"--show-options", "--size", example});
    EXPECT_EQ(r.exit_code, 0) << example << ": " << r.err;
  }
}
