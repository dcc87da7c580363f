// The preview player and its pane, driven without a display or a sound device. Media is made
// with the ffmpeg tool during the run; pictures and bitmaps are checked against the ffmpeg
// tool's own decoding.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "MediaSession.h"
#include "PreviewPane.h"
#include "SeekBar.h"
#include "SoundOutput.h"
#include "VideoSurface.h"

namespace {

class TFakeHost : public TPreviewHost {
 public:
  bool Converting() const override { return converting; }
  int SelectedRow() const override { return selected; }
  QString RowCaption(int row) const override { return rows.value(row); }
  QString OutputFolderText() const override { return folder; }
  void ShowInformation(const QString& text) override { informations << text; }
  void ShowError(const QString& text) override { errors << text; }
  void BrowseOutputFolder() override { ++browses; }

  bool converting = false;
  int selected = -1;
  QStringList rows;
  QString folder;
  QStringList informations;
  QStringList errors;
  int browses = 0;
};

struct TRun {
  int exit_code = -1;
  QByteArray out;
  QByteArray err;
};

TRun RunTool(const QString& program, const QStringList& args) {
  QProcess process;
  process.start(program, args);
  TRun run;
  if (!process.waitForFinished(120000)) return run;
  run.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.out = process.readAllStandardOutput();
  run.err = process.readAllStandardError();
  return run;
}

// ffmpeg -y ARGS OUTPUT; fails the test with ffmpeg's message when it does not succeed.
bool MakeMedia(const QString& output, const QStringList& args) {
  const TRun run = RunTool("ffmpeg", QStringList{"-nostdin", "-y", "-hide_banner", "-v", "error"} +
                                         args + QStringList{output});
  if (run.exit_code != 0)
    qWarning("ffmpeg failed for %s: %s", qPrintable(output), run.err.constData());
  return run.exit_code == 0;
}

// The picture of VIDEO shown at SECONDS, decoded by the ffmpeg tool, as raw RGB24.
QByteArray ReferencePicture(const QString& video, double seconds) {
  const TRun run =
      RunTool("ffmpeg", {"-nostdin", "-v", "error", "-i", video, "-vf",
                         QString("trim=start=%1,setpts=PTS-STARTPTS").arg(seconds), "-frames:v",
                         "1", "-pix_fmt", "rgb24", "-f", "rawvideo", "-"});
  return run.out;
}

// Any picture file decoded by the ffmpeg tool as raw RGB24.
QByteArray DecodeWithFfmpeg(const QString& path) {
  return RunTool("ffmpeg", {"-nostdin", "-v", "error", "-i", path, "-pix_fmt", "rgb24", "-f",
                            "rawvideo", "-"})
      .out;
}

double Psnr(const QByteArray& a, const QByteArray& b) {
  if (a.size() != b.size() || a.isEmpty()) return 0;
  double sum = 0;
  for (qsizetype i = 0; i < a.size(); ++i) {
    const double d = static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]);
    sum += d * d;
  }
  const double mse = sum / static_cast<double>(a.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Presentation times of every picture of VIDEO, read by ffprobe.
QList<double> PictureTimes(const QString& video) {
  const TRun run =
      RunTool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                          "frame=best_effort_timestamp_time", "-of", "csv=p=0", video});
  QList<double> times;
  for (const QByteArray& line : run.out.split('\n'))
    if (!line.trimmed().isEmpty()) times << line.split(',').first().trimmed().toDouble();
  return times;
}

QString ProbeField(const QString& path, const QString& entries) {
  return QString::fromUtf8(RunTool("ffprobe", {"-v", "error", "-show_entries", entries, "-of",
                                               "default=nw=1:nk=1", path})
                               .out)
      .trimmed();
}

// The corners of a WIDTH x HEIGHT RGB24 picture that are red (a marked corner), in the order
// top-left, top-right, bottom-left, bottom-right, as "1" or "0" for each.
QString RedCorners(const QByteArray& rgb, int width, int height) {
  if (rgb.size() != width * height * 3) return "wrong size";
  const auto red = [&](int x, int y) {
    const char* p = rgb.constData() + (static_cast<qsizetype>(y) * width + x) * 3;
    return static_cast<uint8_t>(p[0]) > 180 && static_cast<uint8_t>(p[2]) < 80;
  };
  QString corners;
  for (const auto& [x, y] : {std::pair{4, 4}, std::pair{width - 5, 4}, std::pair{4, height - 5},
                             std::pair{width - 5, height - 5}})
    corners += red(x, y) ? '1' : '0';
  return corners;
}

