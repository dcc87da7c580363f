// quorvin-convert under faults: stop signals, a killed run, write errors, a removed output
// folder, outputs that collide with sources, pipes and devices as inputs, a closed standard
// output and a low descriptor limit. Each case checks that no source changed, that no empty or
// unfinished file is left under a final name, that every file left decodes (with the ffmpeg
// tool), and that every status line tells what happened.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "MediaUtil.h"

namespace fs = std::filesystem;

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The contents of each source, to show afterwards that none was written to.
std::map<std::string, std::string> Contents(const std::vector<std::string>& paths) {
  std::map<std::string, std::string> contents;
  for (const auto& p : paths) contents[p] = ReadAll(p);
  return contents;
}

void ExpectUnchanged(const std::map<std::string, std::string>& before) {
  for (const auto& [path, bytes] : before) EXPECT_TRUE(ReadAll(path) == bytes) << path;
}

// Checks every file of FOLDER that is not one of `sources`: a temporary ".NAME.quorvin-part"
// file is counted, any other must be non-empty and decode cleanly. Returns the names of the
// final files; `parts` receives the temporary ones.
std::vector<std::string> CheckOutputs(const std::string& folder,
                                      const std::map<std::string, std::string>& sources,
                                      std::vector<std::string>* parts = nullptr) {
  std::vector<std::string> finals;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string path = entry.path().string();
    const std::string name = entry.path().filename().string();
    if (sources.count(path) > 0) continue;
    if (name.front() == '.' && name.size() > 13 && name.ends_with(".quorvin-part")) {
      if (parts != nullptr) parts->push_back(name);
      else ADD_FAILURE() << "unfinished file left: " << path;
      continue;
    }
    finals.push_back(name);
    EXPECT_GT(fs::file_size(path), 0u) << path;
    EXPECT_TRUE(media::DecodesCleanly(path));
  }
  return finals;
}

class CliFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    src_ = new media::TempDir;
    // Long enough that a signal arrives while it converts; the others are tiny.
    ASSERT_TRUE(media::MakeAudioVideo(src_->File("long.avi"), {"-c:v", "mpeg4", "-c:a", "mp2"},
                                      40.0, "320x240", "25"));
    ASSERT_TRUE(media::MakeAudioVideo(src_->File("short.avi"), {"-c:v", "mpeg4", "-c:a", "mp2"},
                                      0.5));
  }
  static void TearDownTestSuite() {
    delete src_;
    src_ = nullptr;
  }

  // Copies of the short source in the test's own source folder.
  std::vector<std::string> Queued(int count) {
    std::vector<std::string> files;
    for (int i = 1; i <= count; ++i) {
      files.push_back(in_.File(std::string("q") + std::to_string(i) + ".avi"));
      fs::copy_file(src_->File("short.avi"), files.back());
    }
    return files;
  }

  static media::TempDir* src_;
  media::TempDir in_;
  media::TempDir out_;
};

media::TempDir* CliFaultTest::src_ = nullptr;

}  // namespace

TEST_F(CliFaultTest, StopSignalsFinaliseTheRunningFileAndAbortTheRest) {
  const std::string fifo = in_.File("pipe.mp4");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string device = in_.File("zero.mp3");
  fs::create_symlink("/dev/zero", device);
  const std::string long_source = src_->File("long.avi");
  const std::vector<std::string> queued = Queued(3);
  const auto sources = Contents({long_source, queued[0], queued[1], queued[2]});

  for (const auto& [sig, status] : std::vector<std::pair<int, int>>{{SIGTERM, 143}, {SIGHUP, 129}}) {
    SCOPED_TRACE(sig);
    fs::remove_all(out_.Path());
    fs::create_directory(out_.Path());
    std::vector<std::string> argv{QUORVIN_CLI, "-o", out_.Path().string(), "--format", "17",
                                  fifo, device, long_source};
    argv.insert(argv.end(), queued.begin(), queued.end());
    media::RunningProcess process(argv);
    // The pipe and the device are refused at once, without waiting on them.
    ASSERT_TRUE(process.WaitForOutput("%", 60000)) << process.Output();
    const auto sent = std::chrono::steady_clock::now();
    process.Signal(sig);
    EXPECT_EQ(process.Wait(), status) << process.Output();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));

    const std::string& out = process.Output();
    // Each line names its file once.
    EXPECT_TRUE(Contains(out, fifo + ": Fail: a pipe")) << out;
    EXPECT_TRUE(Contains(out, device + ": Fail: a device")) << out;
    EXPECT_TRUE(Contains(out, long_source + ": Abort\n")) << out;
    for (const auto& q : queued) EXPECT_TRUE(Contains(out, q + ": Abort\n")) << out;
    EXPECT_TRUE(Contains(out, "\n0 done, 2 failed, 4 aborted\n")) << out;

    // The running file was finalised under its own name; the queued ones were never created.
    EXPECT_EQ(CheckOutputs(out_.Path().string(), sources), std::vector<std::string>{"long.mp4"});
    const media::ProbeInfo info = media::Probe(out_.File("long.mp4"));
    EXPECT_GT(info.duration_s, 0.0);
    EXPECT_LT(info.duration_s, 39.0);
  }
  ExpectUnchanged(sources);
}

