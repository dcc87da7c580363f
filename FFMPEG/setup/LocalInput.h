// The rules for every file a reader opens: the input itself, a script's source, a playlist's
// entries and any other file a demuxer opens on its own. Only regular local files are read:
//  - names reach the library as "file:" URLs, so that no colon in a name selects a protocol;
//  - the format context allows the "file" protocol only (its nested contexts inherit that);
//  - every file the demuxer opens goes through a checked open that looks at it (stat) first and
//    refuses pipes, devices, sockets and anything that is not a local file, so that an open
//    never waits on a pipe without a writer nor reads an endless device; the refusal names the
//    file and ends the reads (TReadGuard::Refuse);
//  - demuxers that read lists of other files through opens no checked open sees ("concat",
//    and the DASH and IMF manifests) are not used at all, and an HLS playlist is read only under
//    a playlist's own name (".m3u8", ".m3u"): a file named like a video is never a list that
//    pulls in other files;
//  - a local HLS media playlist without its end tag (a live list, as a recorder leaves it) is
//    read as complete: its segments are converted and the run ends, instead of waiting for
//    the list to grow.
// The files opened are noted in the reader's guard (TReadGuard::NoteRead).
#pragma once

#include <string>

#include "ReadGuard.h"

extern "C" {
#include <libavformat/avformat.h>
}

// "file:" + PATH.
std::string LocalFileUrl(const std::string& path);

// Applies the rules to IC before it opens FILE_NAME (the name as the user gave it). IC's
// interrupt callback must already be a TReadGuard's (the checked open keeps its notes there).
// Returns 0 or an AVERROR code.
int ApplyLocalInputRules(AVFormatContext* ic, const std::string& file_name);

// After an open of FILE_NAME failed with ERR: the reason in words when the rules caused it (the
// guard refused a file, or the file is a list that is not read), else "".
std::string LocalInputRefusalText(int err, const std::string& file_name, const TReadGuard& guard);

// True when the format FORMAT opens further files of its own (a playlist): such a file cannot
// be the source of a script, whose source the filter library opens without these rules.
bool ReadsOtherFiles(const AVInputFormat* format);
