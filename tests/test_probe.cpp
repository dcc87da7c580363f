#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <mutex>
#include <string>

#include "AVProbe.h"
#include "Binding.h"
#include "FFmpegException.h"
#include "MediaUtil.h"
#include "ProbeColumns.h"

namespace {

void EnsureLibraries() {
  std::string error;
  ASSERT_TRUE(LoadLibraries("", true, error)) << error;
}

// Collects the libraries' log lines while a test runs, whatever level an earlier test in the
// same process left behind.
class LogCapture {
 public:
  LogCapture() : previous_level_(LibraryLogLevel()) {
    Text().clear();
    SetLibraryLogLevel(3);
    SetLibraryLogSink(&Sink);
  }
  ~LogCapture() {
    SetLibraryLogSink(nullptr);
    SetLibraryLogLevel(previous_level_);
  }
  static std::string& Text() {
    static std::string text;
    return text;
  }

 private:
  static void Sink(int, const char* line) {
    static std::mutex m;
    std::lock_guard<std::mutex> lock(m);
    Text() += line;
  }
  const int previous_level_;
};

// How many descriptors of this process are open on PATH.
int OpenDescriptorsOn(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path wanted = fs::canonical(path);
  int count = 0;
  for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const fs::path target = fs::read_symlink(fd.path(), error);
    if (!error && target == wanted) ++count;
  }
  return count;
}

}  // namespace

TEST(ProbeColumns, FormatDuration) {
  EXPECT_EQ(FormatDuration(':', 3725), "01:02:05");
  EXPECT_EQ(FormatDuration(':', 0), "00:00:00");
  EXPECT_EQ(FormatDuration(':', 360000), "100:00:00");
  EXPECT_EQ(FormatDuration(':', 59), "00:00:59");
  EXPECT_EQ(FormatDuration(':', 60), "00:01:00");
  EXPECT_EQ(FormatDuration(':', 86399), "23:59:59");
  EXPECT_EQ(FormatDuration('.', 61), "00.01.01");
  EXPECT_NE(FormatDuration(':', -5).find('-'), std::string::npos);
}

TEST(ProbeColumns, DurationText) {
  EXPECT_EQ(DurationText(999999), "00:00:00");      // shorter than a second
  EXPECT_EQ(DurationText(3725999999), "01:02:05");  // the remainder is dropped, not rounded
  EXPECT_EQ(DurationText(INT64_MIN), "Unknown");    // the library's unknown duration
  EXPECT_EQ(DurationText(-1), "Unknown");
}

TEST(ProbeColumns, FrameRateAndSize) {
  EXPECT_EQ(FrameRateText(1, 30000, 1001), "29.97");
  EXPECT_EQ(FrameRateText(1, 24000, 1001), "23.98");
  EXPECT_EQ(FrameRateText(1, 25, 1), "25");
  EXPECT_EQ(FrameRateText(1, 15, 2), "7.5");
  EXPECT_EQ(FrameRateText(1, 0, 0), "Unknown");  // no division by zero
  EXPECT_EQ(FrameRateText(0, 25, 1), " ");
  EXPECT_EQ(VideoSizeText(1, 640, 480), "640x480");
  EXPECT_EQ(VideoSizeText(0, 640, 480), " ");
}

TEST(ProbeColumns, ProbeLine) {
  const ProbeColumns good{true, "160x120", "25", "00:00:01", 4.0 / 3, ""};
  EXPECT_EQ(ProbeLine("/a/b.mp4", good), "/a/b.mp4\t160x120\t25\t00:00:01\t");
  EXPECT_EQ(ProbeLine("/a/c.mp4", ProbeColumns{}), "/a/c.mp4\t\t\t\tError");
}

TEST(ProbeOpen, MissingFileKeepsCountsUnset) {
  EnsureLibraries();
  TAVProbe probe;
  EXPECT_FALSE(probe.Open("/nonexistent/quorvin.avi"));
  EXPECT_EQ(probe.LastError(), "/nonexistent/quorvin.avi: no such file or directory");
  EXPECT_EQ(probe.StreamCount(), -1);
  EXPECT_EQ(probe.VideoStreamCount(), -1);
  EXPECT_EQ(probe.FirstVideoStream(), -1);
  FileInfo info;
  probe.GetFileInfo(info);
  EXPECT_EQ(info.Duration, -1);
  EXPECT_EQ(info.Year, -1);
}

TEST(ProbeOpen, UnknownForcedFormat) {
  EnsureLibraries();
  TAVProbe probe;
  EXPECT_FALSE(probe.Open("whatever.avi", "no-such-format"));
  EXPECT_EQ(probe.LastError(), "Unknown input format: no-such-format");
}

