// What the players that the device formats are named for accept, and the encoder and muxer
// settings that keep an output inside those limits: channel count and AAC bit rate, the video
// profile, level, peak rate and buffer, the AVI FourCC, the MPEG frame rates and the MP4 index
// at the front of the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

// The player an output is made for ("device" option); kNone for the general formats. The last
// five are the players of today's formats: H.264 High in MP4, HEVC in MP4, VP9 in WebM, Opus
// and FLAC.
enum class TDeviceTarget {
  kNone,
  kIPod,
  kIPodTouch,
  kIPhone,
  kAppleTV,
  k3GP,
  k3G2,
  kDivX,
  kH264,
  kHevc,
  kWebM,
  kOpus,
  kFlac
};

// "ipod", "ipodtouch", "iphone", "appletv", "3gp", "3g2", "divx", "h264", "hevc", "webm",
// "opus", "flac", or "" / "none" for none.
// Returns false for any other name.
bool ParseDeviceTarget(std::string_view name, TDeviceTarget& target);

struct TDeviceLimits {
  int MaxAudioChannels = 0;       // 0: no limit
  int64_t MaxAacBitrate = 0;      // bit/s; 0: no limit
  int64_t VideoPeakRate = 0;      // bit/s no second of video may exceed; 0: the job's rate
  bool BaselineH264 = false;      // H.264 in Baseline profile without B-frames
  bool SignalMpeg4Level = false;  // MPEG-4 Part 2 in Simple Profile at its true level
  int MaxMpeg4Level = 0;          // highest Simple Profile level the players take; 0: any
};

// Limits of TARGET; all zero/false for kNone.
const TDeviceLimits& DeviceLimits(TDeviceTarget target);

// MPEG-4 Part 2 Simple Profile level (1, 2, 3, 4 for 4a, 5, 6) of a picture size, frame rate
// and peak bit rate; 6 when even that level is exceeded.
int Mpeg4SimpleLevel(int width, int height, AVRational frame_rate, int64_t peak_bps);
// Profile and level for MPEG-4 Part 2 without B-frames or quarter-pel motion in a format
// with no device limits: the Simple Profile level that fits the picture size, frame rate and
// PEAK_BPS, else the Main Profile level (Main decodes every Simple stream and has levels up
// to 1920x1088); Main level 4 beyond that. Leaves the encoder's own choice for streams with
// B-frames or quarter-pel motion, and for an unknown rate (PEAK_BPS 0: constant quantiser).
void SignalMpeg4Level(AVCodecContext* ctx, AVRational frame_rate, int64_t peak_bps);
// H.264 level x 10 (10, 11, 12, 13, 20, ... 51) that fits a picture size, frame rate and peak
// bit rate in Baseline profile, and the highest rate that level allows (bit/s).
int H264BaselineLevel(int width, int height, AVRational frame_rate, int64_t peak_bps);
// H.263 level (10, 20, 30, 40, 50, 60, 70) that fits a picture size, frame rate and peak rate.
int H263Level(int width, int height, AVRational frame_rate, int64_t peak_bps);
int64_t H264LevelMaxRate(int level);
// H.264 High profile level x 10 that a picture size and frame rate need, at least 3.0 (4.0
// for 1080p at 30 fps; the rate cap is then kept within the level's rate).
int H264HighLevel(int width, int height, AVRational frame_rate);
// Highest rate (bit/s) of an H.264 High profile level (1.25 times the Baseline rate).
int64_t H264HighLevelMaxRate(int level);

// Rate control for a video encoder whose output must keep every one-second window of packets
// under PEAK bit/s: the average rate is kept below the peak, and the peak rate and buffer are
// sized so that buffer plus one second at the peak rate stays within PEAK.
void CapVideoRate(AVCodecContext* ctx, int64_t peak_bps);

// Sets a library encoder's constant quality ("crf") when QUALITY >= 0 and the encoder has one;
// the job's bit rate then becomes the rate cap (x264, x265) or the ceiling (VP9).
void SetConstantQuality(AVCodecContext* ctx, const AVCodec* codec, float quality);
// Applies the limits of TARGET to a video encoder context set up with its codec, size, frame
// rate and bit rate: profile, level, B-frames, peak rate and buffer, and the FourCC.
void ApplyDeviceVideoSettings(TDeviceTarget target, AVCodecContext* ctx, const AVCodec* codec);
// The FourCC a player expects of a video stream in FORMAT: XVID for the Xvid encoder in AVI.
void ApplyContainerVideoTag(const AVOutputFormat* format, AVCodecContext* ctx,
                            const AVCodec* codec);
