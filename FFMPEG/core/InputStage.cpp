// The input stage: the reader of a run's input files.
#include "InputStage.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <limits>

#include "FFmpegException.h"
#include "OpenErrors.h"

namespace {

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

}  // namespace

InputStage::InputStage(const TRunContext& context, const RunLog& log,
                       std::vector<InputFileState>& files,
                       const std::vector<std::unique_ptr<InputStreamState>>& inputs,
                       const std::vector<std::unique_ptr<OutputStreamState>>& outputs,
                       const std::vector<StageLink<PacketPtr>*>& packet_links,
                       const StageLink<WriterItem>& writer_link, const std::atomic<bool>& failed)
    : e_(context),
      opt_(context.Options),
      Log(log),
      files_(files),
      inputs_(inputs),
      outputs_(outputs),
      packet_links_(packet_links),
      writer_link_(writer_link),
      failed_(failed) {}

void InputStage::Run() {
  while (!e_.State.AbortRequested.load() && !failed_) {
    e_.State.WaitWhilePaused(failed_);
    if (e_.State.AbortRequested.load() || ReadingShouldEnd()) break;
    const int file_index = ChooseFileToRead();
    if (file_index < 0) {
      inputs_ended_ = true;
      break;
    }
    if (!ReadOnePacket(file_index)) break;
  }
  if (failed_) return;
  for (StageLink<PacketPtr>* link : packet_links_)
    if (link) link->End();
}

// Outputs end on their own at their recording time: a decode stage whose outputs all have
// what they take closes its feed. Reading ends once every feed is closed, once the writer has
// closed its feed (the first output file has reached its size limit), or (frame limits run on
// the job's thread only) once an output has reached its frame limit.
bool InputStage::ReadingShouldEnd() const {
  if (writer_link_.Closed()) return true;
  for (const auto& ostp : outputs_) {
    const OutputStreamState& ost = *ostp;
    const int type = ost.Encoder->codec_type;
    if (type >= 0 && type < 4 && ost.FrameNumber >= opt_.MaxFrames[static_cast<size_t>(type)])
      return true;
  }
  for (const StageLink<PacketPtr>* link : packet_links_)
    if (link && !link->Closed()) return false;
  return true;
}

// The file whose stream lags most in what has been read of it (ties: the first output's
// source); -1 when every source file has ended. Read positions belong to the reader, so the
// choice does not depend on how far the other stages have got.
int InputStage::ChooseFileToRead() const {
  int64_t least = std::numeric_limits<int64_t>::max();
  int file_index = -1;
  for (const auto& ostp : outputs_) {
    const InputStreamState& ist = *inputs_[ostp->SourceIndex];
    if (files_[ist.FileIndex].EofReached) continue;
    if (file_index < 0 || ist.Read.ReadUs < least) {
      least = ist.Read.ReadUs;
      file_index = ist.FileIndex;
    }
  }
  return file_index;
}

// Reads one packet of FILE_INDEX and hands it to its stream's stage. False when reading ends.
bool InputStage::ReadOnePacket(int file_index) {
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
  InputFileState& file = files_[file_index];
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
      inputs_ended_ = true;
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
  InputStreamState& ist = *inputs_[ist_index];
  if (ist.Discard) return true;
  AdjustTimestamps(ist, file_index, pkt.get());
  // A decode stage that needs nothing more has closed its feed: the packet is dropped.
  const size_t bytes = static_cast<size_t>(std::max(pkt->size, 0));
  packet_links_[static_cast<size_t>(ist_index)]->Push(std::move(pkt), bytes);
  return true;
}

// The file's time stamp offset and scale, then the discontinuity check: a jump beyond the
// threshold (unless it is a still picture's time, see PictureHeldThroughGap), or a step back,
// moves the file's offset so that time stamps continue from where they were.
void InputStage::AdjustTimestamps(InputStreamState& ist, int file_index, AVPacket* pkt) {
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
  if (ist.Read.NextDts != AV_NOPTS_VALUE && !opt_.CopyTs) {
    const int64_t delta = dts_us - ist.Read.NextDts;
    const bool jump = std::llabs(delta) > threshold_us &&
                      !(delta > 0 && PictureHeldThroughGap(ist, file_index, dts_us, threshold_us));
    if (jump || dts_us + 1 < ist.Read.LastDts) {
      if (jump) ++files_[file_index].TimelineJumpsClosed;
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
  ist.Read.LastDts = dts_us;
  // A packet's stated duration counts only up to the threshold: a container that stores one
  // per sample (MP4) hides a jump of hours in the duration of the sample before it, and
  // believing it would fill the jump with hours of repeated pictures.
  const int64_t duration_us =
      pkt->duration > 0 ? av_rescale_q(pkt->duration, tb, AV_TIME_BASE_Q) : 0;
  ist.Read.NextDts = dts_us + (duration_us <= threshold_us ? duration_us : 0);
  ist.Read.LastDurationUs = duration_us;
  ist.Read.ReadUs = dts_us;
}

namespace {

// The longest time between two pictures that the stream's rates suggest (microseconds; 0 when
// it states none): the frame rate guessed from its first pictures, and the average over the
// file.
int64_t PictureSpacingUs(const AVStream* st) {
  int64_t spacing = 0;
  for (const AVRational rate : {st->r_frame_rate, st->avg_frame_rate})
    if (rate.num > 0 && rate.den > 0)
      spacing = std::max(spacing, av_rescale_q(1, av_inv_q(rate), AV_TIME_BASE_Q));
  return spacing;
}

}  // namespace

// A gap of more than the threshold ahead of a picture stream is taken for the time a still
// picture stays on screen (music videos, lectures, time-lapses), not for a jump of the clock,
// when the file itself says it holds that time:
// - its sound, read alongside, has run on to within the threshold of the next picture;
// - or, in a container whose clock does not jump by design (unlike transport and program
//   streams), the gap fits the stream's own spacing of pictures and either the picture before
//   it states a duration that covers it or the next picture lies within the file's stated
//   duration.
// A clock jump moves the sound along with the pictures, and a duration that states one sample
// as lasting hours among pictures a tenth of a second apart fits no spacing: both are closed.
bool InputStage::PictureHeldThroughGap(const InputStreamState& ist, int file_index, int64_t dts_us,
                                       int64_t threshold_us) const {
  if (ist.Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || ist.Read.LastDts == AV_NOPTS_VALUE)
    return false;
  const InputFileState& file = files_[file_index];
  for (int i = file.FirstStream; i < file.FirstStream + file.StreamCount; ++i) {
    const InputStreamState& other = *inputs_[static_cast<size_t>(i)];
    if (other.Discard || other.Stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    if (other.Read.LastDts != AV_NOPTS_VALUE && other.Read.LastDts >= dts_us - threshold_us)
      return true;
  }
  const AVFormatContext* ic = e_.Files.InputFiles[file_index].get();
  if (ic->iformat->flags & AVFMT_TS_DISCONT) return false;
  const int64_t gap = dts_us - ist.Read.LastDts;
  const int64_t slack = gap / 20;  // rounding of stamps and durations
  const int64_t spacing = PictureSpacingUs(ist.Stream);
  if (spacing <= 0 || gap > spacing + spacing / 2) return false;
  if (ist.Read.LastDurationUs + slack >= gap) return true;
  if (ic->duration == AV_NOPTS_VALUE || ic->duration <= 0) return false;
  // The next picture's place from the file's start: the stamp before the file's offset.
  const int64_t from_start = dts_us - e_.Files.InputTsOffset[file_index] -
                             (ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0);
  return from_start <= ic->duration + slack;
}
