// The encode stage (see EncodeStage.h).
#include "EncodeStage.h"

#include <cstdio>

#include "AmrNbEncoder.h"
#include "FFmpegException.h"
#include "MuxStage.h"

void HandToEncoder(AVFrame* frame, StageLink<FramePtr>& encoder) {
  FramePtr taken(av_frame_alloc());
  if (!taken) throw FFMpegException("av_mallocz fail");
  av_frame_move_ref(taken.get(), frame);
  const size_t bytes = HeldBytes(taken.get());
  encoder.Push(std::move(taken), bytes);
}

bool EncodeStage::Step(FramePtr& frame) {
  EncodeAndSend(frame.get());
  frame.reset();
  return true;
}

void EncodeStage::Finish() {
  EncodeAndSend(nullptr);
  EndOutputPackets(ost_, writer_);
}

// The libraries' own encoders rewrite one line of statistics for each picture, each line naming
// its picture, so a text equal to the one last written is the same line again.
void EncodeStage::WritePassStatistics() {
  const char* stats = ost_.Encoder->stats_out;
  if (!ost_.PassLogFile || !stats || stats_written_ == stats) return;
  std::fputs(stats, ost_.PassLogFile);
  stats_written_ = stats;
}

void EncodeStage::EncodeAndSend(const AVFrame* frame) {
  AVCodecContext* enc = ost_.Encoder;
  const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
  const char* failed = video ? "Video encoding failed" : "Audio encoding failed";
  int ret = ost_.Amr ? ost_.Amr->SendFrame(frame) : avcodec_send_frame(enc, frame);
  if (ret == AVERROR_EOF) return;  // already drained
  if (ret < 0) throw FFMpegException::FromLibrary(failed, ret);
  for (;;) {
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) throw FFMpegException("av_malloc fail");
    ret = ost_.Amr ? ost_.Amr->ReceivePacket(pkt.get()) : avcodec_receive_packet(enc, pkt.get());
    if (ret == AVERROR(EAGAIN)) break;
    if (ret == AVERROR_EOF) {
      // VP9 gives a first pass's statistics only once drained, with no packet.
      if (video) WritePassStatistics();
      break;
    }
    if (ret < 0) throw FFMpegException::FromLibrary(failed, ret);
    if (video) WritePassStatistics();
    pkt->stream_index = ost_.Index;
    av_packet_rescale_ts(pkt.get(), enc->time_base, ost_.Stream->time_base);
    writer_.Push(WriterItem{ost_.TableIndex, std::move(pkt)});
  }
}
