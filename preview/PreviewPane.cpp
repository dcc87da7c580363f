#include "PreviewPane.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "ConversionJob.h"
#include "MediaSession.h"
#include "OffThread.h"
#include "PlayerPictures.h"
#include "SeekBar.h"
#include "Snapshot.h"
#include "VideoSurface.h"

namespace {

const char kRenderError[] = "No Video Codec To Play This File!";

// Linear volume levels of the speaker menu. Full volume asks for more than the player's
// maximum, which holds it at 10000; mute is nearly silent rather than silent.
constexpr int kFullVolume = 20000;
constexpr int kHalfVolume = 6000;
constexpr int kMuteVolume = 10;

}  // namespace

PreviewPane::PreviewPane(TPreviewHost& host, QWidget* parent)
    : QWidget(parent), host_(host), surface_(new TVideoSurface(this)), player_(surface_) {
  setAccessibleName("Preview");
  surface_->setMinimumSize(160, 120);
  surface_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

  button_play_ = AddButton("Play");
  button_play_->setIcon(ButtonPicture(TButtonPicture::bpPlay));
  button_pause_ = AddButton("Pause");
  button_pause_->setIcon(ButtonPicture(TButtonPicture::bpPause));
  button_stop_ = AddButton("Stop");
  button_stop_->setIcon(ButtonPicture(TButtonPicture::bpStop));
  button_volume_ = AddButton("Volume");
  button_volume_->setIcon(SpeakerPicture("spkfull"));
  button_snapshot_ = AddButton("Snapshot");
  button_snapshot_->setIcon(ButtonPicture(TButtonPicture::bpSnapshot));
  seek_bar_ = new TSeekBar(player_, this);
  time_label_ = new QLabel(this);
  time_label_->setAccessibleName("Position");
  time_label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  ShowTime(0, 0);
  connect(seek_bar_, &TSeekBar::PositionShown, this, &PreviewPane::ShowTime);
  // A file that cannot be decoded is reported as one that cannot be rendered, with the reason.
  connect(&player_, &TPreviewPlayer::PlaybackFailed, this, [this](const QString& reason) {
    host_.ShowError(QString(kRenderError) + "\n" + reason);
  });

  speaker_menu_ = new QMenu(this);
  speaker_menu_->setAccessibleName("Volume");
  // Commands run from the event loop, after the click, key press or accessibility request that
  // chose them has been answered: Play opens a file (waiting for it while events flow) and a
  // command may end in a message box, and neither may hold up the caller.
  constexpr auto kQueued = Qt::QueuedConnection;
  connect(speaker_menu_->addAction("Mute"), &QAction::triggered, this, &PreviewPane::MenuMuteClick,
          kQueued);
  connect(speaker_menu_->addAction("Half Volume"), &QAction::triggered, this,
          &PreviewPane::MenuHalfVolumeClick, kQueued);
  connect(speaker_menu_->addAction("Full Volume"), &QAction::triggered, this,
          &PreviewPane::MenuFullVolumeClick, kQueued);

  connect(button_play_, &QToolButton::clicked, this, &PreviewPane::ButtonPlayClick, kQueued);
  connect(button_pause_, &QToolButton::clicked, this, &PreviewPane::ButtonPauseClick, kQueued);
  connect(button_stop_, &QToolButton::clicked, this, &PreviewPane::ButtonStopClick, kQueued);
  connect(button_volume_, &QToolButton::clicked, this, &PreviewPane::ButtonVolumeClick, kQueued);
  connect(button_snapshot_, &QToolButton::clicked, this, &PreviewPane::ButtonSnapshotClick,
          kQueued);
  // The speaker menu is also the volume button's context menu, opened at the pointer.
  button_volume_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(button_volume_, &QToolButton::customContextMenuRequested, this, [this](QPoint pos) {
    if (!host_.Converting()) speaker_menu_->popup(button_volume_->mapToGlobal(pos));
  });

  // The seek bar with the time beside it under the picture, the buttons below them.
  auto* seek_row = new QHBoxLayout;
  seek_row->setContentsMargins(0, 0, 0, 0);
  seek_row->setSpacing(4);
  seek_row->addWidget(seek_bar_, 1);
  seek_row->addWidget(time_label_);
  auto* controls = new QHBoxLayout;
  controls->setContentsMargins(0, 0, 0, 0);
  controls->setSpacing(2);
  controls->addWidget(button_play_);
  controls->addWidget(button_pause_);
  controls->addWidget(button_stop_);
  controls->addStretch(1);
  controls->addWidget(button_volume_);
  controls->addWidget(button_snapshot_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  layout->addWidget(surface_, 1);
  layout->addLayout(seek_row);
  layout->addLayout(controls);
  setTabOrder(button_play_, button_pause_);
  setTabOrder(button_pause_, button_stop_);
  setTabOrder(button_stop_, seek_bar_);
  setTabOrder(seek_bar_, button_volume_);
  setTabOrder(button_volume_, button_snapshot_);
}

PreviewPane::~PreviewPane() = default;

QToolButton* PreviewPane::AddButton(const QString& hint) {
  auto* button = new QToolButton(this);
  button->setToolTip(hint);
  button->setAccessibleName(hint);
  button->setAutoRaise(true);
  button->setIconSize(QSize(20, 20));
  return button;
}

void PreviewPane::ShowTime(qint64 current_ms, qint64 duration_ms) {
  const auto mm_ss = [](qint64 ms) {
    const qint64 seconds = std::max<qint64>(0, ms) / 1000;
    return QString("%1:%2")
        .arg(seconds / 60, 2, 10, QChar('0'))
        .arg(seconds % 60, 2, 10, QChar('0'));
  };
  time_label_->setText(mm_ss(current_ms) + " / " + mm_ss(duration_ms));
}

void PreviewPane::ButtonPlayClick() {
  if (host_.Converting() || opening_) return;
  if (preview_paused_) {
    player_.Run();
    preview_paused_ = false;
    return;
  }
  preview_stopped_ = false;
  player_.Stop();
  const int row = host_.SelectedRow();
  if (row < 0) return;
  preview_row_ = row;
  preview_file_ = host_.RowCaption(row).trimmed();
  preview_paused_ = false;
  opening_ = true;
  const unsigned generation = ++open_generation_;
  const std::string path = host_.RowPath(row).toStdString();
  const TPlaybackClock* clock = player_.Clock();
  std::optional<std::unique_ptr<TMediaSession>> session =
      WaitOffThread<std::unique_ptr<TMediaSession>>(
          [path, clock] { return TMediaSession::Open(path, clock); },
          [this, generation] { return generation != open_generation_; });
  opening_ = false;
  if (!session) return;
  // A fresh, empty, active graph for the file.
  player_.Deactivate();
  player_.Activate();
  if (!player_.Render(std::move(*session))) {
    host_.ShowError(kRenderError);
    return;
  }
  seek_bar_->setRange(
      0, static_cast<int>(std::min<qint64>(player_.Duration(), std::numeric_limits<int>::max())));
  ShowTime(0, player_.Duration());
  player_.Run();
}

void PreviewPane::ButtonPauseClick() {
  if (host_.Converting() || preview_stopped_) return;
  player_.Pause();
  preview_paused_ = true;
}

void PreviewPane::ButtonStopClick() {
  if (host_.Converting()) return;
  ForgetOpening();
  player_.Stop();
  seek_bar_->Rewind();
  player_.Deactivate();
  preview_paused_ = false;
  preview_stopped_ = true;
}

void PreviewPane::ButtonVolumeClick() {
  if (host_.Converting()) return;
  speaker_menu_->popup(button_volume_->mapToGlobal(QPoint(0, 0)) - QPoint(40, 40));
}

void PreviewPane::SetVolumeLevel(int level, const char* picture) {
  if (host_.Converting()) return;
  player_.SetVolume(level);
  if (window() != nullptr) window()->update();
  button_volume_->setIcon(SpeakerPicture(picture));
}

void PreviewPane::MenuMuteClick() {
  SetVolumeLevel(kMuteVolume, "spkmute");
}
void PreviewPane::MenuHalfVolumeClick() {
  SetVolumeLevel(kHalfVolume, "spkhalf");
}
void PreviewPane::MenuFullVolumeClick() {
  SetVolumeLevel(kFullVolume, "spkfull");
}

void PreviewPane::ButtonSnapshotClick() {
  if (host_.Converting() || !player_.Active()) return;
  const QString folder_text = host_.OutputFolderText();
  if (folder_text.isEmpty()) {
    host_.ShowInformation("Please select an output folder!");
    host_.BrowseOutputFolder();
    return;
  }
  const QString folder = folder_text.trimmed();
  if (!QFileInfo(folder).isDir()) {
    host_.ShowInformation("The output folder \"" + folder_text +
                          "\"\ndoes not exist or has been deleted!\nPlease choose a new output "
                          "folder.");
    host_.BrowseOutputFolder();
    return;
  }
  // Without a picture on show (nothing decoded yet, or a file without video) there is nothing
  // to save: an older snapshot must not be saved under this file's name.
  QImage grabbed;
  if (!player_.GrabFrame(grabbed)) return;
  snapshot_image_ = grabbed;
  const QString name = QDir(folder).filePath(QFileInfo(preview_file_).fileName());
  const QString path = QString::fromStdString(UniqueFileName(name.toStdString(), ".bmp"));
  QString error;
  if (!SaveBitmap24(snapshot_image_, path, &error)) {
    host_.ShowError("Could not save the snapshot \"" + path + "\": " + error);
    return;
  }
  PlayWaveResource("Snap");
}

void PreviewPane::SelectionChanged(int row) {
  if (row < 0 || row == preview_row_) return;
  ForgetOpening();
  player_.Stop();
  preview_paused_ = false;
}

void PreviewPane::StopForAddFile() {
  ForgetOpening();
  player_.Stop();
  preview_paused_ = false;
}

void PreviewPane::DeactivateForStart() {
  ForgetOpening();
  player_.Stop();
  player_.Deactivate();
  preview_paused_ = false;
}

void PreviewPane::ClearOnClose() {
  ForgetOpening();
  player_.Clear();
  player_.Deactivate();
}
