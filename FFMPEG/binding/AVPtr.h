// Owning holders for the FFmpeg objects the engine creates. Each holder releases its object with
// the library's own free function, so an object is freed exactly once on every path, including
// error paths. Holders are moved, never copied.
//
// Input and output format contexts are released differently: an input is closed with
// avformat_close_input (which also closes its I/O context); an output first closes its file
// (avio_closep, only when the format writes a file) and then frees the context.
#pragma once

#include <cstdio>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "FilterLibrary.h"  // FreeFilterGraph

namespace avptr_detail {

// Releases an object with a library function that takes the object (sws_freeContext, ...).
template <auto Free>
struct FreeWith {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};

// Releases an object with a library function that takes the address of the caller's pointer and
// clears it (avcodec_free_context, av_frame_free, ...).
template <auto Free>
struct FreeThroughAddress {
  template <typename T>
  void operator()(T* object) const {
    Free(&object);
  }
};

struct OutputFormatDeleter {
  void operator()(AVFormatContext* ctx) const {
    if (ctx->oformat && !(ctx->oformat->flags & AVFMT_NOFILE)) avio_closep(&ctx->pb);
    avformat_free_context(ctx);
  }
};

// The holder only frees: the file it holds (the "vstats" statistics) is a diagnostic log whose
// close result nothing depends on.
inline void CloseFile(std::FILE* file) {
  std::fclose(file);
}

}  // namespace avptr_detail

using InputFormatPtr =
    std::unique_ptr<AVFormatContext, avptr_detail::FreeThroughAddress<avformat_close_input>>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, avptr_detail::OutputFormatDeleter>;
using FormatContextPtr =
    std::unique_ptr<AVFormatContext, avptr_detail::FreeWith<avformat_free_context>>;
using CodecContextPtr =
    std::unique_ptr<AVCodecContext, avptr_detail::FreeThroughAddress<avcodec_free_context>>;
using FramePtr = std::unique_ptr<AVFrame, avptr_detail::FreeThroughAddress<av_frame_free>>;
using PacketPtr = std::unique_ptr<AVPacket, avptr_detail::FreeThroughAddress<av_packet_free>>;
using SwsPtr = std::unique_ptr<SwsContext, avptr_detail::FreeWith<sws_freeContext>>;
using SwrPtr = std::unique_ptr<SwrContext, avptr_detail::FreeThroughAddress<swr_free>>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, avptr_detail::FreeWith<av_audio_fifo_free>>;
using FilterGraphPtr =
    std::unique_ptr<AVFilterGraph, avptr_detail::FreeThroughAddress<FreeFilterGraph>>;
using DictionaryPtr = std::unique_ptr<AVDictionary, avptr_detail::FreeThroughAddress<av_dict_free>>;
template <typename T>
using AvMemPtr = std::unique_ptr<T, avptr_detail::FreeWith<av_free>>;
using FilePtr = std::unique_ptr<std::FILE, avptr_detail::FreeWith<avptr_detail::CloseFile>>;

// An AVDictionary filled through av_dict_set(&dict.raw, ...) and released on every path.
// av_dict_set needs the address of a plain pointer, which a unique_ptr cannot give.
class DictionaryHolder {
 public:
  DictionaryHolder() = default;
  DictionaryHolder(const DictionaryHolder&) = delete;
  DictionaryHolder& operator=(const DictionaryHolder&) = delete;
  ~DictionaryHolder() { av_dict_free(&raw); }
  AVDictionary* raw = nullptr;
};
