// quorvin-convert FILE...: naming, script route, unknown durations, failures, --jobs and Ctrl-C.
// Outputs are checked with ffprobe and by decoding them with the ffmpeg tool.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "MediaUtil.h"

namespace {

media::CommandResult Convert(const std::vector<std::string>& args) {
  std::vector<std::string> argv{QUORVIN_CLI};
  argv.insert(argv.end(), args.begin(), args.end());
  return media::RunCommand(argv);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliConvertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    src_ = new media::TempDir;
    ASSERT_TRUE(
        media::MakeAudioVideo(src_->File("clip.avi"), {"-c:v", "mpeg4", "-c:a", "mp2"}, 1.0));
  }
  static void TearDownTestSuite() {
    delete src_;
    src_ = nullptr;
  }
  static media::TempDir* src_;
  media::TempDir out_;
};

media::TempDir* CliConvertTest::src_ = nullptr;

}  // namespace

TEST_F(CliConvertTest, SecondRunWithoutOverwriteTakesANumberedName) {
  const auto first = Convert({"-o", out_.Path().string(), src_->File("clip.avi")});
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  EXPECT_TRUE(Contains(first.out, src_->File("clip.avi") + ": Done")) << first.out;
  EXPECT_TRUE(Contains(first.out, "All Conversions Completed")) << first.out;
  const auto second = Convert({"-o", out_.Path().string(), src_->File("clip.avi")});
  ASSERT_EQ(second.exit_code, 0) << second.out << second.err;
  EXPECT_TRUE(Contains(second.out, out_.File("clip-1.mp4"))) << second.out;

  // The default format is the iPod's: MPEG-4 video at 320x240 and AAC audio.
  for (const char* name : {"clip.mp4", "clip-1.mp4"}) {
    const media::ProbeInfo info = media::Probe(out_.File(name));
    ASSERT_TRUE(info.ok) << name << info.error;
    const auto video = info.First("video");
    const auto audio = info.First("audio");
    ASSERT_TRUE(video && audio) << name;
    EXPECT_EQ(video->codec_name, "mpeg4");
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(video->height, 240);
    EXPECT_EQ(audio->codec_name, "aac");
    EXPECT_TRUE(media::DecodesCleanly(out_.File(name)));
  }
  // With --overwrite the existing name is reused.
  const auto third = Convert({"-o", out_.Path().string(), "--overwrite", src_->File("clip.avi")});
  ASSERT_EQ(third.exit_code, 0) << third.out << third.err;
  EXPECT_FALSE(std::filesystem::exists(out_.File("clip-2.mp4")));
}

TEST_F(CliConvertTest, RealMediaSourceConvertsThroughItsScript) {
  media::TempDir tmp;
  // A double quote in the name must reach the script as part of the name.
  const std::string source = tmp.File("mo\"vie.rmvb");
  ASSERT_TRUE(media::MakeMedia(
      source, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=15:d=1", "-f", "lavfi", "-i",
               "sine=d=1", "-c:v", "rv20", "-c:a", "ac3", "-f", "rm"}));
  std::vector<std::string> argv{"env",
                                "TMPDIR=" + tmp.Path().string(),
                                QUORVIN_CLI,
                                "-o",
                                out_.Path().string(),
                                "--format",
                                "17",
                                source};
  const auto result = media::RunCommand(argv);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(Contains(result.out, source + ": Done")) << result.out;
  const media::ProbeInfo info = media::Probe(out_.File("mo\"vie.mp4"));
  ASSERT_TRUE(info.ok) << info.error;
  const auto video = info.First("video");
  ASSERT_TRUE(video);
  EXPECT_NEAR(video->r_frame_rate.Value(), 25.0, 0.01);  // the script's constant rate
  EXPECT_TRUE(media::DecodesCleanly(out_.File("mo\"vie.mp4")));
  // The run's script and its private folder are gone afterwards: only the source is left.
  const auto left = std::distance(std::filesystem::directory_iterator(tmp.Path()),
                                  std::filesystem::directory_iterator());
  EXPECT_EQ(left, 1);
}

