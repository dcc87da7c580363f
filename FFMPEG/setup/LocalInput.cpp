#include "LocalInput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "OpenErrors.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/base64.h>
#include <libavutil/opt.h>
}

namespace {

bool EndsWithNoCase(const std::string& text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  return strncasecmp(text.c_str() + text.size() - suffix.size(), suffix.data(), suffix.size()) == 0;
}

// A list of other files under a playlist's own name: the user chose to convert a playlist.
bool HasPlaylistName(const std::string& file_name) {
  return EndsWithNoCase(file_name, ".m3u8") || EndsWithNoCase(file_name, ".m3u");
}

bool NameIs(const AVInputFormat* format, const char* name) {
  return format && av_match_name(name, format->name);
}

// Demuxers that read other files through opens the checked open never sees (concat opens each
// entry with a context of its own), or whose manifests nobody converts with this program.
bool NeverRead(const AVInputFormat* format) {
  return NameIs(format, "concat") || NameIs(format, "dash") || NameIs(format, "imf");
}

// Every demuxer the rules allow for FILE_NAME, as a format whitelist.
std::string FormatWhitelist(const std::string& file_name) {
  const bool playlist = HasPlaylistName(file_name);
  std::string list;
  void* it = nullptr;
  while (const AVInputFormat* format = av_demuxer_iterate(&it)) {
    if (NeverRead(format) || (NameIs(format, "hls") && !playlist)) continue;
    if (!list.empty()) list += ',';
    list += format->name;
  }
  return list;
}

// Largest playlist that is read whole to be completed (a list of some 100,000 segments).
constexpr off_t kLargestCompletedList = off_t{8} << 20;

// The whole of the regular file PATH of SIZE bytes, or false when it cannot be read.
bool ReadWhole(const std::string& path, off_t size, std::string& text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text.assign(static_cast<size_t>(size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  text.resize(got);
  return true;
}

// A playlist without an end tag is a live list: the demuxer starts a few segments before its
// end and then waits for it to grow, reloading it for many minutes. A local file does not grow
// while it is converted, so a list that names segments (a media playlist) and lacks the end tag
// gets it appended: the demuxer converts every segment it names and ends. Returns the completed
// text, or "" when the file is no such list (then it is read as it stands).
std::string CompletedLiveList(const std::string& path, off_t size) {
  if (size > kLargestCompletedList) return {};
  std::string text;
  if (!ReadWhole(path, size, text)) return {};
  if (!text.starts_with("#EXTM3U") || text.find("#EXTINF") == std::string::npos ||
      text.find("#EXT-X-ENDLIST") != std::string::npos)
    return {};
  if (text.back() != '\n') text += '\n';
  return text + "#EXT-X-ENDLIST\n";
}

// TEXT as a "data:" URL, which the library's data protocol reads back byte for byte.
std::string DataUrl(const std::string& text) {
  std::string url = "data:text/plain;base64,";
  const size_t start = url.size();
  url.resize(start + AV_BASE64_SIZE(text.size()));
  av_base64_encode(url.data() + start, static_cast<int>(url.size() - start),
                   reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
  url.resize(start + std::strlen(url.c_str() + start));
  return url;
}

// True when URL begins with a protocol name ("http:", "pipe:"), as the library reads it.
bool HasProtocol(const std::string& url) {
  const size_t end =
      url.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.,");
  return end != std::string::npos && end > 0 && url[end] == ':';
}

// The io_open of every context under the rules; see LocalInput.h.
int CheckedOpen(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                AVDictionary** options) {
  TReadGuard* guard = TReadGuard::Of(s->interrupt_callback);
  const std::string name = url ? url : "";
  auto refuse = [guard](const std::string& why) {
    if (guard) guard->Refuse(why);
    return AVERROR(EPERM);
  };
  if (guard && guard->StopRequested()) return AVERROR_EXIT;
  std::string path = name;
  if (name.rfind("file:", 0) == 0)
    path = name.substr(5);
  else if (HasProtocol(name))
    return refuse(name + ": not a local file; only local files can be converted");
  if (flags & AVIO_FLAG_WRITE) return refuse(path + ": an input may not write files");

  struct stat st;
  if (stat(path.c_str(), &st) != 0) return AVERROR(errno);
  if (S_ISDIR(st.st_mode)) return AVERROR(EISDIR);
  if (!S_ISREG(st.st_mode)) return refuse(NotARegularFileText(path));

  AVDictionary* opts = nullptr;
  if (options && av_dict_copy(&opts, *options, 0) < 0) {
    av_dict_free(&opts);
    return AVERROR(ENOMEM);
  }
  // A live list is read from memory, completed; its segments are opened by name as before.
  const std::string completed =
      HasPlaylistName(path) ? CompletedLiveList(path, st.st_size) : std::string();
  const std::string opened = completed.empty() ? LocalFileUrl(path) : DataUrl(completed);
  av_dict_set(&opts, "protocol_whitelist", completed.empty() ? "file" : "data", 0);
  const int ret = avio_open2(pb, opened.c_str(), flags, &s->interrupt_callback, &opts);
  // What the protocol did not take goes back to the caller, as with the library's own open.
  if (options) {
    av_dict_free(options);
    *options = opts;
  } else {
    av_dict_free(&opts);
  }
  if (ret >= 0 && guard)
    guard->NoteRead(TFileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
  return ret;
}

}  // namespace

std::string LocalFileUrl(const std::string& path) {
  return "file:" + path;
}

int ApplyLocalInputRules(AVFormatContext* ic, const std::string& file_name) {
  int ret = av_opt_set(ic, "protocol_whitelist", "file", 0);
  if (ret >= 0) ret = av_opt_set(ic, "format_whitelist", FormatWhitelist(file_name).c_str(), 0);
  if (ret < 0) return ret;
  ic->io_open = &CheckedOpen;
  return 0;
}

std::string LocalInputRefusalText(int err, const std::string& file_name, const TReadGuard& guard) {
  if (!guard.Refused().empty()) return ReadStopText(guard, file_name);
  // A demuxer refused by the format whitelist makes the open fail with EINVAL.
  if (err != AVERROR(EINVAL)) return {};
  const AVInputFormat* format = FormatOfStart(file_name);
  if (NeverRead(format))
    return FormatWithFileName("%s: a list of other files (", file_name) + format->name +
           "); such lists are not converted";
  if (NameIs(format, "hls") && !HasPlaylistName(file_name))
    return FormatWithFileName(
        "%s: an HLS playlist under a media file's name; a playlist is read only under its own "
        "name (.m3u8)",
        file_name);
  return {};
}

bool ReadsOtherFiles(const AVInputFormat* format) {
  return NeverRead(format) || NameIs(format, "hls");
}