TEST_F(CliFaultTest, CtrlCEndsAStartUpThatBlocks) {
  // A script whose source is a pipe without a writer: opening the source blocks, as one on a
  // stalled network mount does.
  const std::string fifo = in_.File("stalled.rm");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string script = in_.File("stalled.avs");
  media::WriteFile(script, "LoadPlugin(\"DirectShowSource.dll\")\r\nDirectShowSource(\"" + fifo +
                               "\", fps=25, convertfps=true)\r\n");
  const std::vector<std::string> queued = Queued(1);
  media::RunningProcess process({QUORVIN_CLI, "-o", out_.Path().string(), script, queued[0]});
  EXPECT_FALSE(process.WaitForOutput(": ", 500)) << process.Output();
  const auto sent = std::chrono::steady_clock::now();
  process.Signal(SIGINT);
  EXPECT_EQ(process.Wait(), 130) << process.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2));
  EXPECT_TRUE(Contains(process.Output(), script + ": Abort\n")) << process.Output();
  EXPECT_TRUE(Contains(process.Output(), queued[0] + ": Abort\n")) << process.Output();
  EXPECT_TRUE(Contains(process.Output(), "\n0 done, 0 failed, 2 aborted\n")) << process.Output();
  EXPECT_TRUE(fs::is_empty(out_.Path()));
}

TEST_F(CliFaultTest, KilledRunLeavesOnlyThePartFileOfTheRunningJob) {
  const std::string long_source = src_->File("long.avi");
  const std::vector<std::string> queued = Queued(3);
  const auto sources = Contents({long_source, queued[0], queued[1], queued[2]});
  {
    std::vector<std::string> argv{QUORVIN_CLI, "-o", out_.Path().string(), "--format", "17",
                                  long_source};
    argv.insert(argv.end(), queued.begin(), queued.end());
    media::RunningProcess process(argv);
    ASSERT_TRUE(process.WaitForOutput("%", 60000)) << process.Output();
    process.Signal(SIGKILL);
    EXPECT_EQ(process.Wait(), 128 + SIGKILL);
  }
  std::vector<std::string> parts;
  EXPECT_TRUE(CheckOutputs(out_.Path().string(), sources, &parts).empty());
  EXPECT_EQ(parts, std::vector<std::string>{".long.mp4.quorvin-part"});
  ExpectUnchanged(sources);

  // The next run does not count the leftover as an output: "long.mp4" is still free.
  media::TempDir other;
  fs::copy_file(src_->File("short.avi"), other.File("long.avi"));
  const auto again = media::RunCommand(
      {QUORVIN_CLI, "-o", out_.Path().string(), "--format", "17", other.File("long.avi")});
  EXPECT_EQ(again.exit_code, 0) << again.out << again.err;
  EXPECT_TRUE(Contains(again.out, " -> " + out_.File("long.mp4") + "\n")) << again.out;
  EXPECT_TRUE(media::DecodesCleanly(out_.File("long.mp4")));
}

TEST_F(CliFaultTest, WriteErrorsAndARemovedFolderAreFailures) {
  const std::string long_source = src_->File("long.avi");
  const std::vector<std::string> queued = Queued(2);
  const auto sources = Contents({long_source, queued[0], queued[1]});
  {
    // A file-size limit stands in for a full disk: writes fail with EFBIG.
    media::RunningProcess process(
        {QUORVIN_CLI, "-o", out_.Path().string(), "--format", "17", long_source, queued[0]}, [] {
          signal(SIGXFSZ, SIG_IGN);
          rlimit limit{400 * 1024, 400 * 1024};
          setrlimit(RLIMIT_FSIZE, &limit);
        });
    EXPECT_EQ(process.Wait(), 1) << process.Output();
    const std::string& out = process.Output();
    EXPECT_TRUE(Contains(out, long_source + ": Fail: ")) << out;
    EXPECT_TRUE(Contains(out, "File too large")) << out;
    EXPECT_TRUE(Contains(out, queued[0] + ": Done\n")) << out;
    EXPECT_TRUE(Contains(out, "\n1 done, 1 failed, 0 aborted\n")) << out;
    EXPECT_EQ(CheckOutputs(out_.Path().string(), sources), std::vector<std::string>{"q1.mp4"});
  }
  {
    const std::string folder = out_.File("gone");
    fs::create_directory(folder);
    std::vector<std::string> argv{QUORVIN_CLI, "-o", folder, "--format", "17", long_source};
    argv.insert(argv.end(), queued.begin(), queued.end());
    media::RunningProcess process(argv);
    ASSERT_TRUE(process.WaitForOutput("%", 60000)) << process.Output();
    fs::remove_all(folder);
    EXPECT_EQ(process.Wait(), 1) << process.Output();
    const std::string& out = process.Output();
    for (const auto& source : {long_source, queued[0], queued[1]}) {
      EXPECT_TRUE(Contains(out, source + ": Fail: ")) << out;
    }
    EXPECT_TRUE(Contains(out, "(the output folder has been deleted)")) << out;
    EXPECT_TRUE(Contains(out, "\n0 done, 3 failed, 0 aborted\n")) << out;
    EXPECT_FALSE(fs::exists(folder));
  }
  ExpectUnchanged(sources);
}

