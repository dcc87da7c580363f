// Feeds the fuzzer's bytes as a media file to the engine: the input set-up opens them through
// an I/O context over the bytes (no file), and a short conversion of the first second (at most
// a dozen pictures) to small raw pictures and 16-bit sound runs into the null muxer. The
// input's own picture size and sound format are replaced, so the scaler and the resampler are
// always in the path. Failures of the input or of the conversion are FFMpegException; a crash,
// a hang, a sanitizer report, a leak or any other exception is a fault.
//
// Inputs that name other files take the path of files on disk instead: bytes that begin like
// an HLS playlist ("#EXTM3U"), a concatenation list ("ffconcat") or hold a script call
// ("DirectShowSource") are written, up to their first NUL byte, as "in.m3u8", "in.mp4" or
// "in.avs" into a private folder, and the bytes after the NUL as the media file "seg.ts" beside
// them. The folder also holds a pipe without a writer ("fifo.ts"), a link to an endless device
// ("zero.ts" to /dev/zero) and a link to the list itself ("self.ts"), which such inputs may
// name: an open that waits on the pipe or reads the device without end is a hang, a fault.
// A script is only opened, not converted: FFmpeg 5.1's filter library aborts on an assertion
// (avfilter.c: !link->status_in) when the script's filter graph reads some damaged sources.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "Binding.h"
#include "EngineDoor.h"

namespace {

struct Bytes {
  const uint8_t* data;
  int64_t size;
  int64_t pos;
};

int ReadBytes(void* opaque, uint8_t* buf, int buf_size) {
  auto* in = static_cast<Bytes*>(opaque);
  const int64_t n = std::min<int64_t>(buf_size, in->size - in->pos);
  if (n <= 0) return AVERROR_EOF;
  std::memcpy(buf, in->data + in->pos, static_cast<size_t>(n));
  in->pos += n;
  return static_cast<int>(n);
}

int64_t SeekBytes(void* opaque, int64_t offset, int whence) {
  auto* in = static_cast<Bytes*>(opaque);
  int64_t target;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      return in->size;
    case SEEK_SET:
      target = offset;
      break;
    case SEEK_CUR:
      if (__builtin_add_overflow(in->pos, offset, &target)) return AVERROR(EINVAL);
      break;
    case SEEK_END:
      if (__builtin_add_overflow(in->size, offset, &target)) return AVERROR(EINVAL);
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (target < 0 || target > in->size) return AVERROR(EINVAL);
  in->pos = target;
  return target;
}

void Convert(const std::string& file_name, AVIOContext* io, bool open_only = false) {
  TEngineDoor engine;
  engine.ResetEngine();
  engine.SetVerbosity(-1);
  engine.OpenInputFile(file_name, io);
  if (open_only) return;

  engine.Options.FrameWidth = 64;
  engine.Options.FrameHeight = 48;
  engine.Options.FramePixFmt = AV_PIX_FMT_YUV420P;
  engine.Options.VideoCodecName = "rawvideo";
  engine.Options.AudioSampleRate = 22050;
  engine.Options.AudioChannels = 1;
  engine.Options.AudioCodecName = "pcm_s16le";
  engine.Options.SubtitleCodecName = "ass";
  engine.Options.RecordingTimeUs = 1000000;
  engine.Options.MaxFrames[0] = 12;
  engine.SetOutputFormat("null");
  if (!engine.OpenOutputFile("fuzz-output")) throw FFMpegException(engine.LastErrorText);
  engine.Transcode();
}

// The private folder of the nested inputs with its special files, made once per process.
const std::string& NestedFolder() {
  static const std::string folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quorvin-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    const std::string dir = pattern + "/";
    if (mkfifo((dir + "fifo.ts").c_str(), 0600) != 0) std::abort();
    if (symlink("/dev/zero", (dir + "zero.ts").c_str()) != 0) std::abort();
    for (const char* list : {"in.m3u8", "in.mp4", "in.avs"})
      if (symlink(list, (dir + "self" + std::string(list).substr(2)).c_str()) != 0) std::abort();
    // Removed at exit; the name is kept where no destructor reaches it before then.
    static char made[4096];
    std::snprintf(made, sizeof made, "%s", dir.c_str());
    std::atexit([] { std::filesystem::remove_all(made); });
    return dir;
  }();
  return folder;
}

void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
  std::fclose(out);
}

// The name of the list that DATA is, or "" when it is no list (see the top of this file).
const char* NestedListName(std::string_view text) {
  if (text.starts_with("#EXTM3U")) return "in.m3u8";
  if (text.starts_with("ffconcat")) return "in.mp4";
  if (text.find("DirectShowSource") != std::string_view::npos) return "in.avs";
  return nullptr;
}

void ConvertNested(const uint8_t* data, size_t size, const char* list_name) {
  const std::string& dir = NestedFolder();
  const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t text_size = nul ? static_cast<size_t>(nul - data) : size;
  WriteBytes(dir + list_name, data, text_size);
  WriteBytes(dir + "seg.ts", nul ? nul + 1 : data, nul ? size - text_size - 1 : 0);
  // Relative names in a script are taken from the working folder.
  const int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (cwd < 0 || chdir(dir.c_str()) != 0) std::abort();
  try {
    Convert(dir + list_name, nullptr, std::string_view(list_name).ends_with(".avs"));
  } catch (const FFMpegException&) {
  }
  if (fchdir(cwd) != 0) std::abort();
  close(cwd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    std::string error;
    LoadLibraries("", true, error);
    av_log_set_level(AV_LOG_QUIET);
    // Damaged headers may ask the libraries for any amount of memory; they get an
    // allocation failure above this, as on a machine with little memory.
    av_max_alloc(256 << 20);
    return true;
  }();
  (void)ready;

  const std::string_view start(reinterpret_cast<const char*>(data), std::min<size_t>(size, 4096));
  if (const char* list_name = NestedListName(start)) {
    ConvertNested(data, size, list_name);
    av_log_set_level(AV_LOG_QUIET);
    return 0;
  }

  Bytes in{data, static_cast<int64_t>(size), 0};
  constexpr int kBufferSize = 4096;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
  if (!buffer) return 0;
  AVIOContext* io = avio_alloc_context(buffer, kBufferSize, 0, &in, ReadBytes, nullptr, SeekBytes);
  if (!io) {
    av_free(buffer);
    return 0;
  }
  try {
    Convert("fuzz-input", io);
  } catch (const FFMpegException&) {
  }
  // The context may have swapped its buffer for a larger one.
  av_freep(&io->buffer);
  avio_context_free(&io);
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}
