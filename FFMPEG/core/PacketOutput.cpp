// Packet output. The input stream stage decodes each demuxed packet and hands its frames to
// the outputs it feeds, copies packets of stream-copy outputs and encodes subtitles; the
// output stages hand encoded packets to the writer, which keeps each output's time stamps
// increasing, writes them with the interleaving writer and reports progress.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>

extern "C" {
#include <libavutil/intreadwrite.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

#include "AmrNbEncoder.h"
#include "FFmpegException.h"
#include "FFmpegException.h"
#include "FilterLibrary.h"
#include "SourceTags.h"
#include "Transcoder.h"

namespace {

// Frame duration of a video stream in microseconds, from the decoder or the stream. A stated
// duration longer than MAX_US (the discontinuity threshold) is not believed: a remuxed file
// with a time stamp jump can state hours for every picture.
int64_t VideoFrameDurationUs(const InputStreamState& ist, const AVFrame* frame, int64_t max_us) {
  const AVRational tb = ist.Stream->time_base;
  if (frame && frame->pkt_duration > 0) {
    const int64_t stated_us = av_rescale_q(frame->pkt_duration, tb, AV_TIME_BASE_Q);
    if (stated_us <= max_us) return stated_us;
  }
  AVRational rate = ist.Decoder ? ist.Decoder->framerate : AVRational{0, 1};
  if (rate.num <= 0 || rate.den <= 0) rate = ist.Stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = ist.Stream->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return 0;
  return av_rescale_q(1, av_inv_q(rate), AV_TIME_BASE_Q);
}

FFMpegException DecodeFailure(const InputStreamState& ist, int av_error) {
  return FFMpegException::FromLibrary("Error while decoding stream #" +
                                          std::to_string(ist.FileIndex) + "." +
                                          std::to_string(ist.Index),
                                      av_error);
}

}  // namespace

int Transcoder::OutputPacket(InputStreamState& ist, int ist_index, const AVPacket* pkt) {
  if (ist.NextPts == AV_NOPTS_VALUE) ist.NextPts = ist.Pts;
  // Until a decoder gives frame times, the packet's dts is the stream's clock.
  if (pkt && pkt->dts != AV_NOPTS_VALUE && !ist.DecodingNeeded)
    ist.Pts = ist.NextPts = av_rescale_q(pkt->dts, ist.Stream->time_base, AV_TIME_BASE_Q);

  if (pkt) CopyPacket(ist, ist_index, pkt);
  if (!ist.DecodingNeeded) return 0;
  int result = 0;
  switch (ist.Decoder->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
    case AVMEDIA_TYPE_AUDIO:
      result = DecodePacket(ist, ist_index, pkt);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      result = pkt ? DecodeSubtitle(ist, ist_index, pkt) : 0;
      break;
    default:
      return -1;
  }
  if (result < 0) return result;
  if (!pkt) DrainDeinterlacer(ist, ist_index);
  return 0;
}

// Sends PKT (nullptr drains) to the decoder and handles every frame it gives back. A packet
// the decoder refuses is a decoding error of this packet (-1); frames it still holds from
// earlier packets are delivered all the same. Running out of memory is no property of the
// packet: it ends the job.
int Transcoder::DecodePacket(InputStreamState& ist, int ist_index, const AVPacket* pkt) {
  AVCodecContext* dec = ist.Decoder;
  int result = 0;
  int frames_from_packet = 0;
  int ret = avcodec_send_packet(dec, pkt);
  if (ret == AVERROR(ENOMEM)) throw DecodeFailure(ist, ret);
  if (ret < 0 && ret != AVERROR_EOF && ret != AVERROR(EAGAIN)) {
    result = -1;
    ist.LastDecodeError = ret;
  }
  for (;;) {
    ret = avcodec_receive_frame(dec, ist.Frame.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret == AVERROR(ENOMEM)) throw DecodeFailure(ist, ret);
    if (ret < 0) {
      result = -1;
      ist.LastDecodeError = ret;
      if (pkt) break;
      continue;  // draining: go on until the decoder says it is empty
    }
    ist.FramesDecoded += 1;
    if (pkt && ++frames_from_packet > 1 && opt_.Verbosity > 0)
      Log(0, "Multiple frames in a packet from stream %d", pkt->stream_index);
    HandleDecodedFrame(ist, ist_index, ist.Frame.get());
    av_frame_unref(ist.Frame.get());
  }
  if (result < 0 && pkt) ++ist.PacketsUndecoded;
  return result;
}

int Transcoder::DecodeSubtitle(InputStreamState& ist, int ist_index, const AVPacket* pkt) {
  AVSubtitle sub{};
  int got = 0;
  if (avcodec_decode_subtitle2(ist.Decoder, &sub, &got, const_cast<AVPacket*>(pkt)) < 0) return -1;
  if (!got) return 0;
  if (pkt->pts != AV_NOPTS_VALUE)
    ist.Pts = av_rescale_q(pkt->pts, ist.Stream->time_base, AV_TIME_BASE_Q);
  if (opt_.StartTimeUs == 0 || ist.Pts >= opt_.StartTimeUs) {
    for (auto& ost : run_.Outputs)
      if (ost->SourceIndex == ist_index && ost->EncodingNeeded && !ost->Done)
        DoSubtitleOut(*ost, ist, sub, pkt->pts);
  }
  avsubtitle_free(&sub);
  return 0;
}

// The deinterlacer holds the last picture back until it is told the input has ended.
void Transcoder::DrainDeinterlacer(InputStreamState& ist, int ist_index) {
  DeinterlaceGraph& g = ist.Deinterlacer;
  if (!g.Graph || !ist.Deinterlaced) return;
  const TFilterLibrary& fl = FilterLibrary();
  const int ret = fl.buffersrc_add_frame_flags(g.Source, nullptr, 0);
  if (ret < 0) {
    Log(0, "%s", WithLibraryText("The deinterlacer's last picture is lost", ret).c_str());
    return;
  }
  for (;;) {
    av_frame_unref(ist.Deinterlaced.get());
    if (fl.buffersink_get_frame(g.Sink, ist.Deinterlaced.get()) < 0) break;
    AVFrame* out = ist.Deinterlaced.get();
    if (out->pts != AV_NOPTS_VALUE)
      ist.Pts = av_rescale_q(out->pts, fl.buffersink_get_time_base(g.Sink), AV_TIME_BASE_Q);
    SendToOutputs(ist, ist_index, out);
  }
  g.Graph.reset();
}

void Transcoder::HandleDecodedFrame(InputStreamState& ist, int ist_index, AVFrame* frame) {
  const AVRational tb = ist.Stream->time_base;
  const int64_t ts = frame->best_effort_timestamp;
  ist.Pts = ts != AV_NOPTS_VALUE ? av_rescale_q(ts, tb, AV_TIME_BASE_Q) : ist.NextPts;

  FramePtr s16;
  AVFrame* out = nullptr;
  if (ist.Decoder->codec_type == AVMEDIA_TYPE_VIDEO) {
    ist.PictureDurationUs =
        VideoFrameDurationUs(ist, frame, static_cast<int64_t>(opt_.DtsDeltaThreshold * 1000000.0));
    ist.NextPts = ist.Pts + ist.PictureDurationUs;
    ist.Quality = frame->quality;
    if (ist.Upright) {
      // Pictures stored rotated are turned upright before anything else sees them.
      if (AVFrame* upright = ist.Upright->Apply(frame))
        frame = upright;
      else
        Log(0, "Cannot turn the picture upright");
    }
    out = PreProcessVideoFrame(ist, frame);
    if (!out) return;  // held back by the deinterlacer
  } else {
    const int rate = frame->sample_rate > 0 ? frame->sample_rate : ist.Decoder->sample_rate;
    if (rate > 0) ist.NextPts = ist.Pts + av_rescale(frame->nb_samples, AV_TIME_BASE, rate);
    if (!ToS16(ist, frame, s16)) return;
    if (opt_.AudioVolume != 256)
      ApplyVolume(s16->data[0], s16->nb_samples * 2 * s16->ch_layout.nb_channels);
    out = s16.get();
  }
  if (ist.RateEmu) PaceRateEmulation(ist, frame);
  SendToOutputs(ist, ist_index, out);
}

// Rate emulation: frames are handed on no faster than their own rate.
void Transcoder::PaceRateEmulation(InputStreamState& ist, const AVFrame* frame) {
  const AVRational rtb =
      ist.Decoder->codec_type == AVMEDIA_TYPE_VIDEO
          ? av_inv_q(ist.Stream->avg_frame_rate.num > 0 ? ist.Stream->avg_frame_rate
                                                        : AVRational{25, 1})
          : AVRational{frame->nb_samples, std::max(ist.Decoder->sample_rate, 1)};
  const int64_t target = av_rescale(ist.FrameCount * rtb.num, AV_TIME_BASE, rtb.den);
  const int64_t elapsed = av_gettime() - ist.StartWallClock;
  if (target - elapsed > 50000)
    std::this_thread::sleep_for(std::chrono::microseconds(target - elapsed));
  ist.FrameCount += 1;
}

// Hands FRAME (a picture, or interleaved 16-bit sound) to every output it feeds, as a reference
// of its own for each.
void Transcoder::SendToOutputs(InputStreamState& ist, int ist_index, AVFrame* frame) {
  if (opt_.StartTimeUs != 0 && ist.Pts < opt_.StartTimeUs) return;
  for (auto& ostp : run_.Outputs) {
    OutputStreamState& ost = *ostp;
    if (ost.SourceIndex != ist_index || !ost.EncodingNeeded || ost.Done) continue;
    const AVMediaType type = ost.Encoder->codec_type;
    if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO)
      throw FFMpegException("invalid codec_type");
    FrameItem item;
    item.Frame.reset(av_frame_alloc());
    if (!item.Frame || av_frame_ref(item.Frame.get(), frame) < 0)
      throw FFMpegException("av_mallocz fail");
    item.SyncPts = ost.SyncInput->Pts;
    item.Quality = ist.Quality;
    item.SourceTopFieldFirst = frame->top_field_first;
    if (type == AVMEDIA_TYPE_VIDEO) item.DurationUs = ist.PictureDurationUs;
    DeliverFrame(ost, std::move(item));
  }
}

