// The engine's one exception type: every option, set-up and run-time check of the engine
// raises it with a fixed English message. A failure the library reported carries the library's
// error code, and a failure that concerns one file carries that file's name, so a boundary that
// turns the exception into a result keeps both.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

class FFMpegException : public std::runtime_error {
 public:
  // MESSAGE as it is; LIBRARY_ERROR (an AVERROR code, 0 for none) and FILE_NAME only recorded.
  explicit FFMpegException(const std::string& message, int library_error = 0,
                           std::string file_name = {})
      : std::runtime_error(message),
        library_error_(library_error),
        file_name_(std::move(file_name)) {}

  // "WHAT: the library's text for LIBRARY_ERROR" (see WithLibraryText), with the code recorded.
  static FFMpegException FromLibrary(const std::string& what, int library_error,
                                     std::string file_name = {});

  int LibraryError() const { return library_error_; }
  const std::string& FileName() const { return file_name_; }

 private:
  int library_error_ = 0;
  std::string file_name_;
};

// "WHAT: library error text", e.g. "Video encoding failed: Cannot allocate memory". A code the
// library has no text for reads "error N".
std::string WithLibraryText(const std::string& what, int av_error);
