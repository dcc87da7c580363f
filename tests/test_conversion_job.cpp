// Per-row job set-up: output naming, the RealMedia script, aspect and duration rules.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ConversionJob.h"
#include "MediaUtil.h"

namespace {

void Touch(const std::string& path) {
  std::ofstream(path) << "x";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Points TMPDIR at a test folder for the lifetime of the object.
class ScopedTmpDir {
 public:
  explicit ScopedTmpDir(const std::string& dir) {
    const char* old = std::getenv("TMPDIR");
    if (old != nullptr) old_ = old;
    had_ = old != nullptr;
    setenv("TMPDIR", dir.c_str(), 1);
  }
  ~ScopedTmpDir() {
    if (had_) {
      setenv("TMPDIR", old_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

 private:
  std::string old_;
  bool had_ = false;
};

}  // namespace

TEST(ConversionJobNaming, UniqueFileNameCountsUpFromTheFirstFreeName) {
  media::TempDir dir;
  const std::string base = dir.File("clip.avi");
  EXPECT_EQ(UniqueFileName(base, ".mp4"), dir.File("clip.mp4"));
  Touch(dir.File("clip.mp4"));
  EXPECT_EQ(UniqueFileName(base, ".mp4"), dir.File("clip-1.mp4"));
  Touch(dir.File("clip-1.mp4"));
  Touch(dir.File("clip-2.mp4"));
  EXPECT_EQ(UniqueFileName(base, ".mp4"), dir.File("clip-3.mp4"));
  // Only the last component's extension is replaced; a dotted folder is not an extension.
  std::filesystem::create_directory(dir.File("a.b"));
  EXPECT_EQ(UniqueFileName(dir.File("a.b") + "/clip", ".mp3"), dir.File("a.b") + "/clip.mp3");
}

TEST(ConversionJobNaming, OutputPathFollowsTheOverwriteChoice) {
  media::TempDir src;
  media::TempDir out;
  const std::string source = src.File("clip.avi");
  Touch(source);
  EXPECT_EQ(OutputFilePath(out.Path().string(), source, ".mp4", false), out.File("clip.mp4"));
  Touch(out.File("clip.mp4"));
  EXPECT_EQ(OutputFilePath(out.Path().string(), source, ".mp4", false), out.File("clip-1.mp4"));
  EXPECT_EQ(OutputFilePath(out.Path().string() + "/", source, ".mp4", true), out.File("clip.mp4"));
}

TEST(ConversionJobNaming, OverwriteNeverTargetsTheSourceItself) {
  media::TempDir dir;
  const std::string source = dir.File("clip.mp4");
  Touch(source);
  // Converting clip.mp4 to MP4 into its own folder must not truncate the file being read.
  EXPECT_EQ(OutputFilePath(dir.Path().string(), source, ".mp4", true), dir.File("clip-1.mp4"));
  EXPECT_EQ(ReadAll(source), "x");
}

TEST(ConversionJobScript, RmvbScriptHasTwoCrLfLinesAndNumberedNames) {
  media::TempDir tmp;
  ScopedTmpDir scoped(tmp.Path().string());
  const std::string folder = TempScriptFolder();
  // A private folder of this process, not a name every user shares.
  EXPECT_EQ(folder.rfind(tmp.Path().string() + "/quorvin-scripts-", 0), 0u) << folder;
  struct stat st;
  ASSERT_EQ(lstat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(TempScriptFolder(), folder);

  const std::string first = WriteRmvbScript("/videos/a film.rmvb", "/opt/quorvin");
  EXPECT_EQ(first, folder + "r.avs");
  EXPECT_EQ(ReadAll(first),
            "LoadPlugin(\"/opt/quorvin/DirectShowSource.dll\")\r\n"
            "DirectShowSource(\"/videos/a film.rmvb\", fps=25, convertfps=true)\r\n");
  EXPECT_EQ(WriteRmvbScript("/videos/b.rmvb", "/opt/quorvin/"), folder + "r-1.avs");

  Touch(folder + "keep.txt");
  DeleteOldScripts();
  EXPECT_FALSE(std::filesystem::exists(first));
  EXPECT_FALSE(std::filesystem::exists(folder + "r-1.avs"));
  EXPECT_TRUE(std::filesystem::exists(folder + "keep.txt"));
}

TEST(ConversionJobScript, UnwritableScriptFolderIsAnError) {
  media::TempDir tmp;
  Touch(tmp.File("file"));
  ScopedTmpDir scoped(tmp.File("file"));  // a file where the folder should be
  EXPECT_THROW(WriteRmvbScript("/videos/a.rmvb", "/opt/quorvin"), std::runtime_error);
}

TEST(ConversionJobRules, AspectRatioFromVideoSize) {
  const struct {
    const char* size;
    const char* ratio;
  } cases[] = {
      {"720x576", "1.25"}, {"640x480", "1.3333"},   {"1280x720", "1.7778"}, {"480x320", "1.5"},
      {" ", "1.3333"},     {"", "1.3333"},          {"abc", "1.3333"},      {"640xabc", "1.3333"},
      {"640x0", "1.3333"}, {" 352x288 ", "1.2222"}, {"100x100", "1"},
  };
  for (const auto& c : cases) EXPECT_EQ(AspectRatioFromVideoSize(c.size), c.ratio) << c.size;
}

TEST(ConversionJobRules, AspectChoiceWritesTheRecord) {
  TOutputOptions options;
  options.AspectRatio = "from translation";
  ApplyAspectRule(AspectChoice::kNone, "720x576", options);
  EXPECT_EQ(options.AspectRatio, "from translation");
  ApplyAspectRule(AspectChoice::kOriginal, "720x576", options);
  EXPECT_EQ(options.AspectRatio, "1.25");
  ApplyAspectRule(AspectChoice::k4x3, "720x576", options);
  EXPECT_EQ(options.AspectRatio, "4:3");
  ApplyAspectRule(AspectChoice::k16x9, "720x576", options);
  EXPECT_EQ(options.AspectRatio, "16:9");
}

TEST(ConversionJobRules, TenHourLimitOnlyForUnknownOrZeroDuration) {
  EXPECT_EQ(DurationLimitMs("00:00:00"), 36000000);
  EXPECT_EQ(DurationLimitMs("Unknown"), 36000000);
  EXPECT_EQ(DurationLimitMs("00:00:01"), -1);
  EXPECT_EQ(DurationLimitMs(" Unknown"), -1);
  EXPECT_EQ(DurationLimitMs(""), -1);
}

TEST(ConversionJobNaming, RunOutputNamesTakeEveryFileTheRunReadsEvenThroughALink) {
  media::TempDir dir;
  std::filesystem::create_directory(dir.File("out"));
  std::filesystem::create_directory(dir.File("in"));
  Touch(dir.File("out/clip.mp4"));
  // The run reads out/clip.mp4 under another name.
  std::filesystem::create_symlink(dir.File("out/clip.mp4"), dir.File("in/other.mov"));
  TRunOutputNames names({dir.File("in/other.mov")});
  const std::string first =
      OutputFilePath(dir.File("out"), dir.File("in/clip.avi"), ".mp4", true, names.Reserved());
  EXPECT_EQ(first, dir.File("out/clip-1.mp4"));
  names.Promise(first);
  EXPECT_EQ(OutputFilePath(dir.File("out"), dir.File("x/clip.mkv"), ".mp4", true, names.Reserved()),
            dir.File("out/clip-2.mp4"));
}
