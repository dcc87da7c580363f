// Sources to the trash: the home trash and a volume's trash (a folder of the test standing in
// for another volume), the .trashinfo a file manager restores from, name collisions, a failed
// rename, and which of a run's sources may move.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "MediaUtil.h"
#include "Trash.h"

namespace fs = std::filesystem;

namespace {

// Sets an environment variable (unsets it, for nullopt) for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(old_); }

 private:
  void Set(const std::optional<std::string>& value) {
    value ? setenv(name_, value->c_str(), 1) : unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Real(const fs::path& path) {
  return fs::canonical(path).string();
}

// %XX back to its byte, as a file manager reads the Path of a .trashinfo.
std::string Unescape(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

struct TrashInfo {
  bool ok = false;                   // the group header first, and both keys
  std::string path, raw_path, date;  // raw_path: Path as written; path: its bytes
};

TrashInfo ReadInfo(const std::string& file) {
  TrashInfo info;
  std::istringstream in(ReadAll(file));
  std::string line;
  if (!std::getline(in, line) || line != "[Trash Info]") return info;
  while (std::getline(in, line)) {
    if (line.rfind("Path=", 0) == 0) info.raw_path = line.substr(5);
    if (line.rfind("DeletionDate=", 0) == 0) info.date = line.substr(13);
  }
  info.path = Unescape(info.raw_path);
  info.ok = !info.raw_path.empty() && !info.date.empty();
  return info;
}

// Whether /dev/shm is a writable file system other than the one holding FOLDER.
bool ShmIsAnotherFileSystem(const std::string& folder) {
  struct stat shm, other;
  return stat("/dev/shm", &shm) == 0 && stat(folder.c_str(), &other) == 0 &&
         shm.st_dev != other.st_dev && access("/dev/shm", W_OK) == 0;
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
  media::WriteFile(source, "source bytes");

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
  EXPECT_EQ(info.raw_path.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._~%-"),
            std::string::npos)
      << info.raw_path;
  EXPECT_NE(info.raw_path.find("%E9%2050%25%0Aclip.avi"), std::string::npos) << info.raw_path;
  // The deletion time to the second (local time: no zone).
  // (Read with sscanf: GCC 12 warns inside libstdc++'s regex compiler in the sanitizers' build.)
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, end = 0;
  EXPECT_TRUE(std::sscanf(info.date.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day,
                          &hour, &minute, &second, &end) == 6 &&
              end == 19 && info.date.size() == 19 && info.date[4] == '-' && year >= 2000 &&
              month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour < 24 && minute < 60 &&
              second <= 60)
      << info.date;

  // Every byte a name can hold, in the longest name there is: the trash's name is cut so that
  // its .trashinfo fits, and the recorded path still has the whole name.
  std::string every_byte;
  for (int c = 1; c < 256; ++c) {
    if (c != '/') every_byte += static_cast<char>(c);
  }
  media::WriteFile(dir_.File("src/" + every_byte), "long");
  const TTrashResult long_name = MoveToTrash(dir_.File("src/" + every_byte));
  ASSERT_TRUE(long_name.Ok) << long_name.Reason;
  const std::string cut = fs::path(long_name.TrashPath).filename().string();
  EXPECT_EQ(every_byte.rfind(cut, 0), 0u);
  EXPECT_EQ(ReadAll(long_name.TrashPath), "long");
  EXPECT_EQ(ReadInfo(trash_ + "/info/" + cut + ".trashinfo").path,
            Real(dir_.Path()) + "/src/" + every_byte);
}

TEST_F(HomeTrashTest, TakenNamesGiveTheNextFreeOneAndNothingIsReplaced) {
  fs::create_directories(dir_.File("other"));
  media::WriteFile(dir_.File("src/clip.avi"), "first");
  media::WriteFile(dir_.File("other/clip.avi"), "second");
  media::WriteFile(dir_.File("src/clip.avi.bak"), "third");
  ASSERT_TRUE(MoveToTrash(dir_.File("src/clip.avi")).Ok);
  // A file in files/ without its .trashinfo (left by another program) is not replaced either.
  media::WriteFile(trash_ + "/files/clip.avi.2", "stray");

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
  if (!ShmIsAnotherFileSystem(dir_.Path())) GTEST_SKIP() << "no second file system";
  const std::string source = "/dev/shm/quorvin-trash-test-" + std::to_string(getpid()) + ".avi";
  media::WriteFile(source, "stays");
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
    media::WriteFile(top_ + "/movies/clip.avi", "clip");
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
  media::WriteFile(top_ + "/.Trash-" + uid_, "not a folder");
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
  media::WriteFile(twice, "a");
  media::WriteFile(once, "b");
  media::WriteFile(failed, "c");
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

TEST(VolumeTopFolder, IsTheMountPointOfTheFolder) {
  if (!ShmIsAnotherFileSystem("/dev")) GTEST_SKIP() << "/dev/shm is not a file system of its own";
  const std::string folder = "/dev/shm/quorvin-top-test-" + std::to_string(getpid());
  fs::create_directories(folder + "/a/b");
  EXPECT_EQ(VolumeTopFolder(folder + "/a/b"), "/dev/shm");
  EXPECT_EQ(VolumeTopFolder("/dev/shm"), "/dev/shm");
  fs::remove_all(folder);
  EXPECT_EQ(VolumeTopFolder("/"), "/");
  EXPECT_EQ(VolumeTopFolder(folder), "");
}
