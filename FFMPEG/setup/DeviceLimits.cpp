#include "DeviceLimits.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
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
    TNamedTarget{"h264", TDeviceTarget::kH264},
    TNamedTarget{"hevc", TDeviceTarget::kHevc},
    TNamedTarget{"webm", TDeviceTarget::kWebM},
    TNamedTarget{"opus", TDeviceTarget::kOpus},
    TNamedTarget{"flac", TDeviceTarget::kFlac},
};

// Apple players: stereo AAC-LC up to 160 kbps; MPEG-4 Simple Profile or H.264 Baseline, no
// second of video above 2.5 Mbps (3 Mbps on the Apple TV). Mobile phones: the video stays
// within the bit rate chosen from the format's list (VideoPeakRate 0).
const TDeviceLimits kNoLimits{};
const TDeviceLimits kApplePortable{2, 160 * kKbps, 2500 * kKbps, true, true};
const TDeviceLimits kAppleTv{2, 160 * kKbps, 3000 * kKbps, true, true};
// Phones take MPEG-4 Simple Profile up to level 3 (CIF, 384 kbps).
const TDeviceLimits kMobile{2, 0, 0, true, true, 3};
// The FLAC encoder takes at most eight channels.
const TDeviceLimits kFlacLimits{8};

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

// MPEG-4 Part 2 Main Profile (levels 2, 3, 4).
constexpr std::array kMpeg4Main = {
    TLevel{2, 396, 23760, 2000 * kKbps},
    TLevel{3, 1620, 97200, 15000 * kKbps},
    TLevel{4, 8160, 489600, 38400 * kKbps},
};

// H.263 Profile 0 (levels 10 to 70): QCIF at 15 fps and 64 kbps up to 720x576 at 50 fps.
constexpr std::array kH263 = {
    TLevel{10, 99, 1485, 64 * kKbps},       TLevel{20, 396, 5940, 128 * kKbps},
    TLevel{30, 396, 11880, 384 * kKbps},    TLevel{40, 396, 11880, 2048 * kKbps},
    TLevel{50, 396, 19800, 4096 * kKbps},   TLevel{60, 810, 40500, 8192 * kKbps},
    TLevel{70, 1620, 81000, 16384 * kKbps},
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

bool Fits(const TLevel& level, TPictureLoad load, int64_t peak_bps) {
  return load.FrameMbs <= level.FrameMbs && load.MbsPerSecond <= level.MbsPerSecond &&
         peak_bps <= level.MaxRate;
}

template <size_t N>
const TLevel* Fitting(const std::array<TLevel, N>& levels, TPictureLoad load, int64_t peak_bps) {
  for (const TLevel& level : levels)
    if (Fits(level, load, peak_bps)) return &level;
  return nullptr;
}

template <size_t N>
const TLevel& FirstFitting(const std::array<TLevel, N>& levels, TPictureLoad load,
                           int64_t peak_bps) {
  const TLevel* level = Fitting(levels, load, peak_bps);
  return level ? *level : levels.back();
}

// Largest index (moov) box read to declare the H.263 level.
constexpr uint64_t kMaxIndexBytes = 64u << 20;

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
    case TDeviceTarget::kFlac:
      return kFlacLimits;
    case TDeviceTarget::kDivX:
    case TDeviceTarget::kNone:
    case TDeviceTarget::kH264:
    case TDeviceTarget::kHevc:
    case TDeviceTarget::kWebM:
    case TDeviceTarget::kOpus:
      break;
  }
  return kNoLimits;
}

int Mpeg4SimpleLevel(int width, int height, AVRational frame_rate, int64_t peak_bps) {
  return FirstFitting(kMpeg4Simple, LoadOf(width, height, frame_rate), peak_bps).Code;
}