// Waits until the picture of the last Render or Seek is on show.
bool WaitForPicture(TPreviewPlayer& player) {
  return QTest::qWaitFor([&] { return !player.PicturePending() && player.ShownPictureUs() >= 0; },
                         30000);
}

}  // namespace

class TestPreview : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void CommandsFollowTheStateTable();
  void EveryCommandIsIgnoredWhileConverting();
  void UnplayableFileIsReportedAndLeavesAnEmptyGraph();
  void DamagedPacketsAreSkippedAndUndecodableVideoIsReported();
  void SnapshotSavesTheShownPictureAsBitmap();
  void SnapshotChecksTheOutputFolder();
  void RotatedVideoIsShownAndSnappedUpright_data();
  void RotatedVideoIsShownAndSnappedUpright();
  void PressesReturnBeforeTheCommandRuns();
  void SeekShowsThePictureAtTheRequestedTime_data();
  void SeekShowsThePictureAtTheRequestedTime();
  void AudioOnlyFilePlaysOnTheClock();
  void SoundAfterASeekStartsAtTheTarget();
  void SeekBarFollowsThePlayerAndSeeksOnRelease();
  void VolumeLevelsAttenuateTheSamples();
  void ManyFilesAndRepeatedSeeksStayFlat();

 private:
  QTemporaryDir dir_;
  QString clip_;   // 3 s 320x240 25 fps H.264 with AAC sound, key frames every 2 s
  QString clip2_;  // 1 s MPEG-4 in AVI
};

