// The transcoder: runs one job on an engine whose files are set up. Set-up (stream mapping,
// codecs, headers) and the end (trailers, final report, closing codecs) happen on the job's
// thread; in between the work is split into stages:
//
//   reader -> one stage per input stream (decode, turn upright, deinterlace, hooks, and crop,
//             scale and pad each picture to the size of every output it feeds)
//          -> one stage per encoded picture or sound output (frame-rate or sound sync,
//             resample, encode)
//          -> writer (packets of all outputs merged in time order, the muxer, progress)
//
// Normally every stage runs on its own thread and the stages talk only through small bounded
// queues (the writer's is unbounded: it holds encoded packets, and no stage may ever wait for
// it, so no cycle of waits can form). With SerialStages, or when a decision of one stage would
// depend on how far another has got, the same stage functions are called one after another on
// the job's thread instead. The writer's packet order depends only on what each output
// produced, never on timing, so both ways give the same file.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "AVPtr.h"
#include "BoundedQueue.h"
#include "EngineOptions.h"
#include "StreamModel.h"

#include "RunContext.h"

// Everything one run owns; released in one place whatever way the run ends.
struct TranscodeRun {
  std::vector<InputFileState> Files;
  std::vector<std::unique_ptr<InputStreamState>> Inputs;
  std::vector<std::unique_ptr<OutputStreamState>> Outputs;
  int64_t LastReportUs = 0;
  // The read loop ended because the inputs ended (not by a limit or a stop request).
  bool InputsEnded = false;
  // Quantiser histogram for the "qphist" report, never reset within the run.
  int QpHistogram[52] = {};
  std::vector<uint8_t> HookPixels;  // pixels of the custom hook's bitmap
};

// An encoded packet for the writer, or the end of one output's packets (Packet empty).
struct WriterItem {
  int Output = 0;
  PacketPtr Packet;
};

class Transcoder {
 public:
  explicit Transcoder(const TRunContext& context);
  ~Transcoder();
  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;

  // Returns at the end of a complete or stopped run; throws FFMpegException on failure.
  void Run();

