#include "OutputCheck.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "AVPtr.h"
#include "CodecLock.h"
#include "FFmpegException.h"

namespace {

// Decoders are opened and closed under the process-wide codec lock, as every codec here is.
struct LockedCodecFree {
  void operator()(AVCodecContext* ctx) const {
    std::lock_guard<std::recursive_mutex> guard(ProcessCodecLock());
    avcodec_free_context(&ctx);
  }
};
using LockedCodecPtr = std::unique_ptr<AVCodecContext, LockedCodecFree>;

// What the reading found of one stream.
struct StreamTally {
  LockedCodecPtr Decoder;
  int64_t First = AV_NOPTS_VALUE;  // earliest time stamp, microseconds
  int64_t End = AV_NOPTS_VALUE;    // latest end of a packet or frame, microseconds
  int64_t Packets = 0, Frames = 0, FailedPackets = 0, Bytes = 0;
  bool BPictures = false;
  int LastDecodeError = 0;
  std::vector<std::pair<int64_t, int>> Sizes;  // picture packets: time (us) and bytes
};

bool IsTimed(const AVStream* st) {
  const AVMediaType type = st->codecpar->codec_type;
  return (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO) &&
         !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

void NoteSpan(StreamTally& t, int64_t start, int64_t duration, AVRational tb) {
  if (start == AV_NOPTS_VALUE) return;
  const int64_t from = av_rescale_q(start, tb, AV_TIME_BASE_Q);
  const int64_t to = av_rescale_q(start + std::max<int64_t>(duration, 0), tb, AV_TIME_BASE_Q);
  t.First = t.First == AV_NOPTS_VALUE ? from : std::min(t.First, from);
  t.End = t.End == AV_NOPTS_VALUE ? to : std::max(t.End, to);
}

void OpenDecoder(const AVStream* st, StreamTally& t) {
  if (!IsTimed(st)) return;
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return;
  LockedCodecPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw FFMpegException("out of memory");
  if (avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0) return;
  ctx->pkt_timebase = st->time_base;
  // Every packet is parsed in full, which finds damaged data; the pictures' reconstruction
  // (inverse transforms, deblocking, and for the older codecs motion compensation at full
  // size) is cut down where the decoder allows it: no judgement here looks at pixels, and it is
  // most of a decoder's time. What is left is so little that one thread costs less than the
  // frame threads' copying of each picture's state: 6% of an MPEG-4 conversion's processor
  // time against 18% with a thread per core.
  ctx->thread_count = 1;
  ctx->skip_idct = AVDISCARD_ALL;
  ctx->skip_loop_filter = AVDISCARD_ALL;
  ctx->flags2 |= AV_CODEC_FLAG2_FAST;
  ctx->lowres = codec->max_lowres;
  std::lock_guard<std::recursive_mutex> guard(ProcessCodecLock());
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return;
  t.Decoder = std::move(ctx);
}

// Takes every frame the decoder has ready.
void Drain(const AVStream* st, StreamTally& t, AVFrame* frame) {
  while (avcodec_receive_frame(t.Decoder.get(), frame) >= 0) {
    ++t.Frames;
    if (frame->pict_type == AV_PICTURE_TYPE_B) t.BPictures = true;
    int64_t length = frame->pkt_duration;
    if (length <= 0 && st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && frame->sample_rate > 0)
      length = av_rescale_q(frame->nb_samples, AVRational{1, frame->sample_rate}, st->time_base);
    NoteSpan(t, frame->best_effort_timestamp, length, st->time_base);
    av_frame_unref(frame);
  }
}

void Decode(const AVStream* st, StreamTally& t, const AVPacket* pkt, AVFrame* frame) {
  if (!t.Decoder) return;
  int ret = avcodec_send_packet(t.Decoder.get(), pkt);
  if (ret == AVERROR(EAGAIN)) {
    Drain(st, t, frame);
    ret = avcodec_send_packet(t.Decoder.get(), pkt);
  }
  if (ret < 0 && ret != AVERROR_EOF) {
    ++t.FailedPackets;
    t.LastDecodeError = ret;
  }
  Drain(st, t, frame);
}

// Bytes per second of the fullest one-second window of picture packets.
int64_t PeakRate(std::vector<std::pair<int64_t, int>> sizes) {
  std::sort(sizes.begin(), sizes.end());
  int64_t best = 0, sum = 0;
  size_t first = 0;
  for (size_t last = 0; last < sizes.size(); ++last) {
    sum += sizes[last].second;
    while (sizes[last].first - sizes[first].first >= 1000000) sum -= sizes[first++].second;
    best = std::max(best, sum);
  }
  return best * 8;
}

const char* Kind(AVMediaType type) {
  return type == AVMEDIA_TYPE_AUDIO ? "sound" : "video";
}

struct ReadFile {
  InputFormatPtr Input;
  std::vector<StreamTally> Streams;
  int ReadError = 0;
};

// Opens and reads the whole file; false with RESULT set when it cannot be read or was stopped.
bool ReadAll(const TOutputExpectation& expect, const AVIOInterruptCB* interrupt, ReadFile& file,
             TOutputCheckResult& result) {
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) throw FFMpegException("out of memory");
  if (interrupt) raw->interrupt_callback = *interrupt;
  // "file:" so that no colon in the name selects another protocol.
  int ret = avformat_open_input(&raw, ("file:" + expect.Path).c_str(), nullptr, nullptr);
  if (ret < 0) {
    result.Failure = WithLibraryText("the output cannot be opened", ret);
    return false;
  }
  file.Input.reset(raw);
  AVFormatContext* ic = file.Input.get();
  if ((ret = avformat_find_stream_info(ic, nullptr)) < 0) {
    result.Failure = WithLibraryText("the output's streams cannot be read", ret);
    return false;
  }
  file.Streams.resize(ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; ++i) OpenDecoder(ic->streams[i], file.Streams[i]);
  PacketPtr pkt(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!pkt || !frame) throw FFMpegException("out of memory");
  while ((ret = av_read_frame(ic, pkt.get())) >= 0) {
    if (pkt->stream_index >= 0 && static_cast<unsigned>(pkt->stream_index) < ic->nb_streams) {
      const AVStream* st = ic->streams[pkt->stream_index];
      StreamTally& t = file.Streams[static_cast<size_t>(pkt->stream_index)];
      ++t.Packets;
      t.Bytes += pkt->size;
      const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      if (IsTimed(st)) NoteSpan(t, ts, pkt->duration, st->time_base);
      if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && pkt->dts != AV_NOPTS_VALUE)
        t.Sizes.emplace_back(av_rescale_q(pkt->dts, st->time_base, AV_TIME_BASE_Q), pkt->size);
      Decode(st, t, pkt.get(), frame.get());
    }
    av_packet_unref(pkt.get());
  }
  if (ret == AVERROR_EXIT ||
      (interrupt && interrupt->callback && interrupt->callback(interrupt->opaque))) {
    result.Interrupted = true;
    return false;
  }
  file.ReadError = ret == AVERROR_EOF ? 0 : ret;
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    if (file.Streams[i].Decoder) Decode(ic->streams[i], file.Streams[i], nullptr, frame.get());
  return true;
}

