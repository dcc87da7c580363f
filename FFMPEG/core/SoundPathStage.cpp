// The sound path stage (see SoundPathStage.h).
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "AmrNbEncoder.h"
#include "EncodeStage.h"
#include "FFmpegException.h"
#include "SoundPathStage.h"

namespace {

// Silence and input together stay within this many bytes per call; the rest of a large gap is
// filled by the following calls.
constexpr int kMaxPaddedBytes = 131072;

}  // namespace

void LayoutFor(const AVChannelLayout& in, int channels, AVChannelLayout* out) {
  if (in.order != AV_CHANNEL_ORDER_UNSPEC && in.nb_channels == channels &&
      av_channel_layout_copy(out, &in) == 0)
    return;
  av_channel_layout_default(out, channels);
}

SoundPathStage::SoundPathStage(const TRunContext& context, const RunLog& log,
                               OutputStreamState& ost, StageLink<FramePtr>& encoder)
    : OutputPathStage(context, log, ost, encoder), sound_(ost.Sound) {}

bool SoundPathStage::Step(FrameItem& item) {
  if (ost_.Done) return false;
  DoAudioOut(item);
  return !ost_.Done;
}

void SoundPathStage::Finish() {
  FlushAudio();
  encoder_.End();
}

// The resampler (rate and channels) for sound like IN; rebuilt when a stream switches between
// mono and stereo or changes its rate, so that it reads exactly what the buffer holds.
void SoundPathStage::PrepareResampler(const AVFrame* in) {
  AVCodecContext* enc = ost_.Encoder;
  const int enc_ch = enc->ch_layout.nb_channels, enc_rate = enc->sample_rate;
  const int dec_ch = in->ch_layout.nb_channels, dec_rate = in->sample_rate;
  if (enc_ch != dec_ch || enc_rate != dec_rate) sound_.AudioResample = true;
  if (!sound_.AudioResample) return;
  if (sound_.Resampler && sound_.ResamplerInChannels == dec_ch &&
      sound_.ResamplerInRate == dec_rate)
    return;
  AVChannelLayout out_layout{}, in_layout{};
  LayoutFor(enc->ch_layout, enc_ch, &out_layout);
  LayoutFor(in->ch_layout, dec_ch, &in_layout);
  SwrContext* swr = nullptr;
  int ret = swr_alloc_set_opts2(&swr, &out_layout, sound_.SampleFormat, enc_rate, &in_layout,
                                sound_.SampleFormat, dec_rate, 0, nullptr);
  sound_.Resampler.reset(swr);
  av_channel_layout_uninit(&out_layout);
  av_channel_layout_uninit(&in_layout);
  if (ret >= 0) ret = swr_init(sound_.Resampler.get());
  if (ret < 0) {
    sound_.Resampler.reset();
    char text[128];
    std::snprintf(text, sizeof text, "Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                  dec_ch, dec_rate, enc_ch, enc_rate);
    throw FFMpegException::FromLibrary(text, ret);
  }
  sound_.ResamplerInChannels = dec_ch;
  sound_.ResamplerInRate = dec_rate;
}

// Sound sync against the input clock: where the input says the buffer belongs (SYNC_TIME),
// against where the output has got to. Drops the start of a buffer the output is ahead of,
// puts silence before one it is behind, or asks the resampler to stretch a small drift.
// False when nothing of the buffer is left.
bool SoundPathStage::SyncAudio(double& sync_time, int dec_ch, int dec_rate, const uint8_t*& buf,
                               int& size) {
  const int enc_rate = ost_.Encoder->sample_rate;
  const int64_t fifo_samples = av_audio_fifo_size(sound_.Fifo.get());
  const int frame_bytes = sound_.SampleBytes * dec_ch;  // one sample of every channel
  if (opt_.AudioSyncMethod == 0) {
    if (sound_.IsStart && sync_time < 0) {
      // Sound from before the output clock's start is cut: the clock starts where the first
      // picture is placed, which may be a little after the first sound.
      const int64_t cut =
          std::min<int64_t>(std::llround(-sync_time * dec_rate), size / frame_bytes);
      buf += cut * frame_bytes;
      size -= static_cast<int>(cut * frame_bytes);
      sync_time += static_cast<double>(cut) / dec_rate;
      if (size <= 0) return false;
    }
    sound_.IsStart = false;
    ost_.SyncOpts = std::llround(sync_time * enc_rate) - fifo_samples;
    return true;
  }
  const double delta =
      sync_time * enc_rate - static_cast<double>(ost_.SyncOpts) - static_cast<double>(fifo_samples);
  if (std::fabs(delta) <= 50) return true;
  // Damaged time stamps can put the input anywhere; the gap handled in one call is bounded.
  const double idelta = std::clamp(delta * dec_rate / enc_rate, -1e8, 1e8);
  int byte_delta = static_cast<int>(std::clamp<int64_t>(static_cast<int64_t>(idelta) * frame_bytes,
                                                        -int64_t{INT_MAX}, int64_t{INT_MAX}));
  if (sound_.IsStart || std::fabs(delta) > opt_.AudioDriftThreshold * enc_rate) {
    if (byte_delta < 0) {
      // The output is ahead: drop the start of this buffer.
      byte_delta = std::max(byte_delta, -size);
      buf -= byte_delta;
      size += byte_delta;
      if (opt_.Verbosity > 2) Log(1, "discarding %d audio samples", static_cast<int>(-delta));
      if (size <= 0) return false;
      sound_.IsStart = false;
      return true;
    }
    // The output is behind: put silence in front of this buffer.
    if (byte_delta + size <= kMaxPaddedBytes) {
      sound_.IsStart = false;
    } else {
      byte_delta = std::max(kMaxPaddedBytes - size, 0);
      byte_delta -= byte_delta % frame_bytes;
    }
    std::vector<uint8_t>& silence = sound_.SilenceBuffer;
    if (silence.size() < static_cast<size_t>(byte_delta + size))
      silence.resize(static_cast<size_t>(byte_delta + size));
    std::memset(silence.data(), 0, static_cast<size_t>(byte_delta));
    std::memcpy(silence.data() + byte_delta, buf, static_cast<size_t>(size));
    buf = silence.data();
    size += byte_delta;
    if (opt_.Verbosity > 2) Log(1, "adding %d audio samples of silence", static_cast<int>(delta));
  } else if (opt_.AudioSyncMethod > 1 && sound_.Resampler) {
    const int comp =
        std::clamp(static_cast<int>(delta), -opt_.AudioSyncMethod, opt_.AudioSyncMethod);
    if (opt_.Verbosity > 2)
      Log(1, "compensating audio timestamp drift:%f compensation:%d in:%d", delta, comp, enc_rate);
    const int ret = swr_set_compensation(sound_.Resampler.get(), comp, enc_rate);
    if (ret < 0) Log(0, "%s", WithLibraryText("Cannot compensate the sound drift", ret).c_str());
  }
  return true;
}

void SoundPathStage::DoAudioOut(const FrameItem& item) {
  const AVFrame* in = item.Frame.get();
  AVCodecContext* enc = ost_.Encoder;
  const int enc_ch = enc->ch_layout.nb_channels;
  const int dec_ch = in->ch_layout.nb_channels, dec_rate = in->sample_rate;
  const uint8_t* buf = in->data[0];
  const int sample_bytes = sound_.SampleBytes;
  int size = in->nb_samples * sample_bytes * dec_ch;
  if (enc_ch <= 0 || dec_ch <= 0 || enc->sample_rate <= 0 || dec_rate <= 0 || size <= 0) return;
  PrepareResampler(in);
  double sync_time =
      static_cast<double>(item.SyncPts - opt_.StartTimeUs - ost_.ClockShiftUs) / 1000000.0;
  if (!SyncAudio(sync_time, dec_ch, dec_rate, buf, size)) return;

  // Resample and convert channels.
  const uint8_t* data = buf;
  int out_samples = size / (sample_bytes * dec_ch);
  if (sound_.AudioResample) {
    const int in_samples = size / (sample_bytes * dec_ch);
    const int max_out = swr_get_out_samples(sound_.Resampler.get(), in_samples);
    if (max_out < 0) throw FFMpegException::FromLibrary("Audio resampling failed", max_out);
    const size_t need = static_cast<size_t>(max_out) * sample_bytes * static_cast<size_t>(enc_ch);
    if (sound_.SampleBuffer.size() < need) sound_.SampleBuffer.resize(need);
    uint8_t* out[1] = {sound_.SampleBuffer.data()};
    const uint8_t* inp[1] = {buf};
    out_samples = swr_convert(sound_.Resampler.get(), out, max_out, inp, in_samples);
    if (out_samples < 0) throw FFMpegException::FromLibrary("Audio resampling failed", out_samples);
    data = sound_.SampleBuffer.data();
  }
  if (out_samples <= 0) return;
  if (sound_.AlignAudioStart) AlignAudioStart(sync_time);
  if (sound_.PrimingLeft > 0 || !sound_.DroppedStart.empty()) {
    DropPriming(data, out_samples);
    if (out_samples <= 0) return;
  }
  if (!CutAtRecordingTime(out_samples)) return;
  QueueSamples(data, out_samples);
}

// An output ends at its recording time: of SAMPLES, only those before it are kept. False when
// none is.
bool SoundPathStage::CutAtRecordingTime(int& samples) {
  if (opt_.RecordingTimeUs == std::numeric_limits<int64_t>::max()) return true;
  const int64_t end = av_rescale(opt_.RecordingTimeUs, ost_.Encoder->sample_rate, AV_TIME_BASE);
  const int64_t room = end - ost_.SyncOpts - av_audio_fifo_size(sound_.Fifo.get());
  if (room <= samples) ost_.Done = true;
  samples = static_cast<int>(std::clamp<int64_t>(room, 0, samples));
  return samples > 0;
}

// Encodes whole encoder frames through the FIFO, or, for sample-based encoders (PCM), the
// whole buffer as one frame.
void SoundPathStage::QueueSamples(const uint8_t* data, int samples) {
  const int frame_size = ost_.Encoder->frame_size;
  if (frame_size <= 1) {
    EncodeAudioFrame(data, samples);
    ost_.SyncOpts += samples;
    return;
  }
  void* planes[1] = {const_cast<uint8_t*>(data)};
  if (av_audio_fifo_write(sound_.Fifo.get(), planes, samples) < samples)
    throw FFMpegException("av_fifo_realloc fail");
  const size_t frame_bytes = static_cast<size_t>(frame_size) * sound_.SampleBytes *
                             static_cast<size_t>(ost_.Encoder->ch_layout.nb_channels);
  if (sound_.FrameBuffer.size() < frame_bytes) sound_.FrameBuffer.resize(frame_bytes);
  while (av_audio_fifo_size(sound_.Fifo.get()) >= frame_size) {
    void* dst[1] = {sound_.FrameBuffer.data()};
    if (av_audio_fifo_read(sound_.Fifo.get(), dst, frame_size) < frame_size)
      throw FFMpegException("Audio encoding failed: the sample buffer could not be read");
    EncodeAudioFrame(sound_.FrameBuffer.data(), frame_size);
    ost_.SyncOpts += frame_size;
  }
}

// Encodes NB_SAMPLES interleaved samples of the path's format at the encoder's rate and channels,
// stamped with the current output position.
void SoundPathStage::EncodeAudioFrame(const uint8_t* samples, int nb_samples) {
  AVCodecContext* enc = ost_.Encoder;
  int64_t pts = ost_.SyncOpts;
  // The input clock may step back a little (rounding, jitter); the output never does.
  if (sound_.NextAudioPts != AV_NOPTS_VALUE && pts < sound_.NextAudioPts) pts = sound_.NextAudioPts;
  sound_.NextAudioPts = pts + nb_samples;

  AVFrame* frame = sound_.AudioFrame.get();
  const int enc_ch = enc->ch_layout.nb_channels;
  const int alloc_samples = std::max(enc->frame_size, nb_samples);
  if (sound_.AudioFrameCapacity < nb_samples || !frame->data[0] || !av_frame_is_writable(frame)) {
    av_frame_unref(frame);
    frame->format = enc->sample_fmt;
    frame->nb_samples = alloc_samples;
    frame->sample_rate = enc->sample_rate;
    if (av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0 ||
        av_frame_get_buffer(frame, 0) < 0)
      throw FFMpegException("Audio encoding failed");
    sound_.AudioFrameCapacity = alloc_samples;
  }
  frame->nb_samples = nb_samples;
  if (enc->sample_fmt == sound_.SampleFormat) {
    std::memcpy(frame->data[0], samples,
                static_cast<size_t>(nb_samples) * sound_.SampleBytes * enc_ch);
  } else {
    if (!sound_.ToEncoderFormat) {
      SwrContext* swr = nullptr;
      int ret =
          swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, enc->sample_rate,
                              &enc->ch_layout, sound_.SampleFormat, enc->sample_rate, 0, nullptr);
      sound_.ToEncoderFormat.reset(swr);
      if (ret >= 0) ret = swr_init(sound_.ToEncoderFormat.get());
      if (ret < 0) {
        sound_.ToEncoderFormat.reset();
        throw FFMpegException::FromLibrary("Audio encoding failed", ret);
      }
    }
    const uint8_t* in[1] = {samples};
    const int converted =
        swr_convert(sound_.ToEncoderFormat.get(), frame->extended_data, nb_samples, in, nb_samples);
    if (converted < 0) throw FFMpegException::FromLibrary("Audio encoding failed", converted);
  }
  frame->pts = pts;
  HandToEncoder(frame, encoder_);
}