TEST_F(CliConvertTest, SourceOfUnknownDurationGetsTheTenHourTotal) {
  media::TempDir tmp;
  // Matroska written to a pipe carries no duration.
  const std::string source = tmp.File("stream.mkv");
  const auto made = media::RunCommand(
      {"sh", "-c",
       "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=25:d=1 -c:v mpeg4 -f "
       "matroska - > '" +
           source + "'"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  const auto probe = media::RunCommand({QUORVIN_CLI, "--probe", source});
  ASSERT_TRUE(Contains(probe.out, "Unknown")) << probe.out << probe.err;

  const auto result = Convert({"-o", out_.Path().string(), "--format", "17", source});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  // One second of a ten-hour total: the progress line reads 0%.
  EXPECT_TRUE(Contains(result.out, "stream.mkv  0%")) << result.out;
  EXPECT_TRUE(Contains(result.out, source + ": Done")) << result.out;
  EXPECT_TRUE(media::DecodesCleanly(out_.File("stream.mp4")));
}

// --zoom LetterBox fits the picture by the source's own size, read when the job opens the
// source: a 16:9 picture in the iPod's 4:3 frame gets black bars above and below.
TEST_F(CliConvertTest, LetterBoxFitsTheSourcePictureSize) {
  media::TempDir tmp;
  const std::string source = tmp.File("wide.avi");
  ASSERT_TRUE(media::MakeMedia(source, {"-f", "lavfi", "-i", "color=c=white:size=320x180:d=1",
                                        "-c:v", "mpeg4", "-q:v", "2"}));
  // Choices in any letter case, as the other options take them.
  const auto result =
      Convert({"-o", out_.Path().string(), "--zoom", "letterbox", "--aspect", "ORIGINAL", source});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  const auto gray =
      media::RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", out_.File("wide.mp4"),
                         "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray", "-"});
  ASSERT_EQ(gray.out.size(), 320u * 240u) << gray.err;
  auto row_luma = [&gray](size_t y) {
    double sum = 0;
    for (size_t x = 0; x < 320; ++x) sum += static_cast<unsigned char>(gray.out[y * 320 + x]);
    return sum / 320;
  };
  EXPECT_LT(row_luma(5), 40);     // bar
  EXPECT_GT(row_luma(120), 200);  // picture
  EXPECT_LT(row_luma(234), 40);   // bar
}

TEST_F(CliConvertTest, MissingInputFailsAndTheNextFileStillConverts) {
  const std::string missing = src_->File("missing.avi");
  const auto result = Convert({"-o", out_.Path().string(), missing, src_->File("clip.avi")});
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  // The line names the file once.
  EXPECT_TRUE(Contains(result.out, missing + ": Fail: no such file or directory\n")) << result.out;
  EXPECT_TRUE(Contains(result.out, src_->File("clip.avi") + ": Done")) << result.out;
  EXPECT_TRUE(Contains(result.out, "\n1 done, 1 failed, 0 aborted\n")) << result.out;
  EXPECT_FALSE(Contains(result.out, "All Conversions Completed")) << result.out;
  EXPECT_TRUE(media::DecodesCleanly(out_.File("clip.mp4")));
}

TEST_F(CliConvertTest, OutputFolderProblems) {
  // A folder that exists but takes no files.
  const auto unwritable = Convert({"-o", "/proc", src_->File("clip.avi")});
  EXPECT_EQ(unwritable.exit_code, 1) << unwritable.out << unwritable.err;
  EXPECT_TRUE(Contains(unwritable.out, src_->File("clip.avi") + ": Fail: ")) << unwritable.out;
  EXPECT_TRUE(Contains(unwritable.out, "/proc/clip.mp4")) << unwritable.out;

  const auto missing = Convert({"-o", out_.File("nowhere"), src_->File("clip.avi")});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_TRUE(Contains(missing.err, "does not exist or has been deleted!")) << missing.err;
}

TEST_F(CliConvertTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {src_->File("clip.avi")},                                  // no -o
      {"-o", out_.Path().string()},                              // no file
      {"-o", out_.Path().string(), "--jobs", "0", "x.avi"},      // bad count
      {"-o", out_.Path().string(), "--aspect", "5:4", "x.avi"},  // bad aspect
      {"-o", out_.Path().string(), "--format", "4", "x.avi"},    // separator
      {"-o", out_.Path().string(), "--bogus", "x.avi"},          // unknown option
  };
  for (const auto& args : cases) {
    const auto result = Convert(args);
    EXPECT_EQ(result.exit_code, 2) << args.back() << result.err;
    EXPECT_FALSE(result.err.empty());
  }
}

