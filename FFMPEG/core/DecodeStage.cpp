// The decode stage of one input stream (see DecodeStage.h); pictures' deinterlacing and hooks
// are in DecodePictures.cpp.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>

extern "C" {
#include <libavutil/time.h>
}

#include "DecodeStage.h"
#include "FFmpegException.h"
#include "FilterLibrary.h"
#include "MuxStage.h"
#include "SourceTags.h"

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

DecodeStage::DecodeStage(const TRunContext& context, const RunLog& log, InputStreamState& ist,
                         std::vector<Output> outputs, StageLink<WriterItem>& writer)
    : e_(context),
      opt_(context.Options),
      Log(log),
      ist_(ist),
      outputs_(std::move(outputs)),
      writer_(writer) {}

// An encoded output's path closes its feed once the output has all it takes; copy and
// subtitle outputs are this stage's own.
bool DecodeStage::OutputDone(const Output& out) const {
  return out.Link ? out.Link->Closed() : out.State->Done;
}

// A stream whose outputs all have what they take need not be decoded any further.
bool DecodeStage::Wanted() const {
  for (const Output& out : outputs_)
    if (!OutputDone(out)) return true;
  return false;
}

bool DecodeStage::Step(PacketPtr& pkt) {
  if (!Wanted()) return false;
  if (OutputPacket(pkt.get()) < 0 && opt_.Verbosity >= 0)
    Log(1, "Error while decoding stream #%d.%d", ist_.FileIndex, ist_.Index);
  pkt.reset();
  return Wanted();
}

void DecodeStage::Finish() {
  if (ist_.DecodingNeeded) OutputPacket(nullptr);
  for (Output& out : outputs_) {
    if (out.Link)
      out.Link->End();
    else
      EndOutputPackets(*out.State, writer_);
  }
}

int DecodeStage::OutputPacket(const AVPacket* pkt) {
  if (ist_.NextPts == AV_NOPTS_VALUE) ist_.NextPts = ist_.Pts;
  // Until a decoder gives frame times, the packet's dts is the stream's clock.
  if (pkt && pkt->dts != AV_NOPTS_VALUE && !ist_.DecodingNeeded)
    ist_.Pts = ist_.NextPts = av_rescale_q(pkt->dts, ist_.Stream->time_base, AV_TIME_BASE_Q);

  if (pkt) CopyPacket(pkt);
  if (!ist_.DecodingNeeded) return 0;
  int result = 0;
  switch (ist_.Decoder->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
    case AVMEDIA_TYPE_AUDIO:
      result = DecodePacket(pkt);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      result = pkt ? DecodeSubtitle(pkt) : 0;
      break;
    default:
      return -1;
  }
  if (result < 0) return result;
  if (!pkt) DrainDeinterlacer();
  return 0;
}

// Sends PKT (nullptr drains) to the decoder and handles every frame it gives back. A packet
// the decoder refuses is a decoding error of this packet (-1); frames it still holds from
// earlier packets are delivered all the same. Running out of memory is no property of the
// packet: it ends the job.
int DecodeStage::DecodePacket(const AVPacket* pkt) {
  AVCodecContext* dec = ist_.Decoder;
  int result = 0;
  int frames_from_packet = 0;
  int ret = avcodec_send_packet(dec, pkt);
  if (ret == AVERROR(ENOMEM)) throw DecodeFailure(ist_, ret);
  if (ret < 0 && ret != AVERROR_EOF && ret != AVERROR(EAGAIN)) {
    result = -1;
    ist_.LastDecodeError = ret;
  }
  if (pkt && dec->codec_type == AVMEDIA_TYPE_AUDIO) NoteSoundPacket(*pkt, result == 0);
  for (;;) {
    ret = avcodec_receive_frame(dec, ist_.Frame.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret == AVERROR(ENOMEM)) throw DecodeFailure(ist_, ret);
    if (ret < 0) {
      result = -1;
      ist_.LastDecodeError = ret;
      if (pkt) break;
      continue;  // draining: go on until the decoder says it is empty
    }
    ist_.FramesDecoded += 1;
    if (pkt && ++frames_from_packet > 1 && opt_.Verbosity > 0)
      Log(0, "Multiple frames in a packet from stream %d", pkt->stream_index);
    HandleDecodedFrame(ist_.Frame.get());
    av_frame_unref(ist_.Frame.get());
  }
  if (result < 0 && pkt) ++ist_.PacketsUndecoded;
  return result;
}

