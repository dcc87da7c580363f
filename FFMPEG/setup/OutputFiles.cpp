#include "OutputFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/opt.h>
}

#include "FFmpegException.h"
#include "OpenErrors.h"

namespace {

std::string SystemErrorText(int err) {
  return std::strerror(err);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The reason for ERR on a file in the folder of FINAL_PATH; a missing file whose folder is gone
// too is told as such.
std::string FileErrorText(int err, const std::string& final_path) {
  struct stat folder;
  if (err == ENOENT && stat(FolderOf(final_path).c_str(), &folder) != 0)
    return "the output folder has been deleted";
  return SystemErrorText(err);
}

// Points the context's name at PATH, so that muxers that reopen their file by name (an MP4
// with its index moved to the front) and the log name the file that is really written.
void SetUrl(AVFormatContext* oc, const std::string& path) {
  char* copy = av_strdup(path.c_str());
  if (!copy) return;
  av_free(oc->url);
  oc->url = copy;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Moves FROM to TO unless TO exists. Falls back to a hard link where the file system has no
// such rename.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (link(from.c_str(), to.c_str()) != 0) return -1;
  unlink(from.c_str());
  return 0;
}

// True when PATH is a file that the job's inputs read.
bool IsReadFile(const TFileSet& files, const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  const TFileId id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  for (const TFileId& read : files.ReadFiles)
    if (read == id) return true;
  return false;
}

// Why the temporary file PART could not be opened again at the end of the run.
std::string MissingPartText(int err, const std::string& part, const std::string& final_path) {
  if (err != ENOENT) return FileErrorText(err, final_path);
  struct stat folder;
  if (stat(FolderOf(final_path).c_str(), &folder) != 0)
    return "the output folder has been deleted or moved";
  return "its temporary file " + part + " was deleted during the conversion";
}

// FINAL_PATH with "-N" before its extension.
std::string NumberedName(const std::string& final_path, int n) {
  const size_t slash = final_path.rfind('/');
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = final_path.rfind('.');
  if (dot == std::string::npos || dot <= name_start) dot = final_path.size();
  return final_path.substr(0, dot) + "-" + std::to_string(n) + final_path.substr(dot);
}

// Gives PART its final name: FINAL_PATH, or when that name is taken (by a file the job reads,
// or by any file unless REPLACE_EXISTING) the first free numbered name, taken atomically so that
// another run writing into the same folder never loses its work or ours. Returns the name, with
// WHY_OTHER_NAME saying why it is not FINAL_PATH; "" with errno set on failure.
std::string TakeFinalName(const TFileSet& files, const std::string& part,
                          const std::string& final_path, bool replace_existing,
                          std::string& why_other_name) {
  const bool read_by_job = IsReadFile(files, final_path);
  if (read_by_job) {
    why_other_name = final_path + " is a file this conversion reads";
  } else if (replace_existing) {
    if (std::rename(part.c_str(), final_path.c_str()) == 0) return final_path;
    return {};
  } else {
    if (RenameNoReplace(part, final_path) == 0) return final_path;
    if (errno != EEXIST) return {};
    why_other_name = "a file named " + final_path + " appeared during the conversion";
  }
  for (int n = 1; n < 100000; ++n) {
    const std::string candidate = NumberedName(final_path, n);
    if (RenameNoReplace(part, candidate) == 0) return candidate;
    if (errno != EEXIST) return {};
  }
  errno = EEXIST;
  return {};
}

// Why an output of SIZE bytes is not kept under a limit of LIMIT bytes.
std::string OverSizeLimitText(int64_t size, int64_t limit) {
  return "the output (" + std::to_string(size) + " bytes) is larger than its target size (" +
         std::to_string(limit) + " bytes)";
}

}  // namespace

std::string PartFileName(const std::string& final_path, int attempt) {
  const size_t slash = final_path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : final_path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
  const std::string number = attempt > 0 ? std::string(".").append(std::to_string(attempt)) : "";
  const std::string suffix = number + ".quorvin-part";
  // A final name near the file system's limit still gets a temporary name: the name is cut
  // (at a character boundary of UTF-8 text); the O_EXCL open makes a shortened name unique.
  constexpr size_t kNameMax = NAME_MAX;
  if (1 + name.size() + suffix.size() > kNameMax) {
    size_t keep = kNameMax - 1 - suffix.size();
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    name.resize(keep);
  }
  return folder + "." + name + suffix;
}

std::string OutputPlaceError(const std::string& file_name) {
  const std::string folder = FolderOf(file_name);
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return SystemErrorText(errno);
  if (!S_ISDIR(st.st_mode)) return SystemErrorText(ENOTDIR);
  if (access(folder.c_str(), W_OK | X_OK) != 0) return SystemErrorText(errno);
  if (stat(file_name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return SystemErrorText(EISDIR);
  return {};
}

void OpenOutputFilesForWriting(TFileSet& files) {
  for (int i = 0; i < files.OutputFileCount; ++i) {
    AVFormatContext* oc = files.OutputFiles[i].get();
    const std::string& final_path = files.OutputPaths[i];
    if (!oc || final_path.empty() || oc->pb || !files.OutputPartPaths[i].empty()) continue;
    auto fail = [&final_path](int err) {
      throw FFMpegException("Could not open '" + final_path + "' (" +
                            FileErrorText(err, final_path) + ")");
    };
    // O_EXCL: the temporary file is always a new one, never a file someone else uses.
    std::string part;
    for (int attempt = 0; part.empty(); ++attempt) {
      const std::string candidate = PartFileName(final_path, attempt);
      const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        close(fd);
        part = candidate;
      } else if (errno != EEXIST || attempt >= 99) {
        fail(errno);
      }
    }
    // "file:" so that a name with a colon is never taken for another protocol; muxers that open
    // their file again by name (an MP4 with its index moved to the front) get the same URL and
    // the file protocol only.
    const std::string url = "file:" + part;
    const int ret = avio_open2(&oc->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
    if (ret < 0) {
      unlink(part.c_str());
      throw FFMpegException("Could not open '" + final_path + "' (" + LibraryErrorText(ret) + ")");
    }
    files.OutputPartPaths[i] = part;
    files.OutputFolderFds[i] =
        open(FolderOf(part).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);  // -1: none
    SetUrl(oc, url);
    av_opt_set(oc, "protocol_whitelist", "file", 0);
  }
}

std::string CommitOutputFiles(TFileSet& files, bool replace_existing, int64_t size_limit) {
  std::string notes;
  for (int i = 0; i < files.OutputFileCount; ++i) {
    AVFormatContext* oc = files.OutputFiles[i].get();
    const std::string part = files.OutputPartPaths[i];
    const std::string& final_path = files.OutputPaths[i];
    if (!oc || part.empty()) continue;
    auto fail = [&final_path](const std::string& why) {
      throw FFMpegException("Could not write '" + final_path + "' (" + why + ")");
    };
    if (oc->pb) {
      avio_flush(oc->pb);
      const int write_error = oc->pb->error;
      const int close_error = avio_closep(&oc->pb);
      if (write_error < 0) fail(LibraryErrorText(write_error));
      if (close_error < 0) fail(LibraryErrorText(close_error));
    }
    // The data reaches the disk before the final name does: after a crash or a power cut a
    // final name never stands for a file with holes.
    const int fd = open(part.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(MissingPartText(errno, part, final_path));
    struct stat written;
    const bool synced = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    const int sync_error = errno;
    const bool stated = fstat(fd, &written) == 0;
    close(fd);
    if (!synced) fail(SystemErrorText(sync_error));
    if (!stated) fail(SystemErrorText(errno));
    if (size_limit > 0 && written.st_size > size_limit)
      throw FFMpegOverSizeException(OverSizeLimitText(written.st_size, size_limit), written.st_size,
                                    size_limit);

    std::string why_other_name;
    const std::string committed =
        TakeFinalName(files, part, final_path, replace_existing, why_other_name);
    if (committed.empty()) fail(FileErrorText(errno, final_path));
    files.OutputPartPaths[i].clear();
    files.OutputPaths[i] = committed;
    SetUrl(oc, committed);
    // The folder may have been removed or replaced meanwhile: the result must be there.
    struct stat result;
    if (stat(committed.c_str(), &result) != 0 || !SameFile(result, written))
      fail("the file is gone from its folder");
    if (!why_other_name.empty())
      notes += (notes.empty() ? "" : "; ") + std::string("saved as ") + committed + " (" +
               why_other_name + ")";
  }
  return notes;
}

std::string OutputWriteErrorText(const TFileSet& files, int index, const std::string& step,
                                 int err) {
  const std::string& final_path = files.OutputPaths[index];
  const std::string& part = files.OutputPartPaths[index];
  if (final_path.empty() || part.empty()) return WithLibraryText(step, err);
  struct stat st;
  std::string why;
  if (stat(part.c_str(), &st) != 0 && errno == ENOENT)
    why = MissingPartText(ENOENT, part, final_path);
  else
    why = WithLibraryText(step, err);
  return "Could not write '" + final_path + "' (" + why + ")";
}

std::string PassLogBase(const std::string& final_path) {
  const size_t slash = final_path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : final_path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
  return folder + "." + name + ".quorvin-pass";
}

std::string X264StatsFileName(const std::string& pass_log_base) {
  return pass_log_base + "-x264.log";
}

void RemovePassLogFiles(const std::string& pass_log_base) {
  // The engine numbers its logs by output stream; a file has at most a few streams.
  for (int stream = 0; stream < 16; ++stream)
    std::remove((pass_log_base + "-" + std::to_string(stream) + ".log").c_str());
  const std::string x264 = X264StatsFileName(pass_log_base);
  for (const char* suffix : {"", ".temp", ".mbtree", ".mbtree.temp"})
    std::remove((x264 + suffix).c_str());
}
