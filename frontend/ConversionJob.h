// Per-row job set-up of the conversion queue, shared by the desktop front end and
// quorvin-convert: output naming, the script route for RealMedia sources, the aspect and
// duration rules, and filling the option records of one job in the queue's order.
// No widget code: the caller passes the row texts and the settings model.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "OptionRecords.h"
#include "ProbeColumns.h"

class TCustomJobComponent;
struct TMainSettings;

// Tells whether a path is already promised to another job of the same run.
using TReservedPath = std::function<bool(const std::string& path)>;

// The reason both front ends give for a job that ended before the end of its input without an
// error and without a stop request: never a success, and never a failure without a reason.
inline constexpr char kEndedEarlyReason[] = "the conversion ended before the end of the input";

// The rows of a run by how they ended, as both front ends tell them at the run's end.
struct TRunCounts {
  int done = 0;    // converted in full, those with a note included
  int warned = 0;  // of those done, how many carry a note ("Done, but ...")
  int failed = 0;
  int aborted = 0;
  // Rows a run left for later (the window's Stop After Current); not among `rows`.
  int not_started = 0;
  // Every row was done without a note and none was left: the end is told without counts.
  bool AllClean(int rows) const { return done == rows && warned == 0 && not_started == 0; }
};

// "2 done (1 with a warning), 1 failed, 0 aborted"; the part in brackets only with a note,
// ", 5 not started" only when rows were left.
std::string RunCountsText(const TRunCounts& counts);

// The output names of one run. A name is taken when it has been promised to a job of the run,
// or when it is (by device and inode, so also through links) a file that an item of the run
// reads: writing there would destroy a source that is still to be converted.
class TRunOutputNames {
 public:
  // `sources`: every file the run's items read, including those queued for later.
  explicit TRunOutputNames(const std::vector<std::string>& sources = {});
  void AddSource(const std::string& path);
  void Promise(const std::string& path);
  bool Taken(const std::string& path) const;
  // Taken() as a TReservedPath; valid while this object lives.
  TReservedPath Reserved() const {
    return [this](const std::string& path) { return Taken(path); };
  }

 private:
  std::set<std::string> promised_;
  std::set<std::pair<uint64_t, uint64_t>> sources_;  // device, inode
};

// The first of base + extension, base + "-1" + extension, base + "-2" + extension, ... that
// does not exist (and is not reserved), where base is `path` without its extension.
std::string UniqueFileName(const std::string& path, const std::string& extension,
                           const TReservedPath& reserved = {});

// The output path of one source: the source's file name with `extension` (".mp4") in
// `output_folder`. With `overwrite` an existing file of that name is replaced; otherwise the
// first free numbered name is taken. The source itself, or a name reserved by another job of
// the run, is never chosen as the output, since writing to it would destroy a file in use:
// that case takes the numbered name.
std::string OutputFilePath(const std::string& output_folder, const std::string& source_path,
                           const std::string& extension, bool overwrite,
                           const TReservedPath& reserved = {});

// The name the output of SOURCE_PATH gets in OUTPUT_FOLDER with the settings' format when no
// numbering is needed: the source's file name with the format's extension in lower case.
std::string PlainOutputPath(const std::string& output_folder, const std::string& source_path,
                            const TMainSettings& settings);

// Folder of the scripts written for RealMedia sources, ending in "/": a private folder of this
// process (made with mkdtemp, mode 0700) in the user's temporary folder ($TMPDIR, else /tmp),
// made on first use and removed with its scripts when the program ends. No other user can
// block it or swap a script in it. "" when it cannot be made (errno says why).
std::string TempScriptFolder();

// Deletes every "*.avs" file in TempScriptFolder(); errors are ignored.
void DeleteOldScripts();

// Writes the two-line script through which a ".rmvb" source is opened at a constant 25 frames
// per second, as TempScriptFolder() + "r.avs" (or the next free numbered name), and returns
// its path. `program_folder` is the folder of the running program (with or without a trailing
// "/"). A source name with a double quote is written in triple quotes; a name that a script
// cannot hold (a line break, three double quotes, a final double quote) is refused. Throws
// std::runtime_error naming the script or the source when it cannot be written.
std::string WriteRmvbScript(const std::string& source_path, const std::string& program_folder);

// Aspect-ratio choices of the aspect list, in list order.
enum class AspectChoice { kNone = -1, kOriginal = 0, k4x3 = 1, k16x9 = 2 };

