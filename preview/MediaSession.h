// One file opened for the preview: its demuxer, decoders, the three worker threads (demuxing,
// video decoding, audio decoding) and the bounded queues between them. No widget code: the
// player takes pictures from Pictures() and samples from Samples() on the UI thread.
#pragma once

#include <QSize>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AVPtr.h"
#include "Orientation.h"
#include "PlaybackClock.h"
#include "PlaybackStreams.h"

// The sound format the session delivers: interleaved signed 16-bit at this rate and channel
// count. A channel count of 0 means no sound is wanted (no device): the audio stream is ignored.
struct TSoundFormat {
  int sample_rate = 0;
  int channels = 0;
};

class TMediaSession {
 public:
  // Opens PATH and the decoders of its best video and audio streams. Returns null when the file
  // cannot be opened or has neither a decodable picture nor a decodable sound. CLOCK must
  // outlive the session.
  static std::unique_ptr<TMediaSession> Open(const std::string& path, const TPlaybackClock* clock);
  ~TMediaSession();
  TMediaSession(const TMediaSession&) = delete;
  TMediaSession& operator=(const TMediaSession&) = delete;

  bool HasVideo() const { return video_ != nullptr; }
  bool HasSound() const { return sound_reader_ != nullptr; }
  int64_t DurationUs() const { return duration_us_; }  // 0 when unknown
  // The sound of the audio stream as stored in the file; channels 0 when there is none.
  TSoundFormat StreamSound() const;
  // Before Start: deliver the sound in FORMAT, or with channels 0 ignore the audio stream
  // (no sound device). Returns false when the sound cannot be converted (then it is ignored).
  bool ConfigureSound(const TSoundFormat& format);

  // Sets the size the pictures are scaled into; they keep the display aspect ratio, so one side
  // may be smaller (the surface paints black bars). Safe from any thread.
  void SetSurfaceSize(QSize size);
  // The picture size for a surface of SURFACE size, keeping the display aspect ratio of the
  // picture as shown: upright, as the file list and the outputs show it.
  QSize FitPicture(QSize surface) const;
  // How the video is stored; its pictures are turned upright before they are queued, so
  // that the surface and a snapshot show them as the outputs do. Upright when the pictures
  // cannot be turned (then they are shown as stored).
  TOrientation Orientation() const { return orientation_.load(); }

  // Starts the worker threads from the beginning of the file.
  void Start();
  // Positions the file at TARGET_US (from its start): the threads are stopped, the demuxer
  // goes back to the key frame at or before the target, and decoding runs forward so that the
  // first picture queued is the one shown at the target, and the first sample is the target's.
  void SeekTo(int64_t target_us);

  // The decoded pictures, taken on the UI thread.
  TPictureQueue& Pictures() { return pictures_; }
  // The sound for the device; null without sound.
  TSoundReader* Samples() { return sound_reader_.get(); }
  // True when the video thread has queued its last picture (end of stream or no video).
  bool VideoEnded() const { return !video_ || pictures_.Closed(); }
  // Pictures the decoder dropped because they were already late when decoded.
  int64_t DecoderDrops() const { return decoder_drops_.load(); }
  // Packets a decoder failed on since the file was opened; each was skipped (and logged), as
  // players do: the decoder recovers at the next key frame.
  int64_t DamagedPackets() const { return damaged_packets_.load(); }
  // True once the video (or the sound of a file without video) turned out not to be decodable
  // at all (its decoder failed on 25 packets, or on every packet up to the end, without giving
  // a frame): playback cannot go on. FailureText() says why; it also holds the reason when only
  // the sound of a video failed, which then plays on in silence. Safe from any thread.
  bool Failed() const { return failed_.load(); }
  std::string FailureText() const;

 private:
  TMediaSession() = default;
  bool OpenVideo(int index);
  bool OpenSound(int index);
  void DiscardUnused();
  void StopThreads();
  void StartThreads();
  // The demuxer's wait before it reads a packet; false when aborted or no stream takes packets.
  bool WaitForPacketRoom();
  void DemuxLoop();
  void VideoLoop();
  void AudioLoop();

