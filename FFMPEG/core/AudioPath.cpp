// The audio path. Decoded sound is first made interleaved signed 16-bit at the decoder's rate
// and channel count; the volume, the sync with the input clock (silence, discard, stretch) and
// the FIFO work on that. Each encoder frame is converted to the encoder's sample format just
// before encoding.
#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "AmrNbEncoder.h"
#include "FFmpegException.h"
#include "FFmpegException.h"
#include "Transcoder.h"

namespace {

// Silence and input together stay within this many bytes per call; the rest of a large gap is
// filled by the following calls.
constexpr int kMaxPaddedBytes = 131072;

void LayoutFor(const AVChannelLayout& in, int channels, AVChannelLayout* out) {
  if (in.order != AV_CHANNEL_ORDER_UNSPEC && in.nb_channels == channels &&
      av_channel_layout_copy(out, &in) == 0)
    return;
  av_channel_layout_default(out, channels);
}

}  // namespace

// Converts a decoded audio frame to interleaved 16-bit: a new reference to FRAME when it is in
// that format already (a copy when the volume step would change samples the decoder still
// holds), else a converted frame. False when there is nothing to hand on.
bool Transcoder::ToS16(InputStreamState& ist, AVFrame* frame, FramePtr& out) {
  const int channels = frame->ch_layout.nb_channels;
  if (channels <= 0 || frame->nb_samples <= 0) return false;
  if (int64_t{frame->nb_samples} * 2 * channels > INT_MAX) return false;
  const int rate = frame->sample_rate > 0 ? frame->sample_rate : ist.Decoder->sample_rate;
  if (rate <= 0) return false;
  out.reset(av_frame_alloc());
  if (!out) throw FFMpegException("av_mallocz fail");
  if (frame->format == AV_SAMPLE_FMT_S16) {
    if (av_frame_ref(out.get(), frame) < 0) throw FFMpegException("av_mallocz fail");
    out->sample_rate = rate;
    if (opt_.AudioVolume != 256 && av_frame_make_writable(out.get()) < 0)
      throw FFMpegException("av_mallocz fail");
    return true;
  }
  // The converter is built only from parameters it can take.
  if (av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format)) <= 0) return false;
  if (!ist.ToS16 || ist.ToS16Format != frame->format || ist.ToS16Rate != rate ||
      av_channel_layout_compare(&ist.ToS16Layout, &frame->ch_layout) != 0) {
    AVChannelLayout layout{};
    LayoutFor(frame->ch_layout, channels, &layout);
    SwrContext* swr = nullptr;
    int ret = swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_S16, rate, &layout,
                                  static_cast<AVSampleFormat>(frame->format), rate, 0, nullptr);
    ist.ToS16.reset(swr);
    av_channel_layout_uninit(&layout);
    if (ret >= 0) ret = swr_init(ist.ToS16.get());
    av_channel_layout_uninit(&ist.ToS16Layout);
    if (ret >= 0) ret = av_channel_layout_copy(&ist.ToS16Layout, &frame->ch_layout);
    if (ret < 0) {
      ist.ToS16.reset();
      Log(0, "%s", WithLibraryText("Cannot convert the decoded sound", ret).c_str());
      return false;
    }
    ist.ToS16Format = frame->format;
    ist.ToS16Rate = rate;
  }
  out->format = AV_SAMPLE_FMT_S16;
  out->nb_samples = frame->nb_samples;
  out->sample_rate = rate;
  if (av_channel_layout_copy(&out->ch_layout, &frame->ch_layout) < 0 ||
      av_frame_get_buffer(out.get(), 0) < 0)
    throw FFMpegException("av_mallocz fail");
  const int got = swr_convert(ist.ToS16.get(), out->data, frame->nb_samples,
                              const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (got < 0) {
    Log(0, "%s", WithLibraryText("Cannot convert the decoded sound", got).c_str());
    return false;
  }
  out->nb_samples = got;
  return got > 0;
}