// Places the first sound of an output whose container keeps no start times: START_S is where
// the first buffer belongs on the output clock. Silence fills the time before it, less the
// encoder's priming delay, which players of such files do not skip; when the priming delay is
// longer, the first samples are dropped instead (see DropPriming).
void SoundPathStage::AlignAudioStart(double start_s) {
  sound_.AlignAudioStart = false;
  AVCodecContext* enc = ost_.Encoder;
  const int channels = enc->ch_layout.nb_channels;
  const int priming = std::max(enc->initial_padding, 0);
  const int64_t lead = std::llround(std::max(start_s, 0.0) * enc->sample_rate) - priming;
  if (lead < 0) {
    sound_.PrimingLeft = -lead;
    return;
  }
  // The silence starts the output clock.
  ost_.SyncOpts -= lead;
  constexpr int kChunk = 4096;
  std::vector<uint8_t> zeros(static_cast<size_t>(kChunk) * sound_.SampleBytes *
                             static_cast<size_t>(channels));
  for (int64_t left = lead; left > 0;) {
    const int n = static_cast<int>(std::min<int64_t>(left, kChunk));
    if (enc->frame_size > 1) {
      void* planes[1] = {zeros.data()};
      if (av_audio_fifo_write(sound_.Fifo.get(), planes, n) < n)
        throw FFMpegException("av_fifo_realloc fail");
    } else {
      EncodeAudioFrame(zeros.data(), n);
      ost_.SyncOpts += n;
    }
    left -= n;
  }
}