  // How far one stream's decoding got.
  enum class TDecodeStep { kNeedInput, kEnded, kStopped, kFailed };
  // The failures of one decoder since its thread started.
  struct TDecodeHealth {
    int failures = 0;
    int last_error = 0;
    bool decoded_any = false;
    // Notes a failed packet; true when the stream now counts as undecodable.
    bool Failed(int error);
    void Decoded() { decoded_any = true; }
    // At the end of the stream: it failed and never gave a frame.
    bool FailedAll() const { return !decoded_any && last_error != 0; }
  };
  // Decodes the packets of PACKETS with CTX until the stream ends (kEnded), the session stops
  // (kStopped) or the stream turns out undecodable (kFailed, with the reason recorded). TAKE is
  // given every decoded frame and returns false when the session stops.
  TDecodeStep DecodeStream(AVCodecContext* ctx, TPacketQueue& packets,
                           const std::function<bool(AVFrame*)>& take);
  TDecodeStep ReceiveFrames(AVCodecContext* ctx, AVFrame* frame, TDecodeHealth& health,
                            const std::function<bool(AVFrame*)>& take);
  // Counts and logs a packet the decoder failed on; true when the stream is undecodable.
  bool NoteDamage(AVCodecContext* ctx, int error, TDecodeHealth& health);
  // Records why the stream of CTX cannot be decoded (the first reason stays).
  TDecodeStep Fail(const AVCodecContext* ctx, int error);

  // What the video thread keeps from one picture to the next.
  struct TVideoState {
    FramePtr held;  // after a seek: the latest picture not later than the target
    int64_t held_pts = 0;
    int64_t last_pts = 0;
    int drops_in_row = 0;  // late pictures dropped in a row
  };
  // Places one decoded picture: held or queued after a seek, dropped when already late,
  // queued otherwise. False when aborted.
  bool TakePicture(const AVFrame* frame, TVideoState& state);
  // Turns, converts and queues one decoded picture; false when aborted.
  bool QueuePicture(const AVFrame* frame, int64_t pts_us);
  // FRAME turned upright (owned by the upright step until its next use), or FRAME itself when
  // it is stored upright or cannot be turned.
  const AVFrame* TurnUpright(const AVFrame* frame);
  bool QueueSamples(const AVFrame* frame);
  int64_t FrameTimeUs(const AVFrame* frame, const AVStream* stream) const;
  static int InterruptCallback(void* opaque);

  InputFormatPtr format_;
  CodecContextPtr video_;
  CodecContextPtr audio_;
  SwsPtr scaler_;  // used only by the video thread
  // Made by the opening thread for a video stored rotated or mirrored, then used only by the
  // video thread; dropped when turning fails.
  std::unique_ptr<TUprightStep> upright_;
  std::atomic<TOrientation> orientation_{TOrientation::kUpright};
  SwrPtr resampler_;
  int video_index_ = -1;
  int audio_index_ = -1;
  int64_t start_us_ = 0;  // the file's start time; every time here is relative to it
  int64_t duration_us_ = 0;
  int64_t frame_us_ = 40000;  // nominal picture duration, for the late test
  AVRational sample_aspect_{1, 1};
  TSoundFormat sound_format_;
  const TPlaybackClock* clock_ = nullptr;

  // Unbounded themselves: the demuxer's wait (WaitForPacketRoom) bounds them jointly.
  TPacketQueue video_packets_;
  TPacketQueue audio_packets_;
  TPictureQueue pictures_{3};
  std::unique_ptr<TSoundQueue> sound_;  // 0.5 s of sound; made by ConfigureSound
  std::unique_ptr<TSoundReader> sound_reader_;

  std::atomic<bool> abort_{false};
  std::atomic<int> surface_width_{320};
  std::atomic<int> surface_height_{240};
  std::atomic<int64_t> decoder_drops_{0};
  std::atomic<int64_t> damaged_packets_{0};
  std::atomic<bool> failed_{false};   // set after failure_text_ is written
  mutable std::mutex failure_mutex_;  // guards failure_text_
  std::string failure_text_;
  // Seek targets: set before the threads start, read by the decoding threads; -1 = none.
  int64_t video_target_us_ = -1;
  int64_t audio_target_us_ = -1;
  std::thread demux_thread_;
  std::thread video_thread_;
  std::thread audio_thread_;
};
