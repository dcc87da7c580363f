// Texts for failures to open a media file, shared by the file set-up and the media probe.
#pragma once

#include <string>

#include "ReadGuard.h"

struct AVInputFormat;

// The text for a failed open of FILE_NAME with the library error ERR (an AVERROR code).
// Codes are mapped by meaning: a missing file, an I/O error, no memory, an invalid argument,
// an unrecognised format (no demuxer, or data no demuxer accepts); the "image number" text is
// reached with AVERROR(EDOM). Any other code gives "Error while opening file" with the
// library's own words for the cause.
std::string OpenErrorText(int err, const std::string& file_name);

// The texts with a single file name in them.
std::string FormatWithFileName(const char* format, const std::string& file_name);

// Why the read step of GUARD on FILE_NAME was ended by the guard (a file that FILE_NAME names was
// refused, "no media data found in the first N MB", "stopped while opening"), or "" when it was
// not.
std::string ReadStopText(const TReadGuard& guard, const std::string& file_name);

// The "image number" text that also serves output names without a frame-number pattern.
std::string ImageNumberErrorText(const std::string& file_name);

// The library's description of ERR ("No such file or directory", ...).
std::string LibraryErrorText(int err);

// When an open failed with AVERROR_INVALIDDATA: true when some demuxer recognises the start of
// FILE_NAME, i.e. the file is of a known format but truncated or corrupted rather than of an
// unknown format.
bool FormatRecognised(const std::string& file_name);

// The format that the start of the regular file FILE_NAME shows by its content, or null.
const AVInputFormat* FormatOfStart(const std::string& file_name);

// When FILE_NAME names a pipe, a device or a socket, the reason it cannot be converted; empty
// for a regular file, a folder (whose open names it) and a name that does not exist (a URL, or a
// missing file whose open reports the reason). Looks only with stat, so a pipe without a writer or
// an endless device is never opened.
std::string NotARegularFileText(const std::string& file_name);