TEST(ProbeOpen, AudioOnlyFileHasNoVideoStream) {
  EnsureLibraries();
  media::TempDir dir;
  const auto path = dir.File("tone.mp3");
  auto args = media::AudioSource(1.0);
  args.insert(args.end(), {"-c:a", "libmp3lame"});
  ASSERT_TRUE(media::MakeMedia(path, args));

  TAVProbe probe;
  ASSERT_TRUE(probe.Open(path)) << probe.LastError();
  EXPECT_EQ(probe.StreamCount(), 1);
  EXPECT_EQ(probe.VideoStreamCount(), 0);
  EXPECT_EQ(probe.AudioStreamCount(), 1);
  EXPECT_EQ(probe.FirstVideoStream(), -1);
  EXPECT_EQ(probe.FirstAudioStream(), 0);

  LogCapture log;
  VideoStreamInfo v;
  probe.GetVideoStreamInfo(-1, v);
  EXPECT_EQ(v.Width, -1);
  EXPECT_EQ(v.Height, -1);
  EXPECT_NE(log.Text().find("no video stream.\n"), std::string::npos) << log.Text();
  probe.GetVideoStreamInfo(probe.StreamCount(), v);
  EXPECT_NE(log.Text().find("stream index #1 is invalid.\n"), std::string::npos);
  probe.GetVideoStreamInfo(0, v);
  EXPECT_NE(log.Text().find("stream #0 is not video stream.\n"), std::string::npos);

  const auto columns = ProbeFileColumns(probe, path);
  EXPECT_TRUE(columns.ok);
  EXPECT_EQ(columns.video_size, " ");
  EXPECT_EQ(columns.frame_rate, " ");
  EXPECT_EQ(columns.duration, "00:00:01");
}

TEST(ProbeOpen, VideoStreamInfoAndTags) {
  EnsureLibraries();
  media::TempDir dir;
  const auto path = dir.File("clip.mkv");
  ASSERT_TRUE(media::MakeAudioVideo(
      path,
      {"-c:v", "mpeg4", "-c:a", "mp2", "-metadata", "title=Quorvin test", "-metadata",
       "artist=Somebody", "-metadata", "date=2007-05-01", "-metadata", "track=3/12"},
      1.0, "320x240", "30000/1001"));
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(path)) << probe.LastError();
  EXPECT_EQ(probe.StreamCount(), 2);
  EXPECT_EQ(probe.FirstVideoStream(), 0);
  VideoStreamInfo v;
  probe.GetVideoStreamInfo(v);
  EXPECT_EQ(v.Width, 320);
  EXPECT_EQ(v.Height, 240);
  EXPECT_EQ(v.FrameRateNum, 30000);
  EXPECT_EQ(v.FrameRateDen, 1001);
  EXPECT_EQ(v.CodecName, "mpeg4");
  EXPECT_NEAR(v.AspectRatio, 4.0 / 3.0, 1e-4);
  FileInfo info;
  probe.GetFileInfo(info);
  EXPECT_EQ(info.Title, "Quorvin test");
  EXPECT_EQ(info.Author, "Somebody");
  EXPECT_EQ(info.Year, 2007);
  EXPECT_EQ(info.Track, 3);
  EXPECT_NEAR(info.Duration / 1e6, 1.0, 0.1);

  probe.Close();
  EXPECT_EQ(probe.StreamCount(), -1);
  EXPECT_EQ(probe.FirstVideoStream(), -1);
}

// The columns are read and the file is let go: a file left open keeps its disk mounted and its
// space in use after it is deleted, for as long as the probe lives (the window's whole session).
TEST(ProbeOpen, ColumnsLeaveNoFileOpen) {
  EnsureLibraries();
  media::TempDir dir;
  const auto first = dir.File("a.mp4");
  const auto second = dir.File("b.mp4");
  ASSERT_TRUE(media::MakeAudioVideo(first, {"-c:v", "mpeg4", "-c:a", "aac"}, 0.2, "64x64"));
  ASSERT_TRUE(media::MakeAudioVideo(second, {"-c:v", "mpeg4", "-c:a", "aac"}, 0.2, "64x64"));
  TAVProbe probe;
  EXPECT_TRUE(ProbeFileColumns(probe, first).ok);
  const ProbeColumns columns = ProbeFileColumns(probe, second);
  EXPECT_TRUE(columns.ok);
  EXPECT_EQ(columns.video_size, "64x64");
  EXPECT_EQ(OpenDescriptorsOn(first), 0);
  EXPECT_EQ(OpenDescriptorsOn(second), 0);
}

TEST(ProbeOpen, RaisesWhenLibrariesAreNotLoaded) {
  EnsureLibraries();
  UnloadAll();
  TAVProbe probe;
  try {
    probe.Open("/nonexistent/x.avi");
    ADD_FAILURE() << "no exception";
  } catch (const FFMpegException& e) {
    EXPECT_STREQ(e.what(), "LibAVCodec not loaded.");
  }
  EnsureLibraries();
}
