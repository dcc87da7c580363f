// quorvin-convert under faults: stop signals, a killed run, write errors, a removed output
// folder, outputs that collide with sources, pipes and devices as inputs, a closed standard
// output and a low descriptor limit. Each case checks that no source changed, that no empty or
// unfinished file is left under a final name, that every file left decodes (with the ffmpeg
// tool), and that every status line tells what happened.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
      if (parts != nullptr)
        parts->push_back(name);
      else
        ADD_FAILURE() << "unfinished file left: " << path;
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
    ASSERT_TRUE(
        media::MakeAudioVideo(src_->File("short.avi"), {"-c:v", "mpeg4", "-c:a", "mp2"}, 0.5));
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

  for (const auto& [sig, status] :
       std::vector<std::pair<int, int>>{{SIGTERM, 143}, {SIGHUP, 129}}) {
    SCOPED_TRACE(sig);
    fs::remove_all(out_.Path());
    fs::create_directory(out_.Path());
    std::vector<std::string> argv{QUORVIN_CLI, "-o",   out_.Path().string(), "--format", "17",
                                  fifo,        device, long_source};
    argv.insert(argv.end(), queued.begin(), queued.end());
    media::RunningProcess process(argv);
    // The pipe and the device are refused at once, without waiting on them.
    ASSERT_TRUE(process.WaitForOutput("%", 60000)) << process.Output();
    const auto sent = std::chrono::steady_clock::now();
    process.Signal(sig);
    EXPECT_EQ(process.Wait(), status) << process.Output();
    // Seconds on a loaded machine; a stop that waits for the queued files takes minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(30));

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

// Files that an input names follow the rules of the inputs themselves: a script's source or a
// playlist's entry that is a pipe fails at once and is named (it used to block the run until
// killed), a network address or standard input is never read, and a list of other files under
// a video's name is not read at all.
TEST_F(CliFaultTest, FilesThatAnInputNamesAreOnlyLocalRegularFiles) {
  const std::string fifo = in_.File("stalled.ts");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string segment = in_.File("seg.ts");
  ASSERT_TRUE(media::MakeAudioVideo(segment, {"-c:v", "mpeg2video", "-c:a", "mp2"}, 1.0));
  // A listener that must never see a connection.
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ASSERT_GE(server, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(server, 4), 0);
  ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/v.ts";

  auto script = [&](const std::string& name, const std::string& source) {
    media::WriteFile(in_.File(name), "DirectShowSource(\"" + source + "\", fps=25)\r\n");
    return in_.File(name);
  };
  const std::string to_pipe = script("pipe.avs", fifo);
  const std::string to_network = script("net.avs", url);
  const std::string to_stdin = script("stdin.avs", "pipe:0");
  const std::string to_dev_stdin = script("devstdin.avs", "/dev/stdin");
  const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nseg.ts\n";
  const std::string playlist = in_.File("list.m3u8");
  media::WriteFile(playlist,
                   hls + "#EXTINF:1,\nstalled.ts\n#EXTINF:1,\n" + url + "\n#EXT-X-ENDLIST\n");
  const std::string disguised_hls = in_.File("holiday.mp4");
  media::WriteFile(disguised_hls, hls + "#EXT-X-ENDLIST\n");
  const std::string disguised_concat = in_.File("trip.mp4");
  media::WriteFile(disguised_concat, "ffconcat version 1.0\nfile seg.ts\n");

  const auto started = std::chrono::steady_clock::now();
  const auto result =
      media::RunCommand({QUORVIN_CLI, "-o", out_.Path().string(), to_pipe, to_network, to_stdin,
                         to_dev_stdin, playlist, disguised_hls, disguised_concat});
  // A wait on the pipe or the network would never end; refusing takes seconds even when loaded.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(90));
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  const std::string& out = result.out;
  EXPECT_TRUE(Contains(out, to_pipe + ": Fail: " + fifo + ": a pipe")) << out;
  for (const auto& failed : {to_network, to_stdin, to_dev_stdin})
    EXPECT_TRUE(Contains(out, failed + ": Fail: ")) << out;
  EXPECT_TRUE(Contains(out, playlist + ": Fail: ")) << out;
  EXPECT_TRUE(Contains(out, "stalled.ts: a pipe, not a regular file")) << out;
  // Each line names its file once.
  EXPECT_TRUE(Contains(out, disguised_hls + ": Fail: an HLS playlist under a media file's name"))
      << out;
  EXPECT_TRUE(Contains(out, disguised_concat + ": Fail: a list of other files (concat)")) << out;
  EXPECT_TRUE(Contains(out, "\n0 done, 7 failed, 0 aborted\n")) << out;
  EXPECT_TRUE(fs::is_empty(out_.Path()));

  // The probe of a playlist whose first entry is the pipe ends at once and names it.
  const std::string first_pipe = in_.File("pipe-first.m3u8");
  media::WriteFile(first_pipe,
                   "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nstalled.ts\n"
                   "#EXT-X-ENDLIST\n");
  const auto probe = media::RunCommand({QUORVIN_CLI, "--probe", first_pipe});
  EXPECT_TRUE(Contains(probe.out + probe.err, "stalled.ts: a pipe")) << probe.out << probe.err;

  sockaddr_in peer{};
  socklen_t peer_length = sizeof peer;
  EXPECT_LT(accept(server, reinterpret_cast<sockaddr*>(&peer), &peer_length), 0);
  close(server);
}

// The files an input reads through a playlist or a script are sources like the input itself:
// --overwrite never replaces one; the output takes the next free numbered name.
TEST_F(CliFaultTest, OverwriteNeverReplacesAFileThatAnInputNames) {
  const std::string folder = in_.File("out");
  fs::create_directory(folder);
  const std::string entry = in_.File("out/self.mpg");
  ASSERT_TRUE(
      media::MakeAudioVideo(entry, {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts"}, 1.0));
  const std::string playlist = in_.File("self.m3u8");
  media::WriteFile(playlist,
                   "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nout/self.mpg\n"
                   "#EXT-X-ENDLIST\n");
  const std::string target = in_.File("out/film.mpg");
  ASSERT_TRUE(
      media::MakeAudioVideo(target, {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"}, 1.0));
  const std::string script = in_.File("film.avs");
  media::WriteFile(script, "DirectShowSource(\"" + target + "\", fps=25)\r\n");
  const auto sources = Contents({entry, target});

  const auto result = media::RunCommand(
      {QUORVIN_CLI, "-o", folder, "--format", "18", "--overwrite", playlist, script});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(Contains(result.out, " -> " + in_.File("out/self-1.mpg") + "\n")) << result.out;
  EXPECT_TRUE(Contains(result.out, " -> " + in_.File("out/film-1.mpg") + "\n")) << result.out;
  EXPECT_TRUE(Contains(result.out, "All Conversions Completed")) << result.out;
  ExpectUnchanged(sources);
  EXPECT_TRUE(media::DecodesCleanly(in_.File("out/self-1.mpg")));
  EXPECT_TRUE(media::DecodesCleanly(in_.File("out/film-1.mpg")));
}

// Two runs that write the same names into one folder keep every finished conversion: the one
// that comes second to a name takes the next free numbered one.
TEST_F(CliFaultTest, TwoRunsIntoOneFolderKeepAllTheirWork) {
  const std::vector<std::string> queued = Queued(2);
  const std::vector<std::string> argv{QUORVIN_CLI, "-o",     out_.Path().string(), "--format", "17",
                                      queued[0],   queued[1]};
  media::RunningProcess first(argv);
  media::RunningProcess second(argv);
  const int first_status = first.Wait();
  const int second_status = second.Wait();
  for (const auto* run : {&first, &second})
    EXPECT_FALSE(Contains(run->Output(), ": Fail: ")) << run->Output();
  EXPECT_TRUE(first_status == 0 || first_status == 3) << first.Output();
  EXPECT_TRUE(second_status == 0 || second_status == 3) << second.Output();
  auto finals = CheckOutputs(out_.Path().string(), {});
  std::sort(finals.begin(), finals.end());
  EXPECT_EQ(finals, (std::vector<std::string>{"q1-1.mp4", "q1.mp4", "q2-1.mp4", "q2.mp4"}));
}

// Names are used byte for byte: blanks at either end, a colon (never a protocol), and a name at
// the file system's length limit, whose temporary name must still fit.
TEST_F(CliFaultTest, NamesAreUsedAsTheyAre) {
  const std::string lead = in_.File(" lead.avi");
  const std::string trail = in_.File("trail.avi ");
  const std::string colon = in_.File("col:on.avi");
  const std::string long_name = in_.File(std::string(248, 'n') + ".avi");  // 252 bytes
  for (const auto& name : {lead, trail, colon, long_name})
    fs::copy_file(src_->File("short.avi"), name);
  // A different file under the trimmed name, which must not be converted instead.
  ASSERT_TRUE(media::MakeMedia(in_.File("lead.avi"), media::AudioSource(0.2)));
  const std::string folder = out_.File("a:b ");
  fs::create_directory(folder);

  const auto result = media::RunCommand(
      {QUORVIN_CLI, "-o", folder, "--format", "17", lead, trail, colon, long_name});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(Contains(result.out, "All Conversions Completed")) << result.out;
  auto finals = CheckOutputs(folder, {});
  std::sort(finals.begin(), finals.end());
  EXPECT_EQ(finals, (std::vector<std::string>{" lead.mp4", "col:on.mp4",
                                              std::string(248, 'n') + ".mp4", "trail.mp4"}));
  // The source with the blank was converted: it has a picture, the trimmed name's file none.
  const media::ProbeInfo info = media::Probe(folder + "/ lead.mp4");
  EXPECT_TRUE(info.First("video")) << info.error;
}

// A file-size limit (ulimit -f) is a failure with its reason, not a killed program: the
// temporary file is removed and the next file is converted.
TEST_F(CliFaultTest, FileSizeLimitFailsTheFileInsteadOfKillingTheProgram) {
  const std::string long_source = src_->File("long.avi");
  const std::vector<std::string> queued = Queued(1);
  media::RunningProcess process(
      {QUORVIN_CLI, "-o", out_.Path().string(), "--format", "17", long_source, queued[0]}, [] {
        signal(SIGXFSZ, SIG_DFL);
        rlimit limit{400 * 1024, 400 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
      });
  EXPECT_EQ(process.Wait(), 1) << process.Output();
  EXPECT_TRUE(Contains(process.Output(), long_source + ": Fail: ")) << process.Output();
  EXPECT_TRUE(Contains(process.Output(), "File too large")) << process.Output();
  EXPECT_TRUE(Contains(process.Output(), queued[0] + ": Done\n")) << process.Output();
  EXPECT_EQ(CheckOutputs(out_.Path().string(), {}), std::vector<std::string>{"q1.mp4"});
}

TEST_F(CliFaultTest, KilledRunLeavesOnlyThePartFileOfTheRunningJob) {
  const std::string long_source = src_->File("long.avi");
  const std::vector<std::string> queued = Queued(3);
  const auto sources = Contents({long_source, queued[0], queued[1], queued[2]});
  {
    std::vector<std::string> argv{QUORVIN_CLI, "-o", out_.Path().string(),
                                  "--format",  "17", long_source};
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

// A temporary file deleted during its run, or an output folder moved away, is a failure that
// says which file went missing; the moved folder keeps no temporary file.
TEST_F(CliFaultTest, AMissingTemporaryFileOrFolderIsNamed) {
  const std::string long_source = src_->File("long.avi");
  {
    media::RunningProcess process(
        {QUORVIN_CLI, "-o", out_.Path().string(), "--format", "17", long_source});
    ASSERT_TRUE(process.WaitForOutput("%", 60000)) << process.Output();
    const std::string part = out_.File(".long.mp4.quorvin-part");
    ASSERT_TRUE(fs::remove(part));
    EXPECT_EQ(process.Wait(), 1) << process.Output();
    EXPECT_TRUE(Contains(process.Output(), long_source + ": Fail: Could not write '" +
                                               out_.File("long.mp4") + "' (its temporary file " +
                                               part + " was deleted during the conversion)"))
        << process.Output();
  }
  {
    const std::string folder = out_.File("moving");
    const std::string moved = out_.File("moved");
    fs::create_directory(folder);
    media::RunningProcess process({QUORVIN_CLI, "-o", folder, "--format", "17", long_source});
    ASSERT_TRUE(process.WaitForOutput("%", 60000)) << process.Output();
    fs::rename(folder, moved);
    EXPECT_EQ(process.Wait(), 1) << process.Output();
    EXPECT_TRUE(Contains(process.Output(), "(the output folder has been deleted or moved)"))
        << process.Output();
    EXPECT_TRUE(fs::is_empty(moved));
  }
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

  const auto into_folder = media::RunCommand(
      {QUORVIN_CLI, "-o", in_.Path().string(), "--format", "17", "--overwrite", elsewhere, mp4});
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

  // A reason the libraries wrote over two lines reads as one; the name keeps its escapes.
  const std::string cut = in_.File("cut\r\nshort.avi");
  media::TruncateCopy(src_->File("short.avi"), cut, 3000);
  const auto damaged = media::RunCommand({QUORVIN_CLI, "-o", out_.Path().string(), cut});
  EXPECT_EQ(damaged.exit_code, 1);
  EXPECT_TRUE(Contains(damaged.out, in_.File("cut\\r\\nshort.avi") +
                                        ": Fail: I/O error occurred Usually that means "))
      << damaged.out;

  const auto not_a_folder = media::RunCommand({QUORVIN_CLI, "-o", src_->File("short.avi"), odd});
  EXPECT_EQ(not_a_folder.exit_code, 2);
  EXPECT_TRUE(Contains(not_a_folder.err, "\" is not a folder")) << not_a_folder.err;
}