TEST_F(CliConvertTest, JobsRunsSeveralFilesAtOnce) {
  media::TempDir a, b;
  std::filesystem::copy_file(src_->File("clip.avi"), a.File("clip.avi"));
  std::filesystem::copy_file(src_->File("clip.avi"), b.File("clip.avi"));
  const auto result =
      Convert({"-o", out_.Path().string(), "--jobs", "2", "--overwrite", "--format", "6",
               src_->File("clip.avi"), a.File("clip.avi"), b.File("clip.avi")});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  // Three sources of one name: each gets its own output even with --overwrite.
  for (const char* name : {"clip.mp3", "clip-1.mp3", "clip-2.mp3"}) {
    const media::ProbeInfo info = media::Probe(out_.File(name));
    ASSERT_TRUE(info.ok) << name << info.error;
    EXPECT_EQ(info.Count("video"), 0) << name;
    ASSERT_TRUE(info.First("audio")) << name;
    EXPECT_EQ(info.First("audio")->codec_name, "mp3");
  }
}

TEST_F(CliConvertTest, CtrlCStopsLikeTheStopButton) {
  media::TempDir tmp;
  const std::string source = tmp.File("long.avi");
  ASSERT_TRUE(
      media::MakeAudioVideo(source, {"-c:v", "mpeg4", "-c:a", "mp2"}, 60.0, "320x240", "25"));
  const std::string second = tmp.File("second.avi");
  std::filesystem::copy_file(src_->File("clip.avi"), second);

  media::RunningProcess process(
      {QUORVIN_CLI, "-o", out_.Path().string(), "--format", "17", source, second});
  ASSERT_TRUE(process.WaitForOutput("%", 60000)) << process.Output();
  process.Signal(SIGINT);
  EXPECT_EQ(process.Wait(), 130) << process.Output();
  EXPECT_TRUE(Contains(process.Output(), source + ": Abort")) << process.Output();
  EXPECT_FALSE(Contains(process.Output(), "All Conversions Completed")) << process.Output();
  EXPECT_FALSE(Contains(process.Output(), second + ": Done")) << process.Output();

  // The partial output is a complete, playable file that ends where the run stopped.
  const std::string partial = out_.File("long.mp4");
  EXPECT_TRUE(media::DecodesCleanly(partial));
  const media::ProbeInfo info = media::Probe(partial);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_GT(info.duration_s, 0.0);
  EXPECT_LT(info.duration_s, 59.0);
  EXPECT_FALSE(std::filesystem::exists(out_.File("second.mp4")));
}

// A folder stands for the media files inside it and its subfolders, in name order with numbers
// by value; hidden entries, other files and a link back up the tree add nothing. A folder with
// no media files fails on its own line.
TEST_F(CliConvertTest, FoldersConvertTheMediaFilesInside) {
  media::TempDir tmp;
  const std::filesystem::path root = tmp.Path() / "clips";
  std::filesystem::create_directories(root / "sub" / "deep");
  std::filesystem::create_directories(root / ".hidden");
  std::filesystem::create_directories(tmp.Path() / "empty");
  for (const char* name :
       {"clip10.avi", "clip2.AVI", "sub/deep/a.avi", ".hidden/h.avi", ".clip.avi", "notes.txt"}) {
    std::filesystem::copy_file(src_->File("clip.avi"), root / name);
  }
  std::filesystem::create_directory_symlink("..", root / "sub" / "up");

  const auto result =
      Convert({"-o", out_.Path().string(), "--format", "mp3", root.string(), tmp.File("empty")});
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  std::vector<std::string> done;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(": Done") != std::string::npos) done.push_back(line);
  }
  const std::vector<std::string> expected = {(root / "clip2.AVI").string() + ": Done",
                                             (root / "clip10.avi").string() + ": Done",
                                             (root / "sub/deep/a.avi").string() + ": Done"};
  EXPECT_EQ(done, expected) << result.out;
  EXPECT_TRUE(Contains(result.out, tmp.File("empty") + ": Fail: no media files in this folder\n"))
      << result.out;
  size_t outputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(out_.Path())) {
    ++outputs;
    EXPECT_EQ(entry.path().extension(), ".mp3") << entry.path();
    const media::ProbeInfo info = media::Probe(entry.path().string());
    ASSERT_TRUE(info.ok) << entry.path() << info.error;
    ASSERT_TRUE(info.First("audio"));
    EXPECT_EQ(info.First("audio")->codec_name, "mp3");
  }
  EXPECT_EQ(outputs, 3u);
}

