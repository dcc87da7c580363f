// The decode stage's work on pictures: deinterlacing, the before-hook gate, the custom hook on
// an RGB bitmap and the frame-hook modules.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "DecodeStage.h"
#include "FFmpegException.h"
#include "FilterLibrary.h"
#include "FrameHook.h"

namespace {

// Converts a W x H picture between two formats of the same size with CTX, which is made or
// remade as needed. Empty on success, else what went wrong.
std::string ConvertPicture(SwsPtr& ctx, int w, int h, AVPixelFormat src_fmt,
                           const uint8_t* const src[4], const int src_linesize[4],
                           AVPixelFormat dst_fmt, uint8_t* const dst[4],
                           const int dst_linesize[4]) {
  std::string why;
  ctx.reset(CheckedScaler(ctx.release(), w, h, src_fmt, w, h, dst_fmt, SWS_BICUBIC, &why));
  if (!ctx) return why;
  const int rows = sws_scale(ctx.get(), src, src_linesize, 0, h, dst, dst_linesize);
  return rows < 0 ? WithLibraryText("the scaler failed", rows) : std::string();
}

}  // namespace

// Makes the deinterlacing graph for pictures like PICTURE; a library error code on failure.
int DecodeStage::BuildDeinterlacer(const AVFrame* picture) {
  DeinterlaceGraph& g = ist_.Deinterlacer;
  const TFilterLibrary& fl = FilterLibrary();
  g.Graph.reset(fl.graph_alloc());
  if (!g.Graph) return AVERROR(ENOMEM);
  char args[256];
  const AVRational tb = ist_.Stream->time_base;
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                picture->width, picture->height, picture->format, tb.num, tb.den,
                std::max(picture->sample_aspect_ratio.num, 0),
                std::max(picture->sample_aspect_ratio.den, 1));
  AVFilterContext* yadif = nullptr;
  int ret = fl.graph_create_filter(&g.Source, fl.get_by_name("buffer"), "in", args, nullptr,
                                   g.Graph.get());
  if (ret >= 0)
    ret = fl.graph_create_filter(&yadif, fl.get_by_name("yadif"), "deint",
                                 "mode=send_frame:parity=auto:deint=all", nullptr, g.Graph.get());
  if (ret >= 0)
    ret = fl.graph_create_filter(&g.Sink, fl.get_by_name("buffersink"), "out", nullptr, nullptr,
                                 g.Graph.get());
  if (ret >= 0) ret = fl.link(g.Source, 0, yadif, 0);
  if (ret >= 0) ret = fl.link(yadif, 0, g.Sink, 0);
  if (ret >= 0) ret = fl.graph_config(g.Graph.get(), nullptr);
  if (ret < 0) {
    g.Graph.reset();
    return ret;
  }
  g.Width = picture->width;
  g.Height = picture->height;
  g.PixFmt = picture->format;
  return 0;
}

// Runs the deinterlacer on PICTURE. It keeps one picture back, so *OUT may be an earlier
// picture (with its own time stamp): 1 when *OUT holds a picture, 0 when the deinterlacer
// keeps this one for now, a library error code when it failed.
int DecodeStage::Deinterlace(AVFrame* picture, AVFrame** out) {
  DeinterlaceGraph& g = ist_.Deinterlacer;
  *out = nullptr;
  if (!g.Graph || g.Width != picture->width || g.Height != picture->height ||
      g.PixFmt != picture->format) {
    const int ret = BuildDeinterlacer(picture);
    if (ret < 0) return ret;
  }
  picture->pts = av_rescale_q(ist_.Pts, AV_TIME_BASE_Q, ist_.Stream->time_base);
  const TFilterLibrary& fl = FilterLibrary();
  int ret = fl.buffersrc_add_frame_flags(g.Source, picture, AV_BUFFERSRC_FLAG_KEEP_REF);
  if (ret < 0) return ret;
  if (!ist_.Deinterlaced) ist_.Deinterlaced.reset(av_frame_alloc());
  if (!ist_.Deinterlaced) return AVERROR(ENOMEM);
  av_frame_unref(ist_.Deinterlaced.get());
  ret = fl.buffersink_get_frame(g.Sink, ist_.Deinterlaced.get());
  if (ret == AVERROR(EAGAIN)) return 0;
  if (ret < 0) return ret;
  *out = ist_.Deinterlaced.get();
  if ((*out)->pts != AV_NOPTS_VALUE)
    ist_.Pts = av_rescale_q((*out)->pts, fl.buffersink_get_time_base(g.Sink), AV_TIME_BASE_Q);
  return 1;
}