// Stream copy: packets go out unchanged, once the output has started on a key frame, up to its
// recording time. A cover picture is one packet: its output is complete with it.
void Transcoder::CopyPacket(InputStreamState& ist, int ist_index, const AVPacket* pkt) {
  for (auto& ostp : run_.Outputs) {
    OutputStreamState& ost = *ostp;
    if (ost.SourceIndex != ist_index || ost.EncodingNeeded || ost.Done) continue;
    if (opt_.StartTimeUs != 0 && ist.Pts < opt_.StartTimeUs) continue;
    if (ost.FrameNumber == 0 && !(pkt->flags & AV_PKT_FLAG_KEY)) continue;
    PacketPtr out(av_packet_alloc());
    if (!out || av_packet_ref(out.get(), pkt) < 0) throw FFMpegException("av_malloc fail");
    const AVRational in_tb = ist.Stream->time_base;
    const AVRational out_tb = ost.Stream->time_base;
    out->stream_index = ost.Index;
    out->pts = pkt->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : av_rescale_q(pkt->pts, in_tb, out_tb);
    out->dts = pkt->dts == AV_NOPTS_VALUE ? av_rescale_q(ist.Pts, AV_TIME_BASE_Q, out_tb)
                                          : av_rescale_q(pkt->dts, in_tb, out_tb);
    out->duration = av_rescale_q(pkt->duration, in_tb, out_tb);
    if (opt_.RecordingTimeUs != std::numeric_limits<int64_t>::max() &&
        av_compare_ts(out->dts, out_tb, opt_.RecordingTimeUs, AV_TIME_BASE_Q) >= 0) {
      ost.Done = true;
      continue;
    }
    if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) ost.SyncOpts += 1;
    DeliverToWriter(ost, std::move(out));
    ost.FrameNumber += 1;
    if (IsAttachedPicture(ist.Stream)) {
      ost.Done = true;
      EndWriterFeed(ost);
    }
  }
}

