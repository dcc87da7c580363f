// Feeds the fuzzer's bytes as a media file to the engine: the input set-up opens them through
// an I/O context over the bytes (no file), and a short conversion of the first second (at most
// a dozen pictures) to small raw pictures and 16-bit sound runs into the null muxer. The
// input's own picture size and sound format are replaced, so the scaler and the resampler are
// always in the path. Failures of the input or of the conversion are FFMpegException; a crash,
// a hang, a sanitizer report, a leak or any other exception is a fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "Binding.h"
#include "FFmpeg.h"

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

void Convert(AVIOContext* io) {
  TCustomFFmpeg engine;
  engine.ResetEngine();
  engine.SetVerbosity(-1);
  // Inputs that name other resources (playlists, concatenation lists, references in a
  // container) must not reach the file system or the network from here.
  engine.SetGenericOption("protocol_whitelist", "none");
  engine.OpenInputFile("fuzz-input", io);

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
    Convert(io);
  } catch (const FFMpegException&) {
  }
  // The context may have swapped its buffer for a larger one.
  av_freep(&io->buffer);
  avio_context_free(&io);
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}
