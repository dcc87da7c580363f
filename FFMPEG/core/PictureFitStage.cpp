// The picture fit stage (see PictureFitStage.h), and the picture helpers set-up shares.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "EncodeStage.h"
#include "FFmpegException.h"
#include "PictureFitStage.h"

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
    return refuse("the output picture size " + std::to_string(dst_w) + "x" + std::to_string(dst_h) +
                  " is not valid");
  if (src_fmt == AV_PIX_FMT_NONE || !av_pix_fmt_desc_get(src_fmt))
    return refuse("the picture format is unknown");
  if (!sws_isSupportedInput(src_fmt))
    return refuse("the picture format " + name(src_fmt) + " cannot be converted");
  if (dst_fmt == AV_PIX_FMT_NONE || !av_pix_fmt_desc_get(dst_fmt) ||
      !sws_isSupportedOutput(dst_fmt))
    return refuse("the output picture format " + name(dst_fmt) + " cannot be made");
  SwsContext* ctx = sws_getCachedContext(cached, src_w, src_h, src_fmt, dst_w, dst_h, dst_fmt,
                                         flags, nullptr, nullptr, nullptr);
  if (!ctx && why) *why = "the scaler refused the conversion";
  return ctx;
}

PictureFitStage::PictureFitStage(const TRunContext& context, const RunLog& log,
                                 OutputStreamState& ost, StageLink<FramePtr>& encoder)
    : OutputPathStage(context, log, ost, encoder), fit_(ost.Fit) {}

// Fitting the picture here, on the output's own thread, lets the decode stage hand the decoder
// its next packet meanwhile. A picture that cannot be fitted is left out.
bool PictureFitStage::Step(FrameItem& item) {
  if (ost_.Done) return false;
  item.Frame = FitPicture(item.Frame.get());
  if (item.Frame) DoVideoOut(std::move(item));
  return !ost_.Done;
}

void PictureFitStage::Finish() {
  FlushHeldPicture();
  encoder_.End();
}

// Frame-rate sync: how many times the held picture, shown from START_PTS until END_PTS (the
// next picture's time, microseconds), goes to the encoder. Each output picture shows the
// source picture whose time span covers it: a picture is repeated until the next one is due
// (more than 1), and one that comes too late for its place is dropped (0), as when the source
// is faster than the output, unless its span still reaches places to come (the last picture
// before a pause). A picture within about one output picture of its place goes out once, so
// small jitter in the source's stamps neither drops nor repeats pictures.
int64_t PictureFitStage::VideoSyncCount(int64_t start_pts, int64_t end_pts) {
  const double tb = av_q2d(ost_.Encoder->time_base);
  const int64_t origin = opt_.StartTimeUs + ost_.ClockShiftUs;
  const double start = static_cast<double>(start_pts - origin) / 1000000.0 / tb;
  const double end = static_cast<double>(end_pts - origin) / 1000000.0 / tb;
  if (!(opt_.VideoSyncMethod > 0 || (opt_.VideoSyncMethod != 0 && tb > 0.001))) {
    ost_.SyncOpts = std::llround(start);
    return 1;
  }
  int64_t count = 1;
  const double behind = start - static_cast<double>(ost_.SyncOpts);
  const double until_end = end - static_cast<double>(ost_.SyncOpts);
  const bool late = behind < -1.1;
  if (opt_.VideoSyncMethod == 2) {
    if (late)
      count = 0;
    else
      ost_.SyncOpts = std::llround(start);
  } else if (late && until_end < 0.5) {
    count = 0;
  } else if (until_end > 1.1) {
    count = std::llround(until_end);
  }
  if (count == 0) {
    ost_.FramesDropped += 1;
    if (opt_.Verbosity > 2) Log(1, "*** drop!");
  } else if (count > 1) {
    ost_.FramesDuplicated += static_cast<int>(count - 1);
    if (opt_.Verbosity > 2) Log(1, "*** %d dup!", static_cast<int>(count - 1));
  }
  return count;
}