void AddNote(std::string& note, const std::string& text) {
  note = note.empty() ? text : note + "; " + text;
}

// The streams' kinds, lengths and decoding against EXPECT; the output's length in OUTPUT_US.
std::string CompareStreams(const TOutputExpectation& expect, const ReadFile& file,
                           int64_t& output_us) {
  const AVFormatContext* ic = file.Input.get();
  std::string note;
  if (ic->nb_streams != expect.Streams.size())
    AddNote(note, "the output holds " + std::to_string(ic->nb_streams) +
                      (ic->nb_streams == 1 ? " stream" : " streams") + " of " +
                      std::to_string(expect.Streams.size()));
  int64_t start = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE;
  for (const StreamTally& t : file.Streams) {
    if (t.First == AV_NOPTS_VALUE) continue;
    start = start == AV_NOPTS_VALUE ? t.First : std::min(start, t.First);
    end = end == AV_NOPTS_VALUE ? t.End : std::max(end, t.End);
  }
  output_us = start == AV_NOPTS_VALUE ? 0 : end - start;
  const size_t count = std::min<size_t>(ic->nb_streams, expect.Streams.size());
  for (size_t i = 0; i < count; ++i) {
    const AVStream* st = ic->streams[i];
    const StreamTally& t = file.Streams[i];
    const TExpectedStream& want = expect.Streams[i];
    if (!IsTimed(st) || want.AttachedPicture) continue;
    const char* kind = Kind(st->codecpar->codec_type);
    if (st->codecpar->codec_type != want.Type) {
      AddNote(note, "stream " + std::to_string(i) + " of the output is not " + Kind(want.Type));
      continue;
    }
    if (t.FailedPackets > 0)
      AddNote(note, std::to_string(t.FailedPackets) + " packets of the output's " + kind +
                        " cannot be decoded");
    if (want.DurationUs <= 0 || t.First == AV_NOPTS_VALUE) continue;
    const int64_t lasts = t.End - start;
    if (lasts + DurationToleranceUs(want.DurationUs) < want.DurationUs)
      AddNote(note, std::string("the output's ") + kind + " lasts " + CheckSeconds(lasts) +
                        " s of " + CheckSeconds(want.DurationUs) + " s");
  }
  return note;
}

