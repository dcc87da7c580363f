// Sources to the trash: the home trash and a volume's trash (a folder of the test standing in
// for another volume), the .trashinfo a file manager restores from, name collisions, a failed
// rename, and which of a run's sources may move.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>

#include "MediaUtil.h"
#include "Trash.h"

namespace fs = std::filesystem;

namespace {

// Sets an environment variable (or unsets it, for nullopt) for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Real(const fs::path& path) {
  return fs::canonical(path).string();
}

struct TrashInfo {
  bool ok = false;
  std::string path;  // Path=, decoded
  std::string raw_path;
  std::string date;
};

// Reads a .trashinfo as a file manager would: the group header first, then key=value lines.
TrashInfo ReadInfo(const std::string& file) {
  TrashInfo info;
  std::istringstream in(ReadAll(file));
  std::string line;
  if (!std::getline(in, line) || line != "[Trash Info]") return info;
  while (std::getline(in, line)) {
    if (line.rfind("Path=", 0) == 0) info.raw_path = line.substr(5);
    if (line.rfind("DeletionDate=", 0) == 0) info.date = line.substr(13);
  }
  info.path = PercentDecodePath(info.raw_path);
  info.ok = !info.raw_path.empty() && !info.date.empty();
  return info;
}

int Mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

class HomeTrashTest : public ::testing::Test {
 protected:
  HomeTrashTest() : data_env_("XDG_DATA_HOME", dir_.File("data")), trash_(dir_.File("data/Trash")) {
    fs::create_directory(dir_.File("src"));
  }
  media::TempDir dir_;
  ScopedEnv data_env_;
  std::string trash_;
};

}  // namespace

TEST_F(HomeTrashTest, FileMovesWithAnInfoThatRestoresItsExactName) {
  // A name that is not UTF-8, with a blank, a percent sign and a line break.
  const std::string name = "caf\xE9 50%\nclip.avi";
  const std::string source = dir_.File("src/" + name);
  WriteFile(source, "source bytes");
  const std::time_t before = std::time(nullptr);

  const TTrashResult result = MoveToTrash(source);
  ASSERT_TRUE(result.Ok) << result.Reason;
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(result.TrashPath, trash_ + "/files/" + name);
  EXPECT_EQ(ReadAll(trash_ + "/files/" + name), "source bytes");
  EXPECT_EQ(Mode(trash_), 0700);

  const TrashInfo info = ReadInfo(trash_ + "/info/" + name + ".trashinfo");
  ASSERT_TRUE(info.ok);
  EXPECT_EQ(info.path, Real(dir_.Path()) + "/src/" + name);
  // Only URI-safe characters in the file itself: the raw bytes and the line break are escaped.
  EXPECT_TRUE(std::regex_match(info.raw_path, std::regex("[A-Za-z0-9/._~%-]+"))) << info.raw_path;
  EXPECT_NE(info.raw_path.find("%E9%2050%25%0Aclip.avi"), std::string::npos) << info.raw_path;
  // The deletion time in local time, to the second.
  std::tm parsed{};
  ASSERT_TRUE(std::regex_match(info.date, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)")))
      << info.date;
  ASSERT_NE(strptime(info.date.c_str(), "%Y-%m-%dT%H:%M:%S", &parsed), nullptr);
  parsed.tm_isdst = -1;
  const std::time_t stamped = std::mktime(&parsed);
  EXPECT_GE(stamped, before - 1);
  EXPECT_LE(stamped, std::time(nullptr) + 1);
}

TEST_F(HomeTrashTest, TakenNamesGiveTheNextFreeOneAndNothingIsReplaced) {
  fs::create_directories(dir_.File("other"));
  WriteFile(dir_.File("src/clip.avi"), "first");
  WriteFile(dir_.File("other/clip.avi"), "second");
  WriteFile(dir_.File("src/clip.avi.bak"), "third");
  ASSERT_TRUE(MoveToTrash(dir_.File("src/clip.avi")).Ok);
  // A file in files/ without its .trashinfo (left by another program) is not replaced either.
  WriteFile(trash_ + "/files/clip.avi.2", "stray");

  const TTrashResult second = MoveToTrash(dir_.File("other/clip.avi"));
  ASSERT_TRUE(second.Ok) << second.Reason;
  EXPECT_EQ(second.TrashPath, trash_ + "/files/clip.avi.3");
  EXPECT_EQ(ReadAll(trash_ + "/files/clip.avi"), "first");
  EXPECT_EQ(ReadAll(trash_ + "/files/clip.avi.2"), "stray");
  EXPECT_EQ(ReadAll(trash_ + "/files/clip.avi.3"), "second");
  EXPECT_FALSE(fs::exists(trash_ + "/info/clip.avi.2.trashinfo"));
  EXPECT_EQ(ReadInfo(trash_ + "/info/clip.avi.trashinfo").path,
            Real(dir_.Path()) + "/src/clip.avi");
  EXPECT_EQ(ReadInfo(trash_ + "/info/clip.avi.3.trashinfo").path,
            Real(dir_.Path()) + "/other/clip.avi");
}

TEST_F(HomeTrashTest, AFileThatCannotMoveStaysAndLeavesNoInfo) {
  // Missing file: nothing is written.
  const TTrashResult missing = MoveToTrash(dir_.File("src/gone.avi"));
  EXPECT_FALSE(missing.Ok);
  EXPECT_FALSE(missing.Reason.empty());
  EXPECT_FALSE(fs::exists(trash_ + "/info/gone.avi.trashinfo"));

  // A rename that the kernel refuses although the device check said "same file system" (as
  // between two bind mounts of one file system): the claimed .trashinfo is removed again.
  struct stat shm, tmp;
  if (stat("/dev/shm", &shm) != 0 || stat(dir_.Path().c_str(), &tmp) != 0 ||
      shm.st_dev == tmp.st_dev || access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "no second file system to rename across";
  }
  const std::string source = "/dev/shm/quorvin-trash-test-" + std::to_string(getpid()) + ".avi";
  WriteFile(source, "stays");
  TTrashVolumes volumes;
  volumes.SameFileSystem = [](const std::string&, const std::string&) { return true; };
  const TTrashResult result = MoveToTrash(source, volumes);
  EXPECT_FALSE(result.Ok);
  EXPECT_NE(result.Reason.find("cannot be moved"), std::string::npos) << result.Reason;
  EXPECT_EQ(ReadAll(source), "stays");
  EXPECT_TRUE(fs::is_empty(trash_ + "/info"));
  EXPECT_TRUE(fs::is_empty(trash_ + "/files"));
  fs::remove(source);
}

TEST(HomeTrashFolder, FromXdgDataHomeOrTheHome) {
  media::TempDir dir;
  ScopedEnv home("HOME", dir.File("home"));
  {
    ScopedEnv data("XDG_DATA_HOME", dir.File("data"));
    EXPECT_EQ(HomeTrashFolder(), dir.File("data") + "/Trash");
  }
  // Unset, empty or relative: the default under the home.
  for (std::optional<std::string> value :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>("relative/data")}) {
    ScopedEnv data("XDG_DATA_HOME", value);
    EXPECT_EQ(HomeTrashFolder(), dir.File("home") + "/.local/share/Trash");
  }
}

