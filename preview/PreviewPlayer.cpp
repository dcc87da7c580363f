#include "PreviewPlayer.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "MediaSession.h"
#include "SoundOutput.h"
#include "VideoSurface.h"

namespace {

constexpr int kPresentIntervalMs = 4;

// The presentation time of the picture INDEX places from the front of QUEUE, if there is one.
std::optional<int64_t> PictureTime(const TPictureQueue& queue, size_t index) {
  int64_t pts_us = 0;
  if (!queue.Peek(index, [&pts_us](const TPicture& picture) { pts_us = picture.pts_us; }))
    return std::nullopt;
  return pts_us;
}
// The picture clock follows the sound when they drift apart by more than this.
constexpr int64_t kSoundDriftUs = 40000;

}  // namespace

TPreviewPlayer::TPreviewPlayer(TVideoSurface* surface, QObject* parent)
    : QObject(parent), surface_(surface) {
  presenter_.setTimerType(Qt::PreciseTimer);
  presenter_.setInterval(kPresentIntervalMs);
  connect(&presenter_, &QTimer::timeout, this, &TPreviewPlayer::PresentTick);
  if (surface_) {
    connect(surface_, &TVideoSurface::Resized, this, [this](QSize size) {
      if (session_) session_->SetSurfaceSize(size);
    });
  }
}

TPreviewPlayer::~TPreviewPlayer() {
  Unload();
}

void TPreviewPlayer::SetState(TPlayerState state) {
  if (state_ == state) return;
  state_ = state;
  UpdatePresenter();
  emit StateChanged(state);
}

void TPreviewPlayer::UpdatePresenter() {
  const bool needed =
      session_ && (picture_pending_ || (state_ == TPlayerState::psRunning && !at_end_));
  if (needed && !presenter_.isActive()) presenter_.start();
  if (!needed) presenter_.stop();
}

void TPreviewPlayer::Unload() {
  presenter_.stop();
  sound_.reset();
  session_.reset();
  shown_ = TPicture();
  picture_pending_ = false;
  at_end_ = false;
  clock_.Pause();
  clock_.Set(0);
  if (surface_) surface_->ClearPicture();
}

void TPreviewPlayer::Activate() {
  if (Active()) return;
  SetState(TPlayerState::psStopped);
}

void TPreviewPlayer::Deactivate() {
  if (!Active()) return;
  Unload();
  SetState(TPlayerState::psInactive);
}

void TPreviewPlayer::Clear() {
  if (!Active()) return;
  Unload();
  SetState(TPlayerState::psStopped);
}

bool TPreviewPlayer::Render(const QString& path) {
  if (!Active()) return false;
  return Render(TMediaSession::Open(path.toStdString(), &clock_));
}

bool TPreviewPlayer::Render(std::unique_ptr<TMediaSession> session) {
  if (!Active()) return false;
  Unload();
  SetState(TPlayerState::psStopped);
  shown_count_ = 0;
  dropped_count_ = 0;
  if (!session) return false;

  const TSoundFormat stream_sound = session->StreamSound();
  QAudioDevice device;
  QAudioFormat format;
  if (stream_sound.channels > 0 &&
      ChooseSoundDevice(stream_sound.sample_rate, stream_sound.channels, &device, &format) &&
      session->ConfigureSound({format.sampleRate(), format.channelCount()})) {
    sound_ = std::make_unique<TSoundOutput>(device, format, session->Samples());
    sound_->SetGain(VolumeGain(volume_));
  } else {
    session->ConfigureSound({});  // no device: the file plays silently on the system clock
  }

  if (surface_) session->SetSurfaceSize(surface_->size());
  session_ = std::move(session);
  session_->Start();
  picture_pending_ = session_->HasVideo();
  UpdatePresenter();
  return true;
}

bool TPreviewPlayer::Run() {
  if (!Active()) return true;
  // While the first picture after loading or seeking is still being decoded the clock waits,
  // so that the pictures after it are not late from the start.
  if (!picture_pending_) clock_.Resume();
  if (sound_) sound_->Start();
  SetState(TPlayerState::psRunning);
  return true;
}

bool TPreviewPlayer::Pause() {
  return Hold(TPlayerState::psPaused);
}

// The graph's Stop keeps the position, like Pause; only the state it reports differs.
bool TPreviewPlayer::Stop() {
  return Hold(TPlayerState::psStopped);
}