void TestPreview::initTestCase() {
  QVERIFY(dir_.isValid());
  clip_ = dir_.filePath("clip.mp4");
  QVERIFY(MakeMedia(clip_, {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:d=3", "-f", "lavfi",
                            "-i", "sine=f=440:d=3", "-c:v", "libx264", "-g", "50", "-pix_fmt",
                            "yuv420p", "-qp", "4", "-c:a", "aac", "-shortest"}));
  clip2_ = dir_.filePath("second.avi");
  QVERIFY(MakeMedia(clip2_,
                    {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=1", "-c:v", "mpeg4"}));
}

void TestPreview::CommandsFollowTheStateTable() {
  TFakeHost host;
  host.rows = {clip_, "  " + clip2_ + " "};
  PreviewPane pane(host);
  TPreviewPlayer& player = pane.Player();

  // Pause before anything was played only sets the flag; the next Play only clears it.
  pane.ButtonPauseClick();
  QVERIFY(pane.PreviewPaused());
  host.selected = 0;
  pane.ButtonPlayClick();
  QVERIFY(!pane.PreviewPaused());
  QCOMPARE(player.State(), TPlayerState::psInactive);
  // The Play after that loads the selected row and plays.
  pane.ButtonPlayClick();
  QCOMPARE(player.State(), TPlayerState::psRunning);
  QCOMPARE(pane.PreviewFile(), clip_);
  QVERIFY(WaitForPicture(player));

  pane.ButtonPauseClick();
  QCOMPARE(player.State(), TPlayerState::psPaused);
  QVERIFY(pane.PreviewPaused());
  pane.ButtonPauseClick();
  QCOMPARE(player.State(), TPlayerState::psPaused);
  pane.ButtonPlayClick();  // resumes
  QCOMPARE(player.State(), TPlayerState::psRunning);
  QVERIFY(!pane.PreviewPaused());

  // Pause, Stop, Pause: the second Pause is ignored until Play.
  pane.ButtonPauseClick();
  pane.ButtonStopClick();
  QCOMPARE(player.State(), TPlayerState::psInactive);
  QVERIFY(pane.PreviewStopped());
  QVERIFY(!pane.PreviewPaused());
  pane.ButtonPauseClick();
  QVERIFY(!pane.PreviewPaused());
  QCOMPARE(player.State(), TPlayerState::psInactive);
  pane.ButtonPlayClick();
  QCOMPARE(player.State(), TPlayerState::psRunning);
  QVERIFY(!pane.PreviewStopped());

  // Selecting the loaded row changes nothing; another row stops, and Play loads it (trimmed).
  pane.SelectionChanged(0);
  QCOMPARE(player.State(), TPlayerState::psRunning);
  host.selected = 1;
  pane.SelectionChanged(1);
  QCOMPARE(player.State(), TPlayerState::psStopped);
  pane.ButtonPlayClick();
  QCOMPARE(player.State(), TPlayerState::psRunning);
  QCOMPARE(pane.PreviewRow(), 1);
  QCOMPARE(pane.PreviewFile(), clip2_);

  // Stopped with a graph: Pause pauses at the stopped position.
  pane.StopForAddFile();
  QCOMPARE(player.State(), TPlayerState::psStopped);
  pane.ButtonPauseClick();
  QCOMPARE(player.State(), TPlayerState::psPaused);

  // Play with no selection (and not paused) only stops.
  pane.ButtonPlayClick();  // resumes from the pause
  host.selected = -1;
  pane.ButtonPlayClick();
  QCOMPARE(player.State(), TPlayerState::psStopped);
  QCOMPARE(pane.PreviewRow(), 1);

  // A short file played to its end stays running, at the end.
  host.selected = 1;
  pane.ButtonPlayClick();
  QVERIFY(QTest::qWaitFor([&] { return player.Position().current_ms >= 1000; }, 30000));
  QTest::qWait(200);
  QCOMPARE(player.State(), TPlayerState::psRunning);
  QCOMPARE(player.Position().current_ms, player.Duration());

  pane.DeactivateForStart();
  QCOMPARE(player.State(), TPlayerState::psInactive);
  pane.ButtonPlayClick();
  pane.ClearOnClose();
  QCOMPARE(player.State(), TPlayerState::psInactive);
  QVERIFY(host.errors.isEmpty());
}

void TestPreview::EveryCommandIsIgnoredWhileConverting() {
  TFakeHost host;
  host.rows = {clip_};
  host.selected = 0;
  host.folder = dir_.path();
  PreviewPane pane(host);
  pane.ButtonPlayClick();
  QCOMPARE(pane.Player().State(), TPlayerState::psRunning);

  host.converting = true;
  pane.ButtonPauseClick();
  pane.ButtonStopClick();
  pane.ButtonPlayClick();
  pane.ButtonSnapshotClick();
  pane.MenuMuteClick();
  pane.ButtonVolumeClick();
  QCOMPARE(pane.Player().State(), TPlayerState::psRunning);
  QVERIFY(!pane.PreviewPaused());
  QVERIFY(!pane.PreviewStopped());
  QCOMPARE(pane.Player().Volume(), 10000);
  QVERIFY(!pane.PopupMenuSpeaker().isVisible());
  QVERIFY(!QFileInfo::exists(dir_.filePath("clip.bmp")));
  QVERIFY(host.informations.isEmpty() && host.errors.isEmpty());

  // Starting a conversion stops and releases the player.
  pane.DeactivateForStart();
  QCOMPARE(pane.Player().State(), TPlayerState::psInactive);
}

void TestPreview::UnplayableFileIsReportedAndLeavesAnEmptyGraph() {
  TFakeHost host;
  const QString text = dir_.filePath("notes.avi");
  QFile file(text);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write("not a video at all\n");
  file.close();
  host.rows = {text, dir_.filePath("missing.mp4")};
  PreviewPane pane(host);
  for (int row : {0, 1}) {
    host.selected = row;
    pane.ButtonPlayClick();
    QCOMPARE(host.errors.size(), row + 1);
    QCOMPARE(host.errors.last(), QString("No Video Codec To Play This File!"));
    QCOMPARE(pane.Player().State(), TPlayerState::psStopped);  // active and empty
    QCOMPARE(pane.PreviewFile(), host.rows[row]);
    QCOMPARE(pane.Player().Duration(), 0);
  }
}

void TestPreview::DamagedPacketsAreSkippedAndUndecodableVideoIsReported() {
  const QStringList source =
      QString("-f lavfi -i testsrc=size=160x120:rate=25:d=2 -c:v mpeg4 -g 25 -bsf:v").split(' ');
  // Two packets overwritten with noise: the decoder fails on them and recovers.
  const QString damaged = dir_.filePath("damaged.avi");
  const QString two_packets = "noise=amount=if(eq(n\\,20)+eq(n\\,35)\\,1\\,0)";
  QVERIFY(MakeMedia(damaged, source + QStringList{two_packets}));
  // Every packet overwritten: the file opens, but no picture can be decoded.
  const QString garbage = dir_.filePath("garbage.avi");
  QVERIFY(MakeMedia(garbage, source + QStringList{"noise=amount=1"}));
  const QList<double> times = PictureTimes(damaged);
  QVERIFY(times.size() >= 40);

  TFakeHost host;
  host.rows = {damaged, garbage};
  host.selected = 0;
  PreviewPane pane(host);
  TPreviewPlayer& player = pane.Player();
  pane.ButtonPlayClick();
  const int64_t last_us = std::llround(times.last() * 1e6);
  QVERIFY2(QTest::qWaitFor([&] { return player.ShownPictureUs() == last_us; }, 30000),
           qPrintable(QString("stopped at %1 us").arg(player.ShownPictureUs())));
  QVERIFY(player.DamagedPackets() >= 2);
  QCOMPARE(player.State(), TPlayerState::psRunning);
  QVERIFY(host.errors.isEmpty());

  host.selected = 1;
  pane.SelectionChanged(1);
  pane.ButtonPlayClick();
  QVERIFY(QTest::qWaitFor([&] { return !host.errors.isEmpty(); }, 30000));
  QCOMPARE(host.errors.size(), 1);
  QVERIFY2(host.errors[0].startsWith("No Video Codec To Play This File!\nThe video of this file "
                                     "cannot be decoded (mpeg4): "),
           qPrintable(host.errors[0]));
  QCOMPARE(player.State(), TPlayerState::psStopped);  // active and empty, as after Render
  QCOMPARE(player.Duration(), 0);
  QCOMPARE(pane.PreviewFile(), garbage);
}

void TestPreview::SnapshotSavesTheShownPictureAsBitmap() {
  TFakeHost host;
  QTemporaryDir out;
  host.rows = {clip_};
  host.selected = 0;
  host.folder = out.path();
  PreviewPane pane(host);
  pane.ButtonPlayClick();
  pane.ButtonPauseClick();
  pane.Player().Seek(1000);
  QVERIFY(WaitForPicture(pane.Player()));
  QCOMPARE(pane.Player().ShownPictureUs(), 1000000);

  pane.ButtonSnapshotClick();
  pane.ButtonSnapshotClick();
  QVERIFY(host.errors.isEmpty() && host.informations.isEmpty());
  const QString first = out.filePath("clip.bmp");
  const QString second = out.filePath("clip-1.bmp");
  QVERIFY(QFileInfo::exists(first));
  QVERIFY(QFileInfo::exists(second));

  // An independent reader sees a 24-bit bitmap of the video's own size.
  QCOMPARE(ProbeField(first, "stream=codec_name,pix_fmt,width,height").split('\n'),
           QStringList({"bmp", "320", "240", "bgr24"}));
  const QByteArray reference = ReferencePicture(clip_, 1.0);
  QCOMPARE(reference.size(), 320 * 240 * 3);
  const double psnr = Psnr(DecodeWithFfmpeg(first), reference);
  QVERIFY2(psnr > 40.0, qPrintable(QString("PSNR %1 dB").arg(psnr)));
  QCOMPARE(DecodeWithFfmpeg(second), DecodeWithFfmpeg(first));

  // The snapshot sound is compiled into the program (it returned at once: no sound device).
  QFile snap(":/sounds/SNAP.wav");
  QVERIFY(snap.open(QIODevice::ReadOnly));
  QVERIFY(snap.read(12).startsWith("RIFF"));
}

void TestPreview::SnapshotChecksTheOutputFolder() {
  TFakeHost host;
  host.rows = {clip_};
  host.selected = 0;
  PreviewPane pane(host);
  pane.ButtonSnapshotClick();  // nothing loaded: ignored
  QCOMPARE(host.browses, 0);
  pane.ButtonPlayClick();
  QVERIFY(WaitForPicture(pane.Player()));

  pane.ButtonSnapshotClick();
  QCOMPARE(host.informations, QStringList{"Please select an output folder!"});
  QCOMPARE(host.browses, 1);

  host.folder = dir_.filePath("gone");
  pane.ButtonSnapshotClick();
  QCOMPARE(host.informations.last(),
           "The output folder \"" + host.folder +
               "\"\ndoes not exist or has been deleted!\nPlease choose a new output folder.");
  QCOMPARE(host.browses, 2);
  QVERIFY(!QFileInfo::exists(host.folder));

  // A folder that cannot be written: an error, not a silent success.
  QTemporaryDir out;
  QFile::setPermissions(out.path(), QFile::ReadOwner | QFile::ExeOwner);
  host.folder = out.path();
  pane.ButtonSnapshotClick();
  QFile::setPermissions(out.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  if (!QFileInfo::exists(out.filePath("clip.bmp")))  // root may write anyway
    QCOMPARE(host.errors.size(), 1);
}

void TestPreview::RotatedVideoIsShownAndSnappedUpright_data() {
  QTest::addColumn<QString>("rotate");
  QTest::addColumn<QSize>("size");
  // Where the stored picture's red top-left corner is shown (as the ffmpeg tool shows it).
  QTest::addColumn<QString>("corners");
  // Upright widths that are no multiple of 16 (180, 184) have caught the picture converter
  // leaving the last columns unwritten and writing past the end of the picture.
  QTest::newRow("90") << "90" << QSize(180, 320) << "0010";
  QTest::newRow("180") << "180" << QSize(320, 180) << "0001";
  QTest::newRow("270") << "270" << QSize(184, 320) << "0100";
}

// A phone's portrait clip stores landscape pictures with a display matrix: the pane and its
// snapshot show the picture turned, as the file list's size and the converted files do.
void TestPreview::RotatedVideoIsShownAndSnappedUpright() {
  QFETCH(QString, rotate);
  QFETCH(QSize, size);
  QFETCH(QString, corners);
  const QSize stored = rotate == "180" ? size : size.transposed();
  const QString marked = dir_.filePath(QString("marked%1.mp4").arg(stored.height()));
  if (!QFileInfo::exists(marked))
    QVERIFY(MakeMedia(
        marked,
        {"-f", "lavfi", "-i",
         QString("color=c=blue:size=%1x%2:rate=25:d=1").arg(stored.width()).arg(stored.height()),
         "-vf", "drawbox=x=0:y=0:w=60:h=60:color=red:t=fill", "-c:v", "libx264", "-pix_fmt",
         "yuv420p"}));
  const QString video = dir_.filePath("rotated" + rotate + ".mp4");
  QVERIFY(MakeMedia(video, {"-i", marked, "-c", "copy", "-metadata:s:v:0", "rotate=" + rotate}));

  TFakeHost host;
  QTemporaryDir out;
  host.rows = {video};
  host.selected = 0;
  host.folder = out.path();
  PreviewPane pane(host);
  pane.resize(400, 400);
  pane.ButtonPlayClick();
  pane.ButtonPauseClick();
  QVERIFY(WaitForPicture(pane.Player()));

  // On the surface: the aspect ratio of the upright picture, the mark in its corner.
  const auto* surface = pane.findChild<TVideoSurface*>();
  QVERIFY(surface);
  const QImage shown = surface->Picture().convertToFormat(QImage::Format_RGB888);
  QVERIFY2(std::abs(shown.width() * size.height() - shown.height() * size.width()) <=
               2 * std::max(size.width(), size.height()),
           qPrintable(QString("%1x%2").arg(shown.width()).arg(shown.height())));
  QByteArray shown_rgb;
  for (int y = 0; y < shown.height(); ++y)
    shown_rgb.append(reinterpret_cast<const char*>(shown.constScanLine(y)), shown.width() * 3);
  QCOMPARE(RedCorners(shown_rgb, shown.width(), shown.height()), corners);

  // The snapshot, read by the ffmpeg tool: upright at the video's own size, and the picture
  // the ffmpeg tool itself shows for the source.
  pane.ButtonSnapshotClick();
  QVERIFY(host.errors.isEmpty());
  const QString bitmap = out.filePath("rotated" + rotate + ".bmp");
  QCOMPARE(ProbeField(bitmap, "stream=width,height").split('\n'),
           QStringList({QString::number(size.width()), QString::number(size.height())}));
  const QByteArray snapshot = DecodeWithFfmpeg(bitmap);
  QCOMPARE(RedCorners(snapshot, size.width(), size.height()), corners);
  const double psnr = Psnr(snapshot, ReferencePicture(video, 0.0));
  QVERIFY2(psnr > 35.0, qPrintable(QString("PSNR %1 dB").arg(psnr)));
}

// A press of a button or a menu entry returns before its command runs, so a command that waits
// (Play opening a file) or ends in a message box never holds up the caller, a screen reader's
// press for one.
void TestPreview::PressesReturnBeforeTheCommandRuns() {
  const QString text = dir_.filePath("unplayable.avi");
  QFile file(text);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write("not a video at all\n");
  file.close();
  TFakeHost host;
  host.rows = {text, clip_};
  host.selected = 0;
  PreviewPane pane(host);

  pane.Button(0)->click();
  QVERIFY(host.errors.isEmpty());
  QTRY_COMPARE(host.errors, QStringList{"No Video Codec To Play This File!"});

  host.selected = 1;
  pane.Button(0)->click();
  QCOMPARE(pane.Player().State(), TPlayerState::psStopped);
  QTRY_COMPARE(pane.Player().State(), TPlayerState::psRunning);
  pane.Button(1)->click();
  QVERIFY(!pane.PreviewPaused());
  QTRY_VERIFY(pane.PreviewPaused());
  // Snapshot without an output folder: the notice and the folder browser come after the press.
  pane.Button(4)->click();
  QVERIFY(host.informations.isEmpty() && host.browses == 0);
  QTRY_COMPARE(host.browses, 1);
  QCOMPARE(host.informations, QStringList{"Please select an output folder!"});
  pane.Button(2)->click();
  QVERIFY(!pane.PreviewStopped());
  QTRY_VERIFY(pane.PreviewStopped());

  QAction* mute = pane.PopupMenuSpeaker().actions().value(0);
  QVERIFY(mute);
  mute->trigger();
  QCOMPARE(pane.Player().Volume(), 10000);
  QTRY_COMPARE(pane.Player().Volume(), 10);
}

void TestPreview::SeekShowsThePictureAtTheRequestedTime_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QStringList>("args");
  // Constant rate, with seeks that need decoding forward from a key frame two seconds back.
  QTest::newRow("constant rate") << "cfr.mp4"
                                 << QStringList{
                                        "-f",   "lavfi",   "-i", "testsrc=size=160x120:rate=25:d=4",
                                        "-c:v", "libx264", "-g", "50"};
  // Variable rate: 25 pictures per second for a second, then 7, then 30.
  QTest::newRow("variable rate")
      << "vfr.mkv"
      << QStringList{"-f",
                     "lavfi",
                     "-i",
                     "testsrc=size=160x120:rate=25:d=4",
                     "-vf",
                     "setpts='(if(lt(N,25),N/25,if(lt(N,40),1+(N-25)/7,1+15/7+(N-40)/30)))/TB'",
                     "-fps_mode",
                     "passthrough",
                     "-c:v",
                     "libx264",
                     "-g",
                     "30"};
}

void TestPreview::SeekShowsThePictureAtTheRequestedTime() {
  QFETCH(QString, name);
  QFETCH(QStringList, args);
  const QString video = dir_.filePath(name);
  QVERIFY(MakeMedia(video, args));
  const QList<double> times = PictureTimes(video);
  QVERIFY(times.size() > 40);

  TFakeHost host;
  host.rows = {video};
  host.selected = 0;
  PreviewPane pane(host);
  TPreviewPlayer& player = pane.Player();
  pane.ButtonPlayClick();
  pane.ButtonPauseClick();
  for (int target_ms : {1730, 413, 2950, 1000, 2290, 90, 2990}) {
    double expected = times.first();
    for (double t : times)
      if (t <= target_ms / 1000.0 + 1e-9) expected = std::max(expected, t);
    player.Seek(target_ms);
    QVERIFY(WaitForPicture(player));
    QCOMPARE(player.State(), TPlayerState::psPaused);
    QVERIFY2(std::llabs(player.ShownPictureUs() - std::llround(expected * 1e6)) <= 1000,
             qPrintable(QString("seek to %1 ms showed %2 us, expected %3 s")
                            .arg(target_ms)
                            .arg(player.ShownPictureUs())
                            .arg(expected)));
    QCOMPARE(player.Position().current_ms, target_ms);
  }
}

void TestPreview::AudioOnlyFilePlaysOnTheClock() {
  // Sound with a cover picture, which is not a video to play.
  const QString sound = dir_.filePath("tone-with-cover.m4a");
  QVERIFY(MakeMedia(sound, {"-f",
                            "lavfi",
                            "-i",
                            "sine=f=440:d=3",
                            "-f",
                            "lavfi",
                            "-i",
                            "testsrc=size=64x64:d=0.04",
                            "-map",
                            "0",
                            "-map",
                            "1",
                            "-frames:v",
                            "1",
                            "-c:v",
                            "png",
                            "-disposition:v",
                            "attached_pic",
                            "-c:a",
                            "aac"}));
  TFakeHost host;
  QTemporaryDir out;
  host.rows = {sound};
  host.selected = 0;
  host.folder = out.path();
  PreviewPane pane(host);
  TPreviewPlayer& player = pane.Player();
  QElapsedTimer wall;
  wall.start();
  pane.ButtonPlayClick();
  QVERIFY(host.errors.isEmpty());
  QVERIFY(std::llabs(player.Duration() - 3000) <= 50);
  QTest::qWait(400);
  const qint64 played = player.Position().current_ms;
  QVERIFY2(played >= 100 && played <= wall.elapsed(), qPrintable(QString::number(played)));
  player.Seek(2000);
  const qint64 after_seek = player.Position().current_ms;
  QVERIFY2(after_seek >= 2000 && after_seek <= 2200, qPrintable(QString::number(after_seek)));

  // The pane stays black and a snapshot has no picture to save.
  QCOMPARE(player.ShownPictureUs(), -1);
  pane.ButtonSnapshotClick();
  QVERIFY(QDir(out.path()).isEmpty());
  QVERIFY(QTest::qWaitFor([&] { return player.Position().current_ms == 3000; }, 30000));
}

// The sound path without a device: decoding, conversion to the device's rate and the cut at a
// seek target, read straight from the session's sound queue.
void TestPreview::SoundAfterASeekStartsAtTheTarget() {
  const QString sound = dir_.filePath("tone.mp3");
  QVERIFY(MakeMedia(sound, {"-f", "lavfi", "-i", "sine=f=440:d=3:sample_rate=44100", "-ac", "1",
                            "-c:a", "libmp3lame"}));
  TPlaybackClock clock;
  std::unique_ptr<TMediaSession> session = TMediaSession::Open(sound.toStdString(), &clock);
  QVERIFY(session);
  QCOMPARE(session->StreamSound().channels, 1);
  QVERIFY(session->ConfigureSound({48000, 2}));
  session->SeekTo(1250000);
  std::vector<char> buffer(4096);
  int64_t first_end_us = -1;
  int64_t end_us = -1;
  size_t total = 0;
  QVERIFY(QTest::qWaitFor(
      [&] {
        const size_t got = session->Samples()->Read(buffer.data(), buffer.size(), &end_us);
        if (got > 0 && first_end_us < 0) first_end_us = end_us - got * 1000000 / (48000 * 4);
        total += got;
        return session->Samples()->Drained();
      },
      10000));
  QVERIFY2(std::llabs(first_end_us - 1250000) <= 1000, qPrintable(QString::number(first_end_us)));
  // 1.75 s of stereo 16-bit sound at 48 kHz, within 30 ms (the coder's padding).
  const double seconds = static_cast<double>(total) / (48000 * 4);
  QVERIFY2(std::fabs(seconds - 1.75) < 0.03, qPrintable(QString::number(seconds)));
}

void TestPreview::SeekBarFollowsThePlayerAndSeeksOnRelease() {
  TFakeHost host;
  host.rows = {clip_};
  host.selected = 0;
  PreviewPane pane(host);
  TSeekBar& bar = pane.SeekBar();
  pane.SeekBar().SeekToThumb();  // maximum 0: nothing happens
  pane.ButtonPlayClick();
  QCOMPARE(bar.maximum(), 3000);  // the duration in milliseconds until the first tick
  QVERIFY(bar.TimerRunning());
  QVERIFY(QTest::qWaitFor([&] { return bar.maximum() == 3; }, 30000));  // rescaled to seconds

  // While the thumb is held the timer leaves it alone; the release seeks to it.
  QTest::mousePress(&bar, Qt::LeftButton, {}, QPoint(1, bar.height() / 2));
  QVERIFY(bar.ThumbHeld());
  bar.setValue(2);
  bar.TimerTick();
  QCOMPARE(bar.value(), 2);
  QTest::mouseRelease(&bar, Qt::LeftButton, {}, QPoint(1, bar.height() / 2));
  QVERIFY(!bar.ThumbHeld());
  const qint64 position = pane.Player().Position().current_ms;
  QVERIFY2(position >= 2000 && position < 2200, qPrintable(QString::number(position)));

  pane.ButtonPauseClick();
  QVERIFY(!bar.TimerRunning());
}

void TestPreview::VolumeLevelsAttenuateTheSamples() {
  QCOMPARE(VolumeAttenuation(10000), 0);
  QCOMPARE(VolumeAttenuation(6000), -554);
  QCOMPARE(VolumeAttenuation(10), -7397);
  int16_t samples[] = {10000, -10000, 32767};
  ApplyGain(samples, 3, VolumeGain(6000));  // -5.54 dB
  QCOMPARE(samples[0], int16_t(5284));
  QCOMPARE(samples[1], int16_t(-5284));
  ApplyGain(samples, 3, VolumeGain(10));  // about -74 dB: faint, not silent
  QCOMPARE(samples[2], int16_t(3));

  TFakeHost host;
  PreviewPane pane(host);
  pane.MenuMuteClick();
  QCOMPARE(pane.Player().Volume(), 10);
  pane.MenuHalfVolumeClick();
  QCOMPARE(pane.Player().Volume(), 6000);
  pane.MenuFullVolumeClick();  // asks for 20000, held at the maximum
  QCOMPARE(pane.Player().Volume(), 10000);
}

void TestPreview::ManyFilesAndRepeatedSeeksStayFlat() {
  struct TKind {
    const char* name;
    QStringList codec;
  };
  const TKind kinds[] = {
      {"a.mp4", {"-c:v", "libx264", "-c:a", "aac"}},
      {"b.avi", {"-c:v", "mpeg4", "-c:a", "libmp3lame"}},
      {"c.mkv", {"-c:v", "libx264", "-c:a", "libvorbis"}},
      {"d.mpg", {"-c:v", "mpeg1video", "-c:a", "mp2"}},
      {"e.webm", {"-c:v", "libvpx", "-c:a", "libopus"}},
      {"f.mov", {"-c:v", "mpeg4", "-c:a", "pcm_s16le"}},
      {"g.wmv", {"-c:v", "wmv2", "-c:a", "wmav2"}},
      {"h.flv", {"-c:v", "flv1", "-c:a", "libmp3lame"}},
      {"i.ogv", {"-c:v", "libtheora", "-c:a", "libvorbis"}},
      {"j.3gp", {"-c:v", "h263", "-s", "176x144", "-c:a", "aac", "-ar", "8000", "-ac", "1"}},
  };
  TFakeHost host;
  for (const TKind& kind : kinds) {
    const QString path = dir_.filePath(kind.name);
    QVERIFY(MakeMedia(path, QStringList{"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=1",
                                        "-f", "lavfi", "-i", "sine=d=1", "-shortest"} +
                                kind.codec));
    host.rows << path;
  }
  PreviewPane pane(host);
  TPreviewPlayer& player = pane.Player();
  for (int row = 0; row < host.rows.size(); ++row) {
    host.selected = row;
    pane.SelectionChanged(row);
    pane.ButtonPlayClick();
    QVERIFY2(WaitForPicture(player), qPrintable(host.rows[row]));
    QTest::qWait(100);
  }
  QVERIFY(host.errors.isEmpty());

  host.selected = 0;
  auto resident_kb = [] {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) return 0LL;
    for (const QByteArray& line : status.readAll().split('\n'))
      if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLongLong();
    return 0LL;
  };
  long long after_warm_up = 0;
  for (int i = 0; i < 50; ++i) {
    pane.ButtonPlayClick();
    player.Seek((i * 37) % 1000);
    QVERIFY(WaitForPicture(player));
    pane.ButtonStopClick();
    if (i == 9) after_warm_up = resident_kb();
  }
  const long long growth_kb = resident_kb() - after_warm_up;
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer holds freed memory in quarantine, so the resident size says nothing here;
  // LeakSanitizer checks for leaks at exit instead.
  Q_UNUSED(growth_kb);
#else
  QVERIFY2(growth_kb < 20 * 1024, qPrintable(QString("grew by %1 KiB").arg(growth_kb)));
#endif
}

QTEST_MAIN(TestPreview)
#include "test_preview.moc"
