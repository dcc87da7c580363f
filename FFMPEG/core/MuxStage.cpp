// The mux stage (see MuxStage.h).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

extern "C" {
#include <libavutil/intreadwrite.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

#include "FFmpegException.h"
#include "MuxStage.h"

namespace {

// Encoded packets the writer may hold back, waiting for a packet of every output, before it
// writes the earliest anyway (an output that gives nothing for a very long time).
constexpr size_t kMaxPendingBytes = 32u << 20;

}  // namespace

void EndOutputPackets(OutputStreamState& ost, StageLink<WriterItem>& writer) {
  if (ost.WriterEnded) return;
  ost.WriterEnded = true;
  writer.Push(WriterItem{ost.TableIndex, nullptr});
}

MuxStage::MuxStage(const TRunContext& context, const RunLog& log,
                   const std::vector<std::unique_ptr<OutputStreamState>>& outputs, int64_t start_us)
    : e_(context),
      opt_(context.Options),
      Log(log),
      outputs_(outputs),
      streams_(outputs.size()),
      last_report_us_(start_us) {}

bool MuxStage::Step(WriterItem& item) {
  MuxedStream& stream = streams_[static_cast<size_t>(item.Output)];
  if (!item.Packet) {
    if (!stream.Ended) ++outputs_ended_;
    stream.Ended = true;
  } else {
    pending_bytes_ += HeldBytes(item.Packet.get());
    stream.Packets.push_back(std::move(item.Packet));
  }
  WriteReadyPackets();
  return !size_limit_reached_ && outputs_ended_ < static_cast<int>(streams_.size());
}

// The output whose first waiting packet comes first in time (ties: the earlier output), or
// -1 when none waits. ALL_KNOWN is false when an output that has not ended has none waiting.
int MuxStage::NextPacketToWrite(bool& all_known) const {
  all_known = true;
  int best = -1;
  int64_t best_ts = 0;
  AVRational best_tb{1, 1};
  for (size_t i = 0; i < streams_.size(); ++i) {
    const MuxedStream& s = streams_[i];
    if (s.Packets.empty()) {
      if (!s.Ended) all_known = false;
      continue;
    }
    const AVPacket* pkt = s.Packets.front().get();
    const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    const AVRational tb = outputs_[i]->Stream->time_base;
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
// stages' threads were scheduled, except once more than kMaxPendingBytes wait: then the
// earliest goes out regardless, and which packets wait at that moment depends on timing.
void MuxStage::WriteReadyPackets() {
  for (;;) {
    bool all_known = false;
    const int next = NextPacketToWrite(all_known);
    if (next < 0 || (!all_known && pending_bytes_ <= kMaxPendingBytes)) return;
    MuxedStream& s = streams_[static_cast<size_t>(next)];
    PacketPtr pkt = std::move(s.Packets.front());
    s.Packets.pop_front();
    pending_bytes_ -= HeldBytes(pkt.get());
    WritePacket(*outputs_[static_cast<size_t>(next)], std::move(pkt));
    const int64_t now = av_gettime();
    if (now - last_report_us_ > opt_.ProgressIntervalUs) {
      last_report_us_ = now;
      PrintReport(false);
    }
  }
}

// Writes one packet of OST with the interleaving writer; throws on a write failure. Once the
// first output file has passed its size limit, nothing more is written.
void MuxStage::WritePacket(const OutputStreamState& ost, PacketPtr pkt) {
  MuxedStream& m = Stream(ost);
  if (size_limit_reached_) return;
  AVFormatContext* oc = e_.Files.OutputFiles[ost.FileIndex].get();
  KeepDtsIncreasing(ost, oc, pkt.get());
  const int64_t start = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (start != AV_NOPTS_VALUE) {
    const int64_t end = start + std::max<int64_t>(pkt->duration, 0);
    if (m.End == AV_NOPTS_VALUE || end > m.End) m.End = end;
  }
  NoteWrittenPacket(ost, pkt.get());
  const int ret = av_interleaved_write_frame(oc, pkt.get());
  if (ret < 0) throw FFMpegException::FromLibrary("av_interleaved_write_frame()", ret);
  m.PacketsWritten += 1;
  AVFormatContext* first = e_.Files.OutputFiles[0].get();
  if (opt_.LimitFileSize != 0 && first->pb &&
      opt_.LimitFileSize < static_cast<uint64_t>(std::max<int64_t>(avio_tell(first->pb), 0)))
    size_limit_reached_ = true;
}

// Muxers refuse decreasing time stamps; keep them increasing rather than fail the job on a
// source with a small step back.
void MuxStage::KeepDtsIncreasing(const OutputStreamState& ost, const AVFormatContext* oc,
                                 AVPacket* pkt) {
  MuxedStream& m = Stream(ost);
  if ((oc->oformat->flags & AVFMT_NOTIMESTAMPS) || pkt->dts == AV_NOPTS_VALUE) return;
  if (m.LastDts != AV_NOPTS_VALUE) {
    const int64_t min_dts = m.LastDts + ((oc->oformat->flags & AVFMT_TS_NONSTRICT) ? 0 : 1);
    if (pkt->dts < min_dts) {
      if (pkt->pts != AV_NOPTS_VALUE && pkt->pts >= pkt->dts)
        pkt->pts = std::max(pkt->pts, min_dts);
      pkt->dts = min_dts;
    }
  }
  m.LastDts = pkt->dts;
}

// The report's figures of a packet about to be written: sizes by type, and for an encoded
// picture its quantiser, picture type and errors (side data the encoder attached).
void MuxStage::NoteWrittenPacket(const OutputStreamState& ost, const AVPacket* pkt) {
  MuxedStream& m = Stream(ost);
  const AVMediaType type = ost.Encoder->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO) e_.Stats.AudioBytes += pkt->size;
  if (type != AVMEDIA_TYPE_VIDEO) return;
  e_.Stats.VideoBytes += pkt->size;
  if (!ost.EncodingNeeded) return;
  size_t side_size = 0;
  const uint8_t* q = av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &side_size);
  if (q && side_size >= 6) {
    m.LastQuality = static_cast<float>(AV_RL32(q));
    m.LastPictType = q[4];
    const int errors = q[5];
    for (int i = 0; i < 4; ++i)
      m.LastError[i] = (i < errors && side_size >= 8 + 8 * static_cast<size_t>(i + 1))
                           ? AV_RL64(q + 8 + 8 * i)
                           : 0;
    if (errors >= 3 && side_size >= 8 + 8 * 3) NotePictureErrors(ost, m);
  }
  if (!opt_.VStatsFileName.empty()) DoVideoStats(ost, pkt);
}

// Adds the squared errors of the picture just noted to the run's sums, with the number of
// samples of its three planes (the chroma planes by the picture format's subsampling).
void MuxStage::NotePictureErrors(const OutputStreamState& ost, MuxedStream& m) {
  const AVCodecContext* enc = ost.Encoder;
  const double luma = static_cast<double>(enc->width) * enc->height;
  double chroma = luma / 4;
  if (const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(enc->pix_fmt)) {
    chroma = desc->nb_components >= 3
                 ? static_cast<double>(AV_CEIL_RSHIFT(enc->width, desc->log2_chroma_w)) *
                       AV_CEIL_RSHIFT(enc->height, desc->log2_chroma_h)
                 : 0;
  }
  m.ErrorSum += static_cast<double>(m.LastError[0]) + static_cast<double>(m.LastError[1]) +
                static_cast<double>(m.LastError[2]);
  m.SampleSum += luma + 2 * chroma;
  m.PicturesWithErrors += 1;
}

double MuxStage::EncodedPsnr(int index) const {
  const MuxedStream& m = streams_[static_cast<size_t>(index)];
  if (m.PicturesWithErrors == 0 || m.SampleSum <= 0) return -1;
  // Every sample exact: the report's ceiling.
  if (m.ErrorSum <= 0) return 99.0;
  return std::min(99.0, 10.0 * std::log10(255.0 * 255.0 * m.SampleSum / m.ErrorSum));
}

// "PSNR=Y:.. U:.. V:.. *:.. " of the first video output: of the last coded picture, or in the
// final report of the whole output.
std::string MuxStage::PsnrText(const OutputStreamState& ost, bool final_report,
                               int frame_number) const {
  const MuxedStream& m = Stream(ost);
  const AVCodecContext* enc = ost.Encoder;
  std::string line = "PSNR=";
  char buf[64];
  double error_sum = 0, scale_sum = 0;
  for (int j = 0; j < 3; ++j) {
    const double error =
        final_report ? static_cast<double>(enc->error[j]) : static_cast<double>(m.LastError[j]);
    double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
    if (final_report) scale *= frame_number;
    if (j) scale /= 4;
    error_sum += error;
    scale_sum += scale;
    const double p = error > 0 ? -10.0 * std::log10(error / scale) : 99.0;
    std::snprintf(buf, sizeof buf, "%c:%2.2f ", "YUV"[j], p);
    line += buf;
  }
  const double p = error_sum > 0 ? -10.0 * std::log10(error_sum / scale_sum) : 99.0;
  std::snprintf(buf, sizeof buf, "*:%2.2f ", p);
  return line + buf;
}

// The report's figures of the first video output; FRAME_NUMBER < 1 means nothing to report.
std::string MuxStage::FirstVideoFigures(const OutputStreamState& ost, bool final_report,
                                        int& frame_number, int& fps, float& quality) {
  MuxedStream& m = Stream(ost);
  const double elapsed = static_cast<double>(av_gettime() - e_.Stats.TimerStart) / 1000000.0;
  frame_number = static_cast<int>(ost.FrameNumber.load());
  if (frame_number < 1) return {};
  fps = elapsed > 1 ? static_cast<int>(frame_number / elapsed + 0.5) : 0;
  quality = ost.EncodingNeeded && m.LastQuality >= 0 ? m.LastQuality / 118.0f : -1.0f;
  char buf[128];
  std::snprintf(buf, sizeof buf, "frame=%5d fps=%3d q=%3.1f ", frame_number, fps,
                static_cast<double>(quality));
  std::string line = buf;
  if (final_report) line += "L";
  if (opt_.QpHist) {
    const int qp = static_cast<int>(std::lround(quality));
    if (qp >= 0 && qp < 52) qp_histogram_[qp]++;
    for (int j = 0; j < 32; ++j) {
      std::snprintf(buf, sizeof buf, "%X",
                    static_cast<int>(std::lround(std::log2(qp_histogram_[j] + 1))));
      line += buf;
    }
  }
  // The report shows PSNR only when asked for ("psnr"); the output check also turns the
  // encoder's statistics on, for its own summary.
  if (ost.EncodingNeeded && opt_.DoPsnr && (ost.Encoder->flags & AV_CODEC_FLAG_PSNR))
    line += PsnrText(ost, final_report, frame_number);
  return line;
}

void MuxStage::PrintReport(bool final_report) {
  AVFormatContext* oc = e_.Files.OutputFiles[0].get();
  int64_t size = 0;
  if (oc->pb) {
    size = avio_size(oc->pb);
    if (size < 0) size = avio_tell(oc->pb);
  }
  std::string line;
  char buf[256];
  double time = 1e10;
  int frame_number = -1, fps = -1, dropped = 0, duplicated = 0;
  float quality = -1.0f;
  bool seen_video = false;
  for (auto& ostp : outputs_) {
    OutputStreamState& ost = *ostp;
    const MuxedStream& m = Stream(ost);
    dropped += ost.FramesDropped;
    duplicated += ost.FramesDuplicated;
    if (ost.Encoder->codec_type == AVMEDIA_TYPE_VIDEO && seen_video) {
      const float q = ost.EncodingNeeded && m.LastQuality >= 0 ? m.LastQuality / 118.0f : -1.0f;
      std::snprintf(buf, sizeof buf, "q=%2.1f ", static_cast<double>(q));
      line += buf;
    } else if (ost.Encoder->codec_type == AVMEDIA_TYPE_VIDEO) {
      seen_video = true;
      line += FirstVideoFigures(ost, final_report, frame_number, fps, quality);
      if (frame_number < 1) return;  // nothing to say before the first picture
    }
    if (m.End != AV_NOPTS_VALUE) {
      const double t = static_cast<double>(m.End) * av_q2d(ost.Stream->time_base);
      if (t > 0 && t < time) time = t;
    }
  }
  if (time >= 1e10) time = 0;  // nothing muxed yet
  if (time < 0.01) time = 0.01;

  if (e_.OnProgress || opt_.Verbosity > 0 || final_report) {
    const double bitrate = static_cast<double>(size) * 8 / time / 1000;
    std::snprintf(buf, sizeof buf, "size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s",
                  static_cast<double>(size) / 1024, time, bitrate);
    line += buf;
    if (opt_.Verbosity > 1) {
      std::snprintf(buf, sizeof buf, " dup=%d drop=%d", duplicated, dropped);
      line += buf;
    }
    if (line.size() > 1023) line.resize(1023);
    if (e_.OnProgress) {
      e_.OnProgress(frame_number, fps, static_cast<int>(time * 1000), quality,
                    static_cast<float>(bitrate), size, opt_.TotalDurationMs);
    } else if (opt_.Verbosity >= 0) {
      Log(1, "%s", line.c_str());
    }
  }
  if (final_report && opt_.Verbosity >= 0) {
    const double payload =
        static_cast<double>(e_.Stats.VideoBytes + e_.Stats.AudioBytes + e_.Stats.ExtraBytes);
    const double overhead =
        payload > 0 ? (static_cast<double>(size) - payload) * 100.0 / payload : 0.0;
    Log(1, "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
        static_cast<double>(e_.Stats.VideoBytes) / 1024,
        static_cast<double>(e_.Stats.AudioBytes) / 1024,
        static_cast<double>(e_.Stats.ExtraBytes) / 1024, overhead);
  }
}

// One line of the video statistics file per encoded picture, as it is written.
void MuxStage::DoVideoStats(const OutputStreamState& ost, const AVPacket* pkt) {
  MuxedStream& m = Stream(ost);
  if (!e_.Stats.VStatsFile) {
    e_.Stats.VStatsFile.reset(std::fopen(opt_.VStatsFileName.c_str(), "w"));
    if (!e_.Stats.VStatsFile) throw FFMpegException("fopen fail: " + opt_.VStatsFileName);
  }
  const AVCodecContext* enc = ost.Encoder;
  std::FILE* f = e_.Stats.VStatsFile.get();
  std::fprintf(f, "frame= %5d q= %2.1f ", static_cast<int>(m.PacketsWritten + 1),
               static_cast<double>(m.LastQuality) / 118.0);
  if (opt_.DoPsnr && (enc->flags & AV_CODEC_FLAG_PSNR)) {
    const double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
    const double err = static_cast<double>(m.LastError[0]);
    std::fprintf(f, "PSNR= %6.2f ", err > 0 ? -10.0 * std::log10(err / scale) : 99.0);
  }
  const int frame_size = pkt->size;
  std::fprintf(f, "f_size= %6d ", frame_size);
  const int64_t end =
      (pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts) + std::max<int64_t>(pkt->duration, 0);
  double ti1 = static_cast<double>(end) * av_q2d(ost.Stream->time_base);
  if (ti1 < 0.01) ti1 = 0.01;
  const double bitrate = frame_size * 8 / av_q2d(enc->time_base) / 1000.0;
  const double avg_bitrate = static_cast<double>(e_.Stats.VideoBytes) * 8 / ti1 / 1000.0;
  std::fprintf(f, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               static_cast<double>(e_.Stats.VideoBytes) / 1024, ti1, bitrate, avg_bitrate);
  std::fprintf(f, "type= %c\n",
               av_get_picture_type_char(static_cast<AVPictureType>(m.LastPictType)));
}
