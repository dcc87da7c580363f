// Which files are media files, shared by the desktop program (its open dialog's filter, the
// folders dropped on its list or named on its command line) and quorvin-convert (folders
// named as inputs). No widget code.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

// One entry of the open dialog's filter: a description and its patterns ("*.avi;*.mpeg"),
// separated by ";" with blanks around some of them, as the dialog has always shown them.
struct TMediaFileType {
  std::string_view Description;
  std::string_view Patterns;
};

// The open dialog's filter entries in order; the first, "All media files" (every extension of
// the others and more), is the default.
std::span<const TMediaFileType> MediaFileTypes();

// The patterns of every entry ("*.avi", ...), lower case, blanks removed, each once, in the
// order they first appear.
std::vector<std::string> MediaFilePatterns();

// True when the name (or path) ends in the extension of one of MediaFilePatterns(), in any
// letter case.
bool IsMediaFileName(std::string_view name);

// The media files inside FOLDER and its subfolders, as paths beginning with FOLDER: readable
// regular files whose name IsMediaFileName. Hidden files and folders (a leading ".", such as
// the converter's own unfinished ".NAME.quorvin-part" outputs) are skipped; symbolic links are
// followed, each folder is read once, so a link back up the tree ends nothing. Sorted by path,
// letters in any case, digit runs by their value ("clip2" before "clip10"). Folders that cannot
// be read are skipped.
std::vector<std::string> MediaFilesInFolder(const std::string& folder);

// The order of MediaFilesInFolder: true when path A comes before path B.
bool MediaPathLess(std::string_view a, std::string_view b);