// On a terminal the progress line gives the pictures per second, the time since the file's
// start and the time left, and the last line the run's time and the size of what it wrote.
TEST_F(CliConvertTest, TerminalShowsTimesAndTheRunTotals) {
  // script(1) runs the program on a pseudo-terminal, wide enough for the whole line.
  const std::string command = std::string("stty cols 200; '") + QUORVIN_CLI + "' -o '" +
                              out_.Path().string() + "' --format 17 '" + src_->File("clip.avi") +
                              "'";
  const auto result = media::RunCommand({"script", "-qec", command, "/dev/null"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  const std::regex progress(R"(clip\.avi  \d+%  \d+ frames  \d+ fps  \d+ KBytes  [\d.]+x  )"
                            R"(\d+:\d\d elapsed  (\d+:\d\d|\?) left)");
  EXPECT_TRUE(std::regex_search(result.out, progress)) << result.out;
  std::smatch end;
  ASSERT_TRUE(std::regex_search(
      result.out, end,
      std::regex(R"(All Conversions Completed in \d+:\d\d, (\d+) KBytes written)")))
      << result.out;
  const auto bytes = std::filesystem::file_size(out_.File("clip.mp4"));
  EXPECT_EQ(std::stoull(end[1].str()), (bytes + 500) / 1000) << bytes;
}

// An HLS list saved without its end tag (as a recorder leaves it) names local segments that
// will never grow: every segment it names is converted, and the run ends instead of waiting
// for more. The list names more segments than a live list starts from, so a run that begins
// near the end comes out too short.
TEST_F(CliConvertTest, LocalListWithoutEndTagConvertsEverySegmentAndEnds) {
  media::TempDir tmp;
  const std::string full = tmp.File("full.m3u8");
  ASSERT_TRUE(media::MakeMedia(
      full, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=6", "-c:v", "mpeg2video", "-g",
             "25", "-f", "hls", "-hls_time", "1", "-hls_list_size", "0", "-hls_segment_filename",
             tmp.File("seg%d.ts")}));
  std::ifstream in(full);
  std::string list, line;
  int segments = 0;
  while (std::getline(in, line)) {
    if (line == "#EXT-X-ENDLIST") continue;
    if (line.ends_with(".ts")) ++segments;
    list += line + "\n";
  }
  ASSERT_GE(segments, 5) << list;
  const std::string live = tmp.File("live.m3u8");
  media::WriteFile(live, list);

  media::RunningProcess process({QUORVIN_CLI, "-o", out_.Path().string(), "--format", "18", live});
  // Minutes of waiting for the list to grow would pass this margin many times over.
  const bool ended = process.WaitForOutput("All Conversions Completed", 90000);
  if (!ended) process.Signal(SIGKILL);
  EXPECT_EQ(process.Wait(), ended ? 0 : 128 + SIGKILL);
  ASSERT_TRUE(ended) << process.Output();
  const media::ProbeInfo info = media::Probe(out_.File("live.mpg"));
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_NEAR(info.duration_s, 6.0, 0.2);
  EXPECT_TRUE(media::DecodesCleanly(out_.File("live.mpg")));
}

// A folder of today's containers (each made here by the ffmpeg tool, some names in capitals)
// converts every one of them.
TEST_F(CliConvertTest, FolderOfTodaysContainersConvertsEveryFile) {
  media::TempDir tmp;
  const std::vector<std::string> sound = media::AudioSource(0.5, 48000);
  const std::vector<std::string> both = [&] {
    std::vector<std::string> args = media::VideoSource(0.5, "64x48");
    args.insert(args.end(), sound.begin(), sound.end());
    return args;
  }();
  struct Made {
    const char* name;
    const std::vector<std::string>* source;
    std::vector<std::string> args;
  };
  const std::vector<Made> files = {
      {"a.MKV", &both, {"-c:v", "mpeg4", "-c:a", "mp2"}},
      {"b.webm", &both, {"-c:v", "libvpx", "-c:a", "libopus"}},
      {"c.ts", &both, {"-c:v", "mpeg2video", "-c:a", "mp2"}},
      {"d.M2TS", &both, {"-c:v", "mpeg2video", "-c:a", "ac3", "-f", "mpegts"}},
      {"e.mts", &both, {"-c:v", "libx264", "-c:a", "ac3", "-f", "mpegts"}},
      {"f.ps", &both, {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"}},
      {"g.flac", &sound, {}},
      {"h.opus", &sound, {}},
      {"i.Ogg", &sound, {"-c:a", "libvorbis"}},
      {"j.oga", &sound, {"-c:a", "flac", "-f", "oga"}},
      {"k.mka", &sound, {"-c:a", "ac3"}},
      {"l.aif", &sound, {"-f", "aiff"}},
      {"m.AIFF", &sound, {}},
      {"n.m4b", &sound, {"-c:a", "aac", "-f", "mp4"}},
      {"o.wv", &sound, {"-c:a", "wavpack"}},
      {"p.dts", &sound, {"-c:a", "dca", "-strict", "-2", "-ac", "2"}},
      {"q.eac3", &sound, {"-c:a", "eac3"}},
  };
  for (const Made& file : files) {
    std::vector<std::string> args = *file.source;
    args.insert(args.end(), file.args.begin(), file.args.end());
    ASSERT_TRUE(media::MakeMedia(tmp.File(file.name), args)) << file.name;
  }

  const auto result = Convert({"-o", out_.Path().string(), "--format", "mp3", tmp.File("")});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  for (const Made& file : files)
    EXPECT_TRUE(Contains(result.out, tmp.File(file.name) + ": Done\n")) << result.out;
  EXPECT_TRUE(Contains(result.out, "All Conversions Completed")) << result.out;
  for (const auto& entry : std::filesystem::directory_iterator(out_.Path()))
    EXPECT_TRUE(media::DecodesCleanly(entry.path().string())) << entry.path();
}

// --skip-existing goes on where a stopped batch ended: a file whose output name is there as a
// finished file is skipped and counted as done; an unfinished temporary output, an empty file
// of that name and the source itself never make a file skipped.
TEST_F(CliConvertTest, SkipExistingGoesOnWhereAStoppedRunEnded) {
  media::TempDir tmp;
  for (const char* name : {"a.avi", "b.avi", "c.avi"}) {
    std::filesystem::copy_file(src_->File("clip.avi"), tmp.File(name));
  }
  const std::string out = out_.Path().string();
  const auto first = Convert({"-o", out, "--format", "6", tmp.File("a.avi")});
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  const auto finished_size = std::filesystem::file_size(out_.File("a.mp3"));
  // What a killed run leaves: the hidden temporary output of the file it was converting.
  std::ofstream(out_.File(".b.mp3.quorvin-part")) << "unfinished";
  std::ofstream(out_.File("c.mp3")).flush();  // empty: no finished output

  const std::vector<std::string> again{"-o",
                                       out,
                                       "--format",
                                       "6",
                                       "--skip-existing",
                                       tmp.File("a.avi"),
                                       tmp.File("b.avi"),
                                       tmp.File("c.avi")};
  const auto second = Convert(again);
  ASSERT_EQ(second.exit_code, 0) << second.out << second.err;
  EXPECT_TRUE(
      Contains(second.out, tmp.File("a.avi") + ": Skipped, " + out_.File("a.mp3") + " exists\n"))
      << second.out;
  EXPECT_TRUE(Contains(second.out, tmp.File("b.avi") + ": Done")) << second.out;
  EXPECT_TRUE(Contains(second.out, tmp.File("c.avi") + ": Done")) << second.out;
  EXPECT_TRUE(Contains(second.out, "All Conversions Completed")) << second.out;
  EXPECT_EQ(std::filesystem::file_size(out_.File("a.mp3")), finished_size);
  EXPECT_FALSE(std::filesystem::exists(out_.File("a-1.mp3")));
  EXPECT_TRUE(media::DecodesCleanly(out_.File("b.mp3")));
  EXPECT_TRUE(media::DecodesCleanly(out_.File("c-1.mp3")));

  // Run once more: everything is there now, nothing is converted.
  const auto third = Convert(again);
  ASSERT_EQ(third.exit_code, 0) << third.out << third.err;
  EXPECT_TRUE(Contains(third.out, tmp.File("b.avi") + ": Skipped")) << third.out;
  EXPECT_FALSE(std::filesystem::exists(out_.File("b-1.mp3")));

  // A source in the output folder under its own output name is converted, not skipped.
  std::filesystem::copy_file(out_.File("a.mp3"), out_.File("s.mp3"));
  const auto own = Convert({"-o", out, "--format", "6", "--skip-existing", out_.File("s.mp3")});
  ASSERT_EQ(own.exit_code, 0) << own.out << own.err;
  EXPECT_TRUE(Contains(own.out, out_.File("s.mp3") + ": Done")) << own.out;
  EXPECT_TRUE(std::filesystem::exists(out_.File("s-1.mp3")));
}
