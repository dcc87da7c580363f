// The stream model of one transcode run: one record per input file, per input stream and per
// output stream. Transcode() builds it after the files were set up and frees it when the run
// ends, on every path. What set-up fills in (indices, streams, codec contexts, sources, crop
// and pad) is only read by the stages. While the stages work on their own threads, each field
// they change has one writer: the input stage owns the file records and the read position of
// each input stream, the decode stage the rest of the input stream's record and the records of
// its copy and subtitle outputs, the picture fit or sound path the sync state of an encoded
// output, its encode stage the encoder, and the mux stage the muxing position and the written
// packets' figures; the few figures read across stages are atomics.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AVPtr.h"
#include "EngineOptions.h"
#include "FFmpegException.h"
#include "Orientation.h"

class AmrNbEncoder;
class TCustomFFmpeg;
struct SwsContext;

// A scaler from (SRC_W x SRC_H, SRC_FMT) to (DST_W x DST_H, DST_FMT), reusing CACHED when it
// already has these parameters. The parameters are checked first (sizes above zero, formats
// the scaler reads and writes), since the scaler aborts the process on some it cannot take.
// On failure CACHED is freed, WHY says what was wrong and nullptr is returned.
SwsContext* CheckedScaler(SwsContext* cached, int src_w, int src_h, AVPixelFormat src_fmt,
                          int dst_w, int dst_h, AVPixelFormat dst_fmt, int flags, std::string* why);

// A picture of FMT and size WIDTH x HEIGHT with its own buffer; nullptr when it cannot be made.
FramePtr NewPicture(AVPixelFormat fmt, int width, int height);

// The conversion of sound keeps the channel layout IN when it has CHANNELS channels, else the
// default layout of that many channels goes into OUT.
void LayoutFor(const AVChannelLayout& in, int channels, AVChannelLayout* out);

// Bytes of the buffers an item holds on to (shared buffers counted whole), for the budgets of
// the queues between stages.
inline size_t HeldBytes(const AVPacket* pkt) {
  return pkt && pkt->size > 0 ? static_cast<size_t>(pkt->size) : 0;
}
inline size_t HeldBytes(const AVFrame* frame) {
  size_t bytes = 0;
  if (!frame) return 0;
  for (const AVBufferRef* buf : frame->buf)
    if (buf) bytes += buf->size;
  for (int i = 0; i < frame->nb_extended_buf; ++i) bytes += frame->extended_buf[i]->size;
  return bytes;
}

struct AVFilterGraph;
struct AVFilterContext;

// A converter of decoded sound to one interleaved sample format, and the sound it was built
// for; rebuilt when the decoder's format, rate or layout changes.
struct SoundConversion {
  SwrPtr Swr;
  int Format = -1, Rate = 0;
  AVChannelLayout Layout{};

  SoundConversion() = default;
  SoundConversion(const SoundConversion&) = delete;
  SoundConversion& operator=(const SoundConversion&) = delete;
  ~SoundConversion() { av_channel_layout_uninit(&Layout); }
};

struct InputFileState {
  bool EofReached = false;  // reading the file failed or ended
  int FirstStream = 0;      // index of the file's first stream in the input stream table
  int StreamCount = 0;      // streams known at set-up; packets of later streams are dropped
  int ReadError = 0;        // what ended reading: AVERROR_EOF or the library's error
  // End of the furthest packet read, microseconds from the file's start; AV_NOPTS_VALUE until
  // a packet with a time stamp arrives.
  int64_t ReachedUs = AV_NOPTS_VALUE;
  // Time stamp jumps beyond the discontinuity threshold that the reader closed.
  int TimelineJumpsClosed = 0;
};

// Decoded pictures are deinterlaced through a small libavfilter graph (buffer -> yadif ->
// buffersink), made on the first picture and rebuilt when the picture geometry changes.
struct DeinterlaceGraph {
  FilterGraphPtr Graph;
  AVFilterContext* Source = nullptr;  // owned by Graph
  AVFilterContext* Sink = nullptr;    // owned by Graph
  int Width = 0, Height = 0, PixFmt = -1;
};

