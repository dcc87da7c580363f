#include "FFmpegException.h"

#include <cstdio>

extern "C" {
#include <libavutil/error.h>
}

FFMpegException FFMpegException::FromLibrary(const std::string& what, int library_error,
                                             std::string file_name) {
  return FFMpegException(WithLibraryText(what, library_error), library_error, std::move(file_name));
}

std::string WithLibraryText(const std::string& what, int av_error) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(av_error, buf, sizeof buf) < 0)
    std::snprintf(buf, sizeof buf, "error %d", av_error);
  return what + ": " + buf;
}
