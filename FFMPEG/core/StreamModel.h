// The stream model of one transcode run: one record per input file, per input stream and per
// output stream. Transcode() builds it after the files were set up and frees it when the run
// ends, on every path. Everything here is touched by the job's own thread only.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

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
                          int dst_w, int dst_h, AVPixelFormat dst_fmt, int flags,
                          std::string* why);

struct AVFilterGraph;
struct AVFilterContext;

struct InputFileState {
  bool EofReached = false;  // reading the file failed or ended
  int FirstStream = 0;      // index of the file's first stream in the input stream table
  int StreamCount = 0;      // streams known at set-up; packets of later streams are dropped
  int ReadError = 0;        // what ended reading: AVERROR_EOF or the library's error
  // End of the furthest packet read, microseconds from the file's start; AV_NOPTS_VALUE until
  // a packet with a time stamp arrives.
  int64_t ReachedUs = AV_NOPTS_VALUE;
};

// Decoded pictures are deinterlaced through a small libavfilter graph (buffer -> yadif ->
// buffersink), made on the first picture and rebuilt when the picture geometry changes.
struct DeinterlaceGraph {
  FilterGraphPtr Graph;
  AVFilterContext* Source = nullptr;  // owned by Graph
  AVFilterContext* Sink = nullptr;    // owned by Graph
  int Width = 0, Height = 0, PixFmt = -1;
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
  // Demuxer clock used for the discontinuity check: the last packet's dts and the dts expected
  // for the next packet, microseconds. Kept apart from Pts because decoders hand out pictures
  // in presentation order, later than their packets.
  int64_t NextDts = AV_NOPTS_VALUE;
  int64_t LastDts = AV_NOPTS_VALUE;
  bool IsStart = true;  // until audio sync has aligned the stream
  bool RateEmu = false;

  AVCodecContext* Decoder = nullptr;  // opened decoder (owned by DecoderOwner)
  CodecContextPtr DecoderOwner;
  FramePtr Frame;     // decoder output, reused
  float Quality = 0;  // quality of the last decoded picture (for "sameq")
  int64_t FramesDecoded = 0;
  int LastDecodeError = 0;  // library error code of the last packet that did not decode

  // Audio: decoded sound as interleaved signed 16-bit at the decoder's rate and channels.
  SwrPtr ToS16;
  int ToS16Format = -1, ToS16Rate = 0;
  AVChannelLayout ToS16Layout{};
  std::vector<uint8_t> S16Buffer;
  // Layout and rate of the last sound handed on; both may change within a stream.
  AVChannelLayout S16Layout{};
  int S16Rate = 0;

  DeinterlaceGraph Deinterlacer;
  FramePtr Deinterlaced;  // last picture out of the deinterlacer
  std::unique_ptr<TUprightStep> Upright;  // for sources stored rotated or mirrored

  InputStreamState() = default;
  InputStreamState(const InputStreamState&) = delete;
  InputStreamState& operator=(const InputStreamState&) = delete;
  ~InputStreamState() {
    av_channel_layout_uninit(&ToS16Layout);
    av_channel_layout_uninit(&S16Layout);
  }
};

struct OutputStreamState {
  int FileIndex = 0;
  int Index = 0;  // stream index within the output file
  int SourceIndex = 0;
  AVStream* Stream = nullptr;
  AVCodecContext* Encoder = nullptr;  // the output's codec context (owned by the engine)
  bool EncodingNeeded = false;
  int64_t FrameNumber = 0;  // frames (packets for copy) written so far
  int64_t PacketsWritten = 0;  // packets handed to the writer
  InputStreamState* SyncInput = nullptr;
  int64_t SyncOpts = 0;  // output position: video frames, audio samples (encoder time base)

  // Video: crop, scale, pad.
  bool VideoResample = false;
  FramePtr TempPicture;  // scale and pad target in the encoder's format and size
  SwsPtr ScaleContext;
  int ScaleSourceHeight = 0;
  bool VideoCrop = false;
  int CropTop = 0, CropLeft = 0, CropBottom = 0, CropRight = 0;
  bool VideoPad = false;
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  FramePtr EncodeFrame;    // reference handed to the encoder
  float LastQuality = -1;  // quantiser x 118 of the last coded picture, from side data
  int LastPictType = 0;
  uint64_t LastError[4] = {0, 0, 0, 0};  // squared errors of the last coded picture

  // Audio: resample and channel conversion, FIFO of 16-bit interleaved samples at the
  // encoder's rate and channels, and the conversion to the encoder's sample format.
  bool AudioResample = false;
  SwrPtr Resampler;
  int ResamplerInChannels = 0, ResamplerInRate = 0;  // what Resampler was built for
  AudioFifoPtr Fifo;
  SwrPtr ToEncoderFormat;            // s16 interleaved -> encoder sample format, same rate
  FramePtr AudioFrame;               // one encoder frame, reused while the encoder lets go of it
  int AudioFrameCapacity = 0;        // samples AudioFrame's buffer holds
  std::vector<uint8_t> FrameBuffer;  // one frame of 16-bit samples read from the FIFO
  std::unique_ptr<AmrNbEncoder> Amr;
  int64_t NextAudioPts = AV_NOPTS_VALUE;  // keeps audio frame pts increasing
  // The container keeps no stream start times: the first samples are placed by leading
  // silence (or by dropping the encoder's priming delay) instead.
  bool AlignAudioStart = false;