// How far the input stage has read an input stream.
struct InputReadPosition {
  // Demuxer clock used for the discontinuity check: the last packet's dts and the dts expected
  // for the next packet, microseconds. Kept apart from Pts because decoders hand out pictures
  // in presentation order, later than their packets.
  int64_t NextDts = AV_NOPTS_VALUE;
  int64_t LastDts = AV_NOPTS_VALUE;
  // How far the reader has read this stream: the last packet's dts in microseconds. The
  // reader picks the next file to read by it.
  int64_t ReadUs = 0;
  // The last packet's stated duration in microseconds (0 when it states none).
  int64_t LastDurationUs = 0;
};

struct InputStreamState {
  int FileIndex = 0;
  int Index = 0;  // stream index within the file
  AVStream* Stream = nullptr;
  bool Discard = true;  // until an output stream takes this stream as its source
  bool DecodingNeeded = false;
  int64_t StartWallClock = 0;  // rate emulation
  int64_t FrameCount = 0;      // frames paced by rate emulation
  // Time of the current and of the next expected frame in microseconds. NextPts has no value
  // (AV_NOPTS_VALUE) until the first packet arrives.
  int64_t NextPts = AV_NOPTS_VALUE;
  int64_t Pts = 0;
  int64_t PictureDurationUs = 0;  // duration of the last decoded picture (0: unknown)
  InputReadPosition Read;         // the input stage's part
  bool RateEmu = false;

  AVCodecContext* Decoder = nullptr;  // opened decoder (owned by DecoderOwner)
  CodecContextPtr DecoderOwner;
  FramePtr Frame;     // decoder output, reused
  float Quality = 0;  // quality of the last decoded picture (for "sameq")
  int64_t FramesDecoded = 0;
  int LastDecodeError = 0;       // library error code of the last packet that did not decode
  int64_t PacketsUndecoded = 0;  // packets the decoder refused or gave an error for

  // Audio: how far the decoder's frame times lag behind the packets that hold their sound
  // (microseconds). A decoder that gives its first frame only after a few packets stamps it
  // with a later packet's time; the sound keeps the place its packets give it.
  int64_t FirstSoundPacketUs = AV_NOPTS_VALUE;  // time of the first packet sent, until a frame
  bool SoundPacketsSkip = false;  // a packet before the first frame drops samples on purpose
  bool SoundClockSet = false;     // the first frame has set SoundLagUs
  int64_t SoundLagUs = 0;

  // Audio: decoded sound as interleaved signed 16-bit at the decoder's rate and channels, and
  // as interleaved signed 32-bit for the outputs whose sound path carries wide samples.
  SoundConversion ToS16;
  SoundConversion ToS32;

  DeinterlaceGraph Deinterlacer;
  FramePtr Deinterlaced;                  // last picture out of the deinterlacer
  std::unique_ptr<TUprightStep> Upright;  // for sources stored rotated or mirrored

  InputStreamState() = default;
  InputStreamState(const InputStreamState&) = delete;
  InputStreamState& operator=(const InputStreamState&) = delete;
  ~InputStreamState() = default;
};

// A picture or a buffer of sound on its way from a decode stage to a picture fit or sound path.
struct FrameItem {
  // A reference to a decoded picture (fitted to the output by its stage), or interleaved sound
  // in the sample format of the output's sound path.
  FramePtr Frame;
  // The output's sync clock (its sync input's time, microseconds) when the frame was handed on.
  int64_t SyncPts = 0;
  float Quality = 0;            // quality of the decoded picture ("sameq")
  int SourceTopFieldFirst = 0;  // field order of the decoded picture
  // How long the picture lasts by its source's stamps (microseconds; 0 when unknown).
  int64_t DurationUs = 0;
};

// An encoded packet on its way to the writer, or the end of one output's packets (Packet
// empty). Output is the output's place in the output table.
struct WriterItem {
  int Output = 0;
  PacketPtr Packet;
};