// Volume: 256 is unity; each sample is scaled with rounding and clipped to 16 bits.
void Transcoder::ApplyVolume(uint8_t* data, int size) const {
  int16_t* samples = reinterpret_cast<int16_t*>(data);
  const int count = size / 2;
  const int volume = opt_.AudioVolume;
  for (int i = 0; i < count; ++i) {
    const int v = (samples[i] * volume + 128) >> 8;
    samples[i] = static_cast<int16_t>(std::clamp(v, -32768, 32767));
  }
}

// The resampler (rate and channels) for sound like IN; rebuilt when a stream switches between
// mono and stereo or changes its rate, so that it reads exactly what the buffer holds.
void Transcoder::PrepareResampler(OutputStreamState& ost, const AVFrame* in) {
  AVCodecContext* enc = ost.Encoder;
  const int enc_ch = enc->ch_layout.nb_channels, enc_rate = enc->sample_rate;
  const int dec_ch = in->ch_layout.nb_channels, dec_rate = in->sample_rate;
  if (enc_ch != dec_ch || enc_rate != dec_rate) ost.AudioResample = true;
  if (!ost.AudioResample) return;
  if (ost.Resampler && ost.ResamplerInChannels == dec_ch && ost.ResamplerInRate == dec_rate) return;
  AVChannelLayout out_layout{}, in_layout{};
  LayoutFor(enc->ch_layout, enc_ch, &out_layout);
  LayoutFor(in->ch_layout, dec_ch, &in_layout);
  SwrContext* swr = nullptr;
  int ret = swr_alloc_set_opts2(&swr, &out_layout, AV_SAMPLE_FMT_S16, enc_rate, &in_layout,
                                AV_SAMPLE_FMT_S16, dec_rate, 0, nullptr);
  ost.Resampler.reset(swr);
  av_channel_layout_uninit(&out_layout);
  av_channel_layout_uninit(&in_layout);
  if (ret >= 0) ret = swr_init(ost.Resampler.get());
  if (ret < 0) {
    ost.Resampler.reset();
    char text[128];
    std::snprintf(text, sizeof text, "Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                  dec_ch, dec_rate, enc_ch, enc_rate);
    throw FFMpegException::FromLibrary(text, ret);
  }
  ost.ResamplerInChannels = dec_ch;
  ost.ResamplerInRate = dec_rate;
}

// Sound sync against the input clock: where the input says the buffer belongs (SYNC_TIME),
// against where the output has got to. Drops the start of a buffer the output is ahead of,
// puts silence before one it is behind, or asks the resampler to stretch a small drift.
// False when nothing of the buffer is left.
bool Transcoder::SyncAudio(OutputStreamState& ost, double& sync_time, int dec_ch, int dec_rate,
                           const uint8_t*& buf, int& size) {
  const int enc_rate = ost.Encoder->sample_rate;
  const int64_t fifo_samples = av_audio_fifo_size(ost.Fifo.get());
  if (opt_.AudioSyncMethod == 0) {
    if (ost.IsStart && sync_time < 0) {
      // Sound from before the output clock's start is cut: the clock starts where the first
      // picture is placed, which may be a little after the first sound.
      const int64_t cut =
          std::min<int64_t>(std::llround(-sync_time * dec_rate), size / (2 * dec_ch));
      buf += cut * 2 * dec_ch;
      size -= static_cast<int>(cut * 2 * dec_ch);
      sync_time += static_cast<double>(cut) / dec_rate;
      if (size <= 0) return false;
    }
    ost.IsStart = false;
    ost.SyncOpts = std::llround(sync_time * enc_rate) - fifo_samples;
    return true;
  }
  const double delta =
      sync_time * enc_rate - static_cast<double>(ost.SyncOpts) - static_cast<double>(fifo_samples);
  if (std::fabs(delta) <= 50) return true;
  // Damaged time stamps can put the input anywhere; the gap handled in one call is bounded.
  const double idelta = std::clamp(delta * dec_rate / enc_rate, -1e8, 1e8);
  int byte_delta = static_cast<int>(std::clamp<int64_t>(
      static_cast<int64_t>(idelta) * 2 * dec_ch, -int64_t{INT_MAX}, int64_t{INT_MAX}));
  if (ost.IsStart || std::fabs(delta) > opt_.AudioDriftThreshold * enc_rate) {
    if (byte_delta < 0) {
      // The output is ahead: drop the start of this buffer.
      byte_delta = std::max(byte_delta, -size);
      buf -= byte_delta;
      size += byte_delta;
      if (opt_.Verbosity > 2) Log(1, "discarding %d audio samples", static_cast<int>(-delta));
      if (size <= 0) return false;
      ost.IsStart = false;
      return true;
    }
    // The output is behind: put silence in front of this buffer.
    if (byte_delta + size <= kMaxPaddedBytes) {
      ost.IsStart = false;
    } else {
      byte_delta = std::max(kMaxPaddedBytes - size, 0);
      byte_delta -= byte_delta % (2 * dec_ch);
    }
    std::vector<uint8_t>& silence = ost.SilenceBuffer;
    if (silence.size() < static_cast<size_t>(byte_delta + size))
      silence.resize(static_cast<size_t>(byte_delta + size));
    std::memset(silence.data(), 0, static_cast<size_t>(byte_delta));
    std::memcpy(silence.data() + byte_delta, buf, static_cast<size_t>(size));
    buf = silence.data();
    size += byte_delta;
    if (opt_.Verbosity > 2) Log(1, "adding %d audio samples of silence", static_cast<int>(delta));
  } else if (opt_.AudioSyncMethod > 1 && ost.Resampler) {
    const int comp = std::clamp(static_cast<int>(delta), -opt_.AudioSyncMethod, opt_.AudioSyncMethod);
    if (opt_.Verbosity > 2)
      Log(1, "compensating audio timestamp drift:%f compensation:%d in:%d", delta, comp, enc_rate);
    const int ret = swr_set_compensation(ost.Resampler.get(), comp, enc_rate);
    if (ret < 0) Log(0, "%s", WithLibraryText("Cannot compensate the sound drift", ret).c_str());
  }
  return true;
}

void Transcoder::DoAudioOut(OutputStreamState& ost, const FrameItem& item) {
  const AVFrame* in = item.Frame.get();
  AVCodecContext* enc = ost.Encoder;
  const int enc_ch = enc->ch_layout.nb_channels;
  const int dec_ch = in->ch_layout.nb_channels, dec_rate = in->sample_rate;
  const uint8_t* buf = in->data[0];
  int size = in->nb_samples * 2 * dec_ch;
  if (enc_ch <= 0 || dec_ch <= 0 || enc->sample_rate <= 0 || dec_rate <= 0 || size <= 0) return;
  PrepareResampler(ost, in);
  double sync_time =
      static_cast<double>(item.SyncPts - opt_.StartTimeUs - ost.ClockShiftUs) / 1000000.0;
  if (!SyncAudio(ost, sync_time, dec_ch, dec_rate, buf, size)) return;

  // Resample and convert channels.
  const uint8_t* data = buf;
  int out_samples = size / (2 * dec_ch);
  if (ost.AudioResample) {
    const int in_samples = size / (2 * dec_ch);
    const int max_out = swr_get_out_samples(ost.Resampler.get(), in_samples);
    if (max_out < 0) throw FFMpegException::FromLibrary("Audio resampling failed", max_out);
    const size_t need = static_cast<size_t>(max_out) * 2 * static_cast<size_t>(enc_ch);
    if (ost.SampleBuffer.size() < need) ost.SampleBuffer.resize(need);
    uint8_t* out[1] = {ost.SampleBuffer.data()};
    const uint8_t* inp[1] = {buf};
    out_samples = swr_convert(ost.Resampler.get(), out, max_out, inp, in_samples);
    if (out_samples < 0)
      throw FFMpegException::FromLibrary("Audio resampling failed", out_samples);
    data = ost.SampleBuffer.data();
  }
  if (out_samples <= 0) return;
  if (ost.AlignAudioStart) {
    AlignAudioStart(ost, sync_time, data, out_samples);
    if (out_samples <= 0) return;
  }
  if (!CutAtRecordingTime(ost, out_samples)) return;
  QueueSamples(ost, data, out_samples);
}

// An output ends at its recording time: of SAMPLES, only those before it are kept. False when
// none is.
bool Transcoder::CutAtRecordingTime(OutputStreamState& ost, int& samples) {
  if (opt_.RecordingTimeUs == std::numeric_limits<int64_t>::max()) return true;
  const int64_t end = av_rescale(opt_.RecordingTimeUs, ost.Encoder->sample_rate, AV_TIME_BASE);
  const int64_t room = end - ost.SyncOpts - av_audio_fifo_size(ost.Fifo.get());
  if (room <= samples) ost.Done = true;
  samples = static_cast<int>(std::clamp<int64_t>(room, 0, samples));
  return samples > 0;
}

// Encodes whole encoder frames through the FIFO, or, for sample-based encoders (PCM), the
// whole buffer as one frame.
void Transcoder::QueueSamples(OutputStreamState& ost, const uint8_t* data, int samples) {
  const int frame_size = ost.Encoder->frame_size;
  if (frame_size <= 1) {
    EncodeAudioFrame(ost, data, samples);
    ost.SyncOpts += samples;
    return;
  }
  void* planes[1] = {const_cast<uint8_t*>(data)};
  if (av_audio_fifo_write(ost.Fifo.get(), planes, samples) < samples)
    throw FFMpegException("av_fifo_realloc fail");
  const size_t frame_bytes =
      static_cast<size_t>(frame_size) * 2 * static_cast<size_t>(ost.Encoder->ch_layout.nb_channels);
  if (ost.FrameBuffer.size() < frame_bytes) ost.FrameBuffer.resize(frame_bytes);
  while (av_audio_fifo_size(ost.Fifo.get()) >= frame_size) {
    void* dst[1] = {ost.FrameBuffer.data()};
    if (av_audio_fifo_read(ost.Fifo.get(), dst, frame_size) < frame_size)
      throw FFMpegException("Audio encoding failed: the sample buffer could not be read");
    EncodeAudioFrame(ost, ost.FrameBuffer.data(), frame_size);
    ost.SyncOpts += frame_size;
  }
}

// Encodes NB_SAMPLES interleaved 16-bit samples at the encoder's rate and channels, stamped
// with the current output position.
void Transcoder::EncodeAudioFrame(OutputStreamState& ost, const uint8_t* samples, int nb_samples) {
  AVCodecContext* enc = ost.Encoder;
  int64_t pts = ost.SyncOpts;
  // The input clock may step back a little (rounding, jitter); the output never does.
  if (ost.NextAudioPts != AV_NOPTS_VALUE && pts < ost.NextAudioPts) pts = ost.NextAudioPts;
  ost.NextAudioPts = pts + nb_samples;

  AVFrame* frame = ost.AudioFrame.get();
  const int enc_ch = enc->ch_layout.nb_channels;
  const int alloc_samples = std::max(enc->frame_size, nb_samples);
  if (ost.AudioFrameCapacity < nb_samples || !frame->data[0] || !av_frame_is_writable(frame)) {
    av_frame_unref(frame);
    frame->format = enc->sample_fmt;
    frame->nb_samples = alloc_samples;
    frame->sample_rate = enc->sample_rate;
    if (av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0 ||
        av_frame_get_buffer(frame, 0) < 0)
      throw FFMpegException("Audio encoding failed");
    ost.AudioFrameCapacity = alloc_samples;
  }
  frame->nb_samples = nb_samples;
  if (enc->sample_fmt == AV_SAMPLE_FMT_S16) {
    std::memcpy(frame->data[0], samples, static_cast<size_t>(nb_samples) * 2 * enc_ch);
  } else {
    if (!ost.ToEncoderFormat) {
      SwrContext* swr = nullptr;
      int ret =
          swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, enc->sample_rate,
                              &enc->ch_layout, AV_SAMPLE_FMT_S16, enc->sample_rate, 0, nullptr);
      ost.ToEncoderFormat.reset(swr);
      if (ret >= 0) ret = swr_init(ost.ToEncoderFormat.get());
      if (ret < 0) {
        ost.ToEncoderFormat.reset();
        throw FFMpegException::FromLibrary("Audio encoding failed", ret);
      }
    }
    const uint8_t* in[1] = {samples};
    const int converted =
        swr_convert(ost.ToEncoderFormat.get(), frame->extended_data, nb_samples, in, nb_samples);
    if (converted < 0) throw FFMpegException::FromLibrary("Audio encoding failed", converted);
  }
  frame->pts = pts;
  DeliverToEncoder(ost, frame);
}

