// Packet output: decodes one demuxed packet and hands its frames to the output streams it
// feeds, copies packets of stream-copy outputs, drains encoders at the end of input, writes
// packets through the bitstream filters and the interleaving writer, and reports progress.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

#include "AmrNbEncoder.h"
#include "FFmpeg.h"
#include "FFmpegException.h"
#include "StreamModel.h"

namespace {

// Frame duration of a video stream in microseconds, from the decoder or the stream.
int64_t VideoFrameDurationUs(const InputStreamState& ist, const AVFrame* frame) {
  const AVRational tb = ist.Stream->time_base;
  if (frame && frame->pkt_duration > 0)
    return av_rescale_q(frame->pkt_duration, tb, AV_TIME_BASE_Q);
  AVRational rate = ist.Decoder ? ist.Decoder->framerate : AVRational{0, 1};
  if (rate.num <= 0 || rate.den <= 0) rate = ist.Stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = ist.Stream->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return 0;
  return av_rescale_q(1, av_inv_q(rate), AV_TIME_BASE_Q);
}

std::string DecodeFailure(const InputStreamState& ist, int av_error) {
  return WithLibraryText("Error while decoding stream #" + std::to_string(ist.FileIndex) + "." +
                             std::to_string(ist.Index),
                         av_error);
}

}  // namespace