void Transcoder::EncodeAndSend(OutputStreamState& ost, const AVFrame* frame) {
  AVCodecContext* enc = ost.Encoder;
  const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
  const char* failed = video ? "Video encoding failed" : "Audio encoding failed";
  int ret = ost.Amr ? ost.Amr->SendFrame(frame) : avcodec_send_frame(enc, frame);
  if (ret == AVERROR_EOF) return;  // already drained
  if (ret < 0) throw FFMpegException::FromLibrary(failed, ret);
  for (;;) {
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) throw FFMpegException("av_malloc fail");
    ret = ost.Amr ? ost.Amr->ReceivePacket(pkt.get()) : avcodec_receive_packet(enc, pkt.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) throw FFMpegException::FromLibrary(failed, ret);
    if (video && ost.PassLogFile && enc->stats_out) std::fputs(enc->stats_out, ost.PassLogFile);
    pkt->stream_index = ost.Index;
    av_packet_rescale_ts(pkt.get(), enc->time_base, ost.Stream->time_base);
    DeliverToWriter(ost, std::move(pkt));
  }
}

// Writes one packet of OST with the interleaving writer; throws on a write failure. Once the
// first output file has passed its size limit, nothing more is written.
void Transcoder::WritePacket(OutputStreamState& ost, PacketPtr pkt) {
  if (size_limit_reached_) return;
  AVFormatContext* oc = e_.Files.OutputFiles[ost.FileIndex].get();
  KeepDtsIncreasing(ost, oc, pkt.get());
  const int64_t start = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (start != AV_NOPTS_VALUE) {
    const int64_t end = start + std::max<int64_t>(pkt->duration, 0);
    if (ost.MuxEnd == AV_NOPTS_VALUE || end > ost.MuxEnd) ost.MuxEnd = end;
  }
  NoteWrittenPacket(ost, pkt.get());
  const int ret = av_interleaved_write_frame(oc, pkt.get());
  if (ret < 0) throw FFMpegException::FromLibrary("av_interleaved_write_frame()", ret);
  ost.PacketsWritten += 1;
  AVFormatContext* first = e_.Files.OutputFiles[0].get();
  if (opt_.LimitFileSize != 0 && first->pb &&
      opt_.LimitFileSize < static_cast<uint64_t>(std::max<int64_t>(avio_tell(first->pb), 0)))
    size_limit_reached_ = true;
}