 private:
  // Set-up (Transcode.cpp).
  void BuildInputTables();
  void MapOutputStreams();
  int ChooseSource(const OutputStreamState& ost, int map_index) const;
  void PrepareOutputStream(OutputStreamState& ost);
  void PrepareVideoOutput(OutputStreamState& ost, const AVCodecParameters* icodec);
  void PrepareCopy(OutputStreamState& ost, const InputStreamState& ist);
  void OpenPassLog(OutputStreamState& ost);
  void OpenEncoders();
  void AlignOutputClocks();
  void OpenEncoder(OutputStreamState& ost);
  void SetUpAudioOutput(OutputStreamState& ost);
  void OpenDecoders();
  void CopyMetaData();
  void WriteHeaders();
  void FinishRun();
  void CheckOutputsHoldMedia() const;
  void NoteShortSource();
  void NoteUndecodedPictures();
  void NoteTimelineJumps();
  void AddRunWarning(const std::string& text);
  void CloseCodecs();
  void Log(int level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));

  // Stages and their wiring (Pipeline.cpp).
  bool StagesNeedOneThread() const;
  void RunStages();
  void StartStageThreads();
  void JoinStageThreads();
  void Fail(std::exception_ptr error);
  template <typename Body>
  void RunStageThread(Body body);
  void ReadInputs();
  int ChooseFileToRead() const;
  bool ReadingShouldEnd() const;
  bool ReadOnePacket(int file_index);
  void AdjustTimestamps(InputStreamState& ist, int file_index, AVPacket* pkt);
  void DeliverPacket(int ist_index, PacketPtr pkt);
  void DeliverFrame(OutputStreamState& ost, FrameItem item);
  void DeliverToWriter(OutputStreamState& ost, PacketPtr pkt);
  void EndInputFeed(int ist_index);
  void EndOutputFeed(OutputStreamState& ost);
  void EndWriterFeed(OutputStreamState& ost);
  void DeliverToEncoder(OutputStreamState& ost, AVFrame* frame);
  void EndEncoderFeed(OutputStreamState& ost);
  void InputStageStep(int ist_index, AVPacket* pkt);
  void FinishInput(int ist_index);
  void OutputStageStep(OutputStreamState& ost, FrameItem& item);
  void FinishOutput(OutputStreamState& ost);
  void AcceptForWriting(WriterItem item);
  void WriteReadyPackets();
  int NextPacketToWrite(bool& all_known) const;

  // Input stream stage (PacketOutput.cpp).
  int OutputPacket(InputStreamState& ist, int ist_index, const AVPacket* pkt);
  int DecodePacket(InputStreamState& ist, int ist_index, const AVPacket* pkt);
  int DecodeSubtitle(InputStreamState& ist, int ist_index, const AVPacket* pkt);
  void HandleDecodedFrame(InputStreamState& ist, int ist_index, AVFrame* frame);
  void PaceRateEmulation(InputStreamState& ist, const AVFrame* frame);
  void SendToOutputs(InputStreamState& ist, int ist_index, AVFrame* frame);
  void CopyPacket(InputStreamState& ist, int ist_index, const AVPacket* pkt);
  void DrainDeinterlacer(InputStreamState& ist, int ist_index);
  void DoSubtitleOut(OutputStreamState& ost, InputStreamState& ist, AVSubtitle& sub, int64_t pts);
  // Writer (PacketOutput.cpp).
  void WritePacket(OutputStreamState& ost, PacketPtr pkt);
  void KeepDtsIncreasing(OutputStreamState& ost, const AVFormatContext* oc, AVPacket* pkt);
  void NoteWrittenPacket(OutputStreamState& ost, const AVPacket* pkt);
  void PrintReport(bool final_report);
  std::string FirstVideoFigures(OutputStreamState& ost, bool final_report, int& frame_number,
                                int& fps, float& quality);
  std::string PsnrText(OutputStreamState& ost, bool final_report, int frame_number) const;
  void DoVideoStats(OutputStreamState& ost, const AVPacket* pkt);
  // Encoder stage step: sends FRAME (nullptr drains) to the output's encoder and hands every
  // packet it gives back to the writer.
  void EncodeAndSend(OutputStreamState& ost, const AVFrame* frame);

  // Video path (VideoPath.cpp).
  AVFrame* PreProcessVideoFrame(InputStreamState& ist, AVFrame* picture);
  void GateFrameHooks(int64_t pts);
  int Deinterlace(InputStreamState& ist, AVFrame* picture, AVFrame** out);
  int BuildDeinterlacer(InputStreamState& ist, const AVFrame* picture);
  void RunCustomHook(AVFrame* picture, int64_t pts_us);
  bool ToHookBitmap(AVFrame* work, uint8_t* rgb_data[4], int rgb_linesize[4]);
  bool FromHookBitmap(AVFrame* work, uint8_t* rgb_data[4], int rgb_linesize[4]);
  void DoVideoOut(OutputStreamState& ost, FrameItem item);
  void FlushHeldPicture(OutputStreamState& ost);
  void EncodeHeldPicture(OutputStreamState& ost, int64_t end_pts);
  int64_t VideoSyncCount(OutputStreamState& ost, int64_t start_pts, int64_t end_pts);
  FramePtr FitPicture(OutputStreamState& ost, const AVFrame* picture);
  bool ScaleAndPad(OutputStreamState& ost, const AVFrame* picture, uint8_t* const crop_data[4],
                   int src_w, int src_h);
  void EncodePicture(OutputStreamState& ost, const FrameItem& item);

  // Audio path (AudioPath.cpp).
  bool ToS16(InputStreamState& ist, AVFrame* frame, FramePtr& out);
  void ApplyVolume(uint8_t* data, int size) const;
  void DoAudioOut(OutputStreamState& ost, const FrameItem& item);
  void PrepareResampler(OutputStreamState& ost, const AVFrame* in);
  bool SyncAudio(OutputStreamState& ost, double& sync_time, int in_channels, int in_rate,
                 const uint8_t*& buf, int& size);
  bool CutAtRecordingTime(OutputStreamState& ost, int& samples);
  void QueueSamples(OutputStreamState& ost, const uint8_t* data, int samples);
  void EncodeAudioFrame(OutputStreamState& ost, const uint8_t* samples, int nb_samples);
  void FlushAudio(OutputStreamState& ost);
  void AlignAudioStart(OutputStreamState& ost, double start_s, const uint8_t*& data, int& samples);

  const TRunContext& e_;  // the parts of the engine the run reaches
  const TEngineOptions& opt_;  // a run reads the options and never changes them
  TranscodeRun run_;

  // Stage wiring. threaded_ is false while set-up and the end run on the job's thread, and for
  // runs whose stages all run there.
  bool threaded_ = false;
  std::vector<std::unique_ptr<BoundedQueue<PacketPtr>>> packet_queues_;  // per input stream
  std::vector<std::unique_ptr<BoundedQueue<FrameItem>>> frame_queues_;   // per output stream
  std::vector<std::unique_ptr<BoundedQueue<FramePtr>>> encoder_queues_;  // per output stream
  BoundedQueue<WriterItem> writer_queue_;
  std::vector<std::thread> threads_;
  std::mutex error_mutex_;
  std::exception_ptr error_;
  std::atomic<bool> failed_{false};
  std::atomic<bool> size_limit_reached_{false};
  mutable std::mutex log_mutex_;  // one log line at a time, whichever stage logs

  // Writer state: the packets of each output not written yet.
  struct PendingStream {
    std::deque<PacketPtr> Packets;
    bool Ended = false;
  };
  std::deque<PendingStream> pending_;  // a deque: its elements never move
  size_t pending_bytes_ = 0;
  int outputs_ended_ = 0;
};
