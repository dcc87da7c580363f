// Output files of a run. An output file is created only when its run starts, under a hidden
// temporary name beside the final one (PartFileName), and takes its final name only when the run
// has ended well or has been stopped and its file finalised. A run that fails removes its
// unfinished file (TFileSet::Release), and a killed process leaves at most the temporary files
// of its running jobs, which no naming rule counts as outputs.
#pragma once

#include <cstdint>
#include <string>

#include "FFmpegException.h"
#include "FileSet.h"

// The temporary name of FINAL_PATH: ".NAME.quorvin-part" in the same folder (attempt 0), or
// ".NAME.ATTEMPT.quorvin-part" when that name is in use.
std::string PartFileName(const std::string& final_path, int attempt = 0);

// Why no output can be created at FILE_NAME, without creating anything: the folder is missing,
// is no folder or takes no files, or the name is a folder. Empty when it can.
std::string OutputPlaceError(const std::string& file_name);

// A finished output larger than its run's size limit: it was not kept. Carries both sizes, so
// that the job can encode again at a lower rate.
class FFMpegOverSizeException : public FFMpegException {
 public:
  FFMpegOverSizeException(const std::string& message, int64_t size, int64_t limit)
      : FFMpegException(message), size_(size), limit_(limit) {}
  int64_t Size() const { return size_; }
  int64_t Limit() const { return limit_; }

 private:
  int64_t size_;
  int64_t limit_;
};

// The statistics of a two-pass encoding of FINAL_PATH live beside its part file, under the base
// name ".NAME.quorvin-pass" that the engine's "passlogfile" takes: the engine writes BASE-N.log
// for its output stream N, x264 its own files under X264StatsFileName(BASE).
std::string PassLogBase(const std::string& final_path);
std::string X264StatsFileName(const std::string& pass_log_base);
// Removes every file the passes may have written under PASS_LOG_BASE; errors are ignored.
void RemovePassLogFiles(const std::string& pass_log_base);

// Creates the file of every output prepared by file set-up under its temporary name and opens
// it for writing. Failures raise FFMpegException with the system's reason.
void OpenOutputFilesForWriting(TFileSet& files);

// Closes every output created by OpenOutputFilesForWriting, checks that all of it was written,
// and gives it its final name. A file of that name is replaced only when REPLACE_EXISTING is set
// and never when the job reads it; otherwise the output takes the first free numbered name
// ("a-1.mp4"), atomically, so that a finished conversion is never discarded because of a name.
// OutputPaths then holds the names taken. Returns a note for the user when a name other than
// the planned one was taken, else "". Failures raise FFMpegException; releasing the file set then
// removes the unfinished file. With SIZE_LIMIT > 0 an output larger than that many bytes fails
// the same way before it takes its final name, so an output over its target is never kept.
std::string CommitOutputFiles(TFileSet& files, bool replace_existing, int64_t size_limit = 0);

// The text for a failed write of output INDEX during its run (STEP names the library call,
// ERR is its error): names the file, and says when its temporary file or its folder went
// missing during the run.
std::string OutputWriteErrorText(const TFileSet& files, int index, const std::string& step,
                                 int err);
