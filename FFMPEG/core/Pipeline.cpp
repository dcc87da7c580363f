// The run's stages and how they are wired: the reader (on the job's thread), one thread per
// input stream that is read, two per encoded picture or sound output (its path, then its
// encoder), and the writer. Each Deliver* call hands an item to the next stage: through its
// queue when the stages run on threads, by calling the stage function directly when they all
// run on the job's thread.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>

extern "C" {
#include <libavutil/time.h>
}

#include "FFmpegException.h"
#include "FFmpegException.h"
#include "OpenErrors.h"
#include "Transcoder.h"

namespace {

// Queue lengths: long enough that a stage runs on while the next one is busy with a slow item
// (an encoder's key picture, a decoder giving several pictures at once), bounded in bytes too
// so that memory stays flat whatever the item sizes (a waiting picture holds a decoded picture).
constexpr size_t kPacketQueueLength = 32;
constexpr size_t kPacketQueueBytes = 4u << 20;
constexpr size_t kFrameQueueLength = 8;
constexpr size_t kFrameQueueBytes = 8u << 20;
constexpr size_t kEncoderQueueLength = 4;
constexpr size_t kEncoderQueueBytes = 8u << 20;

// Stage threads run a few steps below the job's thread, unless a codec's own threads wait on
// them. The codecs' threads (a decoder's frame threads, an encoder's slice threads, created
// when the codecs are opened on the job's thread) wait on one another; one of them kept
// from a core stalls the others and every stage after them, while a stage thread between two
// queues can be put off without holding anyone up. The lower stage threads fill the cores
// whenever the codecs' threads wait. (WMV job: the cores' idle time fell from 320 to 140 ms.)
constexpr int kStagePriorityStep = 5;

void LowerThisThreadPriority() {
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, tid);
  if (errno != 0) return;
  // A failure leaves the thread at the job's priority, which is only slower.
  setpriority(PRIO_PROCESS, tid, std::min(nice + kStagePriorityStep, 19));
}

// True when calls into CTX hand work to the library's own threads and wait for them.
bool RunsCodecThreads(const AVCodecContext* ctx) {
  return ctx && ctx->active_thread_type != 0;
}

// Bytes of the buffers an item holds on to (shared buffers counted whole).
size_t HeldBytes(const AVPacket* pkt) {
  return pkt ? static_cast<size_t>(std::max(pkt->size, 0)) : 0;
}
size_t HeldBytes(const AVFrame* frame) {
  size_t bytes = 0;
  if (!frame) return 0;
  for (const AVBufferRef* buf : frame->buf)
    if (buf) bytes += buf->size;
  for (int i = 0; i < frame->nb_extended_buf; ++i) bytes += frame->extended_buf[i]->size;
  return bytes;
}

// Encoded packets the writer may hold back, waiting for a packet of every output, before it
// writes the earliest anyway (an output that gives nothing for a very long time).
constexpr size_t kMaxPendingBytes = 32u << 20;

std::string ReadLimitText(int file_index, int64_t limit) {
  return "Input file #" + std::to_string(file_index) + " yields no packet in " +
         std::to_string(static_cast<int>(limit >> 20)) +
         " MB of data (an endless or damaged input)";
}

// Moves FILE's furthest point read to the end of PKT (before any time stamp offset), in
// microseconds from the file's start. Time stamps of damaged files can be anything: values
// that would overflow are ignored.
void NoteReach(InputFileState& file, const AVFormatContext* ic, const AVPacket* pkt) {
  if (pkt->stream_index < 0 || pkt->stream_index >= file.StreamCount) return;
  int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (ts == AV_NOPTS_VALUE) return;
  if (pkt->duration > 0 && __builtin_add_overflow(ts, pkt->duration, &ts)) return;
  const AVRational tb = ic->streams[pkt->stream_index]->time_base;
  if (tb.num <= 0 || tb.den <= 0) return;
  int64_t us = av_rescale_q(ts, tb, AV_TIME_BASE_Q);
  if (ic->start_time != AV_NOPTS_VALUE && __builtin_sub_overflow(us, ic->start_time, &us)) return;
  if (file.ReachedUs == AV_NOPTS_VALUE || us > file.ReachedUs) file.ReachedUs = us;
}

