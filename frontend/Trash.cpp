#include "Trash.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

std::string ErrnoText(int error) {
  return std::strerror(error);
}

// The folder part of PATH ("." for a bare name) and its last part, trailing slashes ignored.
std::pair<std::string, std::string> SplitPath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The canonical form of the existing folder FOLDER, or "" (errno set).
std::string RealFolder(const std::string& folder) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(folder.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

bool DefaultSameFileSystem(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

// PATH itself, or its nearest ancestor that exists: where a folder still to be made would live.
std::string NearestExisting(std::string path) {
  struct stat st;
  while (stat(path.c_str(), &st) != 0 && path != "/" && path != ".") path = SplitPath(path).first;
  return path;
}

// Makes FOLDER and its missing parents with mode 0700. "" when FOLDER is a folder afterwards,
// else why not.
std::string MakeFolders(const std::string& folder) {
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? "" : "\"" + folder + "\" is not a folder";
  }
  const std::string parent = SplitPath(folder).first;
  if (parent != folder) {
    if (std::string problem = MakeFolders(parent); !problem.empty()) return problem;
  }
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return "\"" + folder + "\" cannot be made: " + ErrnoText(errno);
  }
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
             ? ""
             : "\"" + folder + "\" is not a folder";
}

// Makes FOLDER (mode 0700) when missing. True when it is then a folder of this user and not a
// link, so that nobody else can choose where the files put into it end up.
bool OwnFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

// The trash folder of the volume whose top folder is TOP, made if needed; "" when there is none.
std::string VolumeTrashFolder(const std::string& top) {
  const std::string uid = std::to_string(getuid());
  // A shared .Trash counts only when nobody can remove or replace another user's folder in it.
  const std::string shared = Join(top, ".Trash");
  struct stat st;
  if (lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0) {
    const std::string mine = Join(shared, uid);
    if (OwnFolder(mine)) return mine;
  }
  const std::string own = Join(top, ".Trash-" + uid);
  return OwnFolder(own) ? own : "";
}

std::string LocalTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

bool WriteAllTo(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Renames FROM to TO unless TO exists (errno EEXIST then). File systems that cannot refuse to
// replace get a plain rename after a check, which leaves only a short race.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from.c_str(), to.c_str());
}

// The name in the trash of the N-th try (1, 2, ...): NAME, NAME.2, ..., cut so that the
// .trashinfo's name stays within the longest name a folder takes.
std::string TrashName(const std::string& name, int n) {
  const std::string suffix = n == 1 ? "" : "." + std::to_string(n);
  constexpr size_t kLongest = NAME_MAX - (sizeof ".trashinfo" - 1);
  return name.substr(0, kLongest - suffix.size()) + suffix;
}

// PATH with each byte outside letters, digits and "-._~/" written as %XX, as a URI path holds
// any name, UTF-8 or not.
std::string PercentEncodePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       std::strchr("-._~/", c) != nullptr;
    if (plain && c != 0) {
      text += ch;
    } else {
      text += '%';
      text += kHex[c >> 4];
      text += kHex[c & 0xF];
    }
  }
  return text;
}

// Puts the file PATH (named NAME) into TRASH, with INFO_PATH as the .trashinfo's Path value.
TTrashResult MoveInto(const std::string& trash, const std::string& path, const std::string& name,
                      const std::string& info_path) {
  TTrashResult result;
  const std::string files = Join(trash, "files"), info = Join(trash, "info");
  for (const std::string& folder : {files, info}) {
    if (std::string problem = MakeFolders(folder); !problem.empty()) {
      result.Reason = "the trash folder " + problem;
      return result;
    }
  }
  const std::string text = "[Trash Info]\nPath=" + PercentEncodePath(info_path) +
                           "\nDeletionDate=" + LocalTimeText() + "\n";
  for (int n = 1; n <= 10000; ++n) {
    const std::string trash_name = TrashName(name, n);
    const std::string info_file = Join(info, trash_name + ".trashinfo");
    const std::string target = Join(files, trash_name);
    // Creating the .trashinfo exclusively claims the name against other programs doing the same.
    const int fd = open(info_file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      result.Reason = "\"" + info_file + "\" cannot be written: " + ErrnoText(errno);
      return result;
    }
    bool written = WriteAllTo(fd, text);
    int write_error = errno;
    if (close(fd) != 0 && written) {
      written = false;
      write_error = errno;
    }
    if (!written) {
      unlink(info_file.c_str());
      result.Reason = "\"" + info_file + "\" cannot be written: " + ErrnoText(write_error);
      return result;
    }
    if (RenameNoReplace(path, target) == 0) {
      result.Ok = true;
      result.TrashPath = target;
      return result;
    }
    const int rename_error = errno;
    unlink(info_file.c_str());
    // A file of that name without its .trashinfo: try the next name.
    if (rename_error == EEXIST || rename_error == ENOTEMPTY) continue;
    result.Reason = "it cannot be moved to \"" + target + "\": " + ErrnoText(rename_error);
    return result;
  }
  result.Reason = "the trash \"" + trash + "\" has no free name for it";
  return result;
}

}  // namespace

