// The preview's seek bar. While the player runs, a 1000 ms timer moves the thumb to the playing
// position (in seconds), unless the user holds the thumb; releasing the left mouse button seeks
// to the thumb's position, and so does moving the thumb with the keyboard (arrows, Page Up and
// Down, Home, End). PositionShown reports each position the bar shows.
#pragma once

#include <QSlider>
#include <QTimer>

#include "PreviewPlayer.h"

class TSeekBar : public QSlider {
  Q_OBJECT
 public:
  explicit TSeekBar(TPreviewPlayer& player, QWidget* parent = nullptr);
  // One timer tick: reads the position and duration and rescales the bar to seconds.
  void TimerTick();
  // Seeks to the bar's position: stop position * position / maximum, nothing when the maximum
  // is 0.
  void SeekToThumb();
  bool ThumbHeld() const { return thumb_held_; }
  bool TimerRunning() const { return timer_.isActive(); }
  // Back to the start (the player was stopped): the thumb at 0, the duration kept.
  void Rewind();

 signals:
  void PositionShown(qint64 current_ms, qint64 duration_ms);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void PlayerStateChanged(TPlayerState state);

  TPreviewPlayer& player_;
  QTimer timer_;
  bool thumb_held_ = false;
  qint64 duration_ms_ = 0;
};
