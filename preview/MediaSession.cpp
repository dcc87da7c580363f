#include "MediaSession.h"

#include <algorithm>

#include "Binding.h"
#include "FFmpegException.h"
#include "FilterLibrary.h"
#include "LocalInput.h"
#include "OpenErrors.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/time.h>
}

namespace {

constexpr int64_t kSoundBufferMs = 500;
// The demuxer reads on while the packets queued stay under this many bytes in all and some stream
// still being decoded holds fewer than kEnoughPackets: a stream short of packets is not held up
// by a full one (sound behind a full video queue), and memory stays bounded.
constexpr size_t kMaxPacketBytes = 16 * 1024 * 1024;
constexpr size_t kEnoughPackets = 40;
// A decoder that has failed on this many packets without giving a single frame cannot decode the
// stream. Once it has given one, a failure is damage it recovers from, however many follow.
constexpr int kFailuresBeforeAnyFrame = 25;
// After this many late pictures in a row one is shown anyway, so a machine too slow for the
// file still sees the picture move.
constexpr int kMaxDropsInRow = 8;

// The decoder of STREAM, opened; with THREADS > 0 it decodes on that many threads (frames and
// slices), else on the library's default. Null when there is none or it does not open.
CodecContextPtr OpenDecoder(const AVStream* stream, int threads) {
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) return nullptr;
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx || avcodec_parameters_to_context(ctx.get(), stream->codecpar) < 0) return nullptr;
  ctx->pkt_timebase = stream->time_base;
  if (threads > 0) {
    ctx->thread_count = threads;
    ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  }
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
  return ctx;
}

}  // namespace

bool TMediaSession::TDecodeHealth::Failed(int error) {
  last_error = error;
  return ++failures >= kFailuresBeforeAnyFrame && !decoded_any;
}

std::unique_ptr<TMediaSession> TMediaSession::Open(const std::string& path,
                                                   const TPlaybackClock* clock) {
  // Played files follow the rules of converted ones: a pipe or a playlist entry that is one
  // would block the window's thread in the open.
  if (!NotARegularFileText(path).empty()) return nullptr;
  std::unique_ptr<TMediaSession> session(new TMediaSession());
  session->clock_ = clock;
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) return nullptr;
  raw->interrupt_callback.callback = &TMediaSession::InterruptCallback;
  raw->interrupt_callback.opaque = session.get();
  if (ApplyLocalInputRules(raw, path) < 0) {
    avformat_free_context(raw);
    return nullptr;
  }
  // avformat_open_input frees the context itself on failure.
  if (avformat_open_input(&raw, LocalFileUrl(path).c_str(), nullptr, nullptr) < 0) return nullptr;
  session->format_.reset(raw);
  if (avformat_find_stream_info(raw, nullptr) < 0) return nullptr;

  session->start_us_ = raw->start_time == AV_NOPTS_VALUE ? 0 : raw->start_time;
  session->duration_us_ = raw->duration == AV_NOPTS_VALUE ? 0 : std::max<int64_t>(raw->duration, 0);

  const int video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  // A cover picture of a sound file is not a video: such a file plays on a black pane.
  if (video >= 0 && !(raw->streams[video]->disposition & AV_DISPOSITION_ATTACHED_PIC))
    session->OpenVideo(video);
  const int audio = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, video, nullptr, 0);
  if (audio >= 0) session->OpenSound(audio);
  if (!session->video_ && !session->audio_) return nullptr;
  session->DiscardUnused();
  return session;
}

TMediaSession::~TMediaSession() {
  StopThreads();
}

int TMediaSession::InterruptCallback(void* opaque) {
  return static_cast<TMediaSession*>(opaque)->abort_.load() ? 1 : 0;
}

void TMediaSession::DiscardUnused() {
  // The demuxer then skips the packets of streams nobody decodes.
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    const int index = static_cast<int>(i);
    format_->streams[i]->discard =
        (index == video_index_ || index == audio_index_) ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  }
}

