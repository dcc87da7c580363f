#include "SeekBar.h"

#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>

TSeekBar::TSeekBar(TPreviewPlayer& player, QWidget* parent)
    : QSlider(Qt::Horizontal, parent), player_(player) {
  setTickPosition(QSlider::NoTicks);
  setRange(0, 0);
  setAccessibleName("Seek");
  timer_.setInterval(1000);
  connect(&timer_, &QTimer::timeout, this, &TSeekBar::TimerTick);
  connect(&player_, &TPreviewPlayer::StateChanged, this, &TSeekBar::PlayerStateChanged);
}

void TSeekBar::PlayerStateChanged(TPlayerState state) {
  if (state == TPlayerState::psRunning && isEnabled())
    timer_.start();
  else
    timer_.stop();
}

void TSeekBar::changeEvent(QEvent* event) {
  QSlider::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) PlayerStateChanged(player_.State());
}

void TSeekBar::TimerTick() {
  if (thumb_held_) return;
  const TPlaybackPosition position = player_.Position();
  setRange(0, static_cast<int>(position.duration_ms / 1000));
  setValue(static_cast<int>(position.current_ms / 1000));
  duration_ms_ = position.duration_ms;
  emit PositionShown(position.current_ms, position.duration_ms);
}

void TSeekBar::Rewind() {
  setValue(0);
  emit PositionShown(0, duration_ms_);
}

void TSeekBar::SeekToThumb() {
  if (maximum() <= 0) return;
  const TPlaybackPosition position = player_.Position();
  const qint64 target_ms = position.stop_ms * value() / maximum();
  player_.Seek(target_ms);
  duration_ms_ = position.duration_ms;
  emit PositionShown(target_ms, position.duration_ms);
}

void TSeekBar::keyPressEvent(QKeyEvent* event) {
  const int before = value();
  QSlider::keyPressEvent(event);
  if (value() != before) SeekToThumb();
}

void TSeekBar::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) thumb_held_ = true;
  QSlider::mousePressEvent(event);
}

void TSeekBar::mouseReleaseEvent(QMouseEvent* event) {
  QSlider::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton) SeekToThumb();
  thumb_held_ = false;
}