TEST_F(CliFaultTest, OverwriteNeverReplacesAFileThatTheRunReads) {
  // Two sources whose outputs would both be named like the first source.
  const std::string mp4 = in_.File("clip.mp4");
  const std::string mov = in_.File("clip.mov");
  fs::copy_file(src_->File("short.avi"), mp4);
  ASSERT_TRUE(media::MakeAudioVideo(mov, {"-c:v", "mpeg4", "-c:a", "aac", "-f", "mov"}, 0.5));
  // A source that lies in the output folder under the name another source's output takes.
  media::TempDir other;
  const std::string elsewhere = other.File("clip.mp4");
  fs::copy_file(src_->File("short.avi"), elsewhere);
  const auto sources = Contents({mp4, mov, elsewhere});

  const auto same_folder = media::RunCommand(
      {QUORVIN_CLI, "-o", in_.Path().string(), "--format", "17", "--overwrite", mp4, mov});
  EXPECT_EQ(same_folder.exit_code, 0) << same_folder.out << same_folder.err;
  EXPECT_TRUE(Contains(same_folder.out, mp4 + ": Done\n")) << same_folder.out;
  EXPECT_TRUE(Contains(same_folder.out, mov + ": Done\n")) << same_folder.out;
  auto finals = CheckOutputs(in_.Path().string(), sources);
  std::sort(finals.begin(), finals.end());
  EXPECT_EQ(finals, (std::vector<std::string>{"clip-1.mp4", "clip-2.mp4"}));

  const auto into_folder = media::RunCommand({QUORVIN_CLI, "-o", in_.Path().string(), "--format",
                                              "17", "--overwrite", elsewhere, mp4});
  EXPECT_EQ(into_folder.exit_code, 0) << into_folder.out << into_folder.err;
  EXPECT_FALSE(Contains(into_folder.out, " -> " + mp4 + "\n")) << into_folder.out;
  CheckOutputs(in_.Path().string(), sources);
  ExpectUnchanged(sources);
}

TEST_F(CliFaultTest, ClosedOutputAndFewDescriptorsStillConvertEveryFile) {
  const std::vector<std::string> queued = Queued(1);
  {
    // Nobody reads the status lines any more: the conversion goes on and ends well.
    media::RunningProcess process(
        {QUORVIN_CLI, "-o", out_.Path().string(), "--format", "17", queued[0]});
    process.CloseOutput();
    EXPECT_EQ(process.Wait(), 0);
    EXPECT_TRUE(media::DecodesCleanly(out_.File("q1.mp4")));
  }
  {
    // More files than descriptors: they wait for their turn instead of failing.
    media::TempDir tones;
    const std::string tone = tones.File("tone.wav");
    ASSERT_TRUE(media::MakeMedia(tone, media::AudioSource(0.2)));
    std::vector<std::string> argv{QUORVIN_CLI, "-o", tones.Path().string(), "--format", "6"};
    for (int i = 0; i < 16; ++i) {
      argv.push_back(tones.File(std::string("t") + std::to_string(i) + ".wav"));
      fs::copy_file(tone, argv.back());
    }
    media::RunningProcess process(argv, [] {
      rlimit limit{16, 16};
      setrlimit(RLIMIT_NOFILE, &limit);
    });
    EXPECT_EQ(process.Wait(), 0) << process.Output();
    EXPECT_TRUE(Contains(process.Output(), "All Conversions Completed")) << process.Output();
    for (int i = 0; i < 16; ++i) {
      const std::string mp3 = tones.File(std::string("t") + std::to_string(i) + ".mp3");
      EXPECT_TRUE(fs::exists(mp3) && fs::file_size(mp3) > 0) << mp3;
    }
  }
}

TEST_F(CliFaultTest, StatusLinesStayOneLineEach) {
  const std::string odd = in_.File("two\nlines.avi");
  const auto result = media::RunCommand({QUORVIN_CLI, "-o", out_.Path().string(), odd});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(Contains(result.out, in_.File("two\\nlines.avi") + ": Fail: ")) << result.out;
  EXPECT_FALSE(Contains(result.out, "\nlines.avi")) << result.out;

  const auto not_a_folder = media::RunCommand({QUORVIN_CLI, "-o", src_->File("short.avi"), odd});
  EXPECT_EQ(not_a_folder.exit_code, 2);
  EXPECT_TRUE(Contains(not_a_folder.err, "\" is not a folder")) << not_a_folder.err;
}