// Places the first sound of an output whose container keeps no start times: START_S is where
// the first buffer belongs on the output clock. Silence fills the time before it, less the
// encoder's priming delay, which players of such files do not skip; when the priming delay is
// longer, the start of the buffer is dropped instead.
void Transcoder::AlignAudioStart(OutputStreamState& ost, double start_s, const uint8_t*& data,
                                 int& samples) {
  ost.AlignAudioStart = false;
  AVCodecContext* enc = ost.Encoder;
  const int channels = enc->ch_layout.nb_channels;
  const int priming = std::max(enc->initial_padding, 0);
  const int64_t lead = std::llround(std::max(start_s, 0.0) * enc->sample_rate) - priming;
  if (lead < 0) {
    const int drop = static_cast<int>(std::min<int64_t>(-lead, samples));
    data += static_cast<ptrdiff_t>(drop) * 2 * channels;
    samples -= drop;
    return;
  }
  // The silence starts the output clock.
  ost.SyncOpts -= lead;
  constexpr int kChunk = 4096;
  std::vector<uint8_t> zeros(static_cast<size_t>(kChunk) * 2 * static_cast<size_t>(channels));
  for (int64_t left = lead; left > 0;) {
    const int n = static_cast<int>(std::min<int64_t>(left, kChunk));
    if (enc->frame_size > 1) {
      void* planes[1] = {zeros.data()};
      if (av_audio_fifo_write(ost.Fifo.get(), planes, n) < n)
        throw FFMpegException("av_fifo_realloc fail");
    } else {
      EncodeAudioFrame(ost, zeros.data(), n);
      ost.SyncOpts += n;
    }
    left -= n;
  }
}

// End of input: the FIFO's last partial frame goes to encoders that take a short last frame
// (the others lose it).
void Transcoder::FlushAudio(OutputStreamState& ost) {
  AVCodecContext* enc = ost.Encoder;
  if (enc->frame_size > 1) {
    const int left = av_audio_fifo_size(ost.Fifo.get());
    const bool short_ok =
        ost.Amr ? AmrNbEncoder::kTakesShortLastFrame
                : enc->codec && (enc->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME |
                                                             AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
    if (left > 0 && short_ok) {
      const size_t bytes =
          static_cast<size_t>(left) * 2 * static_cast<size_t>(enc->ch_layout.nb_channels);
      if (ost.FrameBuffer.size() < bytes) ost.FrameBuffer.resize(bytes);
      void* dst[1] = {ost.FrameBuffer.data()};
      if (av_audio_fifo_read(ost.Fifo.get(), dst, left) < left)
        throw FFMpegException("Audio encoding failed: the sample buffer could not be read");
      EncodeAudioFrame(ost, ost.FrameBuffer.data(), left);
      ost.SyncOpts += left;
    }
  }
}
