// Binding to the codec libraries (libavcodec, libavformat, libavutil, libswscale, libswresample).
// The libraries are linked directly; LoadLibraries checks once per process that the libraries
// found at run time are the generation the program was built with and installs the libraries'
// log callback. libavfilter and libavdevice are loaded when first needed (FilterLibrary.h). Also
// the small utility functions the engine shares.
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

// Forgets the binding and restores the libraries' default log callback and log level.
void UnloadAll();

// Library log lines are filtered before they are formatted: a line passes when its level is
// within the level of the thread that logged it (TThreadLogLevel), or, on a thread without one,
// within the level set by SetLibraryLogLevel. LoadLibraries sets the libraries' own global level
// once, so that it never hides a line a job asks for; nothing changes it afterwards.

// Receives every library log line that passes the filter, already formatted with its
// "[context @ address]" prefix; text may hold a partial line or several lines. Called on
// whatever thread logged. nullptr restores printing to standard error.
void SetLibraryLogSink(void (*sink)(int av_level, const char* text));

// Engine log levels: -1 quiet, 0 error, 1 information, 2 debug, 3 everything. The libraries use
// their own scale (AV_LOG_*); these convert between the two.
int AvLogLevelFromEngine(int engine_level);
int EngineLogLevelFromAv(int av_level);

// Sets the level of library lines logged on threads without a TThreadLogLevel (engine scale).
void SetLibraryLogLevel(int engine_level);
// The engine level last set, or read from the libraries when the binding was made.
int LibraryLogLevel();

// For the life of the object, library lines logged on the calling thread pass when their
// engine level is at most ENGINE_LEVEL (the verbosity of the job the thread works for). Scopes
// nest; the previous level comes back at the end.
class TThreadLogLevel {
 public:
  explicit TThreadLogLevel(int engine_level);
  ~TThreadLogLevel();
  TThreadLogLevel(const TThreadLogLevel&) = delete;
  TThreadLogLevel& operator=(const TThreadLogLevel&) = delete;

 private:
  int previous_;
};

// Text of a library or system error code, e.g. "No such file or directory".
std::string ErrorText(int av_error);