bool TMediaSession::OpenVideo(int index) {
  AVStream* stream = format_->streams[index];
  CodecContextPtr ctx =
      OpenDecoder(stream, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  if (!ctx || ctx->width <= 0 || ctx->height <= 0) return false;
  video_ = std::move(ctx);
  video_index_ = index;
  sample_aspect_ = av_guess_sample_aspect_ratio(format_.get(), stream, nullptr);
  if (sample_aspect_.num <= 0 || sample_aspect_.den <= 0) sample_aspect_ = AVRational{1, 1};
  const AVRational rate = av_guess_frame_rate(format_.get(), stream, nullptr);
  if (rate.num > 0 && rate.den > 0) frame_us_ = av_rescale(1000000, rate.den, rate.num);
  const TOrientation orientation = OrientationOf(stream);
  if (orientation != TOrientation::kUpright) {
    // The turning filters are loaded here, off the UI thread, rather than by the first picture.
    try {
      FilterLibrary();
      upright_ = std::make_unique<TUprightStep>(orientation);
      orientation_ = orientation;
    } catch (const FFMpegException& e) {
      av_log(video_.get(), AV_LOG_WARNING, "preview: pictures are shown as stored: %s\n", e.what());
    }
  }
  return true;
}

bool TMediaSession::OpenSound(int index) {
  CodecContextPtr ctx = OpenDecoder(format_->streams[index], 0);
  if (!ctx || ctx->sample_rate <= 0 || ctx->ch_layout.nb_channels <= 0) return false;
  audio_ = std::move(ctx);
  audio_index_ = index;
  return true;
}

TSoundFormat TMediaSession::StreamSound() const {
  if (!audio_) return {};
  return TSoundFormat{audio_->sample_rate, audio_->ch_layout.nb_channels};
}

bool TMediaSession::ConfigureSound(const TSoundFormat& format) {
  if (!audio_) return false;
  if (format.channels > 0 && format.sample_rate > 0) {
    AVChannelLayout in_layout{};
    if (audio_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
      av_channel_layout_default(&in_layout, audio_->ch_layout.nb_channels);
    else
      av_channel_layout_copy(&in_layout, &audio_->ch_layout);
    AVChannelLayout out_layout{};
    av_channel_layout_default(&out_layout, format.channels);
    SwrContext* raw = nullptr;
    const int rc =
        swr_alloc_set_opts2(&raw, &out_layout, AV_SAMPLE_FMT_S16, format.sample_rate, &in_layout,
                            audio_->sample_fmt, audio_->sample_rate, 0, nullptr);
    SwrPtr swr(raw);
    av_channel_layout_uninit(&in_layout);
    av_channel_layout_uninit(&out_layout);
    if (rc >= 0 && swr_init(swr.get()) >= 0) {
      resampler_ = std::move(swr);
      sound_format_ = format;
      const int frame_bytes = 2 * format.channels;
      const int second_bytes = frame_bytes * format.sample_rate;
      // An empty queue takes any chunk, so a chunk larger than the bound cannot block.
      sound_ = std::make_unique<TSoundQueue>(
          0, static_cast<size_t>(second_bytes * kSoundBufferMs / 1000));
      sound_reader_ = std::make_unique<TSoundReader>(*sound_, second_bytes, frame_bytes);
      return true;
    }
  }
  // No device or no conversion: the audio stream is not decoded at all.
  audio_.reset();
  audio_index_ = -1;
  DiscardUnused();
  return format.channels == 0;
}

void TMediaSession::SetSurfaceSize(QSize size) {
  surface_width_ = std::max(size.width(), 2);
  surface_height_ = std::max(size.height(), 2);
}

QSize TMediaSession::FitPicture(QSize surface) const {
  if (!video_) return {};
  const double display_width =
      static_cast<double>(video_->width) * sample_aspect_.num / sample_aspect_.den;
  double aspect = display_width / video_->height;
  if (SwapsAxes(orientation_.load())) aspect = 1.0 / aspect;
  const int sw = std::max(surface.width(), 2);
  const int sh = std::max(surface.height(), 2);
  int w = sw;
  int h = static_cast<int>(sw / aspect + 0.5);
  if (h > sh) {
    h = sh;
    w = static_cast<int>(sh * aspect + 0.5);
  }
  // Even sizes keep the chroma planes' scaling exact.
  return QSize(std::max(2, w & ~1), std::max(2, h & ~1));
}

void TMediaSession::Start() {
  StopThreads();
  StartThreads();
}

void TMediaSession::SeekTo(int64_t target_us) {
  StopThreads();
  target_us = std::max<int64_t>(0, target_us);
  const int64_t ts = target_us + start_us_;
  // The key frame at or before the target; formats without that kind of seek fall back.
  if (avformat_seek_file(format_.get(), -1, INT64_MIN, ts, ts, 0) < 0)
    av_seek_frame(format_.get(), -1, ts, AVSEEK_FLAG_BACKWARD);
  if (video_) avcodec_flush_buffers(video_.get());
  if (audio_) avcodec_flush_buffers(audio_.get());
  if (sound_reader_) sound_reader_->Forget();
  video_target_us_ = video_ ? target_us : -1;
  audio_target_us_ = audio_ ? target_us : -1;
  StartThreads();
}

void TMediaSession::StartThreads() {
  // The threads are stopped: every queue starts empty and open.
  for (TPacketQueue* queue : {&video_packets_, &audio_packets_}) queue->Reset();
  pictures_.Reset();
  if (sound_) sound_->Reset();
  abort_ = false;
  demux_thread_ = std::thread(&TMediaSession::DemuxLoop, this);
  if (video_) video_thread_ = std::thread(&TMediaSession::VideoLoop, this);
  if (audio_) audio_thread_ = std::thread(&TMediaSession::AudioLoop, this);
}

void TMediaSession::StopThreads() {
  abort_ = true;
  for (TPacketQueue* queue : {&video_packets_, &audio_packets_}) queue->Abort();
  pictures_.Abort();
  if (sound_) sound_->Abort();
  for (std::thread* t : {&demux_thread_, &video_thread_, &audio_thread_})
    if (t->joinable()) t->join();
}

bool TMediaSession::WaitForPacketRoom() {
  for (;;) {
    if (abort_.load()) return false;
    // The streams still decoded: a decoding thread that ended closed its queue.
    TPacketQueue* open[2] = {nullptr, nullptr};
    size_t count = 0;
    if (video_ && !video_packets_.Closed()) open[count++] = &video_packets_;
    if (audio_ && !audio_packets_.Closed()) open[count++] = &audio_packets_;
    if (count == 0) return false;
    TPacketQueue* fewest = open[0];
    TPacketQueue* largest = open[0];
    size_t total = 0;
    bool short_of_packets = false;
    for (size_t i = 0; i < count; ++i) {
      total += open[i]->Bytes();
      short_of_packets = short_of_packets || open[i]->Size() < kEnoughPackets;
      if (open[i]->Size() < fewest->Size()) fewest = open[i];
      if (open[i]->Bytes() > largest->Bytes()) largest = open[i];
    }
    if (total < kMaxPacketBytes && short_of_packets) return true;
    if (total >= kMaxPacketBytes) {
      // Until the largest queue has given up the excess (at least down to empty).
      const size_t others = total - largest->Bytes();
      largest->WaitBelow(0, others < kMaxPacketBytes ? kMaxPacketBytes - others : 1);
    } else {
      // Every stream holds enough. Packets are stored in time order, so each queue covers about
      // the same stretch of time, and the one with the fewest (longest) packets is the first to
      // fall short; a queue that changed meanwhile ends the wait at once.
      fewest->WaitBelow(kEnoughPackets, 0);
    }
  }
}

void TMediaSession::DemuxLoop() {
  PacketPtr packet(av_packet_alloc());
  if (!packet) return;
  while (WaitForPacketRoom()) {
    const int rc = av_read_frame(format_.get(), packet.get());
    if (rc == AVERROR(EAGAIN)) {
      av_usleep(5000);
      continue;
    }
    if (rc < 0) {  // end of file, a read error or an abort: the decoders drain what they have
      if (abort_.load()) return;
      for (TPacketQueue* queue : {&video_packets_, &audio_packets_}) queue->Close();
      return;
    }
    const int index = packet->stream_index;
    if (index == video_index_ || index == audio_index_) {
      PacketPtr queued(av_packet_alloc());
      if (!queued) return;
      av_packet_move_ref(queued.get(), packet.get());
      const auto bytes = static_cast<size_t>(queued->size);
      // Refused once the stream's decoder has ended: the packet is dropped.
      (index == video_index_ ? video_packets_ : audio_packets_).Push(std::move(queued), bytes);
    } else {
      av_packet_unref(packet.get());
    }
  }
}

int64_t TMediaSession::FrameTimeUs(const AVFrame* frame, const AVStream* stream) const {
  if (frame->best_effort_timestamp == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
  return av_rescale_q(frame->best_effort_timestamp, stream->time_base, AV_TIME_BASE_Q) - start_us_;
}

void TMediaSession::VideoLoop() {
  TVideoState state;
  state.last_pts = -frame_us_;
  const TDecodeStep end = DecodeStream(
      video_.get(), video_packets_, [this, &state](AVFrame* f) { return TakePicture(f, state); });
  // A seek target past the last picture shows the last one.
  if (end == TDecodeStep::kEnded && state.held) QueuePicture(state.held.get(), state.held_pts);
  video_packets_.Close();
  pictures_.Close();
}

bool TMediaSession::TakePicture(const AVFrame* frame, TVideoState& state) {
  int64_t pts = FrameTimeUs(frame, format_->streams[video_index_]);
  if (pts == AV_NOPTS_VALUE) pts = state.last_pts + frame_us_;
  state.last_pts = pts;
  if (video_target_us_ >= 0) {
    if (pts <= video_target_us_) {
      state.held.reset(av_frame_clone(frame));
      state.held_pts = pts;
      return true;
    }
    // The first picture past the target: the held one is the picture at the target.
    video_target_us_ = -1;
    const FramePtr held = std::move(state.held);
    return (!held || QueuePicture(held.get(), state.held_pts)) && QueuePicture(frame, pts);
  }
  if (clock_->Running() && pts + frame_us_ < clock_->NowUs() &&
      state.drops_in_row < kMaxDropsInRow) {
    ++state.drops_in_row;  // already late: not worth converting
    ++decoder_drops_;
    return true;
  }
  state.drops_in_row = 0;
  return QueuePicture(frame, pts);
}

const AVFrame* TMediaSession::TurnUpright(const AVFrame* frame) {
  if (!upright_) return frame;
  const AVFrame* upright = nullptr;
  try {
    upright = upright_->Apply(frame);
  } catch (const FFMpegException&) {
  }
  if (upright) return upright;
  // From now on the pictures are shown as stored, at their stored shape, rather than one
  // turned and the next not.
  av_log(video_.get(), AV_LOG_WARNING, "preview: cannot turn the picture upright\n");
  upright_.reset();
  orientation_ = TOrientation::kUpright;
  return frame;
}

bool TMediaSession::QueuePicture(const AVFrame* decoded, int64_t pts_us) {
  // Turned before it is scaled, so that the queued frame (a snapshot's source) is upright too.
  const AVFrame* frame = TurnUpright(decoded);
  const QSize size = FitPicture(QSize(surface_width_.load(), surface_height_.load()));
  SwsContext* ctx = sws_getCachedContext(
      scaler_.release(), frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
      size.width(), size.height(), AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
  scaler_.reset(ctx);
  if (!ctx) return true;  // an unconvertible picture is skipped
  TPicture picture;
  picture.pts_us = pts_us;
  picture.image = ConvertPicture(ctx, frame, size, QImage::Format_RGB32);
  if (picture.image.isNull()) return true;
  picture.frame.reset(av_frame_clone(frame));
  return pictures_.Push(std::move(picture));
}

void TMediaSession::AudioLoop() {
  DecodeStream(audio_.get(), audio_packets_, [this](AVFrame* f) { return QueueSamples(f); });
  audio_packets_.Close();
  sound_->Close();
}

TMediaSession::TDecodeStep TMediaSession::DecodeStream(AVCodecContext* ctx, TPacketQueue& packets,
                                                       const std::function<bool(AVFrame*)>& take) {
  FramePtr frame(av_frame_alloc());
  TDecodeHealth health;
  if (!frame) return Fail(ctx, AVERROR(ENOMEM));
  for (;;) {
    PacketPtr packet;  // stays null at the end of the stream, which drains the decoder
    if (!packets.Pop(packet) && abort_.load()) return TDecodeStep::kStopped;
    const int rc = avcodec_send_packet(ctx, packet.get());
    if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_EOF && NoteDamage(ctx, rc, health))
      return Fail(ctx, rc);
    const TDecodeStep step = ReceiveFrames(ctx, frame.get(), health, take);
    if (step != TDecodeStep::kNeedInput) return step;
    if (!packet) return health.FailedAll() ? Fail(ctx, health.last_error) : TDecodeStep::kEnded;
  }
}

TMediaSession::TDecodeStep TMediaSession::ReceiveFrames(AVCodecContext* ctx, AVFrame* frame,
                                                        TDecodeHealth& health,
                                                        const std::function<bool(AVFrame*)>& take) {
  for (;;) {
    const int rc = avcodec_receive_frame(ctx, frame);
    if (rc == AVERROR(EAGAIN)) return TDecodeStep::kNeedInput;
    if (rc == AVERROR_EOF)
      return health.FailedAll() ? Fail(ctx, health.last_error) : TDecodeStep::kEnded;
    if (rc < 0) {  // the decoder goes on with the next frame or packet
      if (NoteDamage(ctx, rc, health)) return Fail(ctx, rc);
      continue;
    }
    health.Decoded();
    const bool taken = take(frame);
    av_frame_unref(frame);
    if (!taken) return TDecodeStep::kStopped;
  }
}

bool TMediaSession::NoteDamage(AVCodecContext* ctx, int error, TDecodeHealth& health) {
  ++damaged_packets_;
  av_log(ctx, AV_LOG_WARNING, "preview: a damaged packet was skipped: %s\n",
         ErrorText(error).c_str());
  return health.Failed(error);
}

TMediaSession::TDecodeStep TMediaSession::Fail(const AVCodecContext* ctx, int error) {
  const char* kind = ctx->codec_type == AVMEDIA_TYPE_VIDEO ? "video" : "sound";
  const std::string text = WithLibraryText(
      std::string("The ") + kind + " of this file cannot be decoded (" + ctx->codec->name + ")",
      error);
  {
    std::lock_guard lock(failure_mutex_);
    if (failure_text_.empty()) failure_text_ = text;
  }
  // Sound that cannot be decoded leaves the pictures to play on in silence, as they did before
  // the decoders' results were checked; only a file that cannot be watched ends playback.
  if (ctx->codec_type == AVMEDIA_TYPE_VIDEO || !video_) failed_ = true;
  return TDecodeStep::kFailed;
}

std::string TMediaSession::FailureText() const {
  std::lock_guard lock(failure_mutex_);
  return failure_text_;
}

bool TMediaSession::QueueSamples(const AVFrame* frame) {
  const AVStream* stream = format_->streams[audio_index_];
  const int capacity = swr_get_out_samples(resampler_.get(), frame->nb_samples);
  if (capacity <= 0) return true;
  const int frame_bytes = 2 * sound_format_.channels;
  std::vector<char> bytes(static_cast<size_t>(capacity) * frame_bytes);
  uint8_t* out[1] = {reinterpret_cast<uint8_t*>(bytes.data())};
  const int converted =
      swr_convert(resampler_.get(), out, capacity,
                  const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (converted <= 0) return true;
  bytes.resize(static_cast<size_t>(converted) * frame_bytes);
  int64_t pts = FrameTimeUs(frame, stream);
  if (pts == AV_NOPTS_VALUE) pts = audio_target_us_ >= 0 ? audio_target_us_ : 0;
  if (audio_target_us_ >= 0) {
    // After a seek, sound before the target is cut off so that the sound starts at it.
    const int64_t skip_frames =
        av_rescale(audio_target_us_ - pts, sound_format_.sample_rate, 1000000);
    if (skip_frames >= converted) return true;
    if (skip_frames > 0) {
      bytes.erase(bytes.begin(), bytes.begin() + skip_frames * frame_bytes);
      pts = audio_target_us_;
    }
    audio_target_us_ = -1;
  }
  if (bytes.empty()) return true;
  const size_t size = bytes.size();
  return sound_->Push(TSoundChunk{pts, std::move(bytes)}, size);
}