int DecodeStage::DecodeSubtitle(const AVPacket* pkt) {
  AVSubtitle sub{};
  int got = 0;
  if (avcodec_decode_subtitle2(ist_.Decoder, &sub, &got, const_cast<AVPacket*>(pkt)) < 0) return -1;
  if (!got) return 0;
  if (pkt->pts != AV_NOPTS_VALUE)
    ist_.Pts = av_rescale_q(pkt->pts, ist_.Stream->time_base, AV_TIME_BASE_Q);
  if (opt_.StartTimeUs == 0 || ist_.Pts >= opt_.StartTimeUs) {
    for (Output& out : outputs_)
      if (out.State->EncodingNeeded && !OutputDone(out)) DoSubtitleOut(*out.State, sub, pkt->pts);
  }
  avsubtitle_free(&sub);
  return 0;
}

// The deinterlacer holds the last picture back until it is told the input has ended.
void DecodeStage::DrainDeinterlacer() {
  DeinterlaceGraph& g = ist_.Deinterlacer;
  if (!g.Graph || !ist_.Deinterlaced) return;
  const TFilterLibrary& fl = FilterLibrary();
  const int ret = fl.buffersrc_add_frame_flags(g.Source, nullptr, 0);
  if (ret < 0) {
    Log(0, "%s", WithLibraryText("The deinterlacer's last picture is lost", ret).c_str());
    return;
  }
  for (;;) {
    av_frame_unref(ist_.Deinterlaced.get());
    if (fl.buffersink_get_frame(g.Sink, ist_.Deinterlaced.get()) < 0) break;
    AVFrame* out = ist_.Deinterlaced.get();
    if (out->pts != AV_NOPTS_VALUE)
      ist_.Pts = av_rescale_q(out->pts, fl.buffersink_get_time_base(g.Sink), AV_TIME_BASE_Q);
    SendToOutputs(out);
  }
  g.Graph.reset();
}

void DecodeStage::HandleDecodedFrame(AVFrame* frame) {
  const AVRational tb = ist_.Stream->time_base;
  const int64_t ts = frame->best_effort_timestamp;
  ist_.Pts = ts != AV_NOPTS_VALUE ? av_rescale_q(ts, tb, AV_TIME_BASE_Q) : ist_.NextPts;

  AVFrame* out = nullptr;
  if (ist_.Decoder->codec_type == AVMEDIA_TYPE_VIDEO) {
    ist_.PictureDurationUs =
        VideoFrameDurationUs(ist_, frame, static_cast<int64_t>(opt_.DtsDeltaThreshold * 1000000.0));
    ist_.NextPts = ist_.Pts + ist_.PictureDurationUs;
    ist_.Quality = frame->quality;
    if (ist_.Upright) {
      // Pictures stored rotated are turned upright before anything else sees them.
      if (AVFrame* upright = ist_.Upright->Apply(frame))
        frame = upright;
      else
        Log(0, "Cannot turn the picture upright");
    }
    out = PreProcessVideoFrame(frame);
    if (!out) return;  // held back by the deinterlacer
  } else {
    if (ts != AV_NOPTS_VALUE) ist_.Pts = PlaceSoundFrame(ist_.Pts);
    const int rate = frame->sample_rate > 0 ? frame->sample_rate : ist_.Decoder->sample_rate;
    if (rate > 0) ist_.NextPts = ist_.Pts + av_rescale(frame->nb_samples, AV_TIME_BASE, rate);
    HandDecodedSound(frame);
    return;
  }
  if (ist_.RateEmu) PaceRateEmulation(frame);
  SendToOutputs(out);
}

