#include "OpenErrors.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <vector>

#include "Binding.h"

std::string FormatWithFileName(const char* format, const std::string& file_name) {
  // The formats hold one "%s" and "%%" for a literal "%"; nothing else is interpreted, so a
  // file name with "%" in it is copied as it is.
  std::string text;
  for (const char* p = format; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      text += file_name;
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      text += '%';
      ++p;
    } else {
      text += *p;
    }
  }
  return text;
}

std::string ReadStopText(const TReadGuard& guard, const std::string& file_name) {
  if (const std::string& refused = guard.Refused(); !refused.empty()) {
    // The refusal names the file it is about: the input itself or a file the input names.
    if (refused.rfind(file_name + ": ", 0) == 0) return refused;
    return FormatWithFileName("%s: names ", file_name) + refused;
  }
  if (guard.LimitHit())
    return FormatWithFileName("%s: no media data found in the first ", file_name) +
           std::to_string(guard.Limit >> 20) + " MB (an endless or damaged input)";
  if (guard.StopRequested()) return FormatWithFileName("%s: stopped while opening", file_name);
  return {};
}

std::string ImageNumberErrorText(const std::string& file_name) {
  return FormatWithFileName(
      "%s: Incorrect image filename syntax.\r\nUse '%%d' to specify the image number:\r\n  for "
      "img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n  for img001.jpg, img002.jpg, ..., use "
      "'img%%03d.jpg'.",
      file_name);
}

std::string LibraryErrorText(int err) {
  return ErrorText(err);
}

std::string OpenErrorText(int err, const std::string& file_name) {
  constexpr const char* kIoError =
      "%s: I/O error occurred\r\nUsually that means that input file is truncated and/or "
      "corrupted.";
  if (err == AVERROR_DEMUXER_NOT_FOUND || err == AVERROR_PROTOCOL_NOT_FOUND)
    return FormatWithFileName("%s: Unknown format", file_name);
  // Damaged data in a file whose content names a known format is a damaged file, not an
  // unknown format.
  if (err == AVERROR_INVALIDDATA)
    return FormatWithFileName(FormatRecognised(file_name) ? kIoError : "%s: Unknown format",
                              file_name);
  if (err == AVERROR(EDOM)) return ImageNumberErrorText(file_name);
  if (err == AVERROR(EINVAL))
    return FormatWithFileName("%s: Error while parsing header", file_name);
  if (err == AVERROR(ENOMEM))
    return FormatWithFileName("%s: memory allocation error occurred", file_name);
  if (err == AVERROR(EIO) || err == AVERROR_EOF) return FormatWithFileName(kIoError, file_name);
  if (err == AVERROR(ENOENT)) return FormatWithFileName("%s: no such file or directory", file_name);
  return FormatWithFileName("%s: Error while opening file", file_name) + " (" +
         LibraryErrorText(err) + ")";
}

bool FormatRecognised(const std::string& file_name) {
  return FormatOfStart(file_name) != nullptr;
}

const AVInputFormat* FormatOfStart(const std::string& file_name) {
  constexpr std::streamsize kProbeBytes = 4096;
  // Looks at regular files only: reading a pipe would wait for a writer.
  struct stat st;
  if (stat(file_name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  std::ifstream in(file_name, std::ios::binary);
  if (!in) return nullptr;
  std::vector<unsigned char> buffer(kProbeBytes + AVPROBE_PADDING_SIZE, 0);
  in.read(reinterpret_cast<char*>(buffer.data()), kProbeBytes);
  const auto size = static_cast<int>(in.gcount());
  if (size <= 0) return nullptr;
  // No file name: only the content counts, not the extension.
  AVProbeData pd{};
  pd.filename = "";
  pd.buf = buffer.data();
  pd.buf_size = size;
  int score = 0;
  const AVInputFormat* format = av_probe_input_format3(&pd, 1, &score);
  return score > AVPROBE_SCORE_RETRY ? format : nullptr;
}

std::string NotARegularFileText(const std::string& file_name) {
  struct stat st;
  // A folder is left to the open, which names it.
  if (stat(file_name.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return {};
  // Pipes and devices cannot be read twice (probe, then conversion) nor sought, and a device
  // such as /dev/zero never ends.
  const char* what = S_ISFIFO(st.st_mode)   ? "a pipe"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "a device";
  return file_name + ": " + what + ", not a regular file; only regular files can be converted";
}
