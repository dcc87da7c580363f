#include "DeviceLimits.h"

#include <algorithm>
#include <array>
#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int64_t kKbps = 1000;

struct TNamedTarget {
  std::string_view Name;
  TDeviceTarget Target;
};

constexpr std::array kTargetNames = {
    TNamedTarget{"", TDeviceTarget::kNone},
    TNamedTarget{"none", TDeviceTarget::kNone},
    TNamedTarget{"ipod", TDeviceTarget::kIPod},
    TNamedTarget{"ipodtouch", TDeviceTarget::kIPodTouch},
    TNamedTarget{"iphone", TDeviceTarget::kIPhone},
    TNamedTarget{"appletv", TDeviceTarget::kAppleTV},
    TNamedTarget{"3gp", TDeviceTarget::k3GP},
    TNamedTarget{"3g2", TDeviceTarget::k3G2},
    TNamedTarget{"divx", TDeviceTarget::kDivX},
};

// Apple players: stereo AAC-LC up to 160 kbps; MPEG-4 Simple Profile or H.264 Baseline, no
// second of video above 2.5 Mbps (3 Mbps on the Apple TV). Mobile phones: the video stays
// within the bit rate chosen from the format's list (VideoPeakRate 0).
const TDeviceLimits kNoLimits{};
const TDeviceLimits kApplePortable{2, 160 * kKbps, 2500 * kKbps, true, true};
const TDeviceLimits kAppleTv{2, 160 * kKbps, 3000 * kKbps, true, true};
const TDeviceLimits kMobile{2, 0, 0, true, true};

// One level of a video profile: largest picture (macroblocks), macroblocks per second and
// bit rate (bit/s), and the number the stream signals.
struct TLevel {
  int Code;
  int FrameMbs;
  int MbsPerSecond;
  int64_t MaxRate;
};

// MPEG-4 Part 2 Simple Profile (levels 1, 2, 3, 4a, 5, 6).
constexpr std::array kMpeg4Simple = {
    TLevel{1, 99, 1485, 64 * kKbps},      TLevel{2, 396, 5940, 128 * kKbps},
    TLevel{3, 396, 11880, 384 * kKbps},   TLevel{4, 1200, 36000, 4000 * kKbps},
    TLevel{5, 1620, 40500, 8000 * kKbps}, TLevel{6, 3600, 108000, 12000 * kKbps},
};

// H.264 Baseline (level x 10).
constexpr std::array kH264Baseline = {
    TLevel{10, 99, 1485, 64 * kKbps},          TLevel{11, 396, 3000, 192 * kKbps},
    TLevel{12, 396, 6000, 384 * kKbps},        TLevel{13, 396, 11880, 768 * kKbps},
    TLevel{20, 396, 11880, 2000 * kKbps},      TLevel{21, 792, 19800, 4000 * kKbps},
    TLevel{22, 1620, 20250, 4000 * kKbps},     TLevel{30, 1620, 40500, 10000 * kKbps},
    TLevel{31, 3600, 108000, 14000 * kKbps},   TLevel{32, 5120, 216000, 20000 * kKbps},
    TLevel{40, 8192, 245760, 20000 * kKbps},   TLevel{41, 8192, 245760, 50000 * kKbps},
    TLevel{42, 8704, 522240, 50000 * kKbps},   TLevel{50, 22080, 589824, 135000 * kKbps},
    TLevel{51, 36864, 983040, 240000 * kKbps},
};

struct TPictureLoad {
  int FrameMbs;
  int64_t MbsPerSecond;
};

TPictureLoad LoadOf(int width, int height, AVRational frame_rate) {
  const int mbs = ((width + 15) / 16) * ((height + 15) / 16);
  const double fps = frame_rate.num > 0 && frame_rate.den > 0 ? av_q2d(frame_rate) : 25.0;
  return {mbs, static_cast<int64_t>(std::ceil(mbs * fps))};
}

template <size_t N>
const TLevel& FirstFitting(const std::array<TLevel, N>& levels, TPictureLoad load,
                           int64_t peak_bps) {
  for (const TLevel& level : levels)
    if (load.FrameMbs <= level.FrameMbs && load.MbsPerSecond <= level.MbsPerSecond &&
        peak_bps <= level.MaxRate)
      return level;
  return levels.back();
}

bool IsAacEncoder(const AVCodecContext* ctx) {
  return ctx->codec_id == AV_CODEC_ID_AAC;
}

}  // namespace

bool ParseDeviceTarget(std::string_view name, TDeviceTarget& target) {
  for (const TNamedTarget& entry : kTargetNames) {
    if (entry.Name == name) {
      target = entry.Target;
      return true;
    }
  }
  return false;
}

const TDeviceLimits& DeviceLimits(TDeviceTarget target) {
  switch (target) {
    case TDeviceTarget::kIPod:
    case TDeviceTarget::kIPodTouch:
    case TDeviceTarget::kIPhone:
      return kApplePortable;
    case TDeviceTarget::kAppleTV:
      return kAppleTv;
    case TDeviceTarget::k3GP:
    case TDeviceTarget::k3G2:
      return kMobile;
    case TDeviceTarget::kDivX:
    case TDeviceTarget::kNone:
      break;
  }
  return kNoLimits;
}

int Mpeg4SimpleLevel(int width, int height, AVRational frame_rate, int64_t peak_bps) {
  return FirstFitting(kMpeg4Simple, LoadOf(width, height, frame_rate), peak_bps).Code;
}

int H264BaselineLevel(int width, int height, AVRational frame_rate, int64_t peak_bps) {
  return FirstFitting(kH264Baseline, LoadOf(width, height, frame_rate), peak_bps).Code;
}

