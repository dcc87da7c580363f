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
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace avptr_detail {

struct InputFormatDeleter {
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};

struct OutputFormatDeleter {
  void operator()(AVFormatContext* ctx) const {
    if (ctx->oformat && !(ctx->oformat->flags & AVFMT_NOFILE)) avio_closep(&ctx->pb);
    avformat_free_context(ctx);
  }
};

// A format context that never opened a file (the generic-option defaults).
struct FormatContextDeleter {
  void operator()(AVFormatContext* ctx) const { avformat_free_context(ctx); }
};

struct CodecContextDeleter {
  void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

struct SwsDeleter {
  void operator()(SwsContext* ctx) const { sws_freeContext(ctx); }
};

struct SwrDeleter {
  void operator()(SwrContext* ctx) const { swr_free(&ctx); }
};

struct AudioFifoDeleter {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};

struct BsfDeleter {
  void operator()(AVBSFContext* ctx) const { av_bsf_free(&ctx); }
};

struct FilterGraphDeleter {
  void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};

struct DictionaryDeleter {
  void operator()(AVDictionary* dict) const { av_dict_free(&dict); }
};

// Memory from av_malloc (pictures made with av_image_alloc, matrices handed to codecs).
struct AvFreeDeleter {
  void operator()(void* ptr) const { av_free(ptr); }
};

struct FileDeleter {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace avptr_detail

using InputFormatPtr = std::unique_ptr<AVFormatContext, avptr_detail::InputFormatDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, avptr_detail::OutputFormatDeleter>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, avptr_detail::FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, avptr_detail::CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, avptr_detail::FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, avptr_detail::PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, avptr_detail::SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, avptr_detail::SwrDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, avptr_detail::AudioFifoDeleter>;
using BsfPtr = std::unique_ptr<AVBSFContext, avptr_detail::BsfDeleter>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, avptr_detail::FilterGraphDeleter>;
using DictionaryPtr = std::unique_ptr<AVDictionary, avptr_detail::DictionaryDeleter>;
template <typename T>
using AvMemPtr = std::unique_ptr<T, avptr_detail::AvFreeDeleter>;
using FilePtr = std::unique_ptr<std::FILE, avptr_detail::FileDeleter>;

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