// Decides whether the frame-hook modules run on the picture at PTS: the before-hook callback
// decides, or else the hook time ranges.
void DecodeStage::GateFrameHooks(int64_t pts) {
  if (e_.OnCustomHook || !e_.Stats.UsingFrameHook) return;
  if (e_.OnBeforeHook) {
    try {
      e_.OnBeforeHook(pts, e_.Stats.HookAction);
    } catch (const std::exception& ex) {
      Log(0, "Error occurs OnBeforeHook: %s", ex.what());
      e_.Stats.HookAction = haStop;
    } catch (...) {
      // A handler may throw anything; it must not end the program from a stage thread.
      Log(0, "Error occurs OnBeforeHook: unknown exception");
      e_.Stats.HookAction = haStop;
    }
    if (e_.Stats.HookAction == haStop) e_.Stats.UsingFrameHook = false;
    return;
  }
  if (opt_.HookTimeRangeCount <= 0) return;
  e_.Stats.HookAction = haIgnore;
  for (int i = e_.Stats.HookTimeRangeIndex; i < opt_.HookTimeRangeCount; ++i) {
    const THookTimeRange& r = opt_.HookTimeRanges[static_cast<size_t>(i)];
    if (r.Start <= pts && pts <= r.End) {
      e_.Stats.HookTimeRangeIndex = i;
      e_.Stats.HookAction = haContinue;
      break;
    }
    if (i == opt_.HookTimeRangeCount - 1 && r.End < pts) {
      e_.Stats.HookAction = haStop;
      e_.Stats.UsingFrameHook = false;
    }
  }
}

AVFrame* DecodeStage::PreProcessVideoFrame(AVFrame* picture) {
  e_.Stats.HookFrameCounter += 1;
  const int64_t pts = ist_.Pts;
  GateFrameHooks(pts);
  const bool hooks_run = e_.Stats.UsingFrameHook && e_.Stats.HookAction == haContinue;
  AVFrame* work = picture;
  if (opt_.DoDeinterlace) {
    AVFrame* out = nullptr;
    const int ret = Deinterlace(picture, &out);
    if (ret == 0) return nullptr;  // kept back for now
    if (ret < 0)
      Log(0, "%s", WithLibraryText("deinterlace error.", ret).c_str());  // goes on as it is
    else
      work = out;
  }
  if ((e_.OnCustomHook || hooks_run) && !av_frame_is_writable(work)) {
    // The decoder may still reference its picture: hooks draw on a private copy.
    if (av_frame_make_writable(work) < 0) {
      Log(0, "hook buf malloc error.");
      return work;
    }
  }
  if (e_.OnCustomHook) {
    RunCustomHook(work, pts);
  } else if (hooks_run) {
    QuorvinHookPicture pic{};
    for (int i = 0; i < 4; ++i) {
      pic.data[i] = work->data[i];
      pic.linesize[i] = work->linesize[i];
    }
    RunFrameHooks(e_.Files.FrameHooks, &pic, work->format, work->width, work->height, pts);
  }
  return work;
}

