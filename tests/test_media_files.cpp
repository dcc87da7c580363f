// The shared code of the command line and the window: which files a folder stands for, the
// open dialog's filter built from the same list, and how a reason is shown.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "MediaFiles.h"
#include "MediaUtil.h"
#include "ReasonText.h"

namespace {

// Files as people have them today, in the letter case cameras, recorders and download tools
// give them.
const char* const kTodaysFiles[] = {
    "film.MKV",    "clip.webm", "rec.ts",   "cam.M2TS", "cam.mts",   "song.flac", "talk.opus",
    "tune.Ogg",    "tune.oga",  "show.mka", "take.aif", "take.AIFF", "dvd.ps",    "book.m4b",
    "lossless.wv", "cd.ape",    "memo.amr", "mix.dts",  "mix.eac3",  "old.avi",   "phone.3gp"};

TEST(MediaFilesTest, FolderListsEveryContainerInAnyLetterCase) {
  media::TempDir dir;
  for (const char* name : kTodaysFiles) media::WriteFile(dir.File(name), "x");
  for (const char* other : {"notes.txt", "list.m3u8", "film.srt", "cover.jpg", "mkv", "ts"})
    media::WriteFile(dir.File(other), "x");

  std::vector<std::string> expected;
  for (const char* name : kTodaysFiles) expected.push_back(dir.File(name));
  std::sort(expected.begin(), expected.end(), MediaPathLess);
  EXPECT_EQ(MediaFilesInFolder(dir.Path().string()), expected);
}

// The dialog opens on its first entry: it offers every file any other entry offers, and the
// entries it has always had follow it unchanged.
TEST(MediaFilesTest, FirstDialogEntryOffersEveryFile) {
  const auto types = MediaFileTypes();
  ASSERT_GE(types.size(), 2u);
  EXPECT_EQ(types[0].Description, "All media files");
  EXPECT_EQ(types[1].Description, "All Supported Files");
  std::string first;
  for (char c : types[0].Patterns)
    if (c != ' ') first += c;
  first = ";" + first + ";";
  for (const std::string& pattern : MediaFilePatterns())
    EXPECT_NE(first.find(";" + pattern + ";"), std::string::npos) << pattern;
}

}  // namespace

// A reason written over several lines reads as one line; a line break in a file name it
// quotes stays, for the front end to escape.
TEST(ReasonTextTest, LineBreaksBecomeOneSpaceButNamesKeepTheirs) {
  EXPECT_EQ(ReasonOnOneLine("I/O error occurred\r\nUsually that means a damaged file."),
            "I/O error occurred Usually that means a damaged file.");
  EXPECT_EQ(ReasonOnOneLine("syntax.\r\nUse '%d':\r\n  for img1.jpg\n"),
            "syntax. Use '%d': for img1.jpg");
  const std::string name = "/in/two\r\nlines.avi";
  EXPECT_EQ(ReasonOnOneLine(name + ": I/O error\r\nfor " + name + "\n", {name}),
            name + ": I/O error for " + name);
}
