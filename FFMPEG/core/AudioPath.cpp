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

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "AmrNbEncoder.h"
#include "FFmpeg.h"
#include "FFmpegException.h"
#include "StreamModel.h"

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

// Converts a decoded audio frame to interleaved 16-bit. The result points into the frame when
// it is already in that format, else into the input stream's buffer.
bool Transcoder::ToS16(InputStreamState& ist, AVFrame* frame, uint8_t*& data, int& size) {
  const int channels = frame->ch_layout.nb_channels;
  if (channels <= 0 || frame->nb_samples <= 0) return false;
  const int64_t bytes = int64_t{frame->nb_samples} * 2 * channels;
  if (bytes > INT_MAX) return false;
  size = static_cast<int>(bytes);
  const int rate = frame->sample_rate > 0 ? frame->sample_rate : ist.Decoder->sample_rate;
  if (rate <= 0) return false;
  // The output streams size their resampling by this, so it must describe this buffer.
  if (av_channel_layout_compare(&ist.S16Layout, &frame->ch_layout) != 0) {
    av_channel_layout_uninit(&ist.S16Layout);
    if (av_channel_layout_copy(&ist.S16Layout, &frame->ch_layout) < 0) return false;
  }
  ist.S16Rate = rate;
  if (frame->format == AV_SAMPLE_FMT_S16 &&
      (opt_.AudioVolume == 256 || av_frame_is_writable(frame))) {
    data = frame->data[0];
    return true;
  }
  if (frame->format == AV_SAMPLE_FMT_S16) {
    ist.S16Buffer.resize(static_cast<size_t>(size));
    std::memcpy(ist.S16Buffer.data(), frame->data[0], static_cast<size_t>(size));
    data = ist.S16Buffer.data();
    return true;
  }
  // The converter is built only from parameters it can take.
  if (av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format)) <= 0) return false;
  if (!ist.ToS16 || ist.ToS16Format != frame->format || ist.ToS16Rate != rate ||
      av_channel_layout_compare(&ist.ToS16Layout, &frame->ch_layout) != 0) {
    AVChannelLayout layout{};
    LayoutFor(frame->ch_layout, channels, &layout);
    SwrContext* swr = nullptr;
    const int ret =
        swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_S16, rate, &layout,
                            static_cast<AVSampleFormat>(frame->format), rate, 0, nullptr);
    ist.ToS16.reset(swr);
    av_channel_layout_uninit(&layout);
    if (ret < 0 || swr_init(ist.ToS16.get()) < 0) {
      ist.ToS16.reset();
      return false;
    }
    ist.ToS16Format = frame->format;
    ist.ToS16Rate = rate;
    av_channel_layout_uninit(&ist.ToS16Layout);
    av_channel_layout_copy(&ist.ToS16Layout, &frame->ch_layout);
  }
  ist.S16Buffer.resize(static_cast<size_t>(size));
  uint8_t* out[1] = {ist.S16Buffer.data()};
  const int got = swr_convert(ist.ToS16.get(), out, frame->nb_samples,
                              const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (got < 0) return false;
  size = got * 2 * channels;
  data = ist.S16Buffer.data();
  return true;
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

void Transcoder::DoAudioOut(OutputStreamState& ost, InputStreamState& ist, const uint8_t* buf,
                            int size) {
  AVCodecContext* enc = ost.Encoder;
  const int enc_ch = enc->ch_layout.nb_channels;
  const int enc_rate = enc->sample_rate;
  // The buffer's own channels and rate: a stream may switch between mono and stereo, or
  // change its rate, and the resampler must read exactly what the buffer holds.
  const int dec_ch = ist.S16Layout.nb_channels;
  const int dec_rate = ist.S16Rate;
  if (enc_ch <= 0 || dec_ch <= 0 || enc_rate <= 0 || dec_rate <= 0 || size <= 0) return;

  if (enc_ch != dec_ch || enc_rate != dec_rate) ost.AudioResample = true;
  if (ost.AudioResample && ost.Resampler &&
      (ost.ResamplerInChannels != dec_ch || ost.ResamplerInRate != dec_rate))
    ost.Resampler.reset();
  if (ost.AudioResample && !ost.Resampler) {
    AVChannelLayout out_layout{}, in_layout{};
    LayoutFor(enc->ch_layout, enc_ch, &out_layout);
    LayoutFor(ist.S16Layout, dec_ch, &in_layout);
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
      std::snprintf(text, sizeof text,
                    "Can not resample %d channels @ %d Hz to %d channels @ %d Hz", dec_ch, dec_rate,
                    enc_ch, enc_rate);
      throw FFMpegException(text);
    }
    ost.ResamplerInChannels = dec_ch;
    ost.ResamplerInRate = dec_rate;
  }

  // Where the input says this buffer belongs, against where the output has got to.
  const double sync_time = static_cast<double>(ost.SyncInput->Pts - opt_.StartTimeUs) / 1000000.0;
  const int64_t fifo_samples = av_audio_fifo_size(ost.Fifo.get());
  if (opt_.AudioSyncMethod == 0) {
    ost.SyncOpts = std::llround(sync_time * enc_rate) - fifo_samples;
  } else {
    const double delta = sync_time * enc_rate - static_cast<double>(ost.SyncOpts) -
                         static_cast<double>(fifo_samples);
    // Damaged time stamps can put the input anywhere; the gap handled in one call is bounded
    // below anyway.
    const double idelta = std::clamp(delta * dec_rate / enc_rate, -1e8, 1e8);
    int byte_delta = static_cast<int>(std::clamp<int64_t>(
        static_cast<int64_t>(idelta) * 2 * dec_ch, -int64_t{INT_MAX}, int64_t{INT_MAX}));
    if (std::fabs(delta) > 50) {
      if (ist.IsStart || std::fabs(delta) > opt_.AudioDriftThreshold * enc_rate) {
        if (byte_delta < 0) {
          // The output is ahead: drop the start of this buffer.
          byte_delta = std::max(byte_delta, -size);
          buf -= byte_delta;
          size += byte_delta;
          if (opt_.Verbosity > 2) Log(1, "discarding %d audio samples", static_cast<int>(-delta));
          if (size <= 0) return;
          ist.IsStart = false;
        } else {
          // The output is behind: put silence in front of this buffer.
          if (byte_delta + size <= kMaxPaddedBytes) {
            ist.IsStart = false;
          } else {
            byte_delta = std::max(kMaxPaddedBytes - size, 0);
            byte_delta -= byte_delta % (2 * dec_ch);
          }
          std::vector<uint8_t>& silence = run_.SilenceBuffer;
          if (silence.size() < static_cast<size_t>(byte_delta + size))
            silence.resize(static_cast<size_t>(byte_delta + size));
          std::memset(silence.data(), 0, static_cast<size_t>(byte_delta));
          std::memcpy(silence.data() + byte_delta, buf, static_cast<size_t>(size));
          buf = silence.data();
          size += byte_delta;
          if (opt_.Verbosity > 2)
            Log(1, "adding %d audio samples of silence", static_cast<int>(delta));
        }
      } else if (opt_.AudioSyncMethod > 1 && ost.Resampler) {
        const int comp =
            std::clamp(static_cast<int>(delta), -opt_.AudioSyncMethod, opt_.AudioSyncMethod);
        if (opt_.Verbosity > 2)
          Log(1, "compensating audio timestamp drift:%f compensation:%d in:%d", delta, comp,
              enc_rate);
        swr_set_compensation(ost.Resampler.get(), comp, enc_rate);
      }
    }
  }

  // Resample and convert channels.
  const uint8_t* data = buf;
  int out_samples = size / (2 * dec_ch);
  if (ost.AudioResample) {
    const int in_samples = size / (2 * dec_ch);
    const int max_out = swr_get_out_samples(ost.Resampler.get(), in_samples);
    if (max_out < 0) throw FFMpegException(WithLibraryText("Audio resampling failed", max_out));
    const size_t need = static_cast<size_t>(max_out) * 2 * static_cast<size_t>(enc_ch);
    if (run_.SampleBuffer.size() < need) run_.SampleBuffer.resize(need);
    uint8_t* out[1] = {run_.SampleBuffer.data()};
    const uint8_t* in[1] = {buf};
    out_samples = swr_convert(ost.Resampler.get(), out, max_out, in, in_samples);
    if (out_samples < 0)
      throw FFMpegException(WithLibraryText("Audio resampling failed", out_samples));
    data = run_.SampleBuffer.data();
  }
  if (out_samples <= 0) return;
  if (ost.AlignAudioStart) {
    AlignAudioStart(ost, sync_time, data, out_samples);
    if (out_samples <= 0) return;
  }

  const int frame_size = ost.Amr ? AmrNbEncoder::kFrameSamples : enc->frame_size;
  if (frame_size > 1) {
    void* planes[1] = {const_cast<uint8_t*>(data)};
    if (av_audio_fifo_write(ost.Fifo.get(), planes, out_samples) < out_samples)
      throw FFMpegException("av_fifo_realloc fail");
    const size_t frame_bytes = static_cast<size_t>(frame_size) * 2 * static_cast<size_t>(enc_ch);
    if (ost.FrameBuffer.size() < frame_bytes) ost.FrameBuffer.resize(frame_bytes);
    while (av_audio_fifo_size(ost.Fifo.get()) >= frame_size) {
      void* dst[1] = {ost.FrameBuffer.data()};
      if (av_audio_fifo_read(ost.Fifo.get(), dst, frame_size) < frame_size)
        throw FFMpegException("Audio encoding failed: the sample buffer could not be read");
      EncodeAudioFrame(ost, ost.FrameBuffer.data(), frame_size);
      ost.SyncOpts += frame_size;
    }
  } else {
    // Sample-based encoders (PCM) take the whole buffer as one frame.
    EncodeAudioFrame(ost, data, out_samples);
    ost.SyncOpts += out_samples;
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

  if (ost.Amr) {
    AVPacket* pkt = out_pkt_.get();
    const int16_t* pcm = reinterpret_cast<const int16_t*>(samples);
    std::vector<uint8_t> bytes = ost.Amr->EncodeSamples(pcm, nb_samples);
    if (av_new_packet(pkt, static_cast<int>(bytes.size())) < 0)
      throw FFMpegException("av_malloc fail");
    std::memcpy(pkt->data, bytes.data(), bytes.size());
    pkt->pts = pkt->dts = pts;
    pkt->duration = AmrNbEncoder::kFrameSamples;
    pkt->flags |= AV_PKT_FLAG_KEY;
    pkt->stream_index = ost.Index;
    e_.Stats.AudioBytes += pkt->size;
    av_packet_rescale_ts(pkt, AVRational{1, AmrNbEncoder::kSampleRate}, ost.Stream->time_base);
    WriteFrame(ost, pkt);
    return;
  }

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
        throw FFMpegException("Audio encoding failed");
      }
    }
    const uint8_t* in[1] = {samples};
    const int converted =
        swr_convert(ost.ToEncoderFormat.get(), frame->extended_data, nb_samples, in, nb_samples);
    if (converted < 0) throw FFMpegException(WithLibraryText("Audio encoding failed", converted));
  }
  frame->pts = pts;
  EncodeAndWrite(ost, frame);
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
  const int priming = ost.Amr ? 0 : std::max(enc->initial_padding, 0);
  const int64_t lead = std::llround(std::max(start_s, 0.0) * enc->sample_rate) - priming;
  if (lead < 0) {
    const int drop = static_cast<int>(std::min<int64_t>(-lead, samples));
    data += static_cast<ptrdiff_t>(drop) * 2 * channels;
    samples -= drop;
    return;
  }
  // The silence starts the output clock.
  ost.SyncOpts -= lead;
  const int frame_size = ost.Amr ? AmrNbEncoder::kFrameSamples : enc->frame_size;
  constexpr int kChunk = 4096;
  std::vector<uint8_t> zeros(static_cast<size_t>(kChunk) * 2 * static_cast<size_t>(channels));
  for (int64_t left = lead; left > 0;) {
    const int n = static_cast<int>(std::min<int64_t>(left, kChunk));
    if (frame_size > 1) {
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
// (the others lose it), then the encoder's delayed packets.
void Transcoder::FlushAudio(OutputStreamState& ost) {
  AVCodecContext* enc = ost.Encoder;
  const int frame_size = ost.Amr ? AmrNbEncoder::kFrameSamples : enc->frame_size;
  if (frame_size <= 1) return;
  const int left = av_audio_fifo_size(ost.Fifo.get());
  const bool short_ok =
      ost.Amr || (enc->codec && (enc->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME |
                                                             AV_CODEC_CAP_VARIABLE_FRAME_SIZE)));
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
  if (!ost.Amr) EncodeAndWrite(ost, nullptr);
}