void SignalMpeg4Level(AVCodecContext* ctx, AVRational frame_rate, int64_t peak_bps) {
  if (ctx->codec_id != AV_CODEC_ID_MPEG4 || ctx->max_b_frames > 0 ||
      (ctx->flags & AV_CODEC_FLAG_QPEL) || peak_bps <= 0)
    return;
  const TPictureLoad load = LoadOf(ctx->width, ctx->height, frame_rate);
  if (const TLevel* simple = Fitting(kMpeg4Simple, load, peak_bps)) {
    ctx->profile = FF_PROFILE_MPEG4_SIMPLE;
    ctx->level = simple->Code;
    return;
  }
  const TLevel* main = Fitting(kMpeg4Main, load, peak_bps);
  ctx->profile = FF_PROFILE_MPEG4_MAIN;
  ctx->level = main ? main->Code : kMpeg4Main.back().Code;
}

int H263Level(int width, int height, AVRational frame_rate, int64_t peak_bps) {
  return FirstFitting(kH263, LoadOf(width, height, frame_rate), peak_bps).Code;
}

int H264BaselineLevel(int width, int height, AVRational frame_rate, int64_t peak_bps) {
  return FirstFitting(kH264Baseline, LoadOf(width, height, frame_rate), peak_bps).Code;
}

int64_t H264LevelMaxRate(int level) {
  for (const TLevel& entry : kH264Baseline)
    if (entry.Code == level) return entry.MaxRate;
  return kH264Baseline.back().MaxRate;
}

int64_t H264HighLevelMaxRate(int level) {
  return H264LevelMaxRate(level) * 5 / 4;
}

int H264HighLevel(int width, int height, AVRational frame_rate) {
  const int picture = FirstFitting(kH264Baseline, LoadOf(width, height, frame_rate), 0).Code;
  // Below 3.0 the levels' rates starve even small pictures; every current player takes 3.0.
  return std::max(30, picture);
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

namespace {

bool IsEncoder(const AVCodec* codec, std::string_view name) {
  return codec && std::string_view(codec->name) == name;
}

// The private option of a library encoder; the engine's other encoders have none of these.
void SetPrivate(AVCodecContext* ctx, const AVCodec* codec, const char* name, const char* value) {
  if (codec && ctx->priv_data) av_opt_set(ctx->priv_data, name, value, 0);
}

bool MoreThanEightBits(AVPixelFormat format) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  return desc && desc->comp[0].depth > 8;
}

// Keeps every one-second window of video within CAP_BPS, as CapVideoRate does, without
// touching the bit rate: a constant-quality encoder spends less where the picture allows.
void CapEverySecond(AVCodecContext* ctx, int64_t cap_bps) {
  if (cap_bps <= 0) return;
  const int64_t buffer = cap_bps / 4;
  ctx->rc_max_rate = cap_bps - buffer;
  ctx->rc_buffer_size = static_cast<int>(std::min<int64_t>(buffer, INT32_MAX));
  ctx->rc_initial_buffer_occupancy = ctx->rc_buffer_size * 3 / 4;
}

// H.264 High profile, 8-bit 4:2:0, B-frames, at the level that fits the picture and the cap.
void ApplyH264High(AVCodecContext* ctx, const AVCodec* codec, AVRational rate) {
  if (ctx->codec_id != AV_CODEC_ID_H264) return;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->profile = FF_PROFILE_H264_HIGH;
  ctx->max_b_frames = 3;
  const int64_t cap = ctx->rc_max_rate > 0 ? ctx->rc_max_rate : ctx->bit_rate;
  ctx->level = H264HighLevel(ctx->width, ctx->height, rate);
  CapEverySecond(ctx, cap > 0 ? std::min(cap, H264HighLevelMaxRate(ctx->level))
                              : H264HighLevelMaxRate(ctx->level));
  if (IsEncoder(codec, "libx264")) SetPrivate(ctx, codec, "profile", "high");
}

// HEVC Main, or Main 10 for a source of more than 8 bits, tagged "hvc1" (Apple's players
// open no other tag).
void ApplyHevc(AVCodecContext* ctx, const AVCodec* codec) {
  if (ctx->codec_id != AV_CODEC_ID_HEVC) return;
  const bool deep = MoreThanEightBits(ctx->pix_fmt);
  ctx->pix_fmt = deep ? AV_PIX_FMT_YUV420P10 : AV_PIX_FMT_YUV420P;
  ctx->profile = deep ? FF_PROFILE_HEVC_MAIN_10 : FF_PROFILE_HEVC_MAIN;
  ctx->codec_tag = MKTAG('h', 'v', 'c', '1');
  CapEverySecond(ctx, ctx->rc_max_rate > 0 ? ctx->rc_max_rate : ctx->bit_rate);
  if (IsEncoder(codec, "libx265")) {
    SetPrivate(ctx, codec, "profile", deep ? "main10" : "main");
    // The library writes its own notes to the standard error; errors only.
    SetPrivate(ctx, codec, "x265-params", "log-level=error");
  }
}

// VP9 profile 0 (8-bit 4:2:0, which every browser decodes); with a quality number the bit
// rate is the ceiling of constrained quality.
void ApplyVp9(AVCodecContext* ctx, const AVCodec* codec) {
  if (ctx->codec_id != AV_CODEC_ID_VP9) return;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->profile = FF_PROFILE_VP9_0;
  const int64_t cap = ctx->rc_max_rate > 0 ? ctx->rc_max_rate : ctx->bit_rate;
  CapEverySecond(ctx, cap);
  // Constrained quality: the bit rate is the ceiling the quality number may not exceed. Without
  // a quality number (a size to fit) the bit rate is the average to keep.
  double quality = -1;
  if (ctx->priv_data && av_opt_get_double(ctx->priv_data, "crf", 0, &quality) < 0) quality = -1;
  if (ctx->rc_max_rate > 0 && quality >= 0) ctx->bit_rate = ctx->rc_max_rate;
  if (IsEncoder(codec, "libvpx-vp9")) {
    SetPrivate(ctx, codec, "deadline", "good");
    SetPrivate(ctx, codec, "cpu-used", "3");
    SetPrivate(ctx, codec, "row-mt", "1");
  }
}

}  // namespace

