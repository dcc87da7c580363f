#include "AmrNbEncoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <opencore-amrnb/interf_enc.h>
}

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FFmpegException.h"

namespace {

// Bit rates of the AMR-NB modes MR475 ... MR122, in mode order.
constexpr std::array<int, 8> kModeBitRates = {4750, 5150, 5900, 6700, 7400, 7950, 10200, 12200};

int ModeOf(int64_t bit_rate_bps) {
  if (bit_rate_bps <= 0) return static_cast<int>(kModeBitRates.size()) - 1;
  int best = 0;
  for (int i = 1; i < static_cast<int>(kModeBitRates.size()); ++i) {
    if (std::llabs(kModeBitRates[i] - bit_rate_bps) <
        std::llabs(kModeBitRates[best] - bit_rate_bps))
      best = i;
  }
  return best;
}

}  // namespace

bool AmrNbEncoder::IsAmrNbName(std::string_view encoder_name) {
  return encoder_name == "libamr_nb" || encoder_name == "libopencore_amrnb";
}

const AVCodec* AmrNbEncoder::FindLibraryEncoder() {
  const AVCodec* codec = avcodec_find_encoder_by_name("libopencore_amrnb");
  if (!codec) codec = avcodec_find_encoder_by_name("libamr_nb");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_AMR_NB);
  return codec;
}

bool AmrNbEncoder::UsesOwnEncoder(const AVCodecContext* ctx) {
  return ctx && ctx->codec_id == AV_CODEC_ID_AMR_NB && !FindLibraryEncoder();
}

int AmrNbEncoder::SnapBitRate(int64_t bit_rate_bps) {
  return kModeBitRates[ModeOf(bit_rate_bps)];
}

void AmrNbEncoder::ConfigureContext(AVCodecContext* ctx) {
  ctx->codec_type = AVMEDIA_TYPE_AUDIO;
  ctx->codec_id = AV_CODEC_ID_AMR_NB;
  ctx->sample_rate = kSampleRate;
  av_channel_layout_uninit(&ctx->ch_layout);
  ctx->ch_layout = AV_CHANNEL_LAYOUT_MONO;
  ctx->sample_fmt = AV_SAMPLE_FMT_S16;
  ctx->frame_size = kFrameSamples;
  ctx->time_base = AVRational{1, kSampleRate};
  ctx->bit_rate = SnapBitRate(ctx->bit_rate);
}

AmrNbEncoder::AmrNbEncoder(int64_t bit_rate_bps, bool dtx)
    : mode_(ModeOf(bit_rate_bps)), bit_rate_bps_(kModeBitRates[mode_]) {
  state_ = Encoder_Interface_init(dtx ? 1 : 0);
  if (!state_) throw FFMpegException("AMR-NB encoder: could not start opencore-amr");
}

AmrNbEncoder::~AmrNbEncoder() {
  if (state_) Encoder_Interface_exit(state_);
}

int AmrNbEncoder::EncodeInto(const int16_t* samples, int count, uint8_t* out) {
  std::array<short, kFrameSamples> speech{};  // silence beyond COUNT
  if (count > 0) std::memcpy(speech.data(), samples, sizeof(short) * static_cast<size_t>(count));
  std::array<unsigned char, kMaxPacketBytes + 8> coded{};
  const int size =
      Encoder_Interface_Encode(state_, static_cast<Mode>(mode_), speech.data(), coded.data(), 0);
  if (size <= 0 || size > kMaxPacketBytes) return -1;
  std::memcpy(out, coded.data(), static_cast<size_t>(size));
  return size;
}

std::vector<uint8_t> AmrNbEncoder::EncodeSamples(const int16_t* samples, int count) {
  if (count < 0 || count > kFrameSamples || (count > 0 && !samples))
    throw FFMpegException("AMR-NB encoder: a frame holds at most 160 samples, got " +
                          std::to_string(count));
  std::vector<uint8_t> out(kMaxPacketBytes);
  const int size = EncodeInto(samples, count, out.data());
  if (size < 0) throw FFMpegException("AMR-NB encoder: encoding a frame failed");
  out.resize(static_cast<size_t>(size));
  return out;
}

int AmrNbEncoder::SendFrame(const AVFrame* frame) {
  if (ended_) return AVERROR_EOF;
  if (!frame) {
    ended_ = true;
    return 0;
  }
  if (has_waiting_) return AVERROR(EAGAIN);
  if (frame->format != AV_SAMPLE_FMT_S16 || frame->ch_layout.nb_channels != 1 ||
      (frame->sample_rate != 0 && frame->sample_rate != kSampleRate) || frame->nb_samples < 0 ||
      frame->nb_samples > kFrameSamples)
    return AVERROR(EINVAL);
  waiting_.resize(kMaxPacketBytes);
  const int size = EncodeInto(reinterpret_cast<const int16_t*>(frame->data[0]), frame->nb_samples,
                              waiting_.data());
  if (size < 0) return AVERROR_EXTERNAL;
  waiting_.resize(static_cast<size_t>(size));
  waiting_pts_ = frame->pts;
  has_waiting_ = true;
  return 0;
}

int AmrNbEncoder::ReceivePacket(AVPacket* pkt) {
  if (!has_waiting_) return ended_ ? AVERROR_EOF : AVERROR(EAGAIN);
  const int ret = av_new_packet(pkt, static_cast<int>(waiting_.size()));
  if (ret < 0) return ret;
  std::memcpy(pkt->data, waiting_.data(), waiting_.size());
  pkt->pts = waiting_pts_;
  pkt->dts = waiting_pts_;
  pkt->duration = kFrameSamples;
  pkt->flags |= AV_PKT_FLAG_KEY;
  pkt->time_base = AVRational{1, kSampleRate};
  has_waiting_ = false;
  return 0;
}