// Drops the first samples of the sound, up to the priming delay left, across as many buffers
// as it takes. The dropped samples are kept until some sound is kept after them.
void SoundPathStage::DropPriming(const uint8_t*& data, int& samples) {
  const size_t sample_bytes =
      static_cast<size_t>(sound_.SampleBytes) * ost_.Encoder->ch_layout.nb_channels;
  const int drop = static_cast<int>(std::min<int64_t>(sound_.PrimingLeft, samples));
  sound_.DroppedStart.insert(sound_.DroppedStart.end(), data,
                             data + static_cast<size_t>(drop) * sample_bytes);
  data += static_cast<size_t>(drop) * sample_bytes;
  samples -= drop;
  sound_.PrimingLeft -= drop;
  if (samples > 0) std::vector<uint8_t>().swap(sound_.DroppedStart);
}

// End of input: the FIFO's last partial frame is written too, so the output's sound ends no
// earlier than the source's. An encoder that takes only whole frames gets it padded with
// silence to a whole frame (the output then ends less than one frame after the source).
void SoundPathStage::FlushAudio() {
  AVCodecContext* enc = ost_.Encoder;
  if (!sound_.DroppedStart.empty()) {
    // All the sound fell within the priming delay: it is written a little late, not lost.
    const size_t sample_bytes =
        static_cast<size_t>(sound_.SampleBytes) * enc->ch_layout.nb_channels;
    std::vector<uint8_t> held;
    held.swap(sound_.DroppedStart);
    sound_.PrimingLeft = 0;
    QueueSamples(held.data(), static_cast<int>(held.size() / sample_bytes));
  }
  if (enc->frame_size <= 1) return;
  const int left = av_audio_fifo_size(sound_.Fifo.get());
  if (left <= 0) return;
  const bool short_ok =
      ost_.Amr ? AmrNbEncoder::kTakesShortLastFrame
               : enc->codec && (enc->codec->capabilities &
                                (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
  const int samples = short_ok ? left : enc->frame_size;
  const size_t sample_bytes = static_cast<size_t>(sound_.SampleBytes) * enc->ch_layout.nb_channels;
  const size_t bytes = static_cast<size_t>(samples) * sample_bytes;
  if (sound_.FrameBuffer.size() < bytes) sound_.FrameBuffer.resize(bytes);
  void* dst[1] = {sound_.FrameBuffer.data()};
  if (av_audio_fifo_read(sound_.Fifo.get(), dst, left) < left)
    throw FFMpegException("Audio encoding failed: the sample buffer could not be read");
  std::memset(sound_.FrameBuffer.data() + static_cast<size_t>(left) * sample_bytes, 0,
              bytes - static_cast<size_t>(left) * sample_bytes);
  EncodeAudioFrame(sound_.FrameBuffer.data(), samples);
  ost_.SyncOpts += samples;
}