// Muxers refuse decreasing time stamps; keep them increasing rather than fail the job on a
// source with a small step back.
void Transcoder::KeepDtsIncreasing(OutputStreamState& ost, const AVFormatContext* oc,
                                   AVPacket* pkt) {
  if ((oc->oformat->flags & AVFMT_NOTIMESTAMPS) || pkt->dts == AV_NOPTS_VALUE) return;
  if (ost.MuxLastDts != AV_NOPTS_VALUE) {
    const int64_t min_dts = ost.MuxLastDts + ((oc->oformat->flags & AVFMT_TS_NONSTRICT) ? 0 : 1);
    if (pkt->dts < min_dts) {
      if (pkt->pts != AV_NOPTS_VALUE && pkt->pts >= pkt->dts)
        pkt->pts = std::max(pkt->pts, min_dts);
      pkt->dts = min_dts;
    }
  }
  ost.MuxLastDts = pkt->dts;
}

// The report's figures of a packet about to be written: sizes by type, and for an encoded
// picture its quantiser, picture type and errors (side data the encoder attached).
void Transcoder::NoteWrittenPacket(OutputStreamState& ost, const AVPacket* pkt) {
  const AVMediaType type = ost.Encoder->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO) e_.Stats.AudioBytes += pkt->size;
  if (type != AVMEDIA_TYPE_VIDEO) return;
  e_.Stats.VideoBytes += pkt->size;
  if (!ost.EncodingNeeded) return;
  size_t side_size = 0;
  const uint8_t* q = av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &side_size);
  if (q && side_size >= 6) {
    ost.LastQuality = static_cast<float>(AV_RL32(q));
    ost.LastPictType = q[4];
    const int errors = q[5];
    for (int i = 0; i < 4; ++i)
      ost.LastError[i] = (i < errors && side_size >= 8 + 8 * static_cast<size_t>(i + 1))
                             ? AV_RL64(q + 8 + 8 * i)
                             : 0;
  }
  if (!opt_.VStatsFileName.empty()) DoVideoStats(ost, pkt);
}

void Transcoder::DoSubtitleOut(OutputStreamState& ost, InputStreamState& ist, AVSubtitle& sub,
                               int64_t pts) {
  if (pts == AV_NOPTS_VALUE) {
    Log(0, "Subtitle packets must have a pts");
    return;
  }
  if (opt_.RecordingTimeUs != std::numeric_limits<int64_t>::max() &&
      av_compare_ts(pts, ist.Stream->time_base, opt_.RecordingTimeUs, AV_TIME_BASE_Q) >= 0) {
    ost.Done = true;
    return;
  }
  std::vector<uint8_t> buf(65536);
  AVCodecContext* enc = ost.Encoder;
  const int passes = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
  for (int i = 0; i < passes; ++i) {
    // The DVB encoder sends a clearing packet as the second one of each subtitle.
    const int saved_rects = static_cast<int>(sub.num_rects);
    if (i == 1) sub.num_rects = 0;
    const int size = avcodec_encode_subtitle(enc, buf.data(), static_cast<int>(buf.size()), &sub);
    if (i == 1) sub.num_rects = static_cast<unsigned>(saved_rects);
    if (size < 0) throw FFMpegException::FromLibrary("Subtitle encoding failed", size);
    PacketPtr pkt(av_packet_alloc());
    if (!pkt || av_new_packet(pkt.get(), size) < 0) throw FFMpegException("av_malloc fail");
    std::memcpy(pkt->data, buf.data(), static_cast<size_t>(size));
    pkt->stream_index = ost.Index;
    pkt->pts = av_rescale_q(pts, ist.Stream->time_base, ost.Stream->time_base);
    if (passes == 2)
      pkt->pts += av_rescale_q(i == 0 ? sub.start_display_time : sub.end_display_time,
                               AVRational{1, 1000}, ost.Stream->time_base);
    pkt->dts = pkt->pts;
    pkt->flags |= AV_PKT_FLAG_KEY;
    DeliverToWriter(ost, std::move(pkt));
  }
}

