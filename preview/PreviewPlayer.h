// The preview's playback layer: plays one media file on a video surface with sound, built on the
// FFmpeg libraries (demuxing, decoding, conversion) and Qt Multimedia's QAudioSink. Its
// operations are those the preview pane needs of a playback graph:
//   Activate / Deactivate  create an empty graph / release it with everything in it
//   Clear                  stop and remove the loaded file, keep the graph active
//   Render(path)           load a file into the active graph, apply the stored volume
//   Run, Pause, Stop       change the playback state (nothing on an inactive graph)
//   Duration, Position     in milliseconds, for the seek bar
//   Seek                   absolute positioning, within one picture, also while paused
//   SetVolume              linear level 0..10000, kept for files loaded later
//   GrabFrame              the picture shown, upright, at the video's own size, 24-bit RGB
//   StateChanged           notification of every state change
//   PlaybackFailed         the file turned out not to be decodable while playing: the graph is
//                          left active and empty, as after a failed Render
// All calls belong to the UI thread. Pictures are presented by a timer on that thread against
// the playback clock: the sound's time when the file has sound and a device exists, otherwise
// the system clock; a picture whose time has passed before it could be shown is dropped.
#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>

#include "PlaybackClock.h"
#include "PlaybackStreams.h"

class TMediaSession;
class TSoundOutput;
class TVideoSurface;

enum class TPlayerState { psInactive, psStopped, psPaused, psRunning };

struct TPlaybackPosition {
  qint64 current_ms = 0;
  qint64 duration_ms = 0;
  qint64 stop_ms = 0;  // where playback ends: the end of the media
};

class TPreviewPlayer : public QObject {
  Q_OBJECT
 public:
  // The player paints on SURFACE, which its owner keeps alive longer than the player.
  explicit TPreviewPlayer(TVideoSurface* surface, QObject* parent = nullptr);
  ~TPreviewPlayer() override;

  void Activate();
  void Deactivate();
  void Clear();
  bool Active() const { return state_ != TPlayerState::psInactive; }
  // False when the graph is inactive or the file has neither a picture nor a sound that can be
  // decoded; the graph then stays active and empty.
  bool Render(const QString& path);
  // Render with the file already opened (TMediaSession::Open with Clock(), on any thread);
  // false for a null session.
  bool Render(std::unique_ptr<TMediaSession> session);
  // The clock a session opened for this player must be given.
  const TPlaybackClock* Clock() const { return &clock_; }
  bool Run();
  bool Pause();
  bool Stop();
  qint64 Duration() const;
  TPlaybackPosition Position() const;
  void Seek(qint64 position_ms);
  void SetVolume(int level);
  int Volume() const { return volume_; }
  // Copies the picture shown into BITMAP (24-bit RGB, the video's own size, turned upright when
  // it is stored rotated). False, with BITMAP unchanged, when no picture is shown.
  bool GrabFrame(QImage& bitmap) const;
  TPlayerState State() const { return state_; }

  // For tests and the benchmark: the time of the picture shown (-1 when none), the pictures
  // shown and dropped since the last Render.
  int64_t ShownPictureUs() const { return shown_.frame ? shown_.pts_us : -1; }
  // True while the picture of the last Render or Seek has not been shown yet.
  bool PicturePending() const { return picture_pending_; }
  int64_t PicturesShown() const { return shown_count_; }
  int64_t PicturesDropped() const;
  // Packets the decoders skipped as damaged since the last Render.
  int64_t DamagedPackets() const;

 signals:
  void StateChanged(TPlayerState state);
  // REASON names the stream and the decoder's error.
  void PlaybackFailed(const QString& reason);

 private:
  // Stops the clock and the sound where they are and reports STATE (Pause and Stop).
  bool Hold(TPlayerState state);
  void SetState(TPlayerState state);
  void Unload();
  // Ends playback of a file whose stream cannot be decoded and reports why.
  void EndWithFailure();
  void PresentTick();
  void Show(TPicture&& picture);
  void FollowSound();
  void UpdatePresenter();

  QPointer<TVideoSurface> surface_;
  TPlaybackClock clock_;
  // The sound output reads the session's sound queue: it is declared after the session so
  // that it is destroyed first.
  std::unique_ptr<TMediaSession> session_;
  std::unique_ptr<TSoundOutput> sound_;
  TPicture shown_;
  bool picture_pending_ = false;  // show the next picture at once (after loading or a seek)
  bool at_end_ = false;           // running, with every picture shown and the sound played
  TPlayerState state_ = TPlayerState::psInactive;
  int volume_ = 10000;
  int64_t shown_count_ = 0;
  int64_t dropped_count_ = 0;
  QTimer presenter_;
};