// A folder of the test stands in for the top of another volume.
class VolumeTrashTest : public ::testing::Test {
 protected:
  VolumeTrashTest()
      : data_env_("XDG_DATA_HOME", dir_.File("data")), top_(Real(dir_.Path()) + "/vol") {
    fs::create_directories(top_ + "/movies");
    volumes_.SameFileSystem = [](const std::string&, const std::string&) { return false; };
    volumes_.TopFolder = [this](const std::string&) { return top_; };
  }
  // Moves a new file vol/movies/clip.avi and returns where it went.
  TTrashResult MoveClip() {
    WriteFile(top_ + "/movies/clip.avi", "clip");
    return MoveToTrash(top_ + "/movies/clip.avi", volumes_);
  }
  media::TempDir dir_;
  ScopedEnv data_env_;
  std::string top_;
  TTrashVolumes volumes_;
  const std::string uid_ = std::to_string(getuid());
};

TEST_F(VolumeTrashTest, OwnTrashFolderIsMadeAndThePathIsFromTheTop) {
  const TTrashResult result = MoveClip();
  ASSERT_TRUE(result.Ok) << result.Reason;
  const std::string trash = top_ + "/.Trash-" + uid_;
  EXPECT_EQ(result.TrashPath, trash + "/files/clip.avi");
  EXPECT_EQ(Mode(trash), 0700);
  EXPECT_EQ(ReadInfo(trash + "/info/clip.avi.trashinfo").path, "movies/clip.avi");
  EXPECT_FALSE(fs::exists(dir_.File("data/Trash")));
}