// The picture in ITEM is held until the next one arrives, whose time ends the held one's span.
void PictureFitStage::DoVideoOut(FrameItem item) {
  if (fit_.HeldPicture.Frame) EncodeHeldPicture(item.SyncPts);
  fit_.HeldPicture = std::move(item);
}

// The last picture lasts its own duration (once when that is unknown); a damaged duration
// makes it last a minute at most.
void PictureFitStage::FlushHeldPicture() {
  if (!fit_.HeldPicture.Frame) return;
  constexpr int64_t kLongestLastPictureUs = 60 * int64_t{1000000};
  const FrameItem& held = fit_.HeldPicture;
  EncodeHeldPicture(held.SyncPts + std::clamp<int64_t>(held.DurationUs, 0, kLongestLastPictureUs));
}

// Encodes the held picture as often as frame-rate sync says for a span ending at END_PTS.
void PictureFitStage::EncodeHeldPicture(int64_t end_pts) {
  FrameItem held = std::move(fit_.HeldPicture);
  fit_.HeldPicture = FrameItem{};
  int64_t count = VideoSyncCount(held.SyncPts, end_pts);
  count = std::min<int64_t>(count, opt_.MaxFrames[0] - ost_.FrameNumber);
  for (int64_t i = 0; i < count; ++i) {
    if (e_.State.AbortRequested.load()) break;
    // An output ends at its recording time: pictures from there on are not encoded.
    if (opt_.RecordingTimeUs != std::numeric_limits<int64_t>::max() &&
        av_compare_ts(ost_.SyncOpts, ost_.Encoder->time_base, opt_.RecordingTimeUs,
                      AV_TIME_BASE_Q) >= 0) {
      ost_.Done = true;
      break;
    }
    EncodePicture(held);
    ost_.SyncOpts += 1;
    ost_.FrameNumber += 1;
  }
}

// Crop, scale and pad PICTURE to the encoder's size and format: a new reference to PICTURE
// itself, to a cropped view into it, or to the scaled and padded copy. nullptr when the
// picture cannot be used.
FramePtr PictureFitStage::FitPicture(const AVFrame* picture) {
  AVCodecContext* enc = ost_.Encoder;
  const AVPixelFormat in_fmt = static_cast<AVPixelFormat>(picture->format);
  uint8_t* crop_data[4] = {};
  for (int i = 0; i < 4; ++i) crop_data[i] = picture->data[i];
  const int src_w = picture->width - fit_.CropLeft - fit_.CropRight;
  const int src_h = picture->height - fit_.CropTop - fit_.CropBottom;
  if (fit_.VideoCrop) {
    int64_t off[4];
    if (src_w <= 0 || src_h <= 0 ||
        !PlaneOffsets(in_fmt, fit_.CropTop, fit_.CropLeft, picture->linesize, off)) {
      Log(0, "error cropping picture");
      return nullptr;
    }
    for (int i = 0; i < 4; ++i)
      if (crop_data[i]) crop_data[i] += off[i];
  }
  // A picture whose size or format differs from what set-up expected (a mid-stream change)
  // goes through the scaler too, so that the encoder always gets its own size and format.
  const int inner_w = enc->width - fit_.PadLeft - fit_.PadRight;
  const int inner_h = enc->height - fit_.PadTop - fit_.PadBottom;
  if (!fit_.VideoResample && (src_w != inner_w || src_h != inner_h || in_fmt != enc->pix_fmt)) {
    fit_.VideoResample = true;
    if (!fit_.TempPicture) fit_.TempPicture = NewPicture(enc->pix_fmt, enc->width, enc->height);
    if (!fit_.TempPicture) throw FFMpegException("Cannot allocate temp picture, check pix fmt");
  }
  FramePtr out(av_frame_alloc());
  if (!out) throw FFMpegException("av_mallocz fail");
  if (!fit_.VideoPad && !fit_.VideoResample) {
    // Crop without scale or pad: the cropped view has the encoder's size already.
    if (av_frame_ref(out.get(), picture) < 0) throw FFMpegException("av_mallocz fail");
    for (int p = 0; p < 4; ++p) out->data[p] = crop_data[p];
    out->width = src_w;
    out->height = src_h;
    return out;
  }
  AVFrame* temp = fit_.TempPicture.get();
  if (!RenewIfShared(temp)) throw FFMpegException("Cannot allocate temp picture, check pix fmt");
  if (!ScaleAndPad(picture, crop_data, src_w, src_h)) return nullptr;
  if (av_frame_ref(out.get(), temp) < 0) throw FFMpegException("av_mallocz fail");
  out->interlaced_frame = picture->interlaced_frame;
  return out;
}