int Transcoder::OutputPacket(InputStreamState& ist, int ist_index, const AVPacket* pkt) {
  const AVRational tb = ist.Stream->time_base;
  if (ist.NextPts == AV_NOPTS_VALUE) ist.NextPts = ist.Pts;
  if (pkt && pkt->dts != AV_NOPTS_VALUE) {
    const int64_t dts_us = av_rescale_q(pkt->dts, tb, AV_TIME_BASE_Q);
    ist.LastDts = dts_us;
    ist.NextDts =
        dts_us + (pkt->duration > 0 ? av_rescale_q(pkt->duration, tb, AV_TIME_BASE_Q) : 0);
    // Until a decoder gives frame times, the packet's dts is the stream's clock.
    if (!ist.DecodingNeeded) ist.Pts = ist.NextPts = dts_us;
  }

  if (pkt) CopyPacket(ist, ist_index, pkt);
  if (!pkt && !ist.DecodingNeeded) return 0;

  if (ist.DecodingNeeded) {
    AVCodecContext* dec = ist.Decoder;
    int result = 0;
    switch (dec->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
      case AVMEDIA_TYPE_AUDIO: {
        int frames_from_packet = 0;
        int ret = avcodec_send_packet(dec, pkt);
        // A packet the decoder refuses is a decoding error of this packet; frames it still
        // holds from earlier packets are delivered below all the same. Running out of memory
        // is no property of the packet: it ends the job.
        if (ret == AVERROR(ENOMEM)) throw FFMpegException(DecodeFailure(ist, ret));
        if (ret < 0 && ret != AVERROR_EOF && ret != AVERROR(EAGAIN)) {
          result = -1;
          ist.LastDecodeError = ret;
        }
        for (;;) {
          ret = avcodec_receive_frame(dec, ist.Frame.get());
          if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
          if (ret == AVERROR(ENOMEM)) throw FFMpegException(DecodeFailure(ist, ret));
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
        break;
      }
      case AVMEDIA_TYPE_SUBTITLE: {
        if (!pkt) break;
        AVSubtitle sub{};
        int got = 0;
        AVPacket* mutable_pkt = const_cast<AVPacket*>(pkt);
        if (avcodec_decode_subtitle2(dec, &sub, &got, mutable_pkt) < 0) return -1;
        if (!got) break;
        ist.Pts = pkt->pts != AV_NOPTS_VALUE ? av_rescale_q(pkt->pts, tb, AV_TIME_BASE_Q) : ist.Pts;
        if (opt_.StartTimeUs == 0 || ist.Pts >= opt_.StartTimeUs) {
          for (auto& ost : run_.Outputs)
            if (ost->SourceIndex == ist_index && ost->EncodingNeeded)
              DoSubtitleOut(*ost, ist, sub, pkt->pts);
        }
        avsubtitle_free(&sub);
        break;
      }
      default:
        return -1;
    }
    if (result < 0) return result;
  }

  if (!pkt) {
    DrainDeinterlacer(ist, ist_index);
    DrainEncoders(ist_index);
  }
  return 0;
}

// The deinterlacer holds the last picture back until it is told the input has ended.
void Transcoder::DrainDeinterlacer(InputStreamState& ist, int ist_index) {
  DeinterlaceGraph& g = ist.Deinterlacer;
  if (!g.Graph || !ist.Deinterlaced) return;
  if (av_buffersrc_add_frame_flags(g.Source, nullptr, 0) < 0) return;
  for (;;) {
    av_frame_unref(ist.Deinterlaced.get());
    if (av_buffersink_get_frame(g.Sink, ist.Deinterlaced.get()) < 0) break;
    AVFrame* out = ist.Deinterlaced.get();
    if (out->pts != AV_NOPTS_VALUE)
      ist.Pts = av_rescale_q(out->pts, av_buffersink_get_time_base(g.Sink), AV_TIME_BASE_Q);
    SendToOutputs(ist, ist_index, out, nullptr, 0);
  }
  g.Graph.reset();
}

void Transcoder::HandleDecodedFrame(InputStreamState& ist, int ist_index, AVFrame* frame) {
  const AVRational tb = ist.Stream->time_base;
  const int64_t ts = frame->best_effort_timestamp;
  ist.Pts = ts != AV_NOPTS_VALUE ? av_rescale_q(ts, tb, AV_TIME_BASE_Q) : ist.NextPts;

  AVFrame* picture = nullptr;
  uint8_t* samples = nullptr;
  int sample_bytes = 0;
  if (ist.Decoder->codec_type == AVMEDIA_TYPE_VIDEO) {
    ist.NextPts = ist.Pts + VideoFrameDurationUs(ist, frame);
    ist.Quality = frame->quality;
    if (ist.Upright) {
      // Pictures stored rotated are turned upright before anything else sees them.
      if (AVFrame* upright = ist.Upright->Apply(frame))
        frame = upright;
      else
        Log(0, "Cannot turn the picture upright");
    }
    picture = PreProcessVideoFrame(ist, frame);
    if (!picture) return;  // held back by the deinterlacer
  } else {
    const int rate = frame->sample_rate > 0 ? frame->sample_rate : ist.Decoder->sample_rate;
    if (rate > 0) ist.NextPts = ist.Pts + av_rescale(frame->nb_samples, AV_TIME_BASE, rate);
    if (!ToS16(ist, frame, samples, sample_bytes)) return;
    if (opt_.AudioVolume != 256) ApplyVolume(samples, sample_bytes);
  }

  if (ist.RateEmu) {
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

  SendToOutputs(ist, ist_index, picture, samples, sample_bytes);
}

void Transcoder::SendToOutputs(InputStreamState& ist, int ist_index, AVFrame* picture,
                               uint8_t* samples, int sample_bytes) {
  if (opt_.StartTimeUs != 0 && ist.Pts < opt_.StartTimeUs) return;
  for (auto& ostp : run_.Outputs) {
    OutputStreamState& ost = *ostp;
    if (ost.SourceIndex != ist_index || !ost.EncodingNeeded) continue;
    switch (ost.Encoder->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        DoAudioOut(ost, ist, samples, sample_bytes);
        break;
      case AVMEDIA_TYPE_VIDEO: {
        const int frame_size = DoVideoOut(ost, ist, picture);
        if (!opt_.VStatsFileName.empty() && frame_size > 0) DoVideoStats(ost, frame_size);
        break;
      }
      default:
        throw FFMpegException("invalid codec_type");
    }
  }
}

// Stream copy: packets go out unchanged, once the output has started on a key frame.
void Transcoder::CopyPacket(InputStreamState& ist, int ist_index, const AVPacket* pkt) {
  for (auto& ostp : run_.Outputs) {
    OutputStreamState& ost = *ostp;
    if (ost.SourceIndex != ist_index || ost.EncodingNeeded) continue;
    if (opt_.StartTimeUs != 0 && ist.Pts < opt_.StartTimeUs) continue;
    if (ost.FrameNumber == 0 && !(pkt->flags & AV_PKT_FLAG_KEY)) continue;
    const AVMediaType type = ist.Stream->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO) e_.Stats.AudioBytes += pkt->size;
    if (type == AVMEDIA_TYPE_VIDEO) {
      e_.Stats.VideoBytes += pkt->size;
      ost.SyncOpts += 1;
    }
    AVPacket* out = out_pkt_.get();
    if (av_packet_ref(out, pkt) < 0) throw FFMpegException("av_malloc fail");
    const AVRational in_tb = ist.Stream->time_base;
    const AVRational out_tb = ost.Stream->time_base;
    out->stream_index = ost.Index;
    out->pts = pkt->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : av_rescale_q(pkt->pts, in_tb, out_tb);
    out->dts = pkt->dts == AV_NOPTS_VALUE ? av_rescale_q(ist.Pts, AV_TIME_BASE_Q, out_tb)
                                          : av_rescale_q(pkt->dts, in_tb, out_tb);
    out->duration = av_rescale_q(pkt->duration, in_tb, out_tb);
    WriteFrame(ost, out);
    ost.FrameNumber += 1;
  }
}

// End of input: everything the encoders still hold goes out.
void Transcoder::DrainEncoders(int ist_index) {
  for (auto& ostp : run_.Outputs) {
    OutputStreamState& ost = *ostp;
    if (ost.SourceIndex != ist_index || !ost.EncodingNeeded || !ost.CodecOpened) continue;
    switch (ost.Encoder->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        FlushAudio(ost);
        break;
      case AVMEDIA_TYPE_VIDEO:
        EncodeAndWrite(ost, nullptr);
        break;
      default:
        break;
    }
  }
}

int Transcoder::EncodeAndWrite(OutputStreamState& ost, const AVFrame* frame) {
  AVCodecContext* enc = ost.Encoder;
  const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
  const char* failed = video ? "Video encoding failed" : "Audio encoding failed";
  int ret = avcodec_send_frame(enc, frame);
  if (ret == AVERROR_EOF) return 0;  // already drained
  if (ret < 0) throw FFMpegException(WithLibraryText(failed, ret));
  int frame_size = 0;
  AVPacket* pkt = out_pkt_.get();
  for (;;) {
    ret = avcodec_receive_packet(enc, pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) throw FFMpegException(WithLibraryText(failed, ret));
    if (video) {
      size_t side_size = 0;
      const uint8_t* q = av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &side_size);
      if (q && side_size >= 5) {
        ost.LastQuality = static_cast<float>(AV_RL32(q));
        ost.LastPictType = q[4];
        const int errors = q[5];
        for (int i = 0; i < 4; ++i)
          ost.LastError[i] = (i < errors && side_size >= 8 + 8 * static_cast<size_t>(i + 1))
                                 ? AV_RL64(q + 8 + 8 * i)
                                 : 0;
      }
      e_.Stats.VideoBytes += pkt->size;
      if (ost.PassLogFile && enc->stats_out) std::fputs(enc->stats_out, ost.PassLogFile);
    } else {
      e_.Stats.AudioBytes += pkt->size;
    }
    frame_size = pkt->size;
    pkt->stream_index = ost.Index;
    av_packet_rescale_ts(pkt, enc->time_base, ost.Stream->time_base);
    WriteFrame(ost, pkt);
  }
  return frame_size;
}

