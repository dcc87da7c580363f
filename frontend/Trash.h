// Moving a converted source into the user's trash, the way desktop file managers keep it, so
// that it can be restored from there: the file goes to `files/NAME` of a trash folder and its
// original place and time to `info/NAME.trashinfo`. A file on the file system of the home trash
// goes there; a file on another file system goes to that volume's own trash, or stays where it
// is. A file is only ever renamed, never copied and deleted.
// Standard library and POSIX only; no widget code.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

// The home trash: $XDG_DATA_HOME/Trash, or $HOME/.local/share/Trash when XDG_DATA_HOME is unset
// or not an absolute path. "" when neither names a home.
std::string HomeTrashFolder();

// How the trash finds a file's volume. Both are replaceable so that a test can pretend that a
// folder of its own is another volume.
struct TTrashVolumes {
  // True when both existing paths are on one file system. Default: the same device number.
  std::function<bool(const std::string& a, const std::string& b)> SameFileSystem;
  // The top folder of the file system that holds the existing folder FOLDER (its mount point).
  // Default: VolumeTopFolder.
  std::function<std::string(const std::string& folder)> TopFolder;
};

// The top folder (mount point) of the file system that holds the existing folder FOLDER: its
// highest ancestor on the same device. "" when FOLDER cannot be read.
std::string VolumeTopFolder(const std::string& folder);

struct TTrashResult {
  bool Ok = false;
  std::string Reason;     // why the file stayed where it is (when !Ok)
  std::string TrashPath;  // where the file now is (when Ok)
};

// Moves the file (or link, not what it points to) at PATH into the trash: the home trash when
// PATH is on its file system, else the volume's $TOP/.Trash/$UID (only when $TOP/.Trash is a
// real folder with the sticky bit) or else $TOP/.Trash-$UID. The .trashinfo is made first, under
// a name no other file of that trash has (NAME, NAME.2, NAME.3, ...), then the file is renamed
// next to it; if the rename fails the .trashinfo is removed again. Its Path is the file's
// absolute path (relative to $TOP in a volume's trash), each byte outside letters, digits and
// "-._~/" written as %XX, so names that are not UTF-8 come back byte for byte; its
// DeletionDate is the local time as YYYY-MM-DDThh:mm:ss.
TTrashResult MoveToTrash(const std::string& path, const TTrashVolumes& volumes = {});

// Which sources of a run may go to the trash, and when. A source can be the input of several
// jobs (the same file listed twice); it moves only after the last of them has ended, and only
// when every one of them ended done and checked. A file is known by device and inode, so two
// names of one file count as one source.
class TSourceTrashPlan {
 public:
  // One job (or a listed file that may fail before its job) that reads SOURCE.
  void AddUse(const std::string& source);

  enum class TStep {
    kWait,  // other uses of the source have not ended yet
    kKeep,  // every use has ended, not every one done and checked: the source stays
    kMove,  // every use has ended done and checked: the source may go to the trash now
  };
  // One use of SOURCE has ended; MAY_MOVE when it ended done and checked, without a note.
  TStep UseEnded(const std::string& source, bool may_move);

  // What both front ends call when a use of SOURCE has ended: DONE when it was converted in
  // full (and checked), NOTED when it carries a note ("Done, but ..."). Ends the use and, when
  // it was the last one and every use was done without a note, moves SOURCE to the trash.
  // Returns what to tell after the use's result: "moved to the trash", "kept (REASON)", or ""
  // when there is nothing to tell (the use failed or was stopped, or other uses are to come).
  std::string AfterUse(const std::string& source, bool done, bool noted,
                       const TTrashVolumes& volumes = {});

 private:
  struct TUses {
    int left = 0;
    bool all_may_move = true;
  };
  // (device, inode), or (0, 0) and the path for a file that cannot be read.
  using TKey = std::pair<std::pair<std::uint64_t, std::uint64_t>, std::string>;
  static TKey KeyOf(const std::string& source);
  std::map<TKey, TUses> uses_;
};