// Sound goes on as interleaved 16-bit samples, and as 32-bit ones too when an output's sound
// path carries wide samples; each at the set volume.
void DecodeStage::HandDecodedSound(AVFrame* frame) {
  bool wide = false, narrow = false;
  for (const Output& o : outputs_) {
    if (!o.State->EncodingNeeded || o.State->Encoder->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    (o.State->Sound.SampleFormat == AV_SAMPLE_FMT_S32 ? wide : narrow) = true;
  }
  if (!wide) narrow = true;
  FramePtr s16, s32;
  if (narrow && !ToSampleFormat(frame, AV_SAMPLE_FMT_S16, ist_.ToS16, s16)) s16.reset();
  if (wide && !ToSampleFormat(frame, AV_SAMPLE_FMT_S32, ist_.ToS32, s32)) s32.reset();
  if (!s16 && !s32) return;
  if (opt_.AudioVolume != 256) {
    if (s16) ApplyVolume(s16->data[0], s16->nb_samples * 2 * s16->ch_layout.nb_channels);
    if (s32) ApplyWideVolume(s32->data[0], s32->nb_samples * s32->ch_layout.nb_channels);
  }
  if (ist_.RateEmu) PaceRateEmulation(frame);
  SendToOutputs(s16.get(), s32.get());
}

// Notes the first sound packet the decoder takes before it gives a frame. A packet it refuses
// holds sound that is lost, and one that asks for samples to be skipped (an encoder's priming)
// is meant to give less: after either, a late first frame is where it belongs.
void DecodeStage::NoteSoundPacket(const AVPacket& pkt, bool accepted) {
  if (ist_.SoundClockSet) return;
  if (!accepted || av_packet_get_side_data(&pkt, AV_PKT_DATA_SKIP_SAMPLES, nullptr))
    ist_.SoundPacketsSkip = true;
  const int64_t ts = pkt.pts != AV_NOPTS_VALUE ? pkt.pts : pkt.dts;
  if (ist_.FirstSoundPacketUs == AV_NOPTS_VALUE && ts != AV_NOPTS_VALUE)
    ist_.FirstSoundPacketUs = av_rescale_q(ts, ist_.Stream->time_base, AV_TIME_BASE_Q);
}

// The time of a decoded sound frame stamped PTS_US: the first frame sets how far the decoder's
// stamps lag behind the first packet's time (a decoder that holds back its first frames stamps
// them with a later packet's time), and every frame of the stream is moved back by that lag, so
// no silence is made up in front of the sound and its distance to the pictures stays as the
// packets give it. Lags under 10 ms (a block decoder's overlap) are kept as they are.
int64_t DecodeStage::PlaceSoundFrame(int64_t pts_us) {
  constexpr int64_t kLeastLagUs = 10000;
  if (!ist_.SoundClockSet) {
    ist_.SoundClockSet = true;
    const int64_t first = ist_.FirstSoundPacketUs;
    if (first != AV_NOPTS_VALUE && !ist_.SoundPacketsSkip && pts_us - first >= kLeastLagUs) {
      ist_.SoundLagUs = pts_us - first;
      if (opt_.Verbosity > 0)
        Log(1,
            "Stream #%d.%d: the decoder's first frame comes %.3f s after its packet; the sound "
            "keeps its packets' place",
            ist_.FileIndex, ist_.Index, static_cast<double>(ist_.SoundLagUs) / 1e6);
    }
  }
  return pts_us - ist_.SoundLagUs;
}

// Rate emulation: frames are handed on no faster than their own rate.
void DecodeStage::PaceRateEmulation(const AVFrame* frame) {
  const AVRational rtb =
      ist_.Decoder->codec_type == AVMEDIA_TYPE_VIDEO
          ? av_inv_q(ist_.Stream->avg_frame_rate.num > 0 ? ist_.Stream->avg_frame_rate
                                                         : AVRational{25, 1})
          : AVRational{frame->nb_samples, std::max(ist_.Decoder->sample_rate, 1)};
  const int64_t target = av_rescale(ist_.FrameCount * rtb.num, AV_TIME_BASE, rtb.den);
  const int64_t elapsed = av_gettime() - ist_.StartWallClock;
  if (target - elapsed > 50000)
    std::this_thread::sleep_for(std::chrono::microseconds(target - elapsed));
  ist_.FrameCount += 1;
}

// Hands FRAME (a picture, or interleaved 16-bit sound) to every output it feeds, as a reference
// of its own for each; WIDE_SOUND, the same sound in 32-bit samples, goes to the sound outputs
// whose path carries those.
void DecodeStage::SendToOutputs(AVFrame* frame, AVFrame* wide_sound) {
  if (opt_.StartTimeUs != 0 && ist_.Pts < opt_.StartTimeUs) return;
  AVFrame* const narrow = frame;
  for (Output& out : outputs_) {
    OutputStreamState& ost = *out.State;
    if (!ost.EncodingNeeded || OutputDone(out)) continue;
    const AVMediaType type = ost.Encoder->codec_type;
    if ((type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) || !out.Link)
      throw FFMpegException("invalid codec_type");
    if (type == AVMEDIA_TYPE_AUDIO)
      frame = ost.Sound.SampleFormat == AV_SAMPLE_FMT_S32 ? wide_sound : narrow;
    if (!frame) continue;  // its conversion failed (logged)
    FrameItem item;
    item.Frame.reset(av_frame_alloc());
    if (!item.Frame || av_frame_ref(item.Frame.get(), frame) < 0)
      throw FFMpegException("av_mallocz fail");
    item.SyncPts = ost.SyncInput->Pts;
    item.Quality = ist_.Quality;
    item.SourceTopFieldFirst = frame->top_field_first;
    if (type == AVMEDIA_TYPE_VIDEO) item.DurationUs = ist_.PictureDurationUs;
    // A path that needs nothing more refuses the frame.
    const size_t bytes = HeldBytes(item.Frame.get());
    out.Link->Push(std::move(item), bytes);
  }
}

// Stream copy: packets go out unchanged, once the output has started on a key frame, up to its
// recording time. A cover picture is one packet: its output is complete with it.
void DecodeStage::CopyPacket(const AVPacket* pkt) {
  for (Output& o : outputs_) {
    OutputStreamState& ost = *o.State;
    if (ost.EncodingNeeded || ost.Done) continue;
    if (opt_.StartTimeUs != 0 && ist_.Pts < opt_.StartTimeUs) continue;
    if (ost.FrameNumber == 0 && !(pkt->flags & AV_PKT_FLAG_KEY)) continue;
    PacketPtr out(av_packet_alloc());
    if (!out || av_packet_ref(out.get(), pkt) < 0) throw FFMpegException("av_malloc fail");
    const AVRational in_tb = ist_.Stream->time_base;
    const AVRational out_tb = ost.Stream->time_base;
    out->stream_index = ost.Index;
    out->pts = pkt->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : av_rescale_q(pkt->pts, in_tb, out_tb);
    out->dts = pkt->dts == AV_NOPTS_VALUE ? av_rescale_q(ist_.Pts, AV_TIME_BASE_Q, out_tb)
                                          : av_rescale_q(pkt->dts, in_tb, out_tb);
    out->duration = av_rescale_q(pkt->duration, in_tb, out_tb);
    if (opt_.RecordingTimeUs != std::numeric_limits<int64_t>::max() &&
        av_compare_ts(out->dts, out_tb, opt_.RecordingTimeUs, AV_TIME_BASE_Q) >= 0) {
      ost.Done = true;
      continue;
    }
    if (ist_.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) ost.SyncOpts += 1;
    writer_.Push(WriterItem{ost.TableIndex, std::move(out)});
    ost.FrameNumber += 1;
    if (IsAttachedPicture(ist_.Stream)) {
      ost.Done = true;
      EndOutputPackets(ost, writer_);
    }
  }
}

void DecodeStage::DoSubtitleOut(OutputStreamState& ost, AVSubtitle& sub, int64_t pts) {
  if (pts == AV_NOPTS_VALUE) {
    Log(0, "Subtitle packets must have a pts");
    return;
  }
  if (opt_.RecordingTimeUs != std::numeric_limits<int64_t>::max() &&
      av_compare_ts(pts, ist_.Stream->time_base, opt_.RecordingTimeUs, AV_TIME_BASE_Q) >= 0) {
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
    pkt->pts = av_rescale_q(pts, ist_.Stream->time_base, ost.Stream->time_base);
    if (passes == 2)
      pkt->pts += av_rescale_q(i == 0 ? sub.start_display_time : sub.end_display_time,
                               AVRational{1, 1000}, ost.Stream->time_base);
    pkt->dts = pkt->pts;
    pkt->flags |= AV_PKT_FLAG_KEY;
    writer_.Push(WriterItem{ost.TableIndex, std::move(pkt)});
  }
}

// Converts a decoded audio frame to interleaved FORMAT (signed 16- or 32-bit) with CONV: a new
// reference to FRAME when it is in that format already (a copy when the volume step would
// change samples the decoder still holds), else a converted frame. False when there is nothing
// to hand on.
bool DecodeStage::ToSampleFormat(AVFrame* frame, AVSampleFormat format, SoundConversion& conv,
                                 FramePtr& out) {
  const int channels = frame->ch_layout.nb_channels;
  if (channels <= 0 || frame->nb_samples <= 0) return false;
  const int sample_bytes = av_get_bytes_per_sample(format);
  if (int64_t{frame->nb_samples} * sample_bytes * channels > INT_MAX) return false;
  const int rate = frame->sample_rate > 0 ? frame->sample_rate : ist_.Decoder->sample_rate;
  if (rate <= 0) return false;
  out.reset(av_frame_alloc());
  if (!out) throw FFMpegException("av_mallocz fail");
  if (frame->format == format) {
    if (av_frame_ref(out.get(), frame) < 0) throw FFMpegException("av_mallocz fail");
    out->sample_rate = rate;
    if (opt_.AudioVolume != 256 && av_frame_make_writable(out.get()) < 0)
      throw FFMpegException("av_mallocz fail");
    return true;
  }
  // The converter is built only from parameters it can take.
  if (av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format)) <= 0) return false;
  if (!conv.Swr || conv.Format != frame->format || conv.Rate != rate ||
      av_channel_layout_compare(&conv.Layout, &frame->ch_layout) != 0) {
    AVChannelLayout layout{};
    LayoutFor(frame->ch_layout, channels, &layout);
    SwrContext* swr = nullptr;
    int ret = swr_alloc_set_opts2(&swr, &layout, format, rate, &layout,
                                  static_cast<AVSampleFormat>(frame->format), rate, 0, nullptr);
    conv.Swr.reset(swr);
    av_channel_layout_uninit(&layout);
    if (ret >= 0) ret = swr_init(conv.Swr.get());
    av_channel_layout_uninit(&conv.Layout);
    if (ret >= 0) ret = av_channel_layout_copy(&conv.Layout, &frame->ch_layout);
    if (ret < 0) {
      conv.Swr.reset();
      Log(0, "%s", WithLibraryText("Cannot convert the decoded sound", ret).c_str());
      return false;
    }
    conv.Format = frame->format;
    conv.Rate = rate;
  }
  out->format = format;
  out->nb_samples = frame->nb_samples;
  out->sample_rate = rate;
  if (av_channel_layout_copy(&out->ch_layout, &frame->ch_layout) < 0 ||
      av_frame_get_buffer(out.get(), 0) < 0)
    throw FFMpegException("av_mallocz fail");
  const int got = swr_convert(conv.Swr.get(), out->data, frame->nb_samples,
                              const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (got < 0) {
    Log(0, "%s", WithLibraryText("Cannot convert the decoded sound", got).c_str());
    return false;
  }
  out->nb_samples = got;
  return got > 0;
}

