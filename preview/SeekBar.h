// The preview's seek bar. While the player runs, a 1000 ms timer moves the thumb to the playing
// position (in seconds), unless the user holds the thumb; releasing the left mouse button seeks
// to the thumb's position.
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

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void PlayerStateChanged(TPlayerState state);

  TPreviewPlayer& player_;
  QTimer timer_;
  bool thumb_held_ = false;
};