std::string VolumeTopFolder(const std::string& folder) {
  std::string top = RealFolder(folder);
  struct stat st;
  if (top.empty() || stat(top.c_str(), &st) != 0) return "";
  while (top != "/") {
    const std::string parent = SplitPath(top).first;
    struct stat sp;
    if (stat(parent.c_str(), &sp) != 0 || sp.st_dev != st.st_dev) break;
    top = parent;
  }
  return top;
}

std::string HomeTrashFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return Join(data, "Trash");
  const char* home = std::getenv("HOME");
  std::string home_folder = home != nullptr ? home : "";
  if (home_folder.empty()) {
    if (const passwd* user = getpwuid(getuid()); user != nullptr && user->pw_dir != nullptr) {
      home_folder = user->pw_dir;
    }
  }
  if (home_folder.empty() || home_folder[0] != '/') return "";
  return Join(home_folder, ".local/share/Trash");
}

TTrashResult MoveToTrash(const std::string& path, const TTrashVolumes& volumes) {
  TTrashResult result;
  const auto [folder, name] = SplitPath(path);
  struct stat st;
  if (name.empty() || name == "." || name == ".." || lstat(path.c_str(), &st) != 0) {
    result.Reason = "it cannot be found: " + ErrnoText(name.empty() ? ENOENT : errno);
    return result;
  }
  // The real folder, so that the recorded place restores the file whatever links led to it.
  const std::string real_folder = RealFolder(folder);
  if (real_folder.empty()) {
    result.Reason = "its folder cannot be read: " + ErrnoText(errno);
    return result;
  }
  const std::string real_path = Join(real_folder, name);
  const auto same = volumes.SameFileSystem ? volumes.SameFileSystem : DefaultSameFileSystem;
  const std::string home_trash = HomeTrashFolder();
  if (!home_trash.empty() && same(real_folder, NearestExisting(home_trash))) {
    if (std::string problem = MakeFolders(home_trash); !problem.empty()) {
      result.Reason = "the trash folder " + problem;
      return result;
    }
    return MoveInto(home_trash, real_path, name, real_path);
  }
  const auto top_of = volumes.TopFolder ? volumes.TopFolder : VolumeTopFolder;
  const std::string top = top_of(real_folder);
  const std::string trash = top.empty() ? "" : VolumeTrashFolder(top);
  if (trash.empty()) {
    result.Reason = "its file system has no trash this user can use";
    return result;
  }
  // Inside a volume's trash the place is recorded from the volume's top, so that it still
  // holds when the volume is mounted elsewhere.
  std::string relative = real_path;
  if (top != "/" && relative.compare(0, top.size() + 1, top + "/") == 0) {
    relative = relative.substr(top.size() + 1);
  } else if (top == "/") {
    relative = relative.substr(1);
  }
  return MoveInto(trash, real_path, name, relative);
}

TSourceTrashPlan::TKey TSourceTrashPlan::KeyOf(const std::string& source) {
  struct stat st;
  if (stat(source.c_str(), &st) == 0) {
    return {{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)}, ""};
  }
  return {{0, 0}, source};
}

void TSourceTrashPlan::AddUse(const std::string& source) {
  ++uses_[KeyOf(source)].left;
}

TSourceTrashPlan::TStep TSourceTrashPlan::UseEnded(const std::string& source, bool may_move) {
  const auto it = uses_.find(KeyOf(source));
  // Not a source of this plan (or replaced by another file since): nothing may move.
  if (it == uses_.end() || it->second.left <= 0) return TStep::kKeep;
  TUses& uses = it->second;
  --uses.left;
  uses.all_may_move = uses.all_may_move && may_move;
  if (uses.left > 0) return TStep::kWait;
  return uses.all_may_move ? TStep::kMove : TStep::kKeep;
}

std::string TSourceTrashPlan::AfterUse(const std::string& source, bool done, bool noted,
                                       const TTrashVolumes& volumes) {
  const TStep step = UseEnded(source, done && !noted);
  if (!done || step == TStep::kWait) return "";
  if (step == TStep::kKeep) {
    return noted ? "kept (its output has a note)"
                 : "kept (another conversion of it did not end done)";
  }
  const TTrashResult moved = MoveToTrash(source, volumes);
  return moved.Ok ? "moved to the trash" : "kept (" + moved.Reason + ")";
}