// Scales (or copies) the SRC_W x SRC_H picture at CROP_DATA into the output's picture, inside
// its padding, and paints the padding. False when the picture cannot be placed.
bool PictureFitStage::ScaleAndPad(const AVFrame* picture, uint8_t* const crop_data[4], int src_w,
                                  int src_h) {
  AVCodecContext* enc = ost_.Encoder;
  AVFrame* temp = fit_.TempPicture.get();
  const int inner_w = enc->width - fit_.PadLeft - fit_.PadRight;
  const int inner_h = enc->height - fit_.PadTop - fit_.PadBottom;
  uint8_t* target_data[4] = {};
  int target_linesize[4] = {};
  int64_t off[4] = {};
  if (fit_.VideoPad &&
      !PlaneOffsets(enc->pix_fmt, fit_.PadTop, fit_.PadLeft, temp->linesize, off)) {
    Log(0, "error padding picture");
    return false;
  }
  for (int i = 0; i < 4; ++i) {
    target_data[i] = temp->data[i] ? temp->data[i] + off[i] : nullptr;
    target_linesize[i] = temp->linesize[i];
  }
  if (fit_.VideoResample) {
    std::string why;
    const AVPixelFormat in_fmt = static_cast<AVPixelFormat>(picture->format);
    fit_.ScaleContext.reset(CheckedScaler(fit_.ScaleContext.release(), src_w, src_h, in_fmt,
                                          inner_w, inner_h, enc->pix_fmt, e_.Stats.SwsFlags, &why));
    if (!fit_.ScaleContext) throw FFMpegException("Cannot get resampling context: " + why);
    const int rows = sws_scale(fit_.ScaleContext.get(), crop_data, picture->linesize, 0, src_h,
                               target_data, target_linesize);
    if (rows < 0) throw FFMpegException::FromLibrary("Video scaling failed", rows);
  } else {
    av_image_copy(target_data, target_linesize, const_cast<const uint8_t**>(crop_data),
                  picture->linesize, enc->pix_fmt, inner_w, inner_h);
  }
  if (fit_.VideoPad) {
    const int color[3] = {opt_.PadColor[0], opt_.PadColor[1], opt_.PadColor[2]};
    FillPadding(temp, fit_.PadTop, fit_.PadBottom, fit_.PadLeft, fit_.PadRight, color);
  }
  return true;
}

// Hands one copy of the fitted picture to the encoder, stamped with the output position.
void PictureFitStage::EncodePicture(const FrameItem& item) {
  AVCodecContext* enc = ost_.Encoder;
  AVFrame* frame = fit_.EncodeFrame.get();
  if (av_frame_ref(frame, item.Frame.get()) < 0) throw FFMpegException("Video encoding failed");
  const AVCodecContext* vdefaults = e_.CodecDefaults[AVMEDIA_TYPE_VIDEO].get();
  if (vdefaults &&
      (vdefaults->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME)))
    frame->top_field_first =
        opt_.TopFieldFirst == -1 ? item.SourceTopFieldFirst : opt_.TopFieldFirst;
  frame->quality =
      opt_.SameQuality ? static_cast<int>(std::lround(item.Quality)) : enc->global_quality;
  if (opt_.MeThreshold == 0) frame->pict_type = AV_PICTURE_TYPE_NONE;
  frame->pts = ost_.SyncOpts;
  frame->sample_aspect_ratio = enc->sample_aspect_ratio;
  HandToEncoder(frame, encoder_);
  av_frame_unref(frame);
}
