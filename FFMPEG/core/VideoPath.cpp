// The video path: pre-processing of each decoded picture (deinterlacing, the before-hook gate,
// the custom hook on an RGB bitmap, frame-hook modules) and, per output stream, crop, scale and
// pad, all on the input stream's stage; then, on the output's stage, frame-rate sync with drops
// and duplicates, and encoding.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "FFmpegException.h"
#include "FFmpegException.h"
#include "FilterLibrary.h"
#include "FrameHook.h"
#include "Transcoder.h"

namespace {

// Byte offsets of a view that starts TOP rows and LEFT columns into a picture of FMT.
bool PlaneOffsets(AVPixelFormat fmt, int top, int left, const int linesize[4], int64_t offsets[4]) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
  if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM))) return false;
  int steps[4] = {};
  av_image_fill_max_pixsteps(steps, nullptr, desc);
  const int planes = av_pix_fmt_count_planes(fmt);
  for (int p = 0; p < 4; ++p) {
    offsets[p] = 0;
    if (p >= planes) continue;
    const bool chroma = (p == 1 || p == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
    const int y = chroma ? (top >> desc->log2_chroma_h) : top;
    const int x = chroma ? (left >> desc->log2_chroma_w) : left;
    offsets[p] = static_cast<int64_t>(y) * linesize[p] + static_cast<int64_t>(x) * steps[p];
  }
  return true;
}

// Fills the border of DST (a planar YUV picture) outside the inner rectangle with COLOR.
void FillPadding(AVFrame* dst, int top, int bottom, int left, int right, const int color[3]) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(dst->format));
  if (!desc || (desc->flags & AV_PIX_FMT_FLAG_RGB) || (desc->flags & AV_PIX_FMT_FLAG_PAL)) return;
  const int planes = std::min(av_pix_fmt_count_planes(static_cast<AVPixelFormat>(dst->format)), 3);
  if (desc->comp[0].depth > 8 || planes < 3) return;  // padding is drawn on 8-bit planar YUV
  for (int p = 0; p < planes; ++p) {
    const int hs = p ? desc->log2_chroma_w : 0;
    const int vs = p ? desc->log2_chroma_h : 0;
    const int width = AV_CEIL_RSHIFT(dst->width, hs);
    const int height = AV_CEIL_RSHIFT(dst->height, vs);
    const int t = top >> vs, b = bottom >> vs, l = left >> hs, r = right >> hs;
    const uint8_t c = static_cast<uint8_t>(color[p]);
    for (int y = 0; y < height; ++y) {
      uint8_t* row = dst->data[p] + static_cast<ptrdiff_t>(y) * dst->linesize[p];
      if (y < t || y >= height - b) {
        std::memset(row, c, static_cast<size_t>(width));
      } else {
        std::memset(row, c, static_cast<size_t>(std::min(l, width)));
        if (r > 0 && width - r >= 0) std::memset(row + width - r, c, static_cast<size_t>(r));
      }
    }
  }
}

// Makes FRAME's buffer writable without copying its old content (it is about to be
// overwritten): an encoder may still hold a reference to the previous picture.
bool RenewIfShared(AVFrame* frame) {
  if (av_frame_is_writable(frame)) return true;
  const int fmt = frame->format, w = frame->width, h = frame->height;
  av_frame_unref(frame);
  frame->format = fmt;
  frame->width = w;
  frame->height = h;
  return av_frame_get_buffer(frame, 0) >= 0;
}

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

FramePtr NewPicture(AVPixelFormat fmt, int width, int height) {
  FramePtr picture(av_frame_alloc());
  if (!picture || fmt == AV_PIX_FMT_NONE) return nullptr;
  picture->format = fmt;
  picture->width = width;
  picture->height = height;
  if (av_frame_get_buffer(picture.get(), 0) < 0) return nullptr;
  return picture;
}