void SetConstantQuality(AVCodecContext* ctx, const AVCodec* codec, float quality) {
  if (quality < 0 || !codec || !ctx->priv_data) return;
  if (!av_opt_find(ctx->priv_data, "crf", nullptr, 0, 0)) return;
  av_opt_set_double(ctx->priv_data, "crf", quality, 0);
  // The x264 and x265 encoders take a bit rate before the quality number; their rate is then
  // only the cap (maxrate). VP9 reads the bit rate as constrained quality's ceiling.
  if (!IsEncoder(codec, "libvpx-vp9")) {
    if (ctx->rc_max_rate <= 0) ctx->rc_max_rate = ctx->bit_rate;
    ctx->bit_rate = 0;
  }
}

void ApplyDeviceVideoSettings(TDeviceTarget target, AVCodecContext* ctx, const AVCodec* codec) {
  const AVRational rate = ctx->framerate.num > 0 ? ctx->framerate : av_inv_q(ctx->time_base);
  switch (target) {
    case TDeviceTarget::kH264:
      return ApplyH264High(ctx, codec, rate);
    case TDeviceTarget::kHevc:
      return ApplyHevc(ctx, codec);
    case TDeviceTarget::kWebM:
      return ApplyVp9(ctx, codec);
    default:
      break;
  }
  const TDeviceLimits& limits = DeviceLimits(target);
  if (&limits == &kNoLimits) {
    // Without a rate cap a second of video may carry about twice the average rate.
    SignalMpeg4Level(ctx, rate, std::max<int64_t>(ctx->rc_max_rate, 2 * ctx->bit_rate));
    if (target == TDeviceTarget::kDivX && ctx->codec_id == AV_CODEC_ID_MPEG4 && ctx->codec_tag == 0)
      ctx->codec_tag = MKTAG('D', 'X', '5', '0');
    return;
  }
  int64_t peak = limits.VideoPeakRate > 0 ? limits.VideoPeakRate : ctx->bit_rate;

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
  if (ctx->codec_id == AV_CODEC_ID_MPEG4 && limits.SignalMpeg4Level) {
    // A picture that fits the players' highest level gets at most that level's rate. The
    // level then covers all the cap lets through: buffer plus one second at the peak rate.
    const TPictureLoad load = LoadOf(ctx->width, ctx->height, rate);
    for (const TLevel& level : kMpeg4Simple)
      if (level.Code == limits.MaxMpeg4Level && Fits(level, load, 0))
        peak = std::min(peak, level.MaxRate);
    CapVideoRate(ctx, peak);
    // Simple Profile has no B-frames and no quarter-pel motion.
    ctx->profile = FF_PROFILE_MPEG4_SIMPLE;
    ctx->level = Mpeg4SimpleLevel(ctx->width, ctx->height, rate, peak);
    ctx->max_b_frames = 0;
    ctx->flags &= ~AV_CODEC_FLAG_QPEL;
    return;
  }
  CapVideoRate(ctx, peak);
  // The encoder signals no level; the 3GP muxer writes this one (DeclareH263Level).
  if (ctx->codec_id == AV_CODEC_ID_H263)
    ctx->level = H263Level(ctx->width, ctx->height, rate, peak);
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

bool DeclareH263Level(const AVFormatContext* oc) {
  if (!IsMp4Family(oc->oformat) || !oc->url) return false;
  int level = 0;
  for (unsigned i = 0; i < oc->nb_streams; ++i) {
    const AVCodecParameters* par = oc->streams[i]->codecpar;
    if (par->codec_id == AV_CODEC_ID_H263 && par->level > 0) level = par->level;
  }
  if (level <= 0 || level > 255) return false;
  // Outputs are opened as "file:" URLs so that no colon in a name selects a protocol.
  std::string_view path = oc->url;
  if (path.rfind("file:", 0) == 0) path.remove_prefix(5);
  const int fd = open(std::string(path).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  // The H.263 sample entry's "d263" box: size 15, type, vendor, decoder version, level,
  // profile. It lies in the index (moov), which the MP4 family writes at the front.
  bool done = false;
  uint8_t head[16];
  off_t at = 0;
  while (!done && pread(fd, head, 8, at) == 8) {
    uint64_t size = static_cast<uint64_t>(head[0]) << 24 | head[1] << 16 | head[2] << 8 | head[3];
    if (size == 1 && pread(fd, head + 8, 8, at + 8) == 8) {
      size = 0;
      for (int k = 8; k < 16; ++k) size = size << 8 | head[k];
    }
    if (size < 8) break;
    if (std::memcmp(head + 4, "moov", 4) == 0 && size <= kMaxIndexBytes) {
      std::vector<uint8_t> index(size);
      if (pread(fd, index.data(), size, at) != static_cast<ssize_t>(size)) break;
      static constexpr uint8_t kBox[] = {0, 0, 0, 15, 'd', '2', '6', '3'};
      const auto found = std::search(index.begin(), index.end(), std::begin(kBox), std::end(kBox));
      if (found != index.end() && index.end() - found >= 15) {
        const uint8_t value = static_cast<uint8_t>(level);
        done = pwrite(fd, &value, 1, at + (found - index.begin()) + 13) == 1;
      }
      break;
    }
    at += static_cast<off_t>(size);
  }
  close(fd);
  return done;
}

void DeclareXvidLevel(AVCodecContext* ctx) {
  if (!ctx->codec || std::string_view(ctx->codec->name) != "libxvid" || !ctx->extradata) return;
  if (ctx->level <= 0 || ctx->level > 15) return;
  int profile_bits = 0;
  if (ctx->profile == FF_PROFILE_MPEG4_MAIN)
    profile_bits = 0x30;
  else if (ctx->profile != FF_PROFILE_MPEG4_SIMPLE)
    return;
  // The visual object sequence start code is followed by profile_and_level_indication.
  static constexpr uint8_t kSequenceStart[] = {0, 0, 1, 0xB0};
  uint8_t* const end = ctx->extradata + ctx->extradata_size;
  uint8_t* at =
      std::search(ctx->extradata, end, std::begin(kSequenceStart), std::end(kSequenceStart));
  if (end - at > 4) at[4] = static_cast<uint8_t>(profile_bits | ctx->level);
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

int ProgramStreamPacketSize(const AVFormatContext* oc) {
  int64_t audio_bps = 0;
  for (unsigned i = 0; i < oc->nb_streams; ++i) {
    const AVCodecParameters* par = oc->streams[i]->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) audio_bps = std::max(audio_bps, par->bit_rate);
  }
  // The muxer advances its clock by a packet's transfer time at the declared rate and drops
  // the fraction of a clock tick (1/90000 s); the clock would fall behind the declared rate
  // unless every packet takes whole ticks. At kProgramStreamMuxRate a tick carries 14 bytes.
  constexpr int64_t kStep = 112;  // whole ticks and whole 16-byte steps
  static_assert(kProgramStreamMuxRate / 8 == 90000 * 14);
  if (audio_bps <= 0) return 2048 / kStep * kStep;
  // Payload for kProgramStreamPacketMs of sound plus the pack and packet headers.
  const int64_t bytes = audio_bps / 8 * kProgramStreamPacketMs / 1000 + 32;
  return static_cast<int>(
      std::clamp<int64_t>((bytes + kStep - 1) / kStep * kStep, 5 * kStep, 2048 / kStep * kStep));
}

bool IsProgramStream(const AVOutputFormat* format) {
  if (!format || !format->name) return false;
  const std::string_view name = format->name;
  return name == "mpeg" || name == "vob";
}

const AVOutputFormat* ProgramStreamFormat(const AVOutputFormat* guessed,
                                          std::string_view video_codec) {
  if (!guessed || !guessed->name || std::string_view(guessed->name) != "mpeg") return guessed;
  const AVCodec* codec = avcodec_find_encoder_by_name(std::string(video_codec).c_str());
  if (!codec || codec->id != AV_CODEC_ID_MPEG2VIDEO) return guessed;
  const AVOutputFormat* vob = av_guess_format("vob", nullptr, nullptr);
  return vob ? vob : guessed;
}

void ApplyMuxerSettings(AVFormatContext* oc) {
  // AVI chunks carry no time stamps: a muxer shift of every stream by the audio encoder's
  // negative start would put an empty video chunk after the first picture.
  if (KeepsNoStreamStartTimes(oc->oformat)) oc->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
  // The muxer moves the index in front of the media data when it finishes the file; it
  // shifts the data on disk in place with a small buffer, so the file is never held in memory.
  if (IsMp4Family(oc->oformat) && oc->priv_data)
    av_opt_set(oc->priv_data, "movflags", "+faststart", 0);
  if (IsProgramStream(oc->oformat) && oc->priv_data) {
    av_opt_set_int(oc->priv_data, "muxrate", kProgramStreamMuxRate, 0);
    if (const int size = ProgramStreamPacketSize(oc); size > 0) oc->packet_size = size;
  }
}

namespace {

// Level entry CODE of LEVELS, or null.
template <size_t N>
const TLevel* LevelOf(const std::array<TLevel, N>& levels, int code) {
  for (const TLevel& level : levels)
    if (level.Code == code) return &level;
  return nullptr;
}

// A read-back frame rate is an average over time stamps and may lie a hair above the rate the
// level was chosen for: 2% more macroblocks per second pass.
bool LevelCoversPicture(const TLevel* level, TPictureLoad load) {
  return level && load.FrameMbs <= level->FrameMbs &&
         load.MbsPerSecond <= level->MbsPerSecond + level->MbsPerSecond / 50;
}

std::string LevelText(int level, bool h264) {
  if (!h264) return std::to_string(level);
  return std::to_string(level / 10) + "." + std::to_string(level % 10);
}

std::string H264Breach(const TDeviceLimits& limits, TDeviceTarget target, const TVideoFacts& v,
                       TPictureLoad load) {
  const bool baseline = (v.Profile & ~FF_PROFILE_H264_CONSTRAINED) == FF_PROFILE_H264_BASELINE;
  if (limits.BaselineH264 && (!baseline || v.BPictures))
    return "the output's video is not H.264 Baseline (profile " + std::to_string(v.Profile) + ")";
  if (target == TDeviceTarget::kH264 && v.Profile != FF_PROFILE_H264_HIGH)
    return "the output's video is not H.264 High (profile " + std::to_string(v.Profile) + ")";
  if (!LevelCoversPicture(LevelOf(kH264Baseline, v.Level), load))
    return "the output's H.264 level " + LevelText(v.Level, true) + " does not cover its " +
           std::to_string(v.Width) + "x" + std::to_string(v.Height) + " picture";
  return {};
}

std::string Mpeg4Breach(const TDeviceLimits& limits, const TVideoFacts& v, TPictureLoad load) {
  if (v.Profile != FF_PROFILE_MPEG4_SIMPLE || v.BPictures)
    return "the output's video is not MPEG-4 Simple Profile (profile " + std::to_string(v.Profile) +
           ")";
  if (!LevelCoversPicture(LevelOf(kMpeg4Simple, v.Level), load))
    return "the output's MPEG-4 level " + LevelText(v.Level, false) + " does not cover its " +
           std::to_string(v.Width) + "x" + std::to_string(v.Height) + " picture";
  // A picture that fits the players' highest level must be made at it or below.
  const TLevel* highest = LevelOf(kMpeg4Simple, limits.MaxMpeg4Level);
  if (highest && Fits(*highest, load, 0) && v.Level > limits.MaxMpeg4Level)
    return "the output's MPEG-4 level " + LevelText(v.Level, false) + " is above the players' " +
           LevelText(limits.MaxMpeg4Level, false);
  return {};
}

std::string Kbps(int64_t bps) {
  return std::to_string((bps + 500) / 1000) + " kbps";
}

}  // namespace

std::string VideoBreachOfDeviceLimits(TDeviceTarget target, const TVideoFacts& v) {
  const TPictureLoad load = LoadOf(v.Width, v.Height, v.FrameRate);
  const TDeviceLimits& limits = DeviceLimits(target);
  std::string breach;
  if (v.Codec == AV_CODEC_ID_H264 && (limits.BaselineH264 || target == TDeviceTarget::kH264))
    breach = H264Breach(limits, target, v, load);
  else if (v.Codec == AV_CODEC_ID_MPEG4 && limits.SignalMpeg4Level)
    breach = Mpeg4Breach(limits, v, load);
  else if (target == TDeviceTarget::kHevc && v.Codec == AV_CODEC_ID_HEVC) {
    if (v.Profile != FF_PROFILE_HEVC_MAIN && v.Profile != FF_PROFILE_HEVC_MAIN_10)
      breach = "the output's video is not HEVC Main or Main 10 (profile " +
               std::to_string(v.Profile) + ")";
    else if (v.CodecTag != MKTAG('h', 'v', 'c', '1'))
      breach = "the output's HEVC video is not tagged hvc1";
  } else if (target == TDeviceTarget::kWebM && v.Codec == AV_CODEC_ID_VP9 &&
             v.Profile != FF_PROFILE_VP9_0) {
    breach = "the output's video is not VP9 profile 0 (profile " + std::to_string(v.Profile) + ")";
  }
  if (!breach.empty()) return breach;
  // The rate control keeps every second within the peak; a tenth more is measuring, not a fault
  // (the window here is over decoding times, the players' over arrival).
  if (limits.VideoPeakRate > 0 && v.PeakBps > limits.VideoPeakRate + limits.VideoPeakRate / 10)
    return "a second of the output's video carries " + Kbps(v.PeakBps) + ", above the players' " +
           Kbps(limits.VideoPeakRate);
  return {};
}

std::string AudioBreachOfDeviceLimits(TDeviceTarget target, AVCodecID codec, int channels,
                                      int64_t average_bps) {
  const TDeviceLimits& limits = DeviceLimits(target);
  if (limits.MaxAudioChannels > 0 && channels > limits.MaxAudioChannels)
    return "the output's sound has " + std::to_string(channels) + " channels, above the players' " +
           std::to_string(limits.MaxAudioChannels);
  // The AAC encoder holds its average rate, not every packet: a tenth more passes.
  if (limits.MaxAacBitrate > 0 && codec == AV_CODEC_ID_AAC &&
      average_bps > limits.MaxAacBitrate + limits.MaxAacBitrate / 10)
    return "the output's sound averages " + Kbps(average_bps) + ", above the players' " +
           Kbps(limits.MaxAacBitrate);
  return {};
}