// Crop, scale and pad of an encoded picture output, set up with the output, and the picture
// held for frame-rate sync.
struct PictureFitState {
  bool VideoResample = false;
  FramePtr TempPicture;  // scale and pad target in the encoder's format and size
  SwsPtr ScaleContext;
  int ScaleSourceHeight = 0;
  bool VideoCrop = false;
  int CropTop = 0, CropLeft = 0, CropBottom = 0, CropRight = 0;
  bool VideoPad = false;
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  FramePtr EncodeFrame;  // reference handed to the encoder
  // The latest fitted picture, held until the next one arrives: a picture is shown until the
  // next picture's time (or for its own duration, the last one).
  FrameItem HeldPicture;
};

// Resample and channel conversion of an encoded sound output, its FIFO of interleaved samples
// at the encoder's rate and channels, and the conversion to the encoder's sample format. The
// path carries signed 16-bit samples, or signed 32-bit ones, of which the encoder keeps the
// upper 24 bits, for a lossless output of a source with more than 16 bits.
struct SoundPathState {
  AVSampleFormat SampleFormat = AV_SAMPLE_FMT_S16;  // AV_SAMPLE_FMT_S16 or AV_SAMPLE_FMT_S32
  int SampleBytes = 2;                              // bytes of one sample of SampleFormat
  bool AudioResample = false;
  SwrPtr Resampler;
  int ResamplerInChannels = 0, ResamplerInRate = 0;  // what Resampler was built for
  AudioFifoPtr Fifo;
  SwrPtr ToEncoderFormat;              // SampleFormat -> encoder sample format, same rate
  FramePtr AudioFrame;                 // one encoder frame, reused while the encoder lets go of it
  int AudioFrameCapacity = 0;          // samples AudioFrame's buffer holds
  std::vector<uint8_t> FrameBuffer;    // one frame of samples read from the FIFO
  bool IsStart = true;                 // until audio sync has aligned the output
  std::vector<uint8_t> SampleBuffer;   // resampled sound
  std::vector<uint8_t> SilenceBuffer;  // silence put before a late buffer
  int64_t NextAudioPts = AV_NOPTS_VALUE;  // keeps audio frame pts increasing
  // The container keeps no stream start times: the first samples are placed by leading
  // silence (or by dropping the encoder's priming delay) instead.
  bool AlignAudioStart = false;
  // Samples still to drop for the encoder's priming delay, and those dropped so far while no
  // sound has been kept: sound shorter than the delay is written rather than lost.
  int64_t PrimingLeft = 0;
  std::vector<uint8_t> DroppedStart;
};

struct OutputStreamState {
  int FileIndex = 0;
  int Index = 0;       // stream index within the output file
  int TableIndex = 0;  // position in the output stream table
  int SourceIndex = 0;
  AVStream* Stream = nullptr;
  AVCodecContext* Encoder = nullptr;  // the output's codec context (owned by the engine)
  bool EncodingNeeded = false;
  // Frames encoded (packets for copy) so far; the writer reads it for progress reports.
  std::atomic<int64_t> FrameNumber{0};
  // Set once the output has all it takes (its recording time is reached, or its one cover
  // picture is copied), by the stage that decides it: the path of an encoded picture or sound
  // output, which then closes its feed, else the decode stage of its source.
  bool Done = false;
  bool WriterEnded = false;  // the writer was told that no packet follows
  std::atomic<int> FramesDropped{0}, FramesDuplicated{0};  // frame-rate sync
  InputStreamState* SyncInput = nullptr;
  int64_t SyncOpts = 0;  // output position: video frames, audio samples (encoder time base)
  // Where the output clock starts on the sync input's clock, past the run's start time
  // (microseconds; the same for every output of a file). See AlignOutputClocks.
  int64_t ClockShiftUs = 0;

  // The output's encoder: the engine's own, when the library has none.
  std::unique_ptr<AmrNbEncoder> Amr;
  std::FILE* PassLogFile = nullptr;  // first-pass statistics output, written by the encoder
  // The picture fit stage's part (set up with the output) of an encoded picture output, or
  // the sound path stage's of an encoded sound output.
  PictureFitState Fit;
  SoundPathState Sound;
  bool CodecOpened = false;

  OutputStreamState() = default;
  OutputStreamState(const OutputStreamState&) = delete;
  OutputStreamState& operator=(const OutputStreamState&) = delete;
  ~OutputStreamState();
};