TEST_F(VolumeTrashTest, SharedTrashOnlyWithTheStickyBitAndNotThroughALink) {
  // Without the sticky bit anyone could replace this user's folder in it.
  fs::create_directory(top_ + "/.Trash");
  chmod((top_ + "/.Trash").c_str(), 0777);
  TTrashResult result = MoveClip();
  ASSERT_TRUE(result.Ok) << result.Reason;
  EXPECT_EQ(result.TrashPath, top_ + "/.Trash-" + uid_ + "/files/clip.avi");
  EXPECT_FALSE(fs::exists(top_ + "/.Trash/" + uid_));

  // A link to a sticky folder elsewhere is not the volume's shared trash.
  fs::create_directory(dir_.File("elsewhere"));
  chmod(dir_.File("elsewhere").c_str(), 01777);
  fs::remove(top_ + "/.Trash");
  fs::create_directory_symlink(dir_.File("elsewhere"), top_ + "/.Trash");
  result = MoveClip();
  ASSERT_TRUE(result.Ok) << result.Reason;
  EXPECT_EQ(result.TrashPath, top_ + "/.Trash-" + uid_ + "/files/clip.avi.2");
  EXPECT_TRUE(fs::is_empty(dir_.File("elsewhere")));

  // A real sticky folder: this user's folder inside it.
  fs::remove(top_ + "/.Trash");
  fs::create_directory(top_ + "/.Trash");
  chmod((top_ + "/.Trash").c_str(), 01777);
  result = MoveClip();
  ASSERT_TRUE(result.Ok) << result.Reason;
  const std::string shared = top_ + "/.Trash/" + uid_;
  EXPECT_EQ(result.TrashPath, shared + "/files/clip.avi");
  EXPECT_EQ(ReadInfo(shared + "/info/clip.avi.trashinfo").path, "movies/clip.avi");
}

TEST_F(VolumeTrashTest, NoUsableTrashKeepsTheFile) {
  // .Trash-UID taken by a file: neither trash of the volume can be used, and the file is not
  // copied into the home trash instead.
  WriteFile(top_ + "/.Trash-" + uid_, "not a folder");
  const TTrashResult result = MoveClip();
  EXPECT_FALSE(result.Ok);
  EXPECT_FALSE(result.Reason.empty());
  EXPECT_EQ(ReadAll(top_ + "/movies/clip.avi"), "clip");
  EXPECT_FALSE(fs::exists(dir_.File("data/Trash")));
}

TEST(SourceTrashPlan, MovesOnlyAfterTheLastUseWhenEveryUseEndedWell) {
  media::TempDir dir;
  const std::string twice = dir.File("twice.avi"), once = dir.File("once.avi");
  const std::string link = dir.File("link.avi"), failed = dir.File("failed.avi");
  WriteFile(twice, "a");
  WriteFile(once, "b");
  WriteFile(failed, "c");
  fs::create_hard_link(once, link);

  TSourceTrashPlan plan;
  for (const auto& source : {twice, twice, once, link, failed, failed}) plan.AddUse(source);
  using Step = TSourceTrashPlan::TStep;
  EXPECT_EQ(plan.UseEnded(twice, true), Step::kWait);
  EXPECT_EQ(plan.UseEnded(twice, true), Step::kMove);
  // Two names of one file are one source.
  EXPECT_EQ(plan.UseEnded(link, true), Step::kWait);
  EXPECT_EQ(plan.UseEnded(once, true), Step::kMove);
  // One failed use keeps the source, whichever use failed.
  EXPECT_EQ(plan.UseEnded(failed, false), Step::kWait);
  EXPECT_EQ(plan.UseEnded(failed, true), Step::kKeep);
  // More ends than uses, or a file never listed: nothing moves.
  EXPECT_EQ(plan.UseEnded(twice, true), Step::kKeep);
  EXPECT_EQ(plan.UseEnded(dir.File("never.avi"), true), Step::kKeep);
}

TEST(TrashPathEncoding, EveryByteComesBack) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(PercentDecodePath(PercentEncodePath("/a/" + all)), "/a/" + all);
  // A percent sign without two hex digits is kept as written.
  EXPECT_EQ(PercentDecodePath("/a%2/b%zz%"), "/a%2/b%zz%");
}

TEST(VolumeTopFolder, IsTheMountPointOfTheFolder) {
  struct stat shm, root;
  if (stat("/dev/shm", &shm) != 0 || stat("/dev", &root) != 0 || shm.st_dev == root.st_dev ||
      access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "/dev/shm is not a file system of its own";
  }
  const std::string folder = "/dev/shm/quorvin-top-test-" + std::to_string(getpid());
  fs::create_directories(folder + "/a/b");
  EXPECT_EQ(VolumeTopFolder(folder + "/a/b"), "/dev/shm");
  EXPECT_EQ(VolumeTopFolder("/dev/shm"), "/dev/shm");
  fs::remove_all(folder);
  EXPECT_EQ(VolumeTopFolder("/"), "/");
  EXPECT_EQ(VolumeTopFolder(folder), "");
}