// The player's limits, for the device formats.
std::string CompareDeviceLimits(const TOutputExpectation& expect, const ReadFile& file) {
  if (expect.Device == TDeviceTarget::kNone) return {};
  const AVFormatContext* ic = file.Input.get();
  std::string note;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream* st = ic->streams[i];
    const StreamTally& t = file.Streams[i];
    if (!IsTimed(st)) continue;
    const AVCodecParameters* par = st->codecpar;
    std::string breach;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      TVideoFacts facts;
      facts.Codec = par->codec_id;
      facts.Profile = par->profile;
      facts.Level = par->level;
      facts.Width = par->width;
      facts.Height = par->height;
      facts.FrameRate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
      facts.CodecTag = par->codec_tag;
      facts.BPictures = t.BPictures;
      facts.PeakBps = PeakRate(t.Sizes);
      breach = VideoBreachOfDeviceLimits(expect.Device, facts);
    } else {
      const int64_t lasts = t.End != AV_NOPTS_VALUE ? t.End - t.First : 0;
      const int64_t average = lasts > 0 ? t.Bytes * 8 * 1000000 / lasts : 0;
      breach = AudioBreachOfDeviceLimits(expect.Device, par->codec_id, par->ch_layout.nb_channels,
                                         average);
    }
    if (!breach.empty()) AddNote(note, breach);
  }
  return note;
}

}  // namespace

int64_t DurationToleranceUs(int64_t expected_us) {
  return std::max<int64_t>(500000, expected_us / 50);
}

std::string CheckSeconds(int64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(us) / 1000000.0);
  return text;
}

TOutputCheckResult CheckOutputFile(const TOutputExpectation& expect,
                                   const AVIOInterruptCB* interrupt) {
  TOutputCheckResult result;
  ReadFile file;
  if (!ReadAll(expect, interrupt, file, result)) return result;
  const AVFormatContext* ic = file.Input.get();
  // A stream whose sound or pictures cannot be decoded at all is no conversion.
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream* st = ic->streams[i];
    const StreamTally& t = file.Streams[i];
    if (!IsTimed(st)) continue;
    const std::string what = std::string("the output's ") + Kind(st->codecpar->codec_type);
    if (!t.Decoder) {
      result.Failure = what + " has no decoder";
      return result;
    }
    if (t.Frames == 0) {
      result.Failure = t.LastDecodeError < 0
                           ? WithLibraryText(what + " cannot be decoded", t.LastDecodeError)
                           : what + " holds nothing";
      return result;
    }
  }
  if (file.ReadError < 0) {
    result.Failure = WithLibraryText("the output cannot be read to its end", file.ReadError);
    return result;
  }
  result.Readable = true;
  int64_t output_us = 0;
  result.Note = CompareStreams(expect, file, output_us);
  const std::string device = CompareDeviceLimits(expect, file);
  if (!device.empty()) AddNote(result.Note, device);
  result.Details = "Checked: " + std::to_string(ic->nb_streams) +
                   (ic->nb_streams == 1 ? " stream, " : " streams, ") + CheckSeconds(output_us) +
                   " s";
  if (expect.PsnrDb >= 0) {
    char psnr[32];
    std::snprintf(psnr, sizeof psnr, ", PSNR %.1f dB", expect.PsnrDb);
    result.Details += psnr;
  }
  return result;
}