  // Copy: leading packets before the first key frame are skipped.
  bool CopyStarted = false;

  // Muxing position: end of the last packet handed to the writer, in the stream time base.
  int64_t MuxEnd = AV_NOPTS_VALUE;
  int64_t MuxLastDts = AV_NOPTS_VALUE;  // last dts handed to the writer

  std::FILE* PassLogFile = nullptr;  // first-pass statistics output
  bool CodecOpened = false;

  OutputStreamState() = default;
  OutputStreamState(const OutputStreamState&) = delete;
  OutputStreamState& operator=(const OutputStreamState&) = delete;
  ~OutputStreamState();
};

// Everything one run owns; released in one place whatever way the run ends.
struct TranscodeRun {
  std::vector<InputFileState> Files;
  std::vector<std::unique_ptr<InputStreamState>> Inputs;
  std::vector<std::unique_ptr<OutputStreamState>> Outputs;
  int64_t LastReportUs = 0;
  bool FinalReportGiven = false;
  // The read loop ended because the inputs ended (not by a limit or a stop request).
  bool InputsEnded = false;
  // Quantiser histogram for the "qphist" report, never reset within the run.
  int QpHistogram[52] = {};
  // Working buffers of the audio path, reused between calls.
  std::vector<uint8_t> SampleBuffer;
  std::vector<uint8_t> SilenceBuffer;
  std::vector<uint8_t> HookPixels;  // pixels of the custom hook's bitmap
};

// Runs one job on an engine whose files are set up: stream mapping, codecs, headers, the
// read-decode-encode-write loop, flushing, trailers and reports. TCustomFFmpeg::Transcode()
// makes one and calls Run(); the engine's option fields are read, its counters, hook state
// and Finished are written.
class Transcoder {
 public:
  explicit Transcoder(TCustomFFmpeg& engine);
  ~Transcoder();
  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;

  // Returns at the end of a complete or stopped run; throws FFMpegException on failure.
  void Run();

 private:
  // Set-up (Transcode.cpp).
  void BuildInputTables();
  void MapOutputStreams();
  void PrepareOutputStream(OutputStreamState& ost);
  void PrepareCopy(OutputStreamState& ost, const InputStreamState& ist);
  void OpenPassLog(OutputStreamState& ost, int table_index);
  void OpenEncoders();
  void OpenDecoders();
  void CopyMetaData();
  void WriteHeaders();
  void MainLoop();
  void FinishRun();
  void CheckOutputsHoldMedia() const;
  void NoteShortSource();
  void CloseCodecs();
  void Log(int level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));

  // Packet output (PacketOutput.cpp).
  int OutputPacket(InputStreamState& ist, int ist_index, const AVPacket* pkt);
  void HandleDecodedFrame(InputStreamState& ist, int ist_index, AVFrame* frame);
  void CopyPacket(InputStreamState& ist, int ist_index, const AVPacket* pkt);
  void SendToOutputs(InputStreamState& ist, int ist_index, AVFrame* picture, uint8_t* samples,
                     int sample_bytes);
  void DrainDeinterlacer(InputStreamState& ist, int ist_index);
  void DrainEncoders(int ist_index);
  void DoSubtitleOut(OutputStreamState& ost, InputStreamState& ist, AVSubtitle& sub, int64_t pts);
  void PrintReport(bool final_report);
  void DoVideoStats(OutputStreamState& ost, int frame_size);

 public:
  // Writes one packet through the interleaving writer.
  // Takes the packet's reference (PKT is empty afterwards); throws on a write failure.
  void WriteFrame(OutputStreamState& ost, AVPacket* pkt);

 private:
  // Sends FRAME (nullptr drains) to the encoder and writes every packet it gives back.
  // Returns the size of the last packet written, 0 when none.
  int EncodeAndWrite(OutputStreamState& ost, const AVFrame* frame);

  // Video path (VideoPath.cpp).
  AVFrame* PreProcessVideoFrame(InputStreamState& ist, AVFrame* picture);
  AVFrame* Deinterlace(InputStreamState& ist, AVFrame* picture);
  void RunCustomHook(AVFrame* picture, int64_t pts_us);
  int DoVideoOut(OutputStreamState& ost, InputStreamState& ist, AVFrame* picture);

  // Audio path (AudioPath.cpp).
  bool ToS16(InputStreamState& ist, AVFrame* frame, uint8_t*& data, int& size);
  void ApplyVolume(uint8_t* data, int size) const;
  void DoAudioOut(OutputStreamState& ost, InputStreamState& ist, const uint8_t* buf, int size);
  void EncodeAudioFrame(OutputStreamState& ost, const uint8_t* samples, int nb_samples);
  void FlushAudio(OutputStreamState& ost);
  void AlignAudioStart(OutputStreamState& ost, double start_s, const uint8_t*& data, int& samples);

  TCustomFFmpeg& e_;
  const TEngineOptions& opt_;  // a run reads the options and never changes them
  TranscodeRun run_;
  PacketPtr packet_;   // demuxed packet, reused
  PacketPtr out_pkt_;  // encoded packet, reused
};