SwsContext* CheckedScaler(SwsContext* cached, int src_w, int src_h, AVPixelFormat src_fmt,
                          int dst_w, int dst_h, AVPixelFormat dst_fmt, int flags,
                          std::string* why) {
  auto refuse = [&](const std::string& text) -> SwsContext* {
    sws_freeContext(cached);
    if (why) *why = text;
    return nullptr;
  };
  auto name = [](AVPixelFormat fmt) {
    const char* n = av_get_pix_fmt_name(fmt);
    return std::string(n ? n : "unknown");
  };
  if (src_w <= 0 || src_h <= 0)
    return refuse("the picture size " + std::to_string(src_w) + "x" + std::to_string(src_h) +
                  " is not valid");
  if (dst_w <= 0 || dst_h <= 0)
    return refuse("the output picture size " + std::to_string(dst_w) + "x" +
                  std::to_string(dst_h) + " is not valid");
  if (src_fmt == AV_PIX_FMT_NONE || !av_pix_fmt_desc_get(src_fmt))
    return refuse("the picture format is unknown");
  if (!sws_isSupportedInput(src_fmt))
    return refuse("the picture format " + name(src_fmt) + " cannot be converted");
  if (dst_fmt == AV_PIX_FMT_NONE || !av_pix_fmt_desc_get(dst_fmt) || !sws_isSupportedOutput(dst_fmt))
    return refuse("the output picture format " + name(dst_fmt) + " cannot be made");
  SwsContext* ctx = sws_getCachedContext(cached, src_w, src_h, src_fmt, dst_w, dst_h, dst_fmt,
                                         flags, nullptr, nullptr, nullptr);
  if (!ctx && why) *why = "the scaler refused the conversion";
  return ctx;
}