// Points RGB_DATA at WORK as a picture in the custom hook's format, converting it into the
// engine's RGB buffer when its own format differs. False when it cannot be converted.
bool DecodeStage::ToHookBitmap(AVFrame* work, uint8_t* rgb_data[4], int rgb_linesize[4]) {
  const int w = work->width, h = work->height;
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(work->format);
  const AVPixelFormat rgb_fmt = opt_.HookPixelFormat;
  if (rgb_fmt == fmt) {
    for (int i = 0; i < 4; ++i) {
      rgb_data[i] = work->data[i];
      rgb_linesize[i] = work->linesize[i];
    }
    return true;
  }
  const int size = av_image_get_buffer_size(rgb_fmt, w, h, 1);
  if (size < 0) return false;
  if (e_.Stats.RgbBuffer.size() < static_cast<size_t>(size))
    e_.Stats.RgbBuffer.resize(static_cast<size_t>(size));
  av_image_fill_arrays(rgb_data, rgb_linesize, e_.Stats.RgbBuffer.data(), rgb_fmt, w, h, 1);
  const std::string failure = ConvertPicture(e_.Stats.ToRgbContext, w, h, fmt, work->data,
                                             work->linesize, rgb_fmt, rgb_data, rgb_linesize);
  if (!failure.empty()) Log(0, "Cannot convert the picture for the hook: %s", failure.c_str());
  return failure.empty();
}

// Converts the hook's edited RGB picture back into WORK when their formats differ.
bool DecodeStage::FromHookBitmap(AVFrame* work, uint8_t* rgb_data[4], int rgb_linesize[4]) {
  const int w = work->width, h = work->height;
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(work->format);
  const AVPixelFormat rgb_fmt = opt_.HookPixelFormat;
  if (rgb_fmt == fmt) return true;
  const std::string failure = ConvertPicture(e_.Stats.FromRgbContext, w, h, rgb_fmt, rgb_data,
                                             rgb_linesize, fmt, work->data, work->linesize);
  if (!failure.empty()) Log(0, "Cannot convert the hook's picture back: %s", failure.c_str());
  return failure.empty();
}

// The custom hook edits the picture as a 24-bit RGB bitmap; the picture is converted to it and
// back only while a custom hook is installed.
void DecodeStage::RunCustomHook(AVFrame* work, int64_t pts_us) {
  const int w = work->width, h = work->height;
  if (!e_.Stats.HookBitmap) {
    e_.Stats.HookBitmap = std::make_unique<THookBitmap>();
    e_.Stats.HookBitmap->Width = w;
    e_.Stats.HookBitmap->Height = h;
  }
  uint8_t* rgb_data[4] = {};
  int rgb_linesize[4] = {};
  bool stop_hook = !ToHookBitmap(work, rgb_data, rgb_linesize);
  if (!stop_hook) {
    // The bitmap keeps the size of the first picture; it shows the rows and columns both have.
    THookBitmap& bmp = *e_.Stats.HookBitmap;
    const int rows = std::min(bmp.Height, h);
    const int row_bytes = std::min(bmp.Width, w) * 3;
    bmp.Stride = bmp.Width * 3;
    std::vector<uint8_t>& pixels = hook_pixels_;
    pixels.resize(static_cast<size_t>(bmp.Stride) * bmp.Height);
    bmp.Data = pixels.data();
    for (int j = 0; j < rows; ++j)
      std::memcpy(bmp.Data + static_cast<ptrdiff_t>(j) * bmp.Stride,
                  rgb_data[0] + static_cast<ptrdiff_t>(j) * rgb_linesize[0],
                  static_cast<size_t>(row_bytes));
    bool update = true;
    try {
      e_.OnCustomHook(bmp, e_.Stats.HookFrameCounter, pts_us, update, stop_hook);
    } catch (const std::exception& ex) {
      Log(0, "Error occurs OnCustomHook: %s", ex.what());
      update = false;
    } catch (...) {
      Log(0, "Error occurs OnCustomHook: unknown exception");
      update = false;
    }
    if (update) {
      for (int j = 0; j < rows; ++j)
        std::memcpy(rgb_data[0] + static_cast<ptrdiff_t>(j) * rgb_linesize[0],
                    bmp.Data + static_cast<ptrdiff_t>(j) * bmp.Stride,
                    static_cast<size_t>(row_bytes));
      if (!FromHookBitmap(work, rgb_data, rgb_linesize)) stop_hook = true;
    }
  }
  if (stop_hook) {
    e_.OnCustomHook = nullptr;
    e_.Stats.HookAction = haStop;
    e_.Stats.UsingFrameHook = false;
  }
}
