// The preview pane of the main window: the video surface, the Play, Pause, Stop, Volume and
// Snapshot buttons, the seek bar and the speaker menu, with the pane's state flags. It plays the
// selected file-list row through TPreviewPlayer and asks its host (the main window) for the
// selection, the output folder, the converting flag and the message boxes.
//
// The pane's buttons and menu entries run their commands queued, after the press has been
// answered. The window calls: ButtonPlayClick for its list menu's "Play Selected File" (queued
// there too), SelectionChanged when a row becomes selected, StopForAddFile before adding files,
// DeactivateForStart when a conversion starts and ClearOnClose when it closes. Play opens the
// file on another thread (WaitOffThread), so the window keeps answering while a file that
// blocks is being opened.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include "PreviewHost.h"
#include "PreviewPlayer.h"

class QAction;
class QLabel;
class QMenu;
class QToolButton;
class TSeekBar;
class TVideoSurface;

class PreviewPane : public QWidget {
  Q_OBJECT
 public:
  explicit PreviewPane(TPreviewHost& host, QWidget* parent = nullptr);
  ~PreviewPane() override;

  // Commands (each ignored while converting).
  void ButtonPlayClick();
  void ButtonPauseClick();
  void ButtonStopClick();
  void ButtonVolumeClick();
  void ButtonSnapshotClick();
  void MenuMuteClick();
  void MenuHalfVolumeClick();
  void MenuFullVolumeClick();

  // Acts of the main window on the player.
  void SelectionChanged(int row);
  void StopForAddFile();
  void DeactivateForStart();
  void ClearOnClose();

  TPreviewPlayer& Player() { return player_; }
  TSeekBar& SeekBar() { return *seek_bar_; }
  // "mm:ss / mm:ss": the position the seek bar shows and the file's duration.
  QLabel& TimeLabel() { return *time_label_; }
  QMenu& PopupMenuSpeaker() { return *speaker_menu_; }
  QToolButton& VolumeButton() { return *button_volume_; }
  // The five buttons in their order on the pane: Play, Pause, Stop, Volume, Snapshot.
  QToolButton* Button(int index) const {
    QToolButton* const buttons[] = {button_play_, button_pause_, button_stop_, button_volume_,
                                    button_snapshot_};
    return index >= 0 && index < 5 ? buttons[index] : nullptr;
  }

  bool PreviewPaused() const { return preview_paused_; }
  bool PreviewStopped() const { return preview_stopped_; }
  int PreviewRow() const { return preview_row_; }
  const QString& PreviewFile() const { return preview_file_; }
  // The last snapshot taken (the picture saved by Snapshot).
  const QImage& SnapshotImage() const { return snapshot_image_; }

 private:
  QToolButton* AddButton(const QString& hint);
  void SetVolumeLevel(int level, const char* picture);
  void ShowTime(qint64 current_ms, qint64 duration_ms);
  // Any act that makes a file being opened for Play unwanted (Stop, another row, Add File,
  // Start, closing): its opening is left to end on its own and its result is dropped.
  void ForgetOpening() { ++open_generation_; }

  TPreviewHost& host_;
  TVideoSurface* surface_;  // child widget, created before the player that paints on it
  TPreviewPlayer player_;
  TSeekBar* seek_bar_ = nullptr;
  QLabel* time_label_ = nullptr;
  QToolButton* button_play_ = nullptr;
  QToolButton* button_pause_ = nullptr;
  QToolButton* button_stop_ = nullptr;
  QToolButton* button_volume_ = nullptr;
  QToolButton* button_snapshot_ = nullptr;
  QMenu* speaker_menu_ = nullptr;

  bool preview_paused_ = false;
  bool preview_stopped_ = false;
  int preview_row_ = 0;
  QString preview_file_;
  QImage snapshot_image_;
  bool opening_ = false;          // Play is opening a file on another thread
  unsigned open_generation_ = 0;  // changed by ForgetOpening
};