// Makes the deinterlacing graph for pictures like PICTURE; a library error code on failure.
int Transcoder::BuildDeinterlacer(InputStreamState& ist, const AVFrame* picture) {
  DeinterlaceGraph& g = ist.Deinterlacer;
  const TFilterLibrary& fl = FilterLibrary();
  g.Graph.reset(fl.graph_alloc());
  if (!g.Graph) return AVERROR(ENOMEM);
  char args[256];
  const AVRational tb = ist.Stream->time_base;
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
int Transcoder::Deinterlace(InputStreamState& ist, AVFrame* picture, AVFrame** out) {
  DeinterlaceGraph& g = ist.Deinterlacer;
  *out = nullptr;
  if (!g.Graph || g.Width != picture->width || g.Height != picture->height ||
      g.PixFmt != picture->format) {
    const int ret = BuildDeinterlacer(ist, picture);
    if (ret < 0) return ret;
  }
  picture->pts = av_rescale_q(ist.Pts, AV_TIME_BASE_Q, ist.Stream->time_base);
  const TFilterLibrary& fl = FilterLibrary();
  int ret = fl.buffersrc_add_frame_flags(g.Source, picture, AV_BUFFERSRC_FLAG_KEEP_REF);
  if (ret < 0) return ret;
  if (!ist.Deinterlaced) ist.Deinterlaced.reset(av_frame_alloc());
  if (!ist.Deinterlaced) return AVERROR(ENOMEM);
  av_frame_unref(ist.Deinterlaced.get());
  ret = fl.buffersink_get_frame(g.Sink, ist.Deinterlaced.get());
  if (ret == AVERROR(EAGAIN)) return 0;
  if (ret < 0) return ret;
  *out = ist.Deinterlaced.get();
  if ((*out)->pts != AV_NOPTS_VALUE)
    ist.Pts = av_rescale_q((*out)->pts, fl.buffersink_get_time_base(g.Sink), AV_TIME_BASE_Q);
  return 1;
}

// Decides whether the frame-hook modules run on the picture at PTS: the before-hook callback
// decides, or else the hook time ranges.
void Transcoder::GateFrameHooks(int64_t pts) {
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

AVFrame* Transcoder::PreProcessVideoFrame(InputStreamState& ist, AVFrame* picture) {
  e_.Stats.HookFrameCounter += 1;
  const int64_t pts = ist.Pts;
  GateFrameHooks(pts);
  const bool hooks_run = e_.Stats.UsingFrameHook && e_.Stats.HookAction == haContinue;
  AVFrame* work = picture;
  if (opt_.DoDeinterlace) {
    AVFrame* out = nullptr;
    const int ret = Deinterlace(ist, picture, &out);
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
bool Transcoder::ToHookBitmap(AVFrame* work, uint8_t* rgb_data[4], int rgb_linesize[4]) {
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
  if (e_.Stats.RgbBuffer.size() < static_cast<size_t>(size)) e_.Stats.RgbBuffer.resize(static_cast<size_t>(size));
  av_image_fill_arrays(rgb_data, rgb_linesize, e_.Stats.RgbBuffer.data(), rgb_fmt, w, h, 1);
  const std::string failure = ConvertPicture(e_.Stats.ToRgbContext, w, h, fmt, work->data,
                                             work->linesize, rgb_fmt, rgb_data, rgb_linesize);
  if (!failure.empty()) Log(0, "Cannot convert the picture for the hook: %s", failure.c_str());
  return failure.empty();
}

// Converts the hook's edited RGB picture back into WORK when their formats differ.
bool Transcoder::FromHookBitmap(AVFrame* work, uint8_t* rgb_data[4], int rgb_linesize[4]) {
  const int w = work->width, h = work->height;
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(work->format);
  const AVPixelFormat rgb_fmt = opt_.HookPixelFormat;
  if (rgb_fmt == fmt) return true;
  const std::string failure = ConvertPicture(e_.Stats.FromRgbContext, w, h, rgb_fmt, rgb_data,
                                             rgb_linesize, fmt, work->data, work->linesize);
  if (!failure.empty())
    Log(0, "Cannot convert the hook's picture back: %s", failure.c_str());
  return failure.empty();
}

// The custom hook edits the picture as a 24-bit RGB bitmap; the picture is converted to it and
// back only while a custom hook is installed.
void Transcoder::RunCustomHook(AVFrame* work, int64_t pts_us) {
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
    std::vector<uint8_t>& pixels = run_.HookPixels;
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

// Frame-rate sync: how many times the held picture, shown from START_PTS until END_PTS (the
// next picture's time, microseconds), goes to the encoder. Each output picture shows the
// source picture whose time span covers it: a picture is repeated until the next one is due
// (more than 1), and one that comes too late for its place is dropped (0), as when the source
// is faster than the output, unless its span still reaches places to come (the last picture
// before a pause). A picture within about one output picture of its place goes out once, so
// small jitter in the source's stamps neither drops nor repeats pictures.
int64_t Transcoder::VideoSyncCount(OutputStreamState& ost, int64_t start_pts, int64_t end_pts) {
  const double tb = av_q2d(ost.Encoder->time_base);
  const int64_t origin = opt_.StartTimeUs + ost.ClockShiftUs;
  const double start = static_cast<double>(start_pts - origin) / 1000000.0 / tb;
  const double end = static_cast<double>(end_pts - origin) / 1000000.0 / tb;
  if (!(opt_.VideoSyncMethod > 0 || (opt_.VideoSyncMethod != 0 && tb > 0.001))) {
    ost.SyncOpts = std::llround(start);
    return 1;
  }
  int64_t count = 1;
  const double behind = start - static_cast<double>(ost.SyncOpts);
  const double until_end = end - static_cast<double>(ost.SyncOpts);
  const bool late = behind < -1.1;
  if (opt_.VideoSyncMethod == 2) {
    if (late)
      count = 0;
    else
      ost.SyncOpts = std::llround(start);
  } else if (late && until_end < 0.5) {
    count = 0;
  } else if (until_end > 1.1) {
    count = std::llround(until_end);
  }
  if (count == 0) {
    ost.FramesDropped += 1;
    if (opt_.Verbosity > 2) Log(1, "*** drop!");
  } else if (count > 1) {
    ost.FramesDuplicated += static_cast<int>(count - 1);
    if (opt_.Verbosity > 2) Log(1, "*** %d dup!", static_cast<int>(count - 1));
  }
  return count;
}

// The picture in ITEM is held until the next one arrives, whose time ends the held one's span.
void Transcoder::DoVideoOut(OutputStreamState& ost, FrameItem item) {
  if (ost.HeldPicture.Frame) EncodeHeldPicture(ost, item.SyncPts);
  ost.HeldPicture = std::move(item);
}

// The last picture lasts its own duration (once when that is unknown); a damaged duration
// makes it last a minute at most.
void Transcoder::FlushHeldPicture(OutputStreamState& ost) {
  if (!ost.HeldPicture.Frame) return;
  constexpr int64_t kLongestLastPictureUs = 60 * int64_t{1000000};
  const FrameItem& held = ost.HeldPicture;
  EncodeHeldPicture(ost,
                    held.SyncPts + std::clamp<int64_t>(held.DurationUs, 0, kLongestLastPictureUs));
}

// Encodes the held picture as often as frame-rate sync says for a span ending at END_PTS.
void Transcoder::EncodeHeldPicture(OutputStreamState& ost, int64_t end_pts) {
  FrameItem held = std::move(ost.HeldPicture);
  ost.HeldPicture = FrameItem{};
  int64_t count = VideoSyncCount(ost, held.SyncPts, end_pts);
  count = std::min<int64_t>(count, opt_.MaxFrames[0] - ost.FrameNumber);
  for (int64_t i = 0; i < count; ++i) {
    if (e_.State.AbortRequested.load()) break;
    // An output ends at its recording time: pictures from there on are not encoded.
    if (opt_.RecordingTimeUs != std::numeric_limits<int64_t>::max() &&
        av_compare_ts(ost.SyncOpts, ost.Encoder->time_base, opt_.RecordingTimeUs,
                      AV_TIME_BASE_Q) >= 0) {
      ost.Done = true;
      break;
    }
    EncodePicture(ost, held);
    ost.SyncOpts += 1;
    ost.FrameNumber += 1;
  }
}

// Crop, scale and pad PICTURE to the encoder's size and format: a new reference to PICTURE
// itself, to a cropped view into it, or to the scaled and padded copy. Runs on the output's
// stage. nullptr when the picture cannot be used.
FramePtr Transcoder::FitPicture(OutputStreamState& ost, const AVFrame* picture) {
  AVCodecContext* enc = ost.Encoder;
  const AVPixelFormat in_fmt = static_cast<AVPixelFormat>(picture->format);
  uint8_t* crop_data[4] = {};
  for (int i = 0; i < 4; ++i) crop_data[i] = picture->data[i];
  const int src_w = picture->width - ost.CropLeft - ost.CropRight;
  const int src_h = picture->height - ost.CropTop - ost.CropBottom;
  if (ost.VideoCrop) {
    int64_t off[4];
    if (src_w <= 0 || src_h <= 0 ||
        !PlaneOffsets(in_fmt, ost.CropTop, ost.CropLeft, picture->linesize, off)) {
      Log(0, "error cropping picture");
      return nullptr;
    }
    for (int i = 0; i < 4; ++i)
      if (crop_data[i]) crop_data[i] += off[i];
  }
  // A picture whose size or format differs from what set-up expected (a mid-stream change)
  // goes through the scaler too, so that the encoder always gets its own size and format.
  const int inner_w = enc->width - ost.PadLeft - ost.PadRight;
  const int inner_h = enc->height - ost.PadTop - ost.PadBottom;
  if (!ost.VideoResample && (src_w != inner_w || src_h != inner_h || in_fmt != enc->pix_fmt)) {
    ost.VideoResample = true;
    if (!ost.TempPicture) ost.TempPicture = NewPicture(enc->pix_fmt, enc->width, enc->height);
    if (!ost.TempPicture) throw FFMpegException("Cannot allocate temp picture, check pix fmt");
  }
  FramePtr out(av_frame_alloc());
  if (!out) throw FFMpegException("av_mallocz fail");
  if (!ost.VideoPad && !ost.VideoResample) {
    // Crop without scale or pad: the cropped view has the encoder's size already.
    if (av_frame_ref(out.get(), picture) < 0) throw FFMpegException("av_mallocz fail");
    for (int p = 0; p < 4; ++p) out->data[p] = crop_data[p];
    out->width = src_w;
    out->height = src_h;
    return out;
  }
  AVFrame* temp = ost.TempPicture.get();
  if (!RenewIfShared(temp)) throw FFMpegException("Cannot allocate temp picture, check pix fmt");
  if (!ScaleAndPad(ost, picture, crop_data, src_w, src_h)) return nullptr;
  if (av_frame_ref(out.get(), temp) < 0) throw FFMpegException("av_mallocz fail");
  out->interlaced_frame = picture->interlaced_frame;
  return out;
}

// Scales (or copies) the SRC_W x SRC_H picture at CROP_DATA into the output's picture, inside
// its padding, and paints the padding. False when the picture cannot be placed.
bool Transcoder::ScaleAndPad(OutputStreamState& ost, const AVFrame* picture,
                             uint8_t* const crop_data[4], int src_w, int src_h) {
  AVCodecContext* enc = ost.Encoder;
  AVFrame* temp = ost.TempPicture.get();
  const int inner_w = enc->width - ost.PadLeft - ost.PadRight;
  const int inner_h = enc->height - ost.PadTop - ost.PadBottom;
  uint8_t* target_data[4] = {};
  int target_linesize[4] = {};
  int64_t off[4] = {};
  if (ost.VideoPad && !PlaneOffsets(enc->pix_fmt, ost.PadTop, ost.PadLeft, temp->linesize, off)) {
    Log(0, "error padding picture");
    return false;
  }
  for (int i = 0; i < 4; ++i) {
    target_data[i] = temp->data[i] ? temp->data[i] + off[i] : nullptr;
    target_linesize[i] = temp->linesize[i];
  }
  if (ost.VideoResample) {
    std::string why;
    const AVPixelFormat in_fmt = static_cast<AVPixelFormat>(picture->format);
    ost.ScaleContext.reset(CheckedScaler(ost.ScaleContext.release(), src_w, src_h, in_fmt, inner_w,
                                         inner_h, enc->pix_fmt, e_.Stats.SwsFlags, &why));
    if (!ost.ScaleContext) throw FFMpegException("Cannot get resampling context: " + why);
    const int rows = sws_scale(ost.ScaleContext.get(), crop_data, picture->linesize, 0, src_h,
                               target_data, target_linesize);
    if (rows < 0) throw FFMpegException::FromLibrary("Video scaling failed", rows);
  } else {
    av_image_copy(target_data, target_linesize, const_cast<const uint8_t**>(crop_data),
                  picture->linesize, enc->pix_fmt, inner_w, inner_h);
  }
  if (ost.VideoPad) {
    const int color[3] = {opt_.PadColor[0], opt_.PadColor[1], opt_.PadColor[2]};
    FillPadding(temp, ost.PadTop, ost.PadBottom, ost.PadLeft, ost.PadRight, color);
  }
  return true;
}

// Hands one copy of the fitted picture to the encoder, stamped with the output position.
void Transcoder::EncodePicture(OutputStreamState& ost, const FrameItem& item) {
  AVCodecContext* enc = ost.Encoder;
  AVFrame* frame = ost.EncodeFrame.get();
  if (av_frame_ref(frame, item.Frame.get()) < 0) throw FFMpegException("Video encoding failed");
  const AVCodecContext* vdefaults = e_.CodecDefaults[AVMEDIA_TYPE_VIDEO].get();
  if (vdefaults && (vdefaults->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME)))
    frame->top_field_first =
        opt_.TopFieldFirst == -1 ? item.SourceTopFieldFirst : opt_.TopFieldFirst;
  frame->quality =
      opt_.SameQuality ? static_cast<int>(std::lround(item.Quality)) : enc->global_quality;
  if (opt_.MeThreshold == 0) frame->pict_type = AV_PICTURE_TYPE_NONE;
  frame->pts = ost.SyncOpts;
  frame->sample_aspect_ratio = enc->sample_aspect_ratio;
  DeliverToEncoder(ost, frame);
  av_frame_unref(frame);
}