bool TPreviewPlayer::Hold(TPlayerState state) {
  if (!Active()) return true;
  clock_.Pause();
  if (sound_) sound_->Suspend();
  SetState(state);
  return true;
}

qint64 TPreviewPlayer::Duration() const {
  return session_ ? session_->DurationUs() / 1000 : 0;
}

TPlaybackPosition TPreviewPlayer::Position() const {
  TPlaybackPosition position;
  if (!session_) return position;
  position.duration_ms = Duration();
  position.stop_ms = position.duration_ms;
  position.current_ms = std::max<qint64>(0, clock_.NowUs() / 1000);
  // After the end the clock runs on, but the position stays at the end.
  if (position.duration_ms > 0)
    position.current_ms = std::min(position.current_ms, position.duration_ms);
  return position;
}

void TPreviewPlayer::Seek(qint64 position_ms) {
  if (!session_) return;
  const qint64 duration = Duration();
  position_ms = std::max<qint64>(0, position_ms);
  if (duration > 0) position_ms = std::min(position_ms, duration);
  const int64_t target_us = position_ms * 1000;
  session_->SeekTo(target_us);
  clock_.Pause();
  clock_.Set(target_us);
  if (sound_) sound_->Restart(target_us);
  picture_pending_ = session_->HasVideo();
  at_end_ = false;
  if (!picture_pending_ && state_ == TPlayerState::psRunning) clock_.Resume();
  UpdatePresenter();
}

void TPreviewPlayer::SetVolume(int level) {
  volume_ = std::clamp(level, 0, 10000);
  if (sound_) sound_->SetGain(VolumeGain(volume_));
}

bool TPreviewPlayer::GrabFrame(QImage& bitmap) const {
  const AVFrame* frame = shown_.frame.get();
  if (frame == nullptr) return false;
  SwsPtr ctx(sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                            frame->width, frame->height, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr,
                            nullptr, nullptr));
  if (!ctx) return false;
  QImage picture =
      ConvertPicture(ctx.get(), frame, QSize(frame->width, frame->height), QImage::Format_RGB888);
  if (picture.isNull()) return false;
  bitmap = std::move(picture);
  return true;
}

int64_t TPreviewPlayer::PicturesDropped() const {
  return dropped_count_ + (session_ ? session_->DecoderDrops() : 0);
}

int64_t TPreviewPlayer::DamagedPackets() const {
  return session_ ? session_->DamagedPackets() : 0;
}

void TPreviewPlayer::EndWithFailure() {
  const QString reason = QString::fromStdString(session_->FailureText());
  Unload();
  SetState(TPlayerState::psStopped);
  emit PlaybackFailed(reason);
}

void TPreviewPlayer::Show(TPicture&& picture) {
  shown_ = std::move(picture);
  ++shown_count_;
  if (surface_) surface_->SetPicture(shown_.image);
}

void TPreviewPlayer::FollowSound() {
  if (!sound_ || sound_->Drained()) return;
  const int64_t sound_us = sound_->ClockUs();
  if (sound_us >= 0 && std::llabs(sound_us - clock_.NowUs()) > kSoundDriftUs) clock_.Set(sound_us);
}

void TPreviewPlayer::PresentTick() {
  if (!session_) {
    presenter_.stop();
    return;
  }
  if (session_->Failed()) {
    EndWithFailure();
    return;
  }
  TPictureQueue& queue = session_->Pictures();
  TPicture picture;
  if (picture_pending_) {
    if (queue.TryPop(picture)) {
      picture_pending_ = false;
      Show(std::move(picture));
    } else if (session_->VideoEnded()) {
      picture_pending_ = false;
    }
    if (!picture_pending_ && state_ == TPlayerState::psRunning) clock_.Resume();
  } else if (state_ == TPlayerState::psRunning) {
    FollowSound();
    const int64_t now = clock_.NowUs();
    while (const std::optional<int64_t> pts = PictureTime(queue, 0)) {
      if (*pts > now) break;
      const std::optional<int64_t> next = PictureTime(queue, 1);
      if (!queue.TryPop(picture)) break;
      if (next && *next <= now) {  // its successor is due too: this one is late
        ++dropped_count_;
        continue;
      }
      Show(std::move(picture));
      break;
    }
    // Everything shown and heard: the last picture stays and the presenter rests.
    at_end_ = session_->VideoEnded() && queue.Size() == 0 && (!sound_ || sound_->Drained());
  }
  UpdatePresenter();
}
