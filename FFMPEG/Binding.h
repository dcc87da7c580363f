// Binding to the codec libraries (libavcodec, libavformat, libavutil, libswscale, libswresample,
// libavfilter). The libraries are linked directly; LoadLibraries checks once per process that the
// libraries found at run time are the generation the program was built with and installs the
// libraries' log callback. Also the small utility functions the engine shares.
#pragma once

#include <cstdint>
#include <string>

// Checks the libraries and installs the log callback; later calls return true at once. Folder
// and VersionedNames only shape the file names in messages: the libraries are found by the
// program's run path (a copy bundled in <program>/Common is preferred). On failure returns
// false and sets error_text, e.g. "Load libraray libavcodec.so.59 error: ...".
bool LoadLibraries(const std::string& folder, bool versioned_names, std::string& error_text);

// Folder of the running program, with a trailing "/" ("./" when it cannot be found). Bundled
// libraries live in its "Common" folder; statistics files and scripts are named after it.
std::string ProgramFolder();

// True once LoadLibraries succeeded (and UnloadAll has not run since).
bool LibrariesLoaded();

enum class TLibrary { avcodec, avformat, avutil, swscale, swresample, avfilter };
bool Bound(TLibrary library);

// Forgets the binding and restores the libraries' default log callback.
void UnloadAll();

// Receives every library log line that passes the current library log level, already formatted
// with its "[context @ address]" prefix; text may hold a partial line or several lines. Called
// on whatever thread logged. nullptr restores printing to standard error.
void SetLibraryLogSink(void (*sink)(int av_level, const char* text));

// Engine log levels: -1 quiet, 0 error, 1 information, 2 debug, 3 everything. The libraries use
// their own scale (AV_LOG_*); these convert between the two.
int AvLogLevelFromEngine(int engine_level);
int EngineLogLevelFromAv(int av_level);

// Sets the libraries' log level from an engine level and caches it (see CachedLibraryLogLevel).
void SetLibraryLogLevel(int engine_level);
// The engine level last set, or read from the libraries when the binding was made.
int CachedLibraryLogLevel();

// Text of a library or system error code, e.g. "No such file or directory".
std::string ErrorText(int av_error);