// AVI keeps no presentation times, so players show its pictures in stored order: H.264 in AVI
// is made without reordered pictures (B-frames).
void ApplyContainerPictureOrder(const AVOutputFormat* format, AVCodecContext* ctx);
// Applies the limits of TARGET to an audio encoder context: channels and AAC bit rate.
void ApplyDeviceAudioSettings(TDeviceTarget target, AVCodecContext* ctx);

// The frame rate MPEG-1 and MPEG-2 players take that is nearest to RATE (the eight standard
// rates from 23.976 to 60); RATE itself for other encoders.
AVRational StandardFrameRate(AVCodecID codec, AVRational rate);

// Muxer settings every output of its family gets: the MP4-family index (moov) is written
// before the media data so that playback starts before the file is complete; MPEG program
// streams declare kProgramStreamMuxRate (see there).
void ApplyMuxerSettings(AVFormatContext* oc);
// The muxer of an output whose format follows from its file name (GUESSED): an MPEG-2 program
// stream ("vob") instead of the MPEG-1 system layer for MPEG-2 video (VIDEO_CODEC, an encoder
// name), so that readers take the file for what it holds; GUESSED itself otherwise.
const AVOutputFormat* ProgramStreamFormat(const AVOutputFormat* guessed,
                                          std::string_view video_codec);
// The rate (bit/s) that MPEG program streams declare, unless the job sets one: the DVD's
// rate. Left to itself the muxer declares the streams' average rates, which a variable-rate
// picture exceeds at every key frame, and writes a clock reference only every two seconds of
// data at that rate; with room above the peak it writes one at least every half second.
inline constexpr int kProgramStreamMuxRate = 10080000;
// The packet size (bytes) of an MPEG program stream: packets that carry about
// kProgramStreamPacketMs of its sound (560 to 2016 bytes; 2016 without sound), each sent in a
// whole number of clock ticks at kProgramStreamMuxRate. Readers that take a file's length from
// the last time stamp in it (GStreamer) see the start of the last sound packet; with the
// muxer's own 2048-byte packets that is up to 130 ms before the end at 128 kbps.
inline constexpr int kProgramStreamPacketMs = 40;
int ProgramStreamPacketSize(const AVFormatContext* oc);
// True for the general MPEG-1 and MPEG-2 program-stream muxers ("mpeg", "vob"); the disc
// muxers (VCD, SVCD, DVD) keep what their target presets set.
bool IsProgramStream(const AVOutputFormat* format);
// True for containers that keep no start time per stream (AVI): their sound plays from the
// first chunk, so a late start or an encoder's priming delay must be put into the samples.
bool KeepsNoStreamStartTimes(const AVOutputFormat* format);
// The 3GP muxer declares every H.263 stream at level 10 (QCIF, 15 fps, 64 kbps). For a
// finished file of the MP4 family at OC's URL, writes the level its H.263 stream was made for
// (the stream parameters' level, set by ApplyDeviceVideoSettings) into the "d263" box
// instead. True when it did.
bool DeclareH263Level(const AVFormatContext* oc);

// What a finished output's picture stream shows of itself when it is read back.
struct TVideoFacts {
  AVCodecID Codec = AV_CODEC_ID_NONE;
  int Profile = FF_PROFILE_UNKNOWN;
  int Level = FF_LEVEL_UNKNOWN;
  int Width = 0, Height = 0;
  AVRational FrameRate{0, 1};
  unsigned CodecTag = 0;
  bool BPictures = false;  // a B picture was decoded
  int64_t PeakBps = 0;     // the fullest one-second window of its packets, bit/s
};
// How a read-back picture stream of an output made for TARGET leaves the player's limits (the
// profile, a level that does not cover the picture size and rate, the peak rate, the tag), as a
// note ("the output's video is H.264 profile 100, not Baseline"); "" when it keeps them.
std::string VideoBreachOfDeviceLimits(TDeviceTarget target, const TVideoFacts& video);
// The same for a sound stream: its channels and, for AAC, its average rate.
std::string AudioBreachOfDeviceLimits(TDeviceTarget target, AVCodecID codec, int channels,
                                      int64_t average_bps);

// XVid writes its own profile and level into the stream header it hands over at open (Simple
// Profile level 3 at any size); after the encoder is open this puts the level that the set-up
// chose for CTX (SignalMpeg4Level) there instead. Does nothing for other encoders.
void DeclareXvidLevel(AVCodecContext* ctx);
// True for muxers of the MP4 family (mp4, mov, 3gp, 3g2, ipod/m4a, psp).
bool IsMp4Family(const AVOutputFormat* format);