// Volume: 256 is unity; each sample is scaled with rounding and clipped to 16 bits.
void DecodeStage::ApplyVolume(uint8_t* data, int size) const {
  int16_t* samples = reinterpret_cast<int16_t*>(data);
  const int count = size / 2;
  const int volume = opt_.AudioVolume;
  for (int i = 0; i < count; ++i) {
    const int v = (samples[i] * volume + 128) >> 8;
    samples[i] = static_cast<int16_t>(std::clamp(v, -32768, 32767));
  }
}

// Volume on wide samples (COUNT of them): the 24 significant bits are scaled as the 16-bit
// samples are, with rounding, clipped to 24 bits, and put back with the low byte zero, which
// is what a 24-bit encoder keeps.
void DecodeStage::ApplyWideVolume(uint8_t* data, int count) const {
  int32_t* samples = reinterpret_cast<int32_t*>(data);
  const int64_t volume = opt_.AudioVolume;
  constexpr int64_t kMax = (int64_t{1} << 23) - 1;
  for (int i = 0; i < count; ++i) {
    const int64_t v = ((int64_t{samples[i] >> 8}) * volume + 128) >> 8;
    samples[i] = static_cast<int32_t>(static_cast<uint32_t>(std::clamp(v, -kMax - 1, kMax)) << 8);
  }
}