// Probing and set-up decoded pictures on other threads and freed them; their pages go back to
// the system before the run's own buffers are made, so they do not add to its peak. (The
// sanitizers bring allocators of their own, which this call does not know.)
void GiveBackFreedMemory() {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  malloc_trim(0);
#endif
}

}  // namespace

// Stages run on the job's thread when one stage's decision would read another's moving state:
// frame limits end the whole run when one output reaches its count; a sync input other than an
// output's source is a clock of another stage; the hook state is shared by all decoded
// picture streams.
bool Transcoder::StagesNeedOneThread() const {
  if (opt_.SerialStages) return true;
  for (int limit : opt_.MaxFrames)
    if (limit != INT_MAX) return true;
  int decoded_video = 0;
  for (const auto& ist : run_.Inputs)
    if (ist->DecodingNeeded && ist->Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
      ++decoded_video;
  const bool hooks = e_.OnCustomHook || e_.Stats.UsingFrameHook || e_.OnBeforeHook;
  if (hooks && decoded_video > 1) return true;
  for (const auto& ost : run_.Outputs)
    if (ost->SyncInput != run_.Inputs[ost->SourceIndex].get()) return true;
  return false;
}

void Transcoder::RunStages() {
  GiveBackFreedMemory();
  pending_.clear();
  pending_.resize(run_.Outputs.size());
  threaded_ = !StagesNeedOneThread();
  if (!threaded_) {
    ReadInputs();
    return;
  }
  try {
    StartStageThreads();
    ReadInputs();
  } catch (...) {
    Fail(std::current_exception());
  }
  JoinStageThreads();
  threaded_ = false;
  if (error_) std::rethrow_exception(error_);
}

// The first failure of any stage ends all of them: every queue wakes its waiters.
void Transcoder::Fail(std::exception_ptr error) {
  {
    std::lock_guard<std::mutex> lock(error_mutex_);
    if (!error_) error_ = std::move(error);
  }
  failed_ = true;
  e_.State.WakePaused();
  for (auto& q : packet_queues_)
    if (q) q->Abort();
  for (auto& q : frame_queues_)
    if (q) q->Abort();
  for (auto& q : encoder_queues_)
    if (q) q->Abort();
  writer_queue_.Abort();
}

template <typename Body>
void Transcoder::RunStageThread(Body body) {
  threads_.emplace_back([this, body]() {
    try {
      e_.RunStageThread(body);
    } catch (...) {
      Fail(std::current_exception());
    }
  });
}

void Transcoder::StartStageThreads() {
  packet_queues_.resize(run_.Inputs.size());
  frame_queues_.resize(run_.Outputs.size());
  encoder_queues_.resize(run_.Outputs.size());
  for (size_t i = 0; i < run_.Inputs.size(); ++i)
    if (!run_.Inputs[i]->Discard)
      packet_queues_[i] =
          std::make_unique<BoundedQueue<PacketPtr>>(kPacketQueueLength, kPacketQueueBytes);
  for (auto& ost : run_.Outputs) {
    const AVMediaType type = ost->Encoder->codec_type;
    if (ost->EncodingNeeded && (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO)) {
      frame_queues_[ost->TableIndex] =
          std::make_unique<BoundedQueue<FrameItem>>(kFrameQueueLength, kFrameQueueBytes);
      encoder_queues_[ost->TableIndex] =
          std::make_unique<BoundedQueue<FramePtr>>(kEncoderQueueLength, kEncoderQueueBytes);
    }
  }
  RunStageThread([this] {
    LowerThisThreadPriority();
    WriterItem item;
    while (outputs_ended_ < static_cast<int>(pending_.size()) && writer_queue_.Pop(item)) {
      e_.State.WaitWhilePaused(failed_);
      AcceptForWriting(std::move(item));
    }
  });
  for (auto& ostp : run_.Outputs) {
    OutputStreamState* ost = ostp.get();
    if (!frame_queues_[ost->TableIndex]) continue;
    RunStageThread([this, ost] {
      LowerThisThreadPriority();
      FrameItem item;
      while (frame_queues_[ost->TableIndex]->Pop(item)) {
        e_.State.WaitWhilePaused(failed_);
        OutputStageStep(*ost, item);
        item = FrameItem{};
      }
      if (!failed_) FinishOutput(*ost);
    });
    // The encoder's own thread: the path prepares the next frame while the encoder works.
    RunStageThread([this, ost] {
      if (!RunsCodecThreads(ost->Encoder)) LowerThisThreadPriority();
      BoundedQueue<FramePtr>& queue = *encoder_queues_[ost->TableIndex];
      FramePtr frame;
      while (queue.Pop(frame)) {
        e_.State.WaitWhilePaused(failed_);
        EncodeAndSend(*ost, frame.get());
        frame.reset();
      }
      if (failed_) return;
      EncodeAndSend(*ost, nullptr);
      EndWriterFeed(*ost);
    });
  }
  for (size_t i = 0; i < run_.Inputs.size(); ++i) {
    if (!packet_queues_[i]) continue;
    const int ist_index = static_cast<int>(i);
    RunStageThread([this, ist_index] {
      if (!RunsCodecThreads(run_.Inputs[static_cast<size_t>(ist_index)]->Decoder))
        LowerThisThreadPriority();
      PacketPtr pkt;
      while (packet_queues_[ist_index]->Pop(pkt)) {
        e_.State.WaitWhilePaused(failed_);
        InputStageStep(ist_index, pkt.get());
        pkt.reset();
      }
      if (!failed_) FinishInput(ist_index);
    });
  }
}

void Transcoder::JoinStageThreads() {
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

// ---- Reader ------------------------------------------------------------------------------

// Reads until the inputs end or a limit, a stop request or a failure ends the run, then tells
// every input stream's stage that its input has ended.
void Transcoder::ReadInputs() {
  while (!e_.State.AbortRequested.load() && !failed_) {
    e_.State.WaitWhilePaused(failed_);
    if (e_.State.AbortRequested.load() || ReadingShouldEnd()) break;
    const int file_index = ChooseFileToRead();
    if (file_index < 0) {
      run_.InputsEnded = true;
      break;
    }
    if (!ReadOnePacket(file_index)) break;
  }
  if (failed_) return;
  for (size_t i = 0; i < run_.Inputs.size(); ++i)
    if (!run_.Inputs[i]->Discard) EndInputFeed(static_cast<int>(i));
}

// Outputs end on their own at their recording time; reading ends once all have, once the
// first output file has reached its size limit, or (on the job's thread only) once an output
// has reached its frame limit.
bool Transcoder::ReadingShouldEnd() const {
  if (size_limit_reached_) return true;
  bool all_done = true;
  for (const auto& ostp : run_.Outputs) {
    const OutputStreamState& ost = *ostp;
    if (!ost.Done) all_done = false;
    const int type = ost.Encoder->codec_type;
    if (type >= 0 && type < 4 && ost.FrameNumber >= opt_.MaxFrames[static_cast<size_t>(type)])
      return true;
  }
  return all_done;
}

// The file whose stream lags most in what has been read of it (ties: the first output's
// source); -1 when every source file has ended. Read positions belong to the reader, so the
// choice does not depend on how far the other stages have got.
int Transcoder::ChooseFileToRead() const {
  int64_t least = std::numeric_limits<int64_t>::max();
  int file_index = -1;
  for (const auto& ostp : run_.Outputs) {
    const InputStreamState& ist = *run_.Inputs[ostp->SourceIndex];
    if (run_.Files[ist.FileIndex].EofReached) continue;
    if (file_index < 0 || ist.ReadUs < least) {
      least = ist.ReadUs;
      file_index = ist.FileIndex;
    }
  }
  return file_index;
}

// Reads one packet of FILE_INDEX and hands it to its stream's stage. False when reading ends.
bool Transcoder::ReadOnePacket(int file_index) {
  AVFormatContext* ic = e_.Files.InputFiles[file_index].get();
  PacketPtr pkt(av_packet_alloc());
  if (!pkt) throw FFMpegException("av_mallocz fail");
  e_.ReadGuard.Begin(ic);
  const int read = av_read_frame(ic, pkt.get());
  e_.ReadGuard.End();
  // A file the input names was refused (a playlist's entry that is a pipe, a network address):
  // the input cannot be converted in full.
  if (!e_.ReadGuard.Refused().empty()) {
    std::string name = ic->url ? ic->url : "";
    if (name.rfind("file:", 0) == 0) name.erase(0, 5);
    throw FFMpegException(ReadStopText(e_.ReadGuard, name));
  }
  InputFileState& file = run_.Files[file_index];
  if (read < 0) {
    if (e_.ReadGuard.LimitHit())
      throw FFMpegException(ReadLimitText(file_index, e_.ReadGuard.Limit));
    if (read == AVERROR_EXIT && e_.State.AbortRequested.load()) return false;
    if (read == AVERROR(ENOMEM))
      throw FFMpegException::FromLibrary(
          "Error while reading input file #" + std::to_string(file_index), read);
    // A read error ends the file like its end: what was read is converted, and a source
    // that ends well before its known duration is reported with the run.
    file.EofReached = true;
    file.ReadError = read;
    if (opt_.Shortest) {
      run_.InputsEnded = true;
      return false;
    }
    return true;
  }
  NoteReach(file, ic, pkt.get());
  if (opt_.DoPktDump)
    av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt.get(), opt_.DoHexDump,
                     ic->streams[pkt->stream_index]);
  if (pkt->stream_index >= file.StreamCount) return true;
  const int ist_index = file.FirstStream + pkt->stream_index;
  InputStreamState& ist = *run_.Inputs[ist_index];
  if (ist.Discard) return true;
  AdjustTimestamps(ist, file_index, pkt.get());
  DeliverPacket(ist_index, std::move(pkt));
  return true;
}

// The file's time stamp offset and scale, then the discontinuity check: a jump beyond the
// threshold, or a step back, moves the file's offset so that time stamps continue from where
// they were.
void Transcoder::AdjustTimestamps(InputStreamState& ist, int file_index, AVPacket* pkt) {
  const AVRational tb = ist.Stream->time_base;
  const int64_t offset = av_rescale_q(e_.Files.InputTsOffset[file_index], AV_TIME_BASE_Q, tb);
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += offset;
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += offset;
  const double scale = pkt->stream_index < kMaxStreamsPerFile
                           ? e_.Files.InputTsScale[file_index][pkt->stream_index]
                           : 0.0;
  if (scale != 0.0) {
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::llround(static_cast<double>(pkt->pts) * scale);
    if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::llround(static_cast<double>(pkt->dts) * scale);
  }
  if (pkt->dts == AV_NOPTS_VALUE) return;
  int64_t dts_us = av_rescale_q(pkt->dts, tb, AV_TIME_BASE_Q);
  const auto threshold_us = static_cast<int64_t>(opt_.DtsDeltaThreshold * 1000000.0);
  if (ist.NextDts != AV_NOPTS_VALUE && !opt_.CopyTs) {
    const int64_t delta = dts_us - ist.NextDts;
    const bool jump = std::llabs(delta) > threshold_us;
    if (jump || dts_us + 1 < ist.LastDts) {
      if (jump) ++run_.Files[file_index].TimelineJumpsClosed;
      e_.Files.InputTsOffset[file_index] -= delta;
      if (opt_.Verbosity > 2)
        Log(1, "timestamp discontinuity %" PRId64 ", new offset= %" PRId64, delta,
            e_.Files.InputTsOffset[file_index]);
      const int64_t d = av_rescale_q(delta, AV_TIME_BASE_Q, tb);
      pkt->dts -= d;
      if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= d;
      dts_us = av_rescale_q(pkt->dts, tb, AV_TIME_BASE_Q);
    }
  }
  ist.LastDts = dts_us;
  // A packet's stated duration counts only up to the threshold: a container that stores one
  // per sample (MP4) hides a jump of hours in the duration of the sample before it, and
  // believing it would fill the jump with hours of repeated pictures.
  const int64_t duration_us =
      pkt->duration > 0 ? av_rescale_q(pkt->duration, tb, AV_TIME_BASE_Q) : 0;
  ist.NextDts = dts_us + (duration_us <= threshold_us ? duration_us : 0);
  ist.ReadUs = dts_us;
}

// ---- Hand-over between stages ---------------------------------------------------------------

void Transcoder::DeliverPacket(int ist_index, PacketPtr pkt) {
  if (threaded_) {
    const size_t bytes = HeldBytes(pkt.get());
    packet_queues_[static_cast<size_t>(ist_index)]->Push(std::move(pkt), bytes);
  } else {
    InputStageStep(ist_index, pkt.get());
  }
}

void Transcoder::DeliverFrame(OutputStreamState& ost, FrameItem item) {
  if (threaded_) {
    const size_t bytes = HeldBytes(item.Frame.get());
    frame_queues_[static_cast<size_t>(ost.TableIndex)]->Push(std::move(item), bytes);
  } else {
    OutputStageStep(ost, item);
  }
}

void Transcoder::DeliverToWriter(OutputStreamState& ost, PacketPtr pkt) {
  WriterItem item{ost.TableIndex, std::move(pkt)};
  if (threaded_)
    writer_queue_.Push(std::move(item));
  else
    AcceptForWriting(std::move(item));
}

// The encoder's thread takes over FRAME's reference and FRAME is left blank, so the path fills
// a new buffer for its next frame rather than one the encoder may still be reading. Encoded at
// once, FRAME stays as it was.
void Transcoder::DeliverToEncoder(OutputStreamState& ost, AVFrame* frame) {
  BoundedQueue<FramePtr>* queue =
      threaded_ ? encoder_queues_[static_cast<size_t>(ost.TableIndex)].get() : nullptr;
  if (!queue) {
    EncodeAndSend(ost, frame);
    return;
  }
  FramePtr taken(av_frame_alloc());
  if (!taken) throw FFMpegException("av_mallocz fail");
  av_frame_move_ref(taken.get(), frame);
  const size_t bytes = HeldBytes(taken.get());
  queue->Push(std::move(taken), bytes);
}

// The encoder gives what it still holds, then the writer learns that the output has ended.
void Transcoder::EndEncoderFeed(OutputStreamState& ost) {
  if (threaded_ && encoder_queues_[static_cast<size_t>(ost.TableIndex)]) {
    encoder_queues_[static_cast<size_t>(ost.TableIndex)]->Close();
    return;
  }
  EncodeAndSend(ost, nullptr);
  EndWriterFeed(ost);
}

void Transcoder::EndInputFeed(int ist_index) {
  if (threaded_)
    packet_queues_[static_cast<size_t>(ist_index)]->Close();
  else
    FinishInput(ist_index);
}

void Transcoder::EndOutputFeed(OutputStreamState& ost) {
  if (threaded_ && frame_queues_[static_cast<size_t>(ost.TableIndex)])
    frame_queues_[static_cast<size_t>(ost.TableIndex)]->Close();
  else
    FinishOutput(ost);
}

void Transcoder::EndWriterFeed(OutputStreamState& ost) {
  if (ost.WriterEnded) return;
  ost.WriterEnded = true;
  DeliverToWriter(ost, nullptr);
}

// ---- Stage steps -------------------------------------------------------------------------

void Transcoder::InputStageStep(int ist_index, AVPacket* pkt) {
  InputStreamState& ist = *run_.Inputs[static_cast<size_t>(ist_index)];
  // A stream whose outputs all have what they take need not be decoded any further.
  bool wanted = false;
  for (const auto& ost : run_.Outputs)
    if (ost->SourceIndex == ist_index && !ost->Done) wanted = true;
  if (!wanted) return;
  if (OutputPacket(ist, ist_index, pkt) < 0 && opt_.Verbosity >= 0)
    Log(1, "Error while decoding stream #%d.%d", ist.FileIndex, ist.Index);
}

// End of an input stream: the decoder and deinterlacer give what they still hold, then every
// output fed by the stream is told that its input has ended.
void Transcoder::FinishInput(int ist_index) {
  InputStreamState& ist = *run_.Inputs[static_cast<size_t>(ist_index)];
  if (ist.DecodingNeeded) OutputPacket(ist, ist_index, nullptr);
  for (auto& ostp : run_.Outputs) {
    OutputStreamState& ost = *ostp;
    if (ost.SourceIndex != ist_index) continue;
    if (ost.EncodingNeeded && ost.CodecOpened && ost.Encoder->codec_type != AVMEDIA_TYPE_SUBTITLE)
      EndOutputFeed(ost);
    else
      EndWriterFeed(ost);
  }
}

void Transcoder::OutputStageStep(OutputStreamState& ost, FrameItem& item) {
  if (ost.Done) return;
  if (ost.Encoder->codec_type != AVMEDIA_TYPE_VIDEO) {
    DoAudioOut(ost, item);
    return;
  }
  // Fitting the picture here, on the output's own thread, lets the input stream's stage hand
  // the decoder its next packet meanwhile. A picture that cannot be fitted is left out.
  item.Frame = FitPicture(ost, item.Frame.get());
  if (item.Frame) DoVideoOut(ost, std::move(item));
}

// End of an output's input: everything its path and its encoder still hold goes out.
void Transcoder::FinishOutput(OutputStreamState& ost) {
  if (ost.Encoder->codec_type == AVMEDIA_TYPE_AUDIO) FlushAudio(ost);
  if (ost.Encoder->codec_type == AVMEDIA_TYPE_VIDEO) FlushHeldPicture(ost);
  EndEncoderFeed(ost);
}

// ---- Writer ------------------------------------------------------------------------------

void Transcoder::AcceptForWriting(WriterItem item) {
  PendingStream& stream = pending_[static_cast<size_t>(item.Output)];
  if (!item.Packet) {
    if (!stream.Ended) ++outputs_ended_;
    stream.Ended = true;
  } else {
    pending_bytes_ += HeldBytes(item.Packet.get());
    stream.Packets.push_back(std::move(item.Packet));
  }
  WriteReadyPackets();
}

// The output whose first waiting packet comes first in time (ties: the earlier output), or
// -1 when none waits. ALL_KNOWN is false when an output that has not ended has none waiting.
int Transcoder::NextPacketToWrite(bool& all_known) const {
  all_known = true;
  int best = -1;
  int64_t best_ts = 0;
  AVRational best_tb{1, 1};
  for (size_t i = 0; i < pending_.size(); ++i) {
    const PendingStream& s = pending_[i];
    if (s.Packets.empty()) {
      if (!s.Ended) all_known = false;
      continue;
    }
    const AVPacket* pkt = s.Packets.front().get();
    const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    const AVRational tb = run_.Outputs[i]->Stream->time_base;
    const bool earlier = best < 0 || (ts == AV_NOPTS_VALUE && best_ts != AV_NOPTS_VALUE) ||
                         (ts != AV_NOPTS_VALUE && best_ts != AV_NOPTS_VALUE &&
                          av_compare_ts(ts, tb, best_ts, best_tb) < 0);
    if (earlier) {
      best = static_cast<int>(i);
      best_ts = ts;
      best_tb = tb;
    }
  }
  return best;
}

// Writes packets in time order across the outputs. The earliest waiting packet goes out only
// when every output still running has a packet waiting, so the order is the same however the
// stages' threads were scheduled.
void Transcoder::WriteReadyPackets() {
  for (;;) {
    bool all_known = false;
    const int next = NextPacketToWrite(all_known);
    if (next < 0 || (!all_known && pending_bytes_ <= kMaxPendingBytes)) return;
    PendingStream& s = pending_[static_cast<size_t>(next)];
    PacketPtr pkt = std::move(s.Packets.front());
    s.Packets.pop_front();
    pending_bytes_ -= HeldBytes(pkt.get());
    WritePacket(*run_.Outputs[static_cast<size_t>(next)], std::move(pkt));
    const int64_t now = av_gettime();
    if (now - run_.LastReportUs > opt_.ProgressIntervalUs) {
      run_.LastReportUs = now;
      PrintReport(false);
    }
  }
}