int64_t H264LevelMaxRate(int level) {
  for (const TLevel& entry : kH264Baseline)
    if (entry.Code == level) return entry.MaxRate;
  return kH264Baseline.back().MaxRate;
}

void CapVideoRate(AVCodecContext* ctx, int64_t peak_bps) {
  if (peak_bps <= 0) return;
  // A rate-controlled encoder may spend its whole buffer on top of one second at the peak
  // rate, so the two together are kept within the limit.
  const int64_t buffer = peak_bps / 4;
  const int64_t max_rate = peak_bps - buffer;
  ctx->rc_buffer_size = static_cast<int>(std::min<int64_t>(buffer, INT32_MAX));
  ctx->rc_max_rate = max_rate;
  ctx->rc_initial_buffer_occupancy = ctx->rc_buffer_size * 3 / 4;
  if (ctx->bit_rate <= 0 || ctx->bit_rate > max_rate) ctx->bit_rate = max_rate;
}

void ApplyDeviceVideoSettings(TDeviceTarget target, AVCodecContext* ctx, const AVCodec* codec) {
  if (target == TDeviceTarget::kDivX) {
    if (ctx->codec_id == AV_CODEC_ID_MPEG4 && ctx->codec_tag == 0)
      ctx->codec_tag = MKTAG('D', 'X', '5', '0');
    return;
  }
  const TDeviceLimits& limits = DeviceLimits(target);
  if (&limits == &kNoLimits) return;
  int64_t peak = limits.VideoPeakRate > 0 ? limits.VideoPeakRate : ctx->bit_rate;
  const AVRational rate = ctx->framerate.num > 0 ? ctx->framerate : av_inv_q(ctx->time_base);

  if (ctx->codec_id == AV_CODEC_ID_H264 && limits.BaselineH264) {
    const int level = H264BaselineLevel(ctx->width, ctx->height, rate, 0);
    peak = std::min(peak, H264LevelMaxRate(level));
    ctx->profile = FF_PROFILE_H264_BASELINE;
    ctx->level = level;
    ctx->max_b_frames = 0;
    if (codec && ctx->priv_data && std::string_view(codec->name) == "libx264")
      av_opt_set(ctx->priv_data, "profile", "baseline", 0);
    CapVideoRate(ctx, peak);
    return;
  }
  CapVideoRate(ctx, peak);
  if (ctx->codec_id == AV_CODEC_ID_MPEG4 && limits.SignalMpeg4Level) {
    // Simple Profile has no B-frames and no quarter-pel motion.
    ctx->profile = FF_PROFILE_MPEG4_SIMPLE;
    ctx->level = Mpeg4SimpleLevel(ctx->width, ctx->height, rate, ctx->rc_max_rate);
    ctx->max_b_frames = 0;
    ctx->flags &= ~AV_CODEC_FLAG_QPEL;
  }
}

void ApplyDeviceAudioSettings(TDeviceTarget target, AVCodecContext* ctx) {
  const TDeviceLimits& limits = DeviceLimits(target);
  if (limits.MaxAudioChannels > 0 && ctx->ch_layout.nb_channels > limits.MaxAudioChannels) {
    av_channel_layout_uninit(&ctx->ch_layout);
    av_channel_layout_default(&ctx->ch_layout, limits.MaxAudioChannels);
  }
  if (limits.MaxAacBitrate > 0 && IsAacEncoder(ctx) && ctx->bit_rate > limits.MaxAacBitrate)
    ctx->bit_rate = limits.MaxAacBitrate;
}

AVRational StandardFrameRate(AVCodecID codec, AVRational rate) {
  if (codec != AV_CODEC_ID_MPEG1VIDEO && codec != AV_CODEC_ID_MPEG2VIDEO) return rate;
  static const AVRational kRates[] = {{24000, 1001}, {24, 1},       {25, 1}, {30000, 1001}, {30, 1},
                                      {50, 1},       {60000, 1001}, {60, 1}, {0, 0}};
  if (rate.num <= 0 || rate.den <= 0) return AVRational{25, 1};
  return kRates[av_find_nearest_q_idx(rate, kRates)];
}

void ApplyContainerVideoTag(const AVOutputFormat* format, AVCodecContext* ctx,
                            const AVCodec* codec) {
  if (!format || !format->name || std::string_view(format->name) != "avi") return;
  if (ctx->codec_tag == 0 && codec && std::string_view(codec->name) == "libxvid")
    ctx->codec_tag = MKTAG('X', 'V', 'I', 'D');
}

void ApplyContainerPictureOrder(const AVOutputFormat* format, AVCodecContext* ctx) {
  if (!format || !format->name || std::string_view(format->name) != "avi") return;
  if (ctx->codec_id == AV_CODEC_ID_H264) ctx->max_b_frames = 0;
}

bool IsMp4Family(const AVOutputFormat* format) {
  if (!format || !format->name) return false;
  const std::string_view name = format->name;
  return name == "mp4" || name == "mov" || name == "3gp" || name == "3g2" || name == "ipod" ||
         name == "psp";
}

bool KeepsNoStreamStartTimes(const AVOutputFormat* format) {
  return format && format->name && std::string_view(format->name) == "avi";
}

void ApplyMuxerSettings(AVFormatContext* oc) {
  // AVI chunks carry no time stamps: a muxer shift of every stream by the audio encoder's
  // negative start would put an empty video chunk after the first picture.
  if (KeepsNoStreamStartTimes(oc->oformat)) oc->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
  // The muxer moves the index in front of the media data when it finishes the file; it
  // shifts the data on disk in place with a small buffer, so the file is never held in memory.
  if (IsMp4Family(oc->oformat) && oc->priv_data)
    av_opt_set(oc->priv_data, "movflags", "+faststart", 0);
}
