#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <cmath>
#include <memory>

#include "AmrNbEncoder.h"
#include "FFmpegException.h"
#include "MediaUtil.h"

namespace {

struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct OutputFree {
  void operator()(AVFormatContext* f) const {
    if (f->pb) avio_closep(&f->pb);
    avformat_free_context(f);
  }
};

// Writes SECONDS of a 440 Hz tone through AmrNbEncoder into a 3GP file, the way the engine
// does: a codec context without codec, parameters copied to the stream, packets rescaled.
void WriteAmr3gp(const std::string& path, double seconds, int64_t bit_rate_bps) {
  std::unique_ptr<AVCodecContext, CodecContextFree> ctx(avcodec_alloc_context3(nullptr));
  ASSERT_TRUE(ctx);
  ctx->bit_rate = bit_rate_bps;
  AmrNbEncoder::ConfigureContext(ctx.get());
  ASSERT_TRUE(AmrNbEncoder::UsesOwnEncoder(ctx.get()));

  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str()), 0);
  std::unique_ptr<AVFormatContext, OutputFree> oc(raw);
  AVStream* st = avformat_new_stream(oc.get(), nullptr);
  ASSERT_TRUE(st);
  ASSERT_GE(avcodec_parameters_from_context(st->codecpar, ctx.get()), 0);
  st->time_base = ctx->time_base;
  ASSERT_GE(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(oc.get(), nullptr), 0);

  AmrNbEncoder enc(ctx->bit_rate);
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
  frame->format = AV_SAMPLE_FMT_S16;
  frame->sample_rate = AmrNbEncoder::kSampleRate;
  frame->ch_layout = AV_CHANNEL_LAYOUT_MONO;
  frame->nb_samples = AmrNbEncoder::kFrameSamples;
  ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);

  const int total = static_cast<int>(seconds * AmrNbEncoder::kSampleRate);
  for (int done = 0; done < total; done += AmrNbEncoder::kFrameSamples) {
    auto* s = reinterpret_cast<int16_t*>(frame->data[0]);
    frame->nb_samples = std::min(AmrNbEncoder::kFrameSamples, total - done);
    for (int i = 0; i < frame->nb_samples; ++i)
      s[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * (done + i) / 8000.0));
    frame->pts = done;
    ASSERT_EQ(enc.SendFrame(frame.get()), 0);
    ASSERT_EQ(enc.ReceivePacket(pkt.get()), 0);
    ASSERT_EQ(enc.ReceivePacket(pkt.get()), AVERROR(EAGAIN));  // one frame, one packet
    av_packet_rescale_ts(pkt.get(), ctx->time_base, st->time_base);
    pkt->stream_index = st->index;
    ASSERT_GE(av_interleaved_write_frame(oc.get(), pkt.get()), 0);
  }
  // Nothing is held back: the end of input gives no further packet.
  ASSERT_EQ(enc.SendFrame(nullptr), 0);
  ASSERT_EQ(enc.ReceivePacket(pkt.get()), AVERROR_EOF);
  ASSERT_GE(av_write_trailer(oc.get()), 0);
}

}  // namespace

TEST(AmrNbEncoder, NamesAndModes) {
  EXPECT_TRUE(AmrNbEncoder::IsAmrNbName("libamr_nb"));
  EXPECT_TRUE(AmrNbEncoder::IsAmrNbName("libopencore_amrnb"));
  EXPECT_FALSE(AmrNbEncoder::IsAmrNbName("aac"));

  EXPECT_EQ(AmrNbEncoder::SnapBitRate(12200), 12200);
  EXPECT_EQ(AmrNbEncoder::SnapBitRate(12000), 12200);
  EXPECT_EQ(AmrNbEncoder::SnapBitRate(64000), 12200);
  EXPECT_EQ(AmrNbEncoder::SnapBitRate(0), 12200);  // not set: best mode
  EXPECT_EQ(AmrNbEncoder::SnapBitRate(1), 4750);
  EXPECT_EQ(AmrNbEncoder::SnapBitRate(7950), 7950);
  EXPECT_EQ(AmrNbEncoder::SnapBitRate(9000), 7950);
  EXPECT_EQ(AmrNbEncoder::SnapBitRate(9075), 7950);  // equally near 7950 and 10200: lower
}

TEST(AmrNbEncoder, FrameSizeFollowsMode) {
  // Storage-format frames: a table-of-contents byte naming the mode, then the speech bits.
  const std::vector<int16_t> silence(AmrNbEncoder::kFrameSamples, 0);
  struct Case {
    int bit_rate, mode, bytes;
  } cases[] = {{4750, 0, 13}, {7950, 5, 21}, {12200, 7, 32}};
  for (const auto& c : cases) {
    AmrNbEncoder enc(c.bit_rate);
    EXPECT_EQ(enc.BitRate(), c.bit_rate);
    const auto out = enc.EncodeSamples(silence.data(), AmrNbEncoder::kFrameSamples);
    ASSERT_EQ(static_cast<int>(out.size()), c.bytes) << c.bit_rate;
    EXPECT_EQ((out[0] >> 3) & 0x0f, c.mode) << c.bit_rate;
  }
}

TEST(AmrNbEncoder, RejectsWrongFrames) {
  AmrNbEncoder enc(12200);
  const std::vector<int16_t> many(AmrNbEncoder::kFrameSamples + 1, 0);
  EXPECT_THROW(enc.EncodeSamples(many.data(), static_cast<int>(many.size())), FFMpegException);

  std::unique_ptr<AVFrame, FrameFree> stereo(av_frame_alloc());
  stereo->format = AV_SAMPLE_FMT_S16;
  stereo->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
  stereo->nb_samples = 160;
  ASSERT_GE(av_frame_get_buffer(stereo.get(), 0), 0);
  std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
  EXPECT_EQ(enc.SendFrame(stereo.get()), AVERROR(EINVAL));
  EXPECT_EQ(enc.ReceivePacket(pkt.get()), AVERROR(EAGAIN));
  EXPECT_EQ(pkt->size, 0);
}

TEST(AmrNbEncoder, ConfigureContextKeepsOtherFields) {
  std::unique_ptr<AVCodecContext, CodecContextFree> ctx(avcodec_alloc_context3(nullptr));
  ctx->bit_rate = 6000;
  ctx->flags = AV_CODEC_FLAG_GLOBAL_HEADER;
  AmrNbEncoder::ConfigureContext(ctx.get());
  EXPECT_EQ(ctx->codec_id, AV_CODEC_ID_AMR_NB);
  EXPECT_EQ(ctx->sample_rate, 8000);
  EXPECT_EQ(ctx->ch_layout.nb_channels, 1);
  EXPECT_EQ(ctx->sample_fmt, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(ctx->frame_size, 160);
  EXPECT_EQ(ctx->bit_rate, 5900);
  EXPECT_EQ(ctx->flags, AV_CODEC_FLAG_GLOBAL_HEADER);
}

TEST(AmrNbEncoder, ThreeGppFileReadsAsAmrNb) {
  media::TempDir dir;
  const auto path = dir.File("tone.3gp");
  // 1.01 s: the last frame is a short one, padded with silence.
  WriteAmr3gp(path, 1.01, 12200);
  const auto info = media::Probe(path);
  ASSERT_TRUE(info.ok) << info.error;
  const auto a = info.First("audio");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->codec_name, "amr_nb");
  EXPECT_EQ(a->sample_rate, 8000);
  EXPECT_EQ(a->channels, 1);
  EXPECT_NEAR(a->duration_s, 1.02, 0.021);
  EXPECT_TRUE(media::DecodesCleanly(path));
}