// The ratio of a row's "Video Size" text ("720x576" gives "1.25"): width / height rounded to
// four decimals, written in the shortest form with a point. An empty text counts as 640x480;
// a text that does not read as two positive numbers gives "1.3333".
std::string AspectRatioFromVideoSize(const std::string& video_size_text);

// A display aspect as the aspect option takes it: rounded to four decimals, in the shortest
// form with a point (1.7778); "" for a ratio that is not positive.
std::string AspectRatioText(double ratio);

// Writes the aspect rule into `options.AspectRatio`: "4:3", "16:9", nothing for kNone, and for
// kOriginal the source's shape: `display_aspect` (width x sample aspect / height, so a 16:9
// DVD stored as 720x576 stays 16:9) when known (> 0), else the ratio of the row's Video Size.
void ApplyAspectRule(AspectChoice choice, const std::string& video_size_text,
                     TOutputOptions& options, double display_aspect = 0);

// Zoom setting "LetterBox": fits the picture inside the frame size of `options` (FrameSize,
// "WxH") keeping its display aspect, with black bars and square pixels. The display aspect is
// the aspect rule's value in `options.AspectRatio` when set, else the ratio of the row's Video
// Size. FrameSize becomes the picture's size inside the bars, the pad fields the bars, and
// AspectRatio the frame's ratio. Without a frame size (the source size is kept) nothing
// changes.
void ApplyLetterBox(const std::string& video_size_text, TOutputOptions& options);

// True when the picture codec of `options` can only signal a few shapes and none of them is
// the display aspect in `options.AspectRatio` on its fixed FrameSize: MPEG-1 (its fourteen
// pixel shapes) and MPEG-2 (square pixels, 4:3, 16:9, 2.21:1). Such a picture is padded into
// the frame instead (ApplyLetterBox), since its players would show it squeezed.
bool AspectCodesCannotSay(const TOutputOptions& options);

// Output duration limit for a row's "Duration" text: ten hours in milliseconds for
// "00:00:00" and "Unknown" (so that the progress percentage has a total), else -1 (no limit).
int DurationLimitMs(const std::string& duration_text);

inline constexpr int kTenHoursMs = 36000000;

// The row of the file list that a job is made for: its caption and the probe texts of its
// Video Size and Duration columns.
struct TConversionRow {
  std::string SourcePath;
  std::string VideoSize;
  std::string Duration;
  double DisplayAspect = 0;  // the probe's display aspect of the source; 0 when unknown
  // VideoSize, Duration and DisplayAspect are taken from the job's own opening of the source,
  // not from the row: the command line opens a file once, and a file listed earlier may have
  // been replaced since (a picture of another shape would be stretched to the old one).
  bool ColumnsFromJob = false;
};

// What a job does beyond converting, as the front ends' options set it.
struct TJobExtras {
  // The output is read back after converting (every packet decoded, streams and durations
  // against the source, the device's limits) before it counts as done.
  bool CheckOutput = false;
  // > 0: the output is fitted into this many bytes (video rate chosen from the duration; an
  // output over it is never kept).
  std::int64_t TargetSizeBytes = 0;
};

struct TConversionJobSetup {
  bool Ok = false;
  int Index = -1;          // job index in the component when Ok
  std::string InputPath;   // the source, or the script written for a RealMedia source
  std::string ScriptPath;  // the script, when one was written
  std::string OutputPath;
  std::string Error;  // why the job could not be set up
  // With ColumnsFromJob: the source's columns as the job read them (ok when read), so that a
  // caller that listed the file before can show the file as it is now.
  ProbeColumns SourceColumns;
};

// Sets up one job for `row` on `component`, in the queue's order: the script for ".rmvb"
// sources, the input record (file name, start 0) and AddInputFile; the output path (once the
// input is open, so that no file the input names is chosen; the source name is used byte for
// byte, blanks included); then the output
// record (frame rate, translation and volume from `settings`, the aspect rule of the selected
// aspect item, the ten-hour limit for an unknown duration) and SetOutputFile. The job replaces
// an existing file at its output path only with `overwrite`. On any failure
// the half-made job is removed again, so nothing is left to run, and Error says why.
TConversionJobSetup SetUpConversionJob(TCustomJobComponent& component,
                                       const TMainSettings& settings,
                                       const std::string& output_folder, bool overwrite,
                                       const TConversionRow& row,
                                       const TReservedPath& reserved = {},
                                       const TJobExtras& extras = {});
