// AMR-NB encoding for the 3GP and 3G2 formats.
//
// Many FFmpeg builds (Debian's among them) carry no AMR-NB encoder, so the engine brings its own
// on opencore-amr. The encoder names "libamr_nb" and "libopencore_amrnb" both reach it; when the
// FFmpeg build does have an encoder of that name, the engine uses the library's instead.
//
// How the engine uses it: file set-up gives such an output stream a codec context without an
// AVCodec (ConfigureContext below: codec id AV_CODEC_ID_AMR_NB, 8000 Hz, mono, s16, frame size
// 160, the bit rate of the nearest AMR mode). When UsesOwnEncoder(ctx) is true the transcoder
// does not call avcodec_open2 on that context; it makes one AmrNbEncoder(ctx->bit_rate) and
// talks to it the way it talks to the library's encoders: SendFrame, then ReceivePacket until
// it asks for more, and SendFrame(nullptr) at the end (one frame in, one packet out, no delay).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdint>
#include <string_view>
#include <vector>

class AmrNbEncoder {
 public:
  static constexpr int kSampleRate = 8000;
  static constexpr int kFrameSamples = 160;   // 20 ms
  static constexpr int kMaxPacketBytes = 32;  // mode byte + 31 bytes of the 12.2 kbit/s mode
  static constexpr bool kTakesShortLastFrame = true;  // padded with silence

  // True for the encoder names under which the engine offers AMR-NB.
  static bool IsAmrNbName(std::string_view encoder_name);
  // The FFmpeg build's own AMR-NB encoder, or nullptr when it has none.
  static const AVCodec* FindLibraryEncoder();
  // True when CTX is an AMR-NB output that this class must encode (no library encoder).
  static bool UsesOwnEncoder(const AVCodecContext* ctx);

  // The bit rate of the AMR-NB mode nearest to BIT_RATE_BPS (4750 ... 12200); of two equally
  // near modes the lower wins. 0 or less (not set) gives the best mode, 12200.
  static int SnapBitRate(int64_t bit_rate_bps);

  // Makes CTX (allocated with avcodec_alloc_context3(nullptr)) an AMR-NB stream: codec type
  // audio, codec id AMR_NB, 8000 Hz, mono, s16, frame size 160, time base 1/8000, and the bit
  // rate snapped to a mode. Everything else in CTX is kept.
  static void ConfigureContext(AVCodecContext* ctx);

  // Starts an encoder at the mode nearest to BIT_RATE_BPS. Throws FFMpegException when
  // opencore-amr cannot start.
  explicit AmrNbEncoder(int64_t bit_rate_bps, bool dtx = false);
  ~AmrNbEncoder();
  AmrNbEncoder(const AmrNbEncoder&) = delete;
  AmrNbEncoder& operator=(const AmrNbEncoder&) = delete;

  int BitRate() const { return bit_rate_bps_; }

  // As avcodec_send_frame: FRAME holds mono signed 16-bit samples at 8000 Hz
  // (AV_SAMPLE_FMT_S16), at most 160; a shorter frame (the last one) is padded with silence.
  // nullptr ends the input. Returns 0; AVERROR(EAGAIN) while an encoded packet waits to be
  // received; AVERROR_EOF after the end; AVERROR(EINVAL) for a frame of another layout or size;
  // AVERROR_EXTERNAL when opencore-amr fails.
  int SendFrame(const AVFrame* frame);
  // As avcodec_receive_packet: PKT (empty) receives the encoded frame with pts and dts = the
  // frame's pts, duration 160, in the time base 1/8000. Returns 0, AVERROR(EAGAIN) when a frame
  // is needed first, AVERROR_EOF once the input has ended and everything was received, or
  // AVERROR(ENOMEM).
  int ReceivePacket(AVPacket* pkt);

  // One frame of a plain sample buffer: COUNT (0 to 160) samples; returns the frame's bytes.
  // Throws FFMpegException for more than 160 samples or when the encoder fails.
  std::vector<uint8_t> EncodeSamples(const int16_t* samples, int count);

 private:
  // Encodes COUNT samples into OUT; the frame's size, or -1 when opencore-amr fails.
  int EncodeInto(const int16_t* samples, int count, uint8_t* out);

  void* state_ = nullptr;  // opencore-amr encoder state
  int mode_ = 0;           // enum Mode of opencore-amr
  int bit_rate_bps_ = 0;
  std::vector<uint8_t> waiting_;  // encoded frame not received yet
  int64_t waiting_pts_ = 0;
  bool has_waiting_ = false;
  bool ended_ = false;
};