// "PSNR=Y:.. U:.. V:.. *:.. " of the first video output: of the last coded picture, or in the
// final report of the whole output.
std::string Transcoder::PsnrText(OutputStreamState& ost, bool final_report,
                                 int frame_number) const {
  const AVCodecContext* enc = ost.Encoder;
  std::string line = "PSNR=";
  char buf[64];
  double error_sum = 0, scale_sum = 0;
  for (int j = 0; j < 3; ++j) {
    const double error =
        final_report ? static_cast<double>(enc->error[j]) : static_cast<double>(ost.LastError[j]);
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
std::string Transcoder::FirstVideoFigures(OutputStreamState& ost, bool final_report,
                                          int& frame_number, int& fps, float& quality) {
  const double elapsed = static_cast<double>(av_gettime() - e_.Stats.TimerStart) / 1000000.0;
  frame_number = static_cast<int>(ost.FrameNumber.load());
  if (frame_number < 1) return {};
  fps = elapsed > 1 ? static_cast<int>(frame_number / elapsed + 0.5) : 0;
  quality = ost.EncodingNeeded && ost.LastQuality >= 0 ? ost.LastQuality / 118.0f : -1.0f;
  char buf[128];
  std::snprintf(buf, sizeof buf, "frame=%5d fps=%3d q=%3.1f ", frame_number, fps,
                static_cast<double>(quality));
  std::string line = buf;
  if (final_report) line += "L";
  if (opt_.QpHist) {
    const int qp = static_cast<int>(std::lround(quality));
    if (qp >= 0 && qp < 52) run_.QpHistogram[qp]++;
    for (int j = 0; j < 32; ++j) {
      std::snprintf(buf, sizeof buf, "%X",
                    static_cast<int>(std::lround(std::log2(run_.QpHistogram[j] + 1))));
      line += buf;
    }
  }
  if (ost.EncodingNeeded && (ost.Encoder->flags & AV_CODEC_FLAG_PSNR))
    line += PsnrText(ost, final_report, frame_number);
  return line;
}

void Transcoder::PrintReport(bool final_report) {
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
  for (auto& ostp : run_.Outputs) {
    OutputStreamState& ost = *ostp;
    dropped += ost.FramesDropped;
    duplicated += ost.FramesDuplicated;
    if (ost.Encoder->codec_type == AVMEDIA_TYPE_VIDEO && seen_video) {
      const float q = ost.EncodingNeeded && ost.LastQuality >= 0 ? ost.LastQuality / 118.0f : -1.0f;
      std::snprintf(buf, sizeof buf, "q=%2.1f ", static_cast<double>(q));
      line += buf;
    } else if (ost.Encoder->codec_type == AVMEDIA_TYPE_VIDEO) {
      seen_video = true;
      line += FirstVideoFigures(ost, final_report, frame_number, fps, quality);
      if (frame_number < 1) return;  // nothing to say before the first picture
    }
    if (ost.MuxEnd != AV_NOPTS_VALUE) {
      const double t = static_cast<double>(ost.MuxEnd) * av_q2d(ost.Stream->time_base);
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
void Transcoder::DoVideoStats(OutputStreamState& ost, const AVPacket* pkt) {
  if (!e_.Stats.VStatsFile) {
    e_.Stats.VStatsFile.reset(std::fopen(opt_.VStatsFileName.c_str(), "w"));
    if (!e_.Stats.VStatsFile) throw FFMpegException("fopen fail: " + opt_.VStatsFileName);
  }
  const AVCodecContext* enc = ost.Encoder;
  std::FILE* f = e_.Stats.VStatsFile.get();
  std::fprintf(f, "frame= %5d q= %2.1f ", static_cast<int>(ost.PacketsWritten + 1),
               static_cast<double>(ost.LastQuality) / 118.0);
  if (enc->flags & AV_CODEC_FLAG_PSNR) {
    const double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
    const double err = static_cast<double>(ost.LastError[0]);
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
               av_get_picture_type_char(static_cast<AVPictureType>(ost.LastPictType)));
}
