// quorvin-convert --trash-sources: which sources go to the home trash, when, and what each file's
// lines say. The trash is a folder of the test (XDG_DATA_HOME).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "MediaUtil.h"

namespace fs = std::filesystem;

namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The child processes find the trash through XDG_DATA_HOME, set for the test's length.
class CliTrashTest : public ::testing::Test {
 protected:
  CliTrashTest() : trash_(data_.File("Trash")) {
    if (const char* old = getenv("XDG_DATA_HOME")) old_data_ = old;
    setenv("XDG_DATA_HOME", data_.Path().c_str(), 1);
  }
  ~CliTrashTest() override {
    if (old_data_.empty()) {
      unsetenv("XDG_DATA_HOME");
    } else {
      setenv("XDG_DATA_HOME", old_data_.c_str(), 1);
    }
  }
  media::TempDir src_, out_, data_;
  std::string trash_;
  std::string old_data_;
};

}  // namespace

// Done sources move after their result line; a source listed twice moves once, after its second
// conversion; a failed source and one whose conversion carries a note stay.
TEST_F(CliTrashTest, OnlyCleanlyDoneSourcesMoveAfterTheirLastConversion) {
  const std::string good = src_.File("good.avi"), twice = src_.File("twice.avi");
  const std::string bad = src_.File("bad.avi"), cut = src_.File("cut.avi");
  ASSERT_TRUE(media::MakeMedia(
      good, {"-f", "lavfi", "-i", "testsrc=size=96x64:rate=10:d=4", "-f", "lavfi", "-i",
             "sine=sample_rate=22050:d=4", "-c:v", "mpeg4", "-c:a", "mp2", "-shortest"}));
  fs::copy_file(good, twice);
  media::WriteFile(bad, "not a media file");
  // The first third of the file: converted as far as it goes, with a note.
  const std::string bytes = ReadAll(good);
  media::TruncateCopy(good, cut, bytes.size() / 3);

  const auto r = media::RunCommand({QUORVIN_CLI, "-o", out_.Path().string(), "--trash-sources",
                                    "--jobs", "2", twice, good, bad, cut, twice});
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;

  // The result lines stay as scripts read them, each followed by the trash's line.
  EXPECT_TRUE(Contains(r.out, good + ": Done\n" + good + ": moved to the trash\n")) << r.out;
  EXPECT_EQ(Count(r.out, twice + ": Done\n"), 2u) << r.out;
  EXPECT_EQ(Count(r.out, twice + ": moved to the trash\n"), 1u) << r.out;
  EXPECT_GT(r.out.find(twice + ": moved to the trash"), r.out.rfind(twice + ": Done\n"));
  EXPECT_TRUE(Contains(r.out, bad + ": Fail: ")) << r.out;
  EXPECT_FALSE(Contains(r.out, bad + ": kept")) << r.out;
  EXPECT_FALSE(Contains(r.out, bad + ": moved")) << r.out;
  EXPECT_TRUE(Contains(r.out, cut + ": Done, but ")) << r.out;
  EXPECT_TRUE(Contains(r.out, cut + ": kept (its output has a note)\n")) << r.out;

  EXPECT_FALSE(fs::exists(good));
  EXPECT_FALSE(fs::exists(twice));
  EXPECT_EQ(ReadAll(src_.File("bad.avi")), "not a media file");
  EXPECT_TRUE(fs::exists(cut));
  EXPECT_EQ(ReadAll(trash_ + "/files/good.avi"), bytes);
  EXPECT_EQ(ReadAll(trash_ + "/files/twice.avi"), bytes);
  EXPECT_TRUE(Contains(ReadAll(trash_ + "/info/good.avi.trashinfo"),
                       "\nPath=" + fs::canonical(src_.Path()).string() + "/good.avi\n"));
  EXPECT_EQ(std::distance(fs::directory_iterator(trash_ + "/files"), fs::directory_iterator()), 2);
  // Both conversions of the twice-listed source read it whole.
  for (const char* name : {"good.mp4", "twice.mp4", "twice-1.mp4"}) {
    const media::ProbeInfo info = media::Probe(out_.File(name));
    ASSERT_TRUE(info.ok) << name << info.error;
    EXPECT_NEAR(info.duration_s, 4.0, 0.3) << name;
    EXPECT_TRUE(media::DecodesCleanly(out_.File(name))) << name;
  }
}

TEST_F(CliTrashTest, StoppedConversionKeepsItsSource) {
  const std::string source = src_.File("long.avi");
  ASSERT_TRUE(
      media::MakeAudioVideo(source, {"-c:v", "mpeg4", "-c:a", "mp2"}, 60.0, "320x240", "25"));
  media::RunningProcess process(
      {QUORVIN_CLI, "-o", out_.Path().string(), "--trash-sources", "--format", "17", source});
  ASSERT_TRUE(process.WaitForOutput("%", 60000)) << process.Output();
  process.Signal(SIGINT);
  EXPECT_EQ(process.Wait(), 130) << process.Output();
  EXPECT_TRUE(Contains(process.Output(), source + ": Abort")) << process.Output();
  EXPECT_FALSE(Contains(process.Output(), "trash")) << process.Output();
  EXPECT_TRUE(fs::exists(source));
  EXPECT_FALSE(fs::exists(trash_));
}