void Transcoder::WriteFrame(OutputStreamState& ost, AVPacket* pkt) {
  AVFormatContext* oc = e_.Files.OutputFiles[ost.FileIndex].get();
  // Muxers refuse decreasing time stamps; keep them increasing rather than fail the job on a
  // source with a small step back.
  if (!(oc->oformat->flags & AVFMT_NOTIMESTAMPS) && pkt->dts != AV_NOPTS_VALUE) {
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
  const int64_t start = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (start != AV_NOPTS_VALUE) {
    const int64_t end = start + std::max<int64_t>(pkt->duration, 0);
    if (ost.MuxEnd == AV_NOPTS_VALUE || end > ost.MuxEnd) ost.MuxEnd = end;
  }
  const int ret = av_interleaved_write_frame(oc, pkt);
  av_packet_unref(pkt);
  if (ret < 0) throw FFMpegException(WithLibraryText("av_interleaved_write_frame()", ret));
  ost.PacketsWritten += 1;
}

void Transcoder::DoSubtitleOut(OutputStreamState& ost, InputStreamState& ist, AVSubtitle& sub,
                               int64_t pts) {
  if (pts == AV_NOPTS_VALUE) {
    Log(0, "Subtitle packets must have a pts");
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
    if (size < 0) throw FFMpegException("Subtitle encoding failed");
    AVPacket* pkt = out_pkt_.get();
    if (av_new_packet(pkt, size) < 0) throw FFMpegException("av_malloc fail");
    std::memcpy(pkt->data, buf.data(), static_cast<size_t>(size));
    pkt->stream_index = ost.Index;
    pkt->pts = av_rescale_q(pts, ist.Stream->time_base, ost.Stream->time_base);
    if (passes == 2)
      pkt->pts += av_rescale_q(i == 0 ? sub.start_display_time : sub.end_display_time,
                               AVRational{1, 1000}, ost.Stream->time_base);
    pkt->dts = pkt->pts;
    pkt->flags |= AV_PKT_FLAG_KEY;
    WriteFrame(ost, pkt);
  }
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
  int frame_number = -1, fps = -1;
  float quality = -1.0f;
  bool seen_video = false;

  for (auto& ostp : run_.Outputs) {
    OutputStreamState& ost = *ostp;
    const bool is_video = ost.Encoder->codec_type == AVMEDIA_TYPE_VIDEO;
    const float q = ost.EncodingNeeded && ost.LastQuality >= 0 ? ost.LastQuality / 118.0f : -1.0f;
    if (is_video && seen_video) {
      std::snprintf(buf, sizeof buf, "q=%2.1f ", static_cast<double>(q));
      line += buf;
    } else if (is_video) {
      seen_video = true;
      const double elapsed = static_cast<double>(av_gettime() - e_.Stats.TimerStart) / 1000000.0;
      frame_number = static_cast<int>(ost.FrameNumber);
      if (frame_number < 1) return;  // nothing to say before the first picture
      fps = elapsed > 1 ? static_cast<int>(frame_number / elapsed + 0.5) : 0;
      quality = q;
      std::snprintf(buf, sizeof buf, "frame=%5d fps=%3d q=%3.1f ", frame_number, fps,
                    static_cast<double>(q));
      line += buf;
      if (final_report) line += "L";
      if (opt_.QpHist) {
        const int qp = static_cast<int>(std::lround(q));
        if (qp >= 0 && qp < 52) run_.QpHistogram[qp]++;
        for (int j = 0; j < 32; ++j) {
          std::snprintf(buf, sizeof buf, "%X",
                        static_cast<int>(std::lround(std::log2(run_.QpHistogram[j] + 1))));
          line += buf;
        }
      }
      AVCodecContext* enc = ost.Encoder;
      if (ost.EncodingNeeded && (enc->flags & AV_CODEC_FLAG_PSNR)) {
        line += "PSNR=";
        double error_sum = 0, scale_sum = 0;
        for (int j = 0; j < 3; ++j) {
          double error = final_report ? static_cast<double>(enc->error[j])
                                      : static_cast<double>(ost.LastError[j]);
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
        line += buf;
      }
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
      std::snprintf(buf, sizeof buf, " dup=%d drop=%d", e_.Stats.FramesDuplicated, e_.Stats.FramesDropped);
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
    const double payload = static_cast<double>(e_.Stats.VideoBytes + e_.Stats.AudioBytes + e_.Stats.ExtraBytes);
    const double overhead =
        payload > 0 ? (static_cast<double>(size) - payload) * 100.0 / payload : 0.0;
    Log(1, "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
        static_cast<double>(e_.Stats.VideoBytes) / 1024, static_cast<double>(e_.Stats.AudioBytes) / 1024,
        static_cast<double>(e_.Stats.ExtraBytes) / 1024, overhead);
  }
}

void Transcoder::DoVideoStats(OutputStreamState& ost, int frame_size) {
  if (!e_.Stats.VStatsFile) {
    e_.Stats.VStatsFile.reset(std::fopen(opt_.VStatsFileName.c_str(), "w"));
    if (!e_.Stats.VStatsFile) throw FFMpegException("fopen fail: " + opt_.VStatsFileName);
  }
  AVCodecContext* enc = ost.Encoder;
  if (enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
  std::FILE* f = e_.Stats.VStatsFile.get();
  std::fprintf(f, "frame= %5d q= %2.1f ", static_cast<int>(ost.FrameNumber),
               static_cast<double>(ost.LastQuality) / 118.0);
  if (enc->flags & AV_CODEC_FLAG_PSNR) {
    const double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
    const double err = static_cast<double>(ost.LastError[0]);
    std::fprintf(f, "PSNR= %6.2f ", err > 0 ? -10.0 * std::log10(err / scale) : 99.0);
  }
  std::fprintf(f, "f_size= %6d ", frame_size);
  double ti1 = static_cast<double>(ost.SyncOpts) * av_q2d(enc->time_base);
  if (ti1 < 0.01) ti1 = 0.01;
  const double bitrate = frame_size * 8 / av_q2d(enc->time_base) / 1000.0;
  const double avg_bitrate = static_cast<double>(e_.Stats.VideoBytes) * 8 / ti1 / 1000.0;
  std::fprintf(f, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               static_cast<double>(e_.Stats.VideoBytes) / 1024, ti1, bitrate, avg_bitrate);
  std::fprintf(f, "type= %c\n",
               av_get_picture_type_char(static_cast<AVPictureType>(ost.LastPictType)));
}
