// The desktop program's main window, driven as a user would drive it, on the offscreen
// platform. Message boxes, the open dialog and the folder browser are answered by
// TScriptedDialogs. Media is made with the ffmpeg tool during the run and outputs are read
// back with ffprobe. Settings live in a temporary folder, never in the user's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QThread>
#include <QToolButton>
#include <QToolTip>
#include <QtTest>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

#include "KeptList.h"
#include "MainWindow.h"
#include "OptionsDialog.h"
#include "PreviewPane.h"
#include "SizeEstimate.h"
#include "UserDialogs.h"

// QtTest's waits give up after 5 s by default; on a loaded machine (a sanitizer build beside
// other work) a probe or a run that takes a fraction of a second when idle can take longer.
#undef QTRY_VERIFY
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT(expr, 60000)
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected) QTRY_COMPARE_WITH_TIMEOUT(expr, expected, 60000)

namespace {

class TScriptedDialogs : public TUserDialogs {
 public:
  void Information(QWidget*, const QString& text) override { informations << text; }
  void Error(QWidget*, const QString& text) override { errors << text; }
  bool Confirm(QWidget*, const QString& text) override {
    questions << text;
    if (on_confirm) on_confirm();
    if (answers.empty()) return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
  QStringList OpenFiles(QWidget*, const QString& filter) override {
    last_filter = filter;
    ++open_calls;
    return files_to_open;
  }
  QString BrowseForFolder(QWidget*, const QString&, const QString&) override {
    ++browse_calls;
    return folder_to_choose;
  }
  void OpenUrl(const QUrl& url) override { urls << url; }
  void Notify(const QString& title, const QString& text) override {
    notifications << title + "\n" + text;
  }

  QStringList informations, errors, questions;
  std::deque<bool> answers;
  std::function<void()> on_confirm;
  QStringList files_to_open;
  QString last_filter;
  int open_calls = 0;
  QString folder_to_choose;
  int browse_calls = 0;
  QList<QUrl> urls;
  QStringList notifications;
};

bool RunTool(const QStringList& args, QString* out = nullptr) {
  QProcess process;
  process.start(args.first(), args.mid(1));
  if (!process.waitForFinished(120000)) return false;
  if (out != nullptr) *out = QString::fromUtf8(process.readAllStandardOutput());
  return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool MakeMedia(const QString& path, const QStringList& args) {
  return RunTool(QStringList{"ffmpeg", "-nostdin", "-y", "-v", "error"} + args + QStringList{path});
}

bool MakeClip(const QString& path, double seconds = 1.0) {
  const QString d = QString::number(seconds);
  return MakeMedia(path,
                   {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=" + d, "-f", "lavfi", "-i",
                    "sine=frequency=440:d=" + d, "-c:v", "mpeg4", "-c:a", "aac", "-shortest"});
}

// "codec_type,codec_name,width,height" of every stream, one line each.
QStringList ProbeStreams(const QString& path) {
  QString out;
  RunTool({"ffprobe", "-v", "error", "-show_entries", "stream=codec_type,codec_name,width,height",
           "-of", "csv=p=0", path},
          &out);
  return out.split('\n', Qt::SkipEmptyParts);
}

// "width,height,display_aspect_ratio" of the first video stream.
QString ProbeShape(const QString& path) {
  QString out;
  RunTool({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
           "stream=width,height,display_aspect_ratio", "-of", "csv=p=0", path},
          &out);
  return out.trimmed();
}

// How many descriptors of this process are open on PATH.
int OpenDescriptorsOn(const QString& path) {
  const QString wanted = QFileInfo(path).canonicalFilePath();
  int count = 0;
  for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files)) {
    if (fd.symLinkTarget() == wanted) ++count;
  }
  return count;
}

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> settings_dir_;
  QTemporaryDir media_;
  TScriptedDialogs dialogs_;

  QString Media(const QString& name) const { return media_.filePath(name); }

  std::unique_ptr<TForm1> NewWindow() {
    auto window = std::make_unique<TForm1>(dialogs_);
    window->show();
    return window;
  }

  std::unique_ptr<TForm1> WindowWithRows(const QStringList& files, const QString& out_folder) {
    auto window = NewWindow();
    dialogs_.files_to_open = files;
    window->ButtonAddFileClick();
    // The files are probed on another thread; the rows are in once adding has ended.
    if (!QTest::qWaitFor([&window] { return !window->AddingFiles(); }, 60000)) {
      qWarning("the files are still being added");
    }
    window->SetOutputFolder(out_folder);
    return window;
  }

  static QString Cell(TForm1& w, int row, TFileColumn column) {
    return w.FileList().Text(row, column);
  }

  // The end message, with the rows' counts after it when a row did not end "Done".
  void WaitForEnd(TForm1& w, int timeout_ms = 120000) {
    QTRY_VERIFY_WITH_TIMEOUT(
        !dialogs_.informations.filter(QRegularExpression("^All Conversions Completed")).isEmpty(),
        timeout_ms);
    QVERIFY(!w.Queue().RunActive());
  }

 private slots:
  void initTestCase() {
    QVERIFY(media_.isValid());
    QVERIFY(MakeClip(Media("clip.mp4")));
    QVERIFY(MakeClip(Media("clip2.mp4")));
    QVERIFY(MakeClip(Media("long.mp4"), 8));
    QVERIFY(MakeMedia(Media("tone.mp3"), {"-f", "lavfi", "-i", "sine=d=1", "-c:a", "libmp3lame"}));
    QVERIFY(MakeMedia(Media("raw.m4v"), {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=1",
                                         "-c:v", "mpeg4", "-f", "m4v"}));
    QFile text(Media("notes.avi"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("this is not a video\n");
  }

  void init() {
    // Every case starts as a first run, with its own settings folder.
    settings_dir_ = std::make_unique<QTemporaryDir>();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings_dir_->path());
    // The kept file list too: each case starts with none.
    qputenv("XDG_DATA_HOME", QFile::encodeName(settings_dir_->filePath("data")));
    dialogs_ = TScriptedDialogs();
  }

  // Start-up defaults, the values a first run stores, and stored values read back at the next
  // start; a value of the wrong type ends the reading and everything is written again.
  void settingsFirstRunAndRestore() {
    QString folder;
    {
      auto w = NewWindow();
      QCOMPARE(w->ComboVideoQuality->currentText(), QString("Normal"));
      QCOMPARE(w->ComboAudioQuality->currentText(), QString("Normal"));
      QCOMPARE(w->LabelVolume->text(), QString("100%"));
      QCOMPARE(w->Settings().ComboAspectRatio.Text(), std::string("Original"));
      QCOMPARE(w->Settings().ComboLetterBox.Text(), std::string("None"));
      QCOMPARE(w->ComboOutputFormat->currentText(), QString("iPod (*.mp4)"));
      QCOMPARE(w->StatusPanels[0]->text(), QString("Ready"));

      QSettings store(kSettingsOrganisation, kSettingsApplication);
      QCOMPARE(store.value("Output Folder").toString(), DefaultOutputFolder());
      QCOMPARE(store.value("ComboOutputFormat").toInt(), 0);
      QCOMPARE(store.value("Overwrite").toInt(), 0);
      QCOMPARE(store.value("DropDownItems").toInt(), 26);
      QCOMPARE(store.value("LetterBox").toInt(), 0);
      QCOMPARE(store.value("VideoQuality").toInt(), 2);
      QCOMPARE(store.value("AudioQuality").toInt(), 2);

      // Change what is stored, then close the window with its close box.
      dialogs_.folder_to_choose = media_.path();
      w->ButtonBrowseForFolderClick();
      folder = w->EditOutputFolder->text();
      QCOMPARE(folder, media_.path());
      w->ComboOutputFormat->setCurrentIndex(19);
      w->ComboVideoQuality->setCurrentIndex(0);
      w->OptionsDialog().CheckBoxOverWrite->setChecked(true);
      w->OptionsDialog().SpinEdit1->setValue(40);
      w->OptionsDialog().ComboLetterBox->setCurrentIndex(1);
      QVERIFY(w->close());
    }
    {
      auto w = NewWindow();
      QCOMPARE(w->EditOutputFolder->text(), folder);
      QCOMPARE(w->ComboOutputFormat->currentText(), QString("MPEG-2 Movie (*.mpg)"));
      QCOMPARE(w->Settings().OutputExtension, std::string("MPG"));
      QCOMPARE(w->ComboVideoQuality->currentText(), QString("Highest"));
      // The show handler applied the stored quality: MPEG-2's highest video bit rate.
      QCOMPARE(w->Settings().ComboVideoBitrate.Text(), std::string("2000 Kbps"));
      QVERIFY(w->OptionsDialog().CheckBoxOverWrite->isChecked());
      QCOMPARE(w->OptionsDialog().SpinEdit1->value(), 40);
      QCOMPARE(w->OptionsDialog().ComboLetterBox->currentText(), QString("LetterBox"));
      QCOMPARE(w->ComboOutputFormat->maxVisibleItems(), 40);
      // Exit (File > Exit, Ctrl+Q) keeps changed settings as the close box does.
      bool exited = false;
      w->OnExit = [&exited] { exited = true; };
      w->ComboVideoQuality->setCurrentIndex(4);
      w->ExitClick();
      QVERIFY(exited);
    }
    {
      QSettings store(kSettingsOrganisation, kSettingsApplication);
      QCOMPARE(store.value("VideoQuality").toInt(), 4);
      store.setValue("Overwrite", "yes");
      store.setValue("DropDownItems", 100);
    }
    {
      auto w = NewWindow();
      // Read up to the wrong value: folder and format; the rest keeps the start-up state.
      QCOMPARE(w->ComboOutputFormat->currentText(), QString("MPEG-2 Movie (*.mpg)"));
      QVERIFY(!w->OptionsDialog().CheckBoxOverWrite->isChecked());
      QCOMPARE(w->ComboVideoQuality->currentText(), QString("Normal"));
      QSettings store(kSettingsOrganisation, kSettingsApplication);
      QCOMPARE(store.value("Overwrite").toInt(), 0);
      QCOMPARE(store.value("VideoQuality").toInt(), 2);
      QCOMPARE(store.value("ComboOutputFormat").toInt(), 19);
    }
    {
      // A stored count beyond the range is clamped by the number field.
      QSettings store(kSettingsOrganisation, kSettingsApplication);
      store.setValue("DropDownItems", 100);
    }
    auto w = NewWindow();
    QCOMPARE(w->OptionsDialog().SpinEdit1->value(), 47);
  }

  // A stored format index beyond the list or on a separator keeps the default format: a list
  // without a format (or "iPod" without an extension) would fail every row.
  void storedFormatOutOfRange() {
    for (const int stored : {999, 4, 21, 27}) {
      {
        QSettings store(kSettingsOrganisation, kSettingsApplication);
        store.setValue("ComboOutputFormat", stored);
      }
      auto w = NewWindow();
      QCOMPARE(w->ComboOutputFormat->currentText(), QString("iPod (*.mp4)"));
      QCOMPARE(w->Settings().OutputExtension, std::string("MP4"));
    }
  }

  // A stored list index that names no item (a damaged or hand-edited store) keeps the list's
  // default item: the lists show a choice and the store gets valid indexes back.
  void storedListIndexesOutOfRange() {
    {
      QSettings store(kSettingsOrganisation, kSettingsApplication);
      store.setValue("ComboOutputFormat", 0);
      store.setValue("Overwrite", 0);
      store.setValue("DropDownItems", 26);
      store.setValue("LetterBox", 7);
      store.setValue("VideoQuality", 9);
      store.setValue("AudioQuality", 5);
    }
    {
      auto w = NewWindow();
      QCOMPARE(w->ComboVideoQuality->currentText(), QString("Normal"));
      QCOMPARE(w->ComboAudioQuality->currentText(), QString("Normal"));
      QCOMPARE(w->OptionsDialog().ComboLetterBox->currentText(), QString("None"));
      QCOMPARE(w->Settings().ComboLetterBox.Text(), std::string("None"));
      QVERIFY(!w->Settings().ComboVideoBitrate.Text().empty());
      QVERIFY(w->close());
    }
    QSettings store(kSettingsOrganisation, kSettingsApplication);
    QCOMPARE(store.value("LetterBox").toInt(), 0);
    QCOMPARE(store.value("VideoQuality").toInt(), 2);
    QCOMPARE(store.value("AudioQuality").toInt(), 2);
  }

  // A first run offers the user's videos folder as the output folder, when it exists.
  void firstRunOffersVideosFolder() {
    QTemporaryDir home;
    QVERIFY(QDir(home.path()).mkdir("Videos"));
    const QByteArray saved_home = qgetenv("HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    auto w = NewWindow();
    qputenv("HOME", saved_home);
    QCOMPARE(w->EditOutputFolder->text(), home.filePath("Videos"));
    QVERIFY(w->EditOutputFolder->isEnabled() && !w->EditOutputFolder->isReadOnly());
  }

  // Settings that cannot be written: the user is told once, not at every save.
  void unwritableSettingsToldOnce() {
    QSettings probe(kSettingsOrganisation, kSettingsApplication);
    const QString file = probe.fileName();
    QVERIFY(QDir().mkpath(file));  // a folder where the settings file should be
    auto w = NewWindow();
    dialogs_.informations.clear();
    bool exited = false;
    w->OnExit = [&exited] { exited = true; };
    w->ExitClick();
    QVERIFY(exited);
    QVERIFY(w->close());
    QCOMPARE(dialogs_.informations.size(), 1);
    QVERIFY2(dialogs_.informations.first().startsWith("The settings cannot be saved"),
             qPrintable(dialogs_.informations.first()));
  }

  // Adding files: a video row, an audio-only row, a row of unknown duration and an "Error" row
  // that stays checked; Remove is ignored while files are being added.
  void addFiles() {
    auto w = NewWindow();
    dialogs_.files_to_open = {Media("clip.mp4"), Media("tone.mp3"), Media("raw.m4v"),
                              Media("notes.avi")};
    w->ButtonAddFileClick();
    QTRY_VERIFY(!w->AddingFiles());
    QVERIFY(dialogs_.last_filter.startsWith("All media files (*.avi *.divx *.mpeg *.mpg"));
    QVERIFY(dialogs_.last_filter.contains(";;All Supported Files (*.avi *.mpeg *.mpg"));
    QVERIFY(dialogs_.last_filter.contains(";;Windows Media Files (*.wma *.wmv *.asf *.asx)"));
    TFileList& list = w->FileList();
    QCOMPARE(list.RowCount(), 4);
    QCOMPARE(list.Caption(0), Media("clip.mp4"));
    QCOMPARE(Cell(*w, 0, colVideoSize), QString("160x120"));
    QCOMPARE(Cell(*w, 0, colFrameRate), QString("25"));
    QCOMPARE(Cell(*w, 0, colDuration), QString("00:00:01"));
    QCOMPARE(Cell(*w, 0, colOutput), QString("MP4"));
    QCOMPARE(Cell(*w, 1, colVideoSize), QString(" "));
    QCOMPARE(Cell(*w, 1, colFrameRate), QString(" "));
    QCOMPARE(Cell(*w, 1, colDuration), QString("00:00:01"));
    QCOMPARE(Cell(*w, 2, colDuration), QString("Unknown"));
    QCOMPARE(Cell(*w, 3, colProgress), QString("Error"));
    QVERIFY(!list.Reason(3).isEmpty());
    QCOMPARE(Cell(*w, 3, colOutput), QString());
    for (int row = 0; row < 4; ++row) QVERIFY(list.Checked(row));

    // A press of Remove while a batch is being probed does nothing.
    dialogs_.files_to_open = {Media("clip.mp4"), Media("clip2.mp4")};
    w->ListView1->selectRow(0);
    QTimer::singleShot(0, w.get(), [&w] { w->ButtonRemoveFileClick(); });
    w->ButtonAddFileClick();
    QTRY_VERIFY(!w->AddingFiles());
    QCOMPARE(list.RowCount(), 6);
    // Listing leaves no file open, the last one probed included.
    for (const char* name : {"clip.mp4", "tone.mp3", "raw.m4v", "notes.avi", "clip2.mp4"}) {
      QVERIFY2(OpenDescriptorsOn(Media(name)) == 0, name);
    }
    w->ButtonRemoveFileClick();
    QCOMPARE(list.RowCount(), 5);

    // Several rows go at once.
    w->ListView1->selectionModel()->select(
        list.Model().index(1, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    w->ListView1->selectionModel()->select(list.Model().index(3, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    w->ListView1->setFocus();
    QTest::keyClick(w->ListView1, Qt::Key_Delete);
    QCOMPARE(list.RowCount(), 3);
    QCOMPARE(list.Caption(1), Media("notes.avi"));
  }

  // Removing many rows at once, in several runs of adjacent rows: exactly the selected rows go,
  // and the others keep their order, check marks, results and identities.
  void removeManySelectedRows() {
    auto w = NewWindow();
    TFileList& list = w->FileList();
    QList<TRowId> ids;
    for (int row = 0; row < 3000; ++row) {
      ids << list.AddRow(QString("/nowhere/f%1.mp4").arg(row, 4, 10, QChar('0')),
                         {"160x120", "25", "00:00:01", "MP4", "", ""});
    }
    list.SetChecked(1, false);
    list.SetResult(1, "Fail", "why row 1 failed");
    list.SetChecked(2999, false);
    const auto selected = [](int row) {
      return row == 0 || (row >= 2 && row < 2500 && row % 700 != 3);
    };
    QItemSelection selection;
    for (int row = 0; row < 3000; ++row) {
      if (selected(row)) selection.select(list.Model().index(row, 0), list.Model().index(row, 0));
    }
    w->ListView1->selectionModel()->select(
        selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    w->ListView1->setFocus();
    QTest::keyClick(w->ListView1, Qt::Key_Delete);

    QList<int> kept;
    for (int row = 0; row < 3000; ++row) {
      if (!selected(row)) kept << row;
    }
    QCOMPARE(list.RowCount(), kept.size());
    for (int i = 0; i < kept.size(); ++i) {
      QCOMPARE(list.Caption(i), QString("/nowhere/f%1.mp4").arg(kept[i], 4, 10, QChar('0')));
      QCOMPARE(list.RowId(i), ids[kept[i]]);
      QCOMPARE(list.RowOf(ids[kept[i]]), i);
      QCOMPARE(list.Checked(i), kept[i] != 1 && kept[i] != 2999);
    }
    QCOMPARE(Cell(*w, 0, colProgress), QString("Fail"));
    QCOMPARE(list.Reason(0), QString("why row 1 failed"));
    QCOMPARE(Cell(*w, 1, colDuration), QString("00:00:01"));
    QCOMPARE(list.RowOf(ids[2]), -1);

    // Select All and Delete empties the list.
    w->ListView1->selectAll();
    QTest::keyClick(w->ListView1, Qt::Key_Delete);
    QCOMPARE(list.RowCount(), 0);
  }

  // Choosing formats: a separator is refused, the Output column follows the format, the video
  // lists are disabled for audio formats, and the keyboard passes over separators.
  void chooseFormats() {
    auto w = WindowWithRows({Media("clip.mp4"), Media("tone.mp3")}, media_.path());
    QComboBox* format = w->ComboOutputFormat;
    format->setCurrentIndex(3);
    const std::string bitrate = w->Settings().ComboVideoBitrate.Text();
    format->setCurrentIndex(4);
    QCOMPARE(format->currentIndex(), 3);
    QCOMPARE(w->Settings().ComboVideoBitrate.Text(), bitrate);

    format->setCurrentIndex(19);
    QCOMPARE(Cell(*w, 0, colOutput), QString("MPG"));
    QCOMPARE(Cell(*w, 1, colOutput), QString("MPG"));

    format->setCurrentIndex(5);
    QVERIFY(!w->ComboVideoQuality->isEnabled());
    QVERIFY(!w->ComboVideoSize->isEnabled());
    QVERIFY(!w->ComboVideoFramerate->isEnabled());
    QCOMPARE(Cell(*w, 0, colOutput), QString("AAC"));
    format->setCurrentIndex(9);
    QVERIFY(w->ComboVideoQuality->isEnabled());
    QVERIFY(w->ComboVideoSize->isEnabled());

    format->setFocus();
    format->setCurrentIndex(3);
    QTest::keyClick(format, Qt::Key_Down);
    QCOMPARE(format->currentIndex(), 5);
    QTest::keyClick(format, Qt::Key_Up);
    QCOMPARE(format->currentIndex(), 3);
    QCOMPARE(w->Settings().OutputExtension, std::string("MP4"));
  }

  // A run over an unreadable row, a good row and an unchecked last row: the unreadable row
  // fails, the run goes on, and the end message comes once.
  void queueToCompletion() {
    QTemporaryDir out;
    auto w =
        WindowWithRows({Media("notes.avi"), Media("clip.mp4"), Media("clip2.mp4")}, out.path());
    w->FileList().SetChecked(2, false);
    w->ComboOutputFormat->setCurrentIndex(17);  // MP4 - MPEG4 Video
    w->ButtonConvertClick();
    QVERIFY(w->Queue().RunActive());
    QVERIFY(!w->ButtonConvert->isEnabled());
    QVERIFY(!w->ComboOutputFormat->isEnabled());
    // The File menu stays open for Stop After Current alone.
    QVERIFY(!w->ActionConvert->isEnabled() && !w->ActionAddFiles->isEnabled());
    QVERIFY(w->ActionStopAfterCurrent->isEnabled());
    QVERIFY(w->ButtonStopConvert->isEnabled());
    // The window refuses to close during the run and says why.
    QVERIFY(!w->close());
    QVERIFY(w->isVisible());
    QCOMPARE(dialogs_.informations.size(), 1);
    dialogs_.informations.clear();

    QVERIFY(w->StatusPanels[0]->text().startsWith("Converting "));
    WaitForEnd(*w);
    // A row failed: the end message says how many rows ended how.
    QCOMPARE(dialogs_.informations,
             QStringList{"All Conversions Completed\n1 done, 1 failed, 0 aborted"});
    QCOMPARE(Cell(*w, 0, colProgress), QString("Fail"));
    // Why the row failed is its accessible description and the details line under the list.
    const QString reason =
        w->FileList().Model().index(0, colProgress).data(Qt::AccessibleDescriptionRole).toString();
    QVERIFY2(reason.contains("notes.avi"), qPrintable(reason));
    w->ListView1->selectRow(0);
    QCOMPARE(w->LabelRowDetails->toolTip(), "Fail: " + reason);
    QVERIFY(w->LabelRowDetails->text().startsWith("Fail: "));
    QCOMPARE(w->StatusPanels[0]->text(), QString("Ready"));
    QVERIFY(!w->ButtonStopConvert->isEnabled());
    QVERIFY(!w->ButtonStopSmall->isEnabled());
    QCOMPARE(Cell(*w, 1, colProgress), QString("Done"));
    QCOMPARE(Cell(*w, 2, colProgress), QString());
    QVERIFY(w->ButtonConvert->isEnabled());
    QVERIFY(w->ComboOutputFormat->isEnabled());
    QCOMPARE(w->ProgressBar1->value(), 0);
    QVERIFY(w->StatusPanels[1]->text().startsWith("File Size : "));
    QVERIFY(!QFileInfo::exists(out.filePath("clip2.mp4")));
    const QStringList streams = ProbeStreams(out.filePath("clip.mp4"));
    QCOMPARE(streams.size(), 2);
    QVERIFY2(streams.contains("mpeg4,video,160,120") || streams.contains("video,mpeg4,160,120") ||
                 streams.join('|').contains("mpeg4"),
             qPrintable(streams.join('|')));
    QVERIFY(streams.join('|').contains("aac"));

    // The same again without overwrite takes the next free name; Start empties the Frames
    // column with the Progress column.
    dialogs_.informations.clear();
    w->FileList().SetChecked(0, false);
    QVERIFY(!Cell(*w, 1, colFrames).trimmed().isEmpty());
    w->ButtonConvertClick();
    QCOMPARE(Cell(*w, 1, colFrames), QString());
    WaitForEnd(*w);
    QCOMPARE(dialogs_.informations, QStringList{"All Conversions Completed"});
    QVERIFY(QFileInfo::exists(out.filePath("clip-1.mp4")));
  }

  // With overwrite on, a row's output name can be the file of another row (clip.mov gives
  // clip.mp4, which is the next row's source): no output may replace a file the run reads.
  void overwriteNeverReplacesASource() {
    QTemporaryDir out;
    QVERIFY(QFile::copy(Media("clip.mp4"), out.filePath("clip.mov")));
    QVERIFY(QFile::copy(Media("clip2.mp4"), out.filePath("clip.mp4")));
    QFile source(out.filePath("clip.mp4"));
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray before = source.readAll();
    source.close();
    auto w = WindowWithRows({out.filePath("clip.mov"), out.filePath("clip.mp4")}, out.path());
    w->OptionsDialog().CheckBoxOverWrite->setChecked(true);
    w->ComboOutputFormat->setCurrentIndex(17);  // MP4 - MPEG4 Video
    w->ButtonConvertClick();
    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    QCOMPARE(Cell(*w, 1, colProgress), QString("Done"));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QVERIFY(source.readAll() == before);
    QCOMPARE(ProbeStreams(out.filePath("clip-1.mp4")).size(), 2);
    QCOMPARE(ProbeStreams(out.filePath("clip-2.mp4")).size(), 2);
  }

  // A source cut short (its index promises 4 s, its data holds less) converts what is there:
  // the row reads "Done" and its tooltip says where the source ended.
  void sourceEndedEarly() {
    QTemporaryDir out;
    QVERIFY(MakeMedia(Media("whole.mp4"), {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=4",
                                           "-c:v", "mpeg4", "-movflags", "+faststart"}));
    QFile whole(Media("whole.mp4"));
    QVERIFY(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.readAll();
    const qsizetype mdat = bytes.indexOf("mdat");
    QVERIFY(mdat > 0);
    QFile cut(Media("cut.mp4"));
    QVERIFY(cut.open(QIODevice::WriteOnly));
    cut.write(bytes.left(mdat + (bytes.size() - mdat) * 2 / 5));
    cut.close();
    auto w = WindowWithRows({Media("cut.mp4"), Media("clip.mp4")}, out.path());
    w->ComboOutputFormat->setCurrentIndex(17);  // MP4 - MPEG4 Video
    // The user is at another window: the end is a desktop notification too.
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
    w->ButtonConvertClick();
    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    QCOMPARE(Cell(*w, 1, colProgress), QString("Done"));
    const QString tip =
        w->FileList().Model().index(0, colProgress).data(Qt::ToolTipRole).toString();
    QVERIFY2(tip.startsWith("Done, but the source ended at "), qPrintable(tip));
    // The note is counted in the end message and the notification, as the command line does.
    const QString counts = "2 done (1 with a warning), 0 failed, 0 aborted";
    QCOMPARE(dialogs_.informations, QStringList{"All Conversions Completed\n" + counts});
    QCOMPARE(dialogs_.notifications, QStringList{"All Conversions Completed\n" + counts});
  }

  // Stop answered No lets the job go on to the end; Yes ends the run at once: controls
  // unlocked, the row reads "Abort" and no end message follows.
  void stopQuestion() {
    QTemporaryDir out;
    auto w = WindowWithRows({Media("long.mp4")}, out.path());
    bool converting_when_asked = false;
    dialogs_.on_confirm = [&] { converting_when_asked = w->Converting(); };
    dialogs_.answers = {false};
    w->ButtonConvertClick();
    w->ButtonStopConvertClick();
    QCOMPARE(dialogs_.questions, QStringList{"Stop all conversions?"});
    QVERIFY(converting_when_asked);
    QVERIFY(w->Queue().RunActive());
    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));

    dialogs_ = TScriptedDialogs();
    dialogs_.answers = {true};
    w->ButtonConvertClick();
    w->ButtonStopConvertClick();
    QVERIFY(!w->Queue().RunActive());
    QVERIFY(w->ButtonConvert->isEnabled());
    QVERIFY(w->MenuFile->menuAction()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(Cell(*w, 0, colProgress), QString("Abort"), 30000);
    QTest::qWait(600);
    QVERIFY(dialogs_.informations.isEmpty());
    QCOMPARE(w->ProgressBar1->value(), 0);
  }

  // Rows removed during a run: the running row cannot be removed; removing a row before it
  // leaves its result on its own row, and the run still reaches every later row.
  void removeDuringRun() {
    QTemporaryDir out;
    auto w = WindowWithRows({Media("clip2.mp4"), Media("long.mp4"), Media("clip.mp4")}, out.path());
    w->FileList().SetChecked(0, false);
    w->ButtonConvertClick();
    QCOMPARE(w->Queue().CurrentRow(), 1);

    w->ListView1->setFocus();
    w->ListView1->selectRow(1);
    QTest::keyClick(w->ListView1, Qt::Key_Delete);
    QCOMPARE(w->FileList().RowCount(), 3);
    QCOMPARE(dialogs_.informations.size(), 1);
    dialogs_.informations.clear();

    w->ListView1->selectRow(0);
    QTest::keyClick(w->ListView1, Qt::Key_Delete);
    QCOMPARE(w->FileList().RowCount(), 2);
    QCOMPARE(w->FileList().Caption(0), Media("long.mp4"));

    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    QCOMPARE(Cell(*w, 1, colProgress), QString("Done"));
    QVERIFY(QFileInfo::exists(out.filePath("long.mp4")));
    QVERIFY(QFileInfo::exists(out.filePath("clip.mp4")));
    QVERIFY(!QFileInfo::exists(out.filePath("clip2.mp4")));
  }

  // The list's model announces every change by the standard signals, check marks and the
  // output path included: what listens to it (the view, a keeper of the list) misses nothing.
  void listModelAnnouncesEveryChange() {
    TFileList list;
    QAbstractItemModel& model = list.Model();
    QStringList seen;
    connect(&model, &QAbstractItemModel::rowsInserted, this, [&] { seen << "inserted"; });
    connect(&model, &QAbstractItemModel::rowsRemoved, this, [&] { seen << "removed"; });
    connect(&model, &QAbstractItemModel::modelReset, this, [&] { seen << "reset"; });
    connect(
        &model, &QAbstractItemModel::dataChanged, this,
        [&](const QModelIndex& from, const QModelIndex& to) {
          seen << QString("changed %1,%2-%3").arg(from.row()).arg(from.column()).arg(to.column());
        });
    const TRowId a = list.AddRow("/media/a.avi", {"320x240", "25", "00:00:01", ".mp4", "", ""});
    list.AddRow("/media/b.avi", {});
    list.SetChecked(1, false);
    list.SetChecked(1, false);  // no change, no signal
    // The view's check box goes through setData; it changes nothing else.
    QVERIFY(model.setData(model.index(1, colFileName), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(!model.setData(model.index(1, colOutput), "x", Qt::EditRole));
    list.SetOutputPath(a, "/out/a.mp4");
    list.SetResult(0, "Fail", "no\nvideo");
    list.RemoveRows(0, 1);
    list.Clear();
    QCOMPARE(seen, QStringList({"inserted", "inserted", "changed 1,0-0", "changed 1,0-0",
                                "changed 0,4-4", "changed 0,5-5", "removed", "reset"}));
    QCOMPARE(list.RowCount(), 0);

    // What the view and a screen reader read of a row.
    list.AddFileRow("/media/caf\xe9.avi", {"320x240"});
    QCOMPARE(model.index(0, colFileName).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QVERIFY(model.flags(model.index(0, colFileName)) & Qt::ItemIsUserCheckable);
    QVERIFY(!(model.flags(model.index(0, colVideoSize)) & Qt::ItemIsUserCheckable));
    QCOMPARE(model.index(0, colFileName).data(Qt::ToolTipRole).toString(),
             QString::fromLatin1("/media/caf\xe9.avi"));
    list.SetResult(0, "Fail", "cannot\nopen");
    QCOMPARE(model.index(0, colProgress).data(Qt::AccessibleDescriptionRole).toString(),
             list.Reason(0));
    QVERIFY(!list.Reason(0).contains('\n'));
    QCOMPARE(model.headerData(colProgress, Qt::Horizontal).toString(), QString("Progress"));
    QCOMPARE(model.columnCount(), int(kFileColumnCount));
  }

  // Two rows at once: both rows show their own progress before either ends, the status bar
  // names both ("Converting 1-2 of 4"), and every row ends "Done" with its own output, also
  // when two sources in different folders share a name.
  void twoRowsAtOnce() {
    if (QThread::idealThreadCount() < 2) QSKIP("needs two cores");
    QTemporaryDir out;
    QTemporaryDir other;
    QVERIFY(QFile::copy(Media("long.mp4"), other.filePath("long.mp4")));
    auto w = WindowWithRows(
        {Media("long.mp4"), other.filePath("long.mp4"), Media("clip.mp4"), Media("clip2.mp4")},
        out.path());
    w->ComboOutputFormat->setCurrentIndex(17);  // MP4 - MPEG4 Video
    w->Converter().SetProgressInterval(100);
    w->Queue().SetConversionsAtOnce(2);
    bool together = false;
    QStringList statuses;
    connect(&w->FileList().Model(), &QAbstractItemModel::dataChanged, this, [&] {
      int converting = 0;
      for (int row = 0; row < w->FileList().RowCount(); ++row) {
        converting += Cell(*w, row, colProgress).endsWith('%') ? 1 : 0;
      }
      together = together || converting >= 2;
      if (!statuses.contains(w->StatusPanels[0]->text())) statuses << w->StatusPanels[0]->text();
    });
    // The bottom bar is the run's share done: it never falls back while the run goes on, as
    // a row's own share would each time a row starts.
    QList<int> bar;
    connect(w->ProgressBar1, &QProgressBar::valueChanged, this, [&](int value) { bar << value; });
    w->ButtonConvertClick();
    QVERIFY(w->Converting());
    QCOMPARE(w->StatusPanels[0]->text(), QString("Converting 1-2 of 4"));
    QVERIFY(!w->FileList().OutputPath(0).isEmpty());
    QVERIFY(!w->FileList().OutputPath(1).isEmpty());
    WaitForEnd(*w);
    QVERIFY2(together, qPrintable(statuses.join('|')));
    QVERIFY(!bar.isEmpty() && bar.last() == 0);
    bar.removeLast();
    QVERIFY2(std::is_sorted(bar.begin(), bar.end()) && !bar.isEmpty() && bar.last() > 0,
             qPrintable(QString::number(bar.size())));
    QCOMPARE(dialogs_.informations, QStringList{"All Conversions Completed"});
    for (int row = 0; row < 4; ++row) QCOMPARE(Cell(*w, row, colProgress), QString("Done"));
    QStringList outputs;
    for (int row = 0; row < 4; ++row) outputs << QString::fromUtf8(w->FileList().OutputPath(row));
    QCOMPARE(outputs, QStringList({out.filePath("long.mp4"), out.filePath("long-1.mp4"),
                                   out.filePath("clip.mp4"), out.filePath("clip2.mp4")}));
    for (const QString& output : outputs) {
      QVERIFY2(ProbeStreams(output).join('|').contains("mpeg4"), qPrintable(output));
      // A full decode by the ffmpeg tool reads every packet.
      QVERIFY2(RunTool({"ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i", output, "-f", "null",
                        "-"}),
               qPrintable(output));
    }
    QCOMPARE(w->ProgressBar1->value(), 0);
    QCOMPARE(w->StatusPanels[0]->text(), QString("Ready"));
  }

  // The Output Size column: each row's estimate follows the settings, the status bar totals
  // the checked rows before Start, a done row shows its output's real size, and a row kept
  // from an earlier run (no probe of this run) is estimated from its texts.
  void outputSizeEstimatedThenReal() {
    QTemporaryDir out;
    auto w = WindowWithRows({Media("clip.mp4"), Media("clip2.mp4")}, out.path());
    // The clips are shorter than a rate control needs to settle: upper bounds.
    QTRY_VERIFY2(Cell(*w, 0, colOutputSize).startsWith("≤ "),
                 qPrintable(Cell(*w, 0, colOutputSize)));
    QTRY_VERIFY(w->StatusPanels[1]->text().endsWith(" for 2 files"));
    const QString ipod = Cell(*w, 0, colOutputSize);
    w->ComboOutputFormat->setCurrentIndex(17);  // MP4 - MPEG4 Video
    QTRY_VERIFY(Cell(*w, 0, colOutputSize) != ipod);
    w->FileList().SetChecked(1, false);
    QTRY_VERIFY(w->StatusPanels[1]->text().endsWith(" for 1 file"));
    w->ButtonConvertClick();
    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    const QFileInfo output(QFile::decodeName(w->FileList().OutputPath(0)));
    QCOMPARE(Cell(*w, 0, colOutputSize), QString::fromStdString(MegabytesText(output.size())));
    QVERIFY(w->FileList().Reason(0).startsWith("Checked: "));
    // A kept row: only its texts are known.
    const TRowId kept = w->FileList().AddFileRow(QFile::encodeName(Media("clip.mp4")),
                                                 {"160x120", "25", "00:00:02", "mp4", "", ""});
    QVERIFY(kept != kNoRow);
    w->ComboOutputFormat->setCurrentIndex(19);
    QTRY_VERIFY(Cell(*w, 2, colOutputSize).endsWith(" MB") ||
                Cell(*w, 2, colOutputSize).endsWith(" kB"));
  }

  // With "Move each source to the trash after a checked conversion" only the source whose row
  // ended done and checked moves into the trash (restorable: its .trashinfo names it); a source
  // whose row failed stays where it is.
  void sourcesToTheTrashOnlyWhenDone() {
    QTemporaryDir sources;
    QTemporaryDir out;
    const QString good = sources.filePath("good clip.mp4");
    const QString bad = sources.filePath("notes.avi");
    QVERIFY(QFile::copy(Media("clip.mp4"), good));
    QVERIFY(QFile::copy(Media("notes.avi"), bad));
    auto w = WindowWithRows({good, bad}, out.path());
    w->Options().SetTrashSources(true);
    w->ButtonConvertClick();
    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    QCOMPARE(Cell(*w, 1, colProgress), QString("Fail"));
    QVERIFY2(w->FileList().Reason(0).contains("moved to the trash"),
             qPrintable(w->FileList().Reason(0)));
    QVERIFY(!QFile::exists(good));
    QVERIFY(QFile::exists(bad));
    const QDir trash(QFile::decodeName(qgetenv("XDG_DATA_HOME")) + "/Trash");
    QVERIFY(QFile::exists(trash.filePath("files/good clip.mp4")));
    QFile info(trash.filePath("info/good clip.mp4.trashinfo"));
    QVERIFY(info.open(QIODevice::ReadOnly));
    QVERIFY(info.readAll().contains("good%20clip.mp4"));
    QVERIFY(QFile::exists(out.filePath("good clip.mp4")));
  }

  // Rows that fail before their jobs run, one after the other, do not end the run: the rows
  // after them still convert, one at a time and two at once.
  void failedRowsDoNotEndTheRun() {
    QTemporaryDir out;
    QVERIFY(QFile::copy(Media("notes.avi"), out.filePath("more notes.avi")));
    for (const int at_once : {1, 2}) {
      if (at_once > QThread::idealThreadCount()) break;
      init();  // a first run again: the kept list of the first window is not restored
      auto w = WindowWithRows({Media("notes.avi"), out.filePath("more notes.avi"),
                               Media("clip.mp4"), Media("clip2.mp4")},
                              out.path());
      w->Queue().SetConversionsAtOnce(at_once);
      w->ButtonConvertClick();
      WaitForEnd(*w);
      QCOMPARE(dialogs_.informations,
               QStringList{"All Conversions Completed\n2 done, 2 failed, 0 aborted"});
      QCOMPARE(Cell(*w, 2, colProgress), QString("Done"));
      QCOMPARE(Cell(*w, 3, colProgress), QString("Done"));
    }
  }

  // Stop at two at once: Yes aborts both running rows (not only the first place's job), starts
  // no further row and shows no end message.
  void stopAtTwoAtOnce() {
    if (QThread::idealThreadCount() < 2) QSKIP("needs two cores");
    QTemporaryDir out;
    QTemporaryDir sources;
    QStringList files;
    // Long enough that both jobs still run when Stop comes.
    QVERIFY(MakeClip(sources.filePath("a.mp4"), 60));
    for (const char* name : {"a.mp4", "b.mp4", "c.mp4"}) {
      if (!QFileInfo::exists(sources.filePath(name))) {
        QVERIFY(QFile::copy(sources.filePath("a.mp4"), sources.filePath(name)));
      }
      files << sources.filePath(name);
    }
    auto w = WindowWithRows(files, out.path());
    w->Queue().SetConversionsAtOnce(2);
    dialogs_.answers = {true};
    w->ButtonConvertClick();
    QVERIFY(w->Converting());
    w->ButtonStopConvertClick();
    QCOMPARE(dialogs_.questions, QStringList{"Stop all conversions?"});
    QVERIFY(!w->Queue().RunActive());
    QTRY_COMPARE_WITH_TIMEOUT(Cell(*w, 0, colProgress), QString("Abort"), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(Cell(*w, 1, colProgress), QString("Abort"), 30000);
    QTest::qWait(600);
    QCOMPARE(Cell(*w, 2, colProgress), QString());
    QVERIFY(dialogs_.informations.isEmpty());
    // Both jobs ended early: what an aborted row left is far shorter than its source.
    for (const char* name : {"a.mp4", "b.mp4"}) {
      if (!QFileInfo::exists(out.filePath(name))) continue;
      QString duration;
      RunTool({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
               out.filePath(name)},
              &duration);
      QVERIFY2(duration.trimmed().toDouble() < 50, qPrintable(name + (": " + duration)));
    }
    // The row not reached has made nothing.
    QVERIFY(!QFileInfo::exists(out.filePath("c.mp4")));
  }

  // Stop After Current (Ctrl+Shift+S, also on the Stop button's menu) during a run at two at
  // once: the running rows finish, the others keep an empty Progress cell and their check
  // mark, the end names them; Start then converts just those; a later Start all rows again.
  void stopAfterCurrent() {
    if (QThread::idealThreadCount() < 2) QSKIP("needs two cores");
    QTemporaryDir out;
    QStringList files;
    for (const char* name : {"a.mp4", "b.mp4", "c.mp4", "d.mp4", "e.mp4"}) {
      QVERIFY(QFile::copy(Media("long.mp4"), out.filePath(name)));
      files << out.filePath(name);
    }
    QVERIFY(QDir(out.path()).mkdir("converted"));
    const QString converted = out.filePath("converted");
    auto w = WindowWithRows(files, converted);
    w->ComboOutputFormat->setCurrentIndex(17);  // MP4 - MPEG4 Video
    w->Queue().SetConversionsAtOnce(2);
    const QList<QAction*> button_menu = w->ButtonStopSmall->actions();
    QVERIFY(std::any_of(button_menu.begin(), button_menu.end(),
                        [](QAction* action) { return action->text() == "Stop After Current"; }));
    QVERIFY(!w->ActionStopAfterCurrent->isEnabled());
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get(), 60000));
    w->ButtonConvertClick();
    QVERIFY(w->Converting());
    QTest::keyClick(w.get(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    WaitForEnd(*w);
    QVERIFY(dialogs_.questions.isEmpty());
    QCOMPARE(dialogs_.informations,
             QStringList{"All Conversions Completed\n2 done, 0 failed, 0 aborted, 3 not started"});
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    QCOMPARE(Cell(*w, 1, colProgress), QString("Done"));
    for (int row = 2; row < 5; ++row) {
      QCOMPARE(Cell(*w, row, colProgress), QString());
      QVERIFY(w->FileList().Checked(row));
    }
    QCOMPARE(QDir(converted).entryList(QDir::Files), QStringList({"a.mp4", "b.mp4"}));
    QVERIFY(!w->ActionStopAfterCurrent->isEnabled());

    // Start goes on with the rows not reached; the rows done keep their results and outputs.
    dialogs_.informations.clear();
    w->ButtonConvertClick();
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    WaitForEnd(*w);
    QCOMPARE(dialogs_.informations, QStringList{"All Conversions Completed"});
    for (int row = 0; row < 5; ++row) QCOMPARE(Cell(*w, row, colProgress), QString("Done"));
    QCOMPARE(QDir(converted).entryList(QDir::Files),
             QStringList({"a.mp4", "b.mp4", "c.mp4", "d.mp4", "e.mp4"}));

    // Any other Start converts every checked row, as always.
    dialogs_.informations.clear();
    w->FileList().SetChecked(4, false);
    w->ButtonConvertClick();
    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 4, colProgress), QString());
    QCOMPARE(QDir(converted).entryList(QDir::Files).size(), 9);
  }

  // At two at once, rows removed around the running rows: the running rows cannot go, each
  // result and output path stays with its own row, and the run still reaches the later rows.
  void rowsKeepTheirIdentityAtTwoAtOnce() {
    if (QThread::idealThreadCount() < 2) QSKIP("needs two cores");
    QTemporaryDir out;
    QTemporaryDir other;
    QVERIFY(QFile::copy(Media("long.mp4"), other.filePath("long2.mp4")));
    auto w = WindowWithRows({Media("clip2.mp4"), Media("long.mp4"), Media("tone.mp3"),
                             other.filePath("long2.mp4"), Media("clip.mp4")},
                            out.path());
    w->ComboOutputFormat->setCurrentIndex(17);  // MP4 - MPEG4 Video
    w->FileList().SetChecked(0, false);
    w->FileList().SetChecked(2, false);
    w->Queue().SetConversionsAtOnce(2);
    w->ButtonConvertClick();
    QVERIFY(w->Converting());
    QCOMPARE(w->Queue().CurrentRow(), 3);

    // Neither running row can be removed.
    w->ListView1->setFocus();
    for (int row : {1, 3}) {
      w->ListView1->selectionModel()->select(
          w->FileList().Model().index(row, 0),
          QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
      QTest::keyClick(w->ListView1, Qt::Key_Delete);
      QCOMPARE(w->FileList().RowCount(), 5);
    }
    QCOMPARE(dialogs_.informations.size(), 2);
    dialogs_.informations.clear();
    // The rows before and between them go.
    w->ListView1->selectionModel()->select(
        w->FileList().Model().index(0, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    w->ListView1->selectionModel()->select(w->FileList().Model().index(2, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QTest::keyClick(w->ListView1, Qt::Key_Delete);
    QCOMPARE(w->FileList().RowCount(), 3);
    QCOMPARE(w->FileList().Caption(0), Media("long.mp4"));
    QCOMPARE(w->FileList().Caption(1), other.filePath("long2.mp4"));

    WaitForEnd(*w);
    QCOMPARE(dialogs_.informations, QStringList{"All Conversions Completed"});
    const QStringList names = {"long.mp4", "long2.mp4", "clip.mp4"};
    for (int row = 0; row < 3; ++row) {
      QCOMPARE(Cell(*w, row, colProgress), QString("Done"));
      QCOMPARE(QString::fromUtf8(w->FileList().OutputPath(row)), out.filePath(names[row]));
      QVERIFY(QFileInfo::exists(out.filePath(names[row])));
    }
    QVERIFY(!QFileInfo::exists(out.filePath("clip2.mp4")));
    QVERIFY(!QFileInfo::exists(out.filePath("tone.mp4")));
  }

  // The Additional Options dialog writes into the main window's setting model, and the queue
  // reads it: 16:9 and overwrite reach the converted file.
  void optionsDialogMirrored() {
    QTemporaryDir out;
    auto w = WindowWithRows({Media("clip.mp4")}, out.path());
    TForm4& options = w->OptionsDialog();
    w->SetOptionsClick();
    QVERIFY(options.isVisible());
    options.ComboAspectRatio->setCurrentIndex(2);
    QCOMPARE(w->Settings().ComboAspectRatio.ItemIndex(), 2);
    options.ComboAspectRatio->setEditText("nothing like it");
    QCOMPARE(w->Settings().ComboAspectRatio.ItemIndex(), -1);
    options.ComboAspectRatio->setCurrentIndex(2);
    options.ComboLetterBox->setCurrentIndex(1);
    QCOMPARE(w->Settings().ComboLetterBox.ItemIndex(), 1);
    // LetterBox would give square pixels in the format's 4:3 frame; the aspect choice shows only
    // without it.
    options.ComboLetterBox->setCurrentIndex(0);
    options.SpinEdit1->setValue(30);
    QCOMPARE(w->ComboOutputFormat->maxVisibleItems(), 30);
    options.CheckBoxOverWrite->setChecked(true);
    options.Button1->click();
    QVERIFY(!options.isVisible());

    QFile existing(out.filePath("clip.mp4"));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.close();
    w->ButtonConvertClick();
    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    QVERIFY(!QFileInfo::exists(out.filePath("clip-1.mp4")));
    QString dar;
    RunTool({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
             "stream=display_aspect_ratio", "-of", "csv=p=0", out.filePath("clip.mp4")},
            &dar);
    QCOMPARE(dar.trimmed(), QString("16:9"));
  }

  // The dialog's conversion options: their defaults, each control changing the window's options
  // object, every control on the dialog's Tab chain, and the values stored for the next window.
  void conversionOptionsStored() {
    const int cores = std::max(1, QThread::idealThreadCount());
    {
      auto w = NewWindow();
      TForm4& dialog = w->OptionsDialog();
      TWindowOptions& options = w->Options();
      QCOMPARE(dialog.SpinConversionsAtOnce->value(), 1);
      QCOMPARE(dialog.SpinConversionsAtOnce->maximum(), cores);
      QCOMPARE(dialog.SpinConversionsAtOnce->accessibleName(), QString("Conversions at once"));
      QCOMPARE(dialog.SpinTargetSize->accessibleName(), QString("Target Size (MB)"));
      QCOMPARE(dialog.CheckBoxKeepList->text(), QString("Keep the file list between runs"));
      QCOMPARE(dialog.CheckBoxFitSize->text(), QString("Fit each file into"));
      QCOMPARE(dialog.CheckBoxCheckOutputs->text(), QString("Check each output after converting"));
      QCOMPARE(dialog.CheckBoxTrashSources->text(),
               QString("Move each source to the trash after a checked conversion"));
      QVERIFY(options.KeepFileList() && options.CheckOutputs());
      QVERIFY(!options.FitToSize() && !options.TrashSources());
      QCOMPARE(options.TargetSizeBytes(), std::int64_t(0));

      // Tab from the first control reaches every control of the dialog.
      QList<QWidget*> chain;
      QWidget* at = dialog.CheckBoxOverWrite;
      do {
        chain << at;
        at = at->nextInFocusChain();
      } while (at != dialog.CheckBoxOverWrite && chain.size() < 200);
      for (QWidget* control : std::initializer_list<QWidget*>{
               dialog.SpinConversionsAtOnce, dialog.CheckBoxKeepList, dialog.CheckBoxFitSize,
               dialog.SpinTargetSize, dialog.CheckBoxCheckOutputs, dialog.CheckBoxTrashSources}) {
        QVERIFY(chain.contains(control));
        QVERIFY(control->isEnabled() && (control->focusPolicy() & Qt::TabFocus));
      }

      QSignalSpy changed(&options, &TWindowOptions::Changed);
      dialog.SpinConversionsAtOnce->setValue(cores + 5);  // clamped by the field
      dialog.CheckBoxKeepList->setChecked(false);
      dialog.CheckBoxFitSize->setChecked(true);
      dialog.SpinTargetSize->setValue(123);
      dialog.CheckBoxCheckOutputs->setChecked(false);
      dialog.CheckBoxTrashSources->setChecked(true);
      QCOMPARE(changed.count(), cores > 1 ? 6 : 5);
      QCOMPARE(options.ConversionsAtOnce(), cores);
      QCOMPARE(options.TargetSizeBytes(), std::int64_t(123) * 1000 * 1000);
      QVERIFY(!options.KeepFileList() && !options.CheckOutputs() && options.TrashSources());
      // A change made to the options elsewhere shows in the dialog.
      options.SetTargetSizeMB(99);
      QCOMPARE(dialog.SpinTargetSize->value(), 99);
      QVERIFY(w->close());
    }
    auto w = NewWindow();
    TForm4& dialog = w->OptionsDialog();
    QCOMPARE(w->Options().ConversionsAtOnce(), cores);
    QCOMPARE(dialog.SpinConversionsAtOnce->value(), cores);
    QVERIFY(!dialog.CheckBoxKeepList->isChecked() && !w->Options().KeepFileList());
    QVERIFY(dialog.CheckBoxFitSize->isChecked());
    QCOMPARE(dialog.SpinTargetSize->value(), 99);
    QCOMPARE(w->Options().TargetSizeBytes(), std::int64_t(99) * 1000 * 1000);
    QVERIFY(!dialog.CheckBoxCheckOutputs->isChecked() && !w->Options().CheckOutputs());
    QVERIFY(dialog.CheckBoxTrashSources->isChecked() && w->Options().TrashSources());
  }

  // A store written before the conversion options keeps its values; the new options take
  // their defaults and are written. A stored count above this machine's cores is clamped.
  void storeFromBeforeTheConversionOptions() {
    {
      QSettings store(kSettingsOrganisation, kSettingsApplication);
      store.setValue("Output Folder", media_.path());
      store.setValue("ComboOutputFormat", 19);
      store.setValue("Overwrite", 1);
      store.setValue("DropDownItems", 30);
      store.setValue("LetterBox", 1);
      store.setValue("VideoQuality", 0);
      store.setValue("AudioQuality", 4);
    }
    {
      auto w = NewWindow();
      QCOMPARE(w->EditOutputFolder->text(), media_.path());
      QCOMPARE(w->ComboOutputFormat->currentText(), QString("MPEG-2 Movie (*.mpg)"));
      QVERIFY(w->Options().Overwrite());
      QCOMPARE(w->ComboOutputFormat->maxVisibleItems(), 30);
      QCOMPARE(w->Settings().ComboLetterBox.Text(), std::string("LetterBox"));
      QCOMPARE(w->ComboVideoQuality->currentText(), QString("Highest"));
      QCOMPARE(w->ComboAudioQuality->currentText(), QString("Lowest"));
      QCOMPARE(w->Options().ConversionsAtOnce(), 1);
      QVERIFY(w->Options().KeepFileList() && w->Options().CheckOutputs());
      QSettings store(kSettingsOrganisation, kSettingsApplication);
      QCOMPARE(store.value("ConversionsAtOnce").toInt(), 1);
      QCOMPARE(store.value("KeepFileList").toInt(), 1);
      QCOMPARE(store.value("CheckOutputs").toInt(), 1);
      QCOMPARE(store.value("VideoQuality").toInt(), 0);
      store.setValue("ConversionsAtOnce", 999);
    }
    auto w = NewWindow();
    QCOMPARE(w->Options().ConversionsAtOnce(), std::max(1, QThread::idealThreadCount()));
    QCOMPARE(w->OptionsDialog().SpinConversionsAtOnce->value(), w->Options().ConversionsAtOnce());
  }

  // The list comes back in the next window with its results and check marks, files named on
  // the command line after it; Clear All empties the kept list; with the option off nothing
  // is written and the next window starts empty.
  void fileListKeptBetweenRuns() {
    QTemporaryDir out;
    {
      auto w = WindowWithRows({Media("clip.mp4"), Media("clip2.mp4")}, out.path());
      w->FileList().SetChecked(1, false);
      w->ButtonConvertClick();
      WaitForEnd(*w);
      QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
      QVERIFY(w->close());
    }
    {
      auto w = NewWindow();
      QCOMPARE(w->FileList().RowCount(), 2);
      QCOMPARE(w->FileList().Caption(0), Media("clip.mp4"));
      QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
      QVERIFY(w->FileList().Checked(0));
      QCOMPARE(w->FileList().Caption(1), Media("clip2.mp4"));
      QVERIFY(!w->FileList().Checked(1));
      QCOMPARE(Cell(*w, 1, colProgress), QString());
      QCOMPARE(Cell(*w, 1, colDuration), Cell(*w, 0, colDuration));
      QVERIFY(!Cell(*w, 1, colDuration).isEmpty());
      // The kept done row shows its output's size, the other one its estimate.
      const QFileInfo output(QFile::decodeName(w->FileList().OutputPath(0)));
      QTRY_COMPARE(Cell(*w, 0, colOutputSize),
                   QString::fromStdString(MegabytesText(output.size())));
      QVERIFY(!Cell(*w, 1, colOutputSize).isEmpty());
      QVERIFY(w->close());
    }
    {
      auto w = std::make_unique<TForm1>(dialogs_);
      w->SetStartupFiles({QFile::encodeName(Media("tone.mp3"))});
      w->show();
      QTRY_COMPARE(w->FileList().RowCount(), 3);
      QTRY_VERIFY(!w->AddingFiles());
      QCOMPARE(w->FileList().Caption(0), Media("clip.mp4"));
      QCOMPARE(w->FileList().Caption(1), Media("clip2.mp4"));
      QCOMPARE(w->FileList().Caption(2), Media("tone.mp3"));
      w->ButtonClearAllClick();
      QTRY_VERIFY(ReadKeptList(KeptListFile()).Rows.empty());
      QVERIFY(ReadKeptList(KeptListFile()).Error.isEmpty());

      w->OptionsDialog().CheckBoxKeepList->setChecked(false);
      dialogs_.files_to_open = {Media("clip.mp4")};
      w->ButtonAddFileClick();
      QTRY_COMPARE(w->FileList().RowCount(), 1);
      QVERIFY(w->close());
      QVERIFY(ReadKeptList(KeptListFile()).Rows.empty());
    }
    {
      // Off: the start is empty even with a kept list there.
      QString error;
      TKeptRow row;
      row.Path = QFile::encodeName(Media("clip.mp4"));
      QVERIFY(WriteKeptList(KeptListFile(), {row}, &error));
      auto w = NewWindow();
      QCOMPARE(w->FileList().RowCount(), 0);
    }
  }

  // A kept list that cannot be read is moved aside with a message, once; the window starts
  // empty.
  // A list that cannot be written is told once, not at every change, and again after a
  // write that succeeded.
  void keptListThatCannotBeWrittenIsTold() {
    const QString folder = QFileInfo(KeptListFile()).path();
    QDir(folder).removeRecursively();
    QVERIFY(QDir().mkpath(QFileInfo(folder).path()));
    QFile blocker(folder);  // a file where the folder would be made
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    auto w = WindowWithRows({Media("clip.mp4")}, media_.path());
    auto cannot_be_kept = [this] {
      return dialogs_.informations.filter("The file list cannot be kept").size();
    };
    QTRY_COMPARE(cannot_be_kept(), 1);
    const QString message = dialogs_.informations.filter("The file list cannot be kept").first();
    QVERIFY2(message.contains(folder) && message.contains("will not come back"),
             qPrintable(message));
    w->FileList().SetChecked(0, false);
    w->FileList().RemoveRows(0, 1);
    QTest::qWait(300);
    QCOMPARE(cannot_be_kept(), 1);

    QVERIFY(QFile::remove(folder));
    w->FileList().AddRow(Media("clip2.mp4"), {});
    QTRY_COMPARE(ReadKeptList(KeptListFile()).Rows.size(), size_t(1));
    QVERIFY(QDir(folder).removeRecursively());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    w->FileList().Clear();
    QTRY_COMPARE(cannot_be_kept(), 2);
    QVERIFY(QFile::remove(folder));
    QVERIFY(w->close());
  }

  void damagedKeptListMovedAside() {
    const QString file = KeptListFile();
    QVERIFY(QDir().mkpath(QFileInfo(file).path()));
    QFile damaged(file);
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("{\"format\":\"quorvin-file-list\",\"version\":1,\"rows\":[{\"pa");
    damaged.close();
    {
      auto w = NewWindow();
      QTRY_COMPARE(dialogs_.informations.size(), 1);
      QVERIFY2(dialogs_.informations.first().contains("cannot be read"),
               qPrintable(dialogs_.informations.first()));
      QCOMPARE(w->FileList().RowCount(), 0);
      const QStringList aside =
          QDir(QFileInfo(file).path()).entryList({"file-list.json.damaged-*"}, QDir::Files);
      QCOMPARE(aside.size(), 1);
      QVERIFY(dialogs_.informations.first().contains(aside.first()));
      QVERIFY(w->close());
    }
    dialogs_.informations.clear();
    auto w = NewWindow();
    QTest::qWait(50);
    QVERIFY(dialogs_.informations.isEmpty());
  }

  // A folder dropped on the list adds its media files, recursively, sorted by name.
  void dropFolder() {
    QTemporaryDir folder;
    QVERIFY(QDir(folder.path()).mkpath("b/inner"));
    QVERIFY(QFile::copy(Media("clip.mp4"), folder.filePath("b/inner/z.mp4")));
    QVERIFY(QFile::copy(Media("tone.mp3"), folder.filePath("a.mp3")));
    QVERIFY(QFile::copy(Media("clip2.mp4"), folder.filePath("b/c.MP4")));
    QFile note(folder.filePath("b/readme.txt"));
    QVERIFY(note.open(QIODevice::WriteOnly));
    note.close();

    auto w = NewWindow();
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(folder.path())});
    QWidget* viewport = w->ListView1->viewport();
    const QPoint at = viewport->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    QTRY_COMPARE(w->FileList().RowCount(), 3);
    QCOMPARE(w->FileList().Caption(0), folder.filePath("a.mp3"));
    QCOMPARE(w->FileList().Caption(1), folder.filePath("b/c.MP4"));
    QCOMPARE(w->FileList().Caption(2), folder.filePath("b/inner/z.mp4"));
  }

  // A name that is not valid UTF-8 (Latin-1 "café résumé.mp4"), named on the command line or
  // found in a dropped folder: the row shows it readably, keeps its bytes, converts it and
  // names the output after the same bytes.
  void namesThatAreNotText() {
    QCOMPARE(qgetenv("LC_ALL"), QByteArray("C.UTF-8"));
    QTemporaryDir folder;
    QTemporaryDir out;
    const QByteArray name("caf\xe9 r\xe9sum\xe9.mp4");
    const QByteArray path = QFile::encodeName(folder.path()) + '/' + name;
    {
      QFile clip(Media("clip.mp4"));
      QVERIFY(clip.open(QIODevice::ReadOnly));
      const QByteArray bytes = clip.readAll();
      const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      QVERIFY(fd >= 0);
      QCOMPARE(::write(fd, bytes.constData(), bytes.size()), ssize_t(bytes.size()));
      ::close(fd);
    }
    const QString shown = folder.path() + "/" + QString::fromLatin1(name);

    auto w = std::make_unique<TForm1>(dialogs_);
    w->SetStartupFiles({path});
    w->show();
    TFileList& list = w->FileList();
    QTRY_COMPARE(list.RowCount(), 1);
    QTRY_VERIFY(!w->AddingFiles());
    QCOMPARE(list.Caption(0), shown);
    QCOMPARE(list.Path(0), path);
    QCOMPARE(Cell(*w, 0, colVideoSize), QString("160x120"));
    QVERIFY2(Cell(*w, 0, colProgress).isEmpty(), qPrintable(list.Reason(0)));

    // The preview opens the same bytes.
    w->ListView1->selectRow(0);
    w->ActionPlaySelected->trigger();
    TPreviewPlayer& player = w->PanelPreview->Player();
    QTRY_COMPARE(player.State(), TPlayerState::psRunning);
    QVERIFY(dialogs_.errors.isEmpty());
    w->PanelPreview->ButtonStopClick();
    QTRY_VERIFY(w->PanelPreview->PreviewStopped());

    // Dropped on the list: the file's URL holds the bytes percent-encoded.
    w->ButtonClearAllClick();
    QMimeData data;
    data.setUrls({QUrl::fromEncoded("file://" + path.toPercentEncoding("/"))});
    QWidget* viewport = w->ListView1->viewport();
    const QPoint at = viewport->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    QTRY_COMPARE(list.RowCount(), 1);
    QTRY_VERIFY(!w->AddingFiles());
    QCOMPARE(list.Path(0), path);

    w->ButtonClearAllClick();
    w->AddDroppedPaths(QList<QByteArray>{QFile::encodeName(folder.path())});
    QTRY_VERIFY(!w->AddingFiles());
    QCOMPARE(list.RowCount(), 1);
    QCOMPARE(list.Path(0), path);

    w->SetOutputFolder(out.path());
    w->ComboOutputFormat->setCurrentIndex(17);  // MP4 - MPEG4 Video
    w->ButtonConvertClick();
    WaitForEnd(*w);
    QVERIFY2(Cell(*w, 0, colProgress) == "Done", qPrintable(list.Reason(0)));
    const QByteArray output = QFile::encodeName(out.path()) + '/' + name;
    QVERIFY(::access(output.constData(), R_OK) == 0);
    // The tools are given a plain name for the output.
    QVERIFY(::rename(output.constData(), QFile::encodeName(out.filePath("plain.mp4"))) == 0);
    QCOMPARE(ProbeStreams(out.filePath("plain.mp4")).size(), 2);
    // The temporary folder's clean-up walks it by text names, which cannot name this file.
    QVERIFY(::unlink(path.constData()) == 0);
  }

  // A file replaced after it was listed is converted as it is when its row starts: a 640x360
  // clip replaced by a 480x480 one gives a square picture, not one stretched to 16:9, and the
  // row's columns show the new file.
  void replacedSourceConvertedAsItIsNow() {
    QTemporaryDir folder;
    QTemporaryDir out;
    const QString clip = folder.filePath("clip.mp4");
    const auto make = [&clip](const QString& size, const QString& seconds) {
      return MakeMedia(clip, {"-f", "lavfi", "-i", "testsrc=size=" + size + ":rate=25:d=" + seconds,
                              "-c:v", "mpeg4"});
    };
    QVERIFY(make("640x360", "0.2"));
    auto w = WindowWithRows({clip}, out.path());
    QCOMPARE(Cell(*w, 0, colVideoSize), QString("640x360"));
    QVERIFY(make("480x480", "2"));
    w->ComboOutputFormat->setCurrentIndex(17);  // MP4 - MPEG4 Video
    w->ButtonConvertClick();
    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    QCOMPARE(Cell(*w, 0, colVideoSize), QString("480x480"));
    QCOMPARE(Cell(*w, 0, colDuration), QString("00:00:02"));
    const QString shape = ProbeShape(out.filePath("clip.mp4"));
    QVERIFY2(shape == "480,480,1:1" || shape == "480,480,N/A", qPrintable(shape));
  }

  // The preview pane inside the window: it plays the selected row, follows the selection, saves
  // a snapshot into the output folder, and is stopped by Add File, released by Start (then every
  // command is ignored until the run ends) and by closing the window.
  void previewInTheWindow() {
    QTemporaryDir out;
    auto w = WindowWithRows({Media("clip.mp4"), Media("long.mp4")}, out.path());
    QCOMPARE(w->FileList().RowCount(), 2);
    TPreviewPlayer& player = w->PanelPreview->Player();
    const auto picture_shown = [&player] {
      return QTest::qWaitFor(
          [&] { return !player.PicturePending() && player.ShownPictureUs() >= 0; }, 10000);
    };

    // Tab order and names of the pane's controls follow its layout.
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get(), 60000));
    w->PlayerButtons[0]->setFocus();
    QCOMPARE(QApplication::focusWidget(), w->PlayerButtons[0]);
    const QWidget* order[] = {w->PlayerButtons[1], w->PlayerButtons[2], w->SeekBar,
                              w->PlayerButtons[3], w->PlayerButtons[4]};
    for (const QWidget* next : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
    const char* names[] = {"Play", "Pause", "Stop", "Volume", "Snapshot"};
    for (int i = 0; i < 5; ++i) QCOMPARE(w->PlayerButtons[i]->accessibleName(), QString(names[i]));

    // The pane's commands run after the click has been answered.
    w->ListView1->selectRow(1);
    QTest::mouseClick(w->PlayerButtons[0], Qt::LeftButton);
    QTRY_COMPARE(player.State(), TPlayerState::psRunning);
    QCOMPARE(w->PanelPreview->PreviewFile(), Media("long.mp4"));
    QVERIFY(picture_shown());

    QTest::mouseClick(w->PlayerButtons[4], Qt::LeftButton);
    QTRY_VERIFY(QFile::exists(out.filePath("long.bmp")));
    const QImage snapshot(out.filePath("long.bmp"));
    QCOMPARE(snapshot.size(), QSize(160, 120));
    QVERIFY(dialogs_.informations.isEmpty() && dialogs_.errors.isEmpty());

    // The time beside the seek bar; End on the bar seeks there; Stop takes the thumb back.
    QLabel& time = w->PanelPreview->TimeLabel();
    QVERIFY2(time.text().endsWith(" / 00:08"), qPrintable(time.text()));
    w->SeekBar->setFocus();
    QTest::keyClick(w->SeekBar, Qt::Key_End);
    QTRY_VERIFY(player.Position().current_ms >= 7000);
    QVERIFY2(time.text().startsWith("00:0") && time.text() != "00:00 / 00:08",
             qPrintable(time.text()));
    QTest::mouseClick(w->PlayerButtons[2], Qt::LeftButton);
    QTRY_VERIFY(w->PanelPreview->PreviewStopped());
    QCOMPARE(w->SeekBar->value(), 0);
    QCOMPARE(time.text(), QString("00:00 / 00:08"));
    QTest::mouseClick(w->PlayerButtons[0], Qt::LeftButton);
    QTRY_COMPARE(player.State(), TPlayerState::psRunning);

    // Another row stops the player; the list menu's "Play Selected File" plays it.
    w->ListView1->selectRow(0);
    QCOMPARE(player.State(), TPlayerState::psStopped);
    w->ActionPlaySelected->trigger();
    QTRY_COMPARE(player.State(), TPlayerState::psRunning);
    QCOMPARE(w->PanelPreview->PreviewFile(), Media("clip.mp4"));

    dialogs_.files_to_open = {};
    w->ButtonAddFileClick();
    QCOMPARE(player.State(), TPlayerState::psStopped);
    QTest::mouseClick(w->PlayerButtons[0], Qt::LeftButton);
    QTRY_COMPARE(player.State(), TPlayerState::psRunning);

    // Start releases the player; while converting, no player command does anything.
    w->ButtonConvertClick();
    QVERIFY(w->Converting());
    QCOMPARE(player.State(), TPlayerState::psInactive);
    for (QToolButton* button : w->PlayerButtons) QTest::mouseClick(button, Qt::LeftButton);
    w->ActionPlaySelected->trigger();
    QCoreApplication::processEvents();
    QCOMPARE(player.State(), TPlayerState::psInactive);
    QVERIFY(!w->PanelPreview->PreviewPaused() && !w->PanelPreview->PreviewStopped());
    QVERIFY(!w->PanelPreview->PopupMenuSpeaker().isVisible());
    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    QCOMPARE(Cell(*w, 1, colProgress), QString("Done"));
    QCOMPARE(QDir(out.path()).entryList({"*.bmp"}, QDir::Files), QStringList{"long.bmp"});

    // After the run the player works again; closing the window releases it.
    w->ActionPlaySelected->trigger();
    QTRY_COMPARE(player.State(), TPlayerState::psRunning);
    QVERIFY(w->close());
    QCOMPARE(player.State(), TPlayerState::psInactive);
  }

  // A playlist or a script naming a named pipe blocks whoever opens it until a writer comes.
  // Adding the playlist (its probe) and starting the script's row open them on other threads:
  // the window answers meanwhile, and Stop ends the run. (Where the engine refuses such files
  // before opening them, nothing blocks at all.)
  void windowAnswersWhileASourceBlocks() {
    QTemporaryDir dir;
    const QString fifo = dir.filePath("pipe");
    QVERIFY(mkfifo(fifo.toLocal8Bit().constData(), 0600) == 0);
    QFile script(dir.filePath("blocks.avs"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(("DirectShowSource(\"" + fifo + "\", fps=25)\r\n").toUtf8());
    script.close();
    QFile playlist(dir.filePath("list.mp4"));
    QVERIFY(playlist.open(QIODevice::WriteOnly));
    playlist.write("ffconcat version 1.0\nfile pipe\n");
    playlist.close();
    // Should the window not answer, a writer that comes and goes after 3 s lets the open end.
    std::atomic<bool> finished{false};
    const auto release_pipe = [&fifo, &finished] {
      for (int i = 0; i < 30 && !finished; ++i) QThread::msleep(100);
      const int fd = ::open(fifo.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    };

    auto w = NewWindow();
    bool answered = false;
    std::thread releaser(release_pipe);
    QTimer::singleShot(300, w.get(), [&] { answered = w->AddingFiles(); });
    QElapsedTimer clock;
    clock.start();
    dialogs_.files_to_open = {playlist.fileName()};
    w->ButtonAddFileClick();
    const qint64 adding_ms = clock.elapsed();
    finished = true;
    releaser.join();
    QTRY_VERIFY(!w->AddingFiles());
    QCOMPARE(w->FileList().RowCount(), 1);
    w->FileList().Clear();
    w->FileList().AddRow(script.fileName(), {"", "", "", "MP4", "", ""});
    QVERIFY2(answered || adding_ms < 300, qPrintable(QString::number(adding_ms)));

    // Start on the same row: the job's set-up opens the script on another thread.
    QTemporaryDir out;
    w->SetOutputFolder(out.path());
    finished = false;
    std::thread releaser2(release_pipe);
    bool stopped_while_blocked = false;
    dialogs_.answers = {true};
    QTimer::singleShot(300, w.get(), [&] {
      if (!w->Queue().RunActive()) return;
      w->ButtonStopConvertClick();
      stopped_while_blocked = w->ButtonConvert->isEnabled();
    });
    clock.restart();
    w->ButtonConvertClick();
    const qint64 start_ms = clock.elapsed();
    finished = true;
    releaser2.join();
    QVERIFY2(stopped_while_blocked || start_ms < 300, qPrintable(QString::number(start_ms)));
    QTRY_VERIFY(!w->Queue().RunActive());
    QVERIFY(w->ButtonConvert->isEnabled());
    QVERIFY(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
  }

  // Tooltips stay up 30 s; Qt's own time for a short text is about 10 s.
  void tooltipsStayLong() {
    auto w = NewWindow();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get(), 60000));
    QWidget* button = w->ButtonBrowseForFolder;
    const QPoint at = button->rect().center();
    QHelpEvent help(QEvent::ToolTip, at, button->mapToGlobal(at));
    QCoreApplication::sendEvent(button, &help);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QString("Browse for Output Folder"));
    QTest::qWait(12000);
    QVERIFY(QToolTip::isVisible());
    QToolTip::hideText();
  }

  // The whole conversion by keyboard: Ctrl+O, Tab to the folder button, Space, Ctrl+R.
  void keyboardOnly() {
    QTemporaryDir out;
    auto w = NewWindow();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get(), 60000));
    dialogs_.files_to_open = {Media("clip.mp4")};
    dialogs_.folder_to_choose = out.path();
    QTest::keyClick(w.get(), Qt::Key_O, Qt::ControlModifier);
    QTRY_COMPARE(w->FileList().RowCount(), 1);

    // Tab order follows the layout, from the command bar to the output bar (Stop is disabled
    // while nothing runs).
    w->ButtonAddFile->setFocus();
    const QWidget* expected[] = {w->ButtonRemoveFile, w->ButtonClearAll, w->ButtonConvert,
                                 w->EditOutputFolder, w->ButtonBrowseForFolder};
    for (const QWidget* next : expected) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
    QTest::keyClick(w->ButtonBrowseForFolder, Qt::Key_Space);
    QTRY_COMPARE(w->EditOutputFolder->text(), out.path());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w->ComboOutputFormat);
    // Tab leaves the list for the next control; it does not walk the list's cells.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w->ListView1);
    QTest::keyClick(w->ListView1, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w->ComboVideoQuality);
    QTest::keyClick(w->ComboVideoQuality, Qt::Key_Tab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), w->ListView1);
    QTest::keyClick(w->ListView1, Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(QApplication::focusWidget(), w->ComboVideoQuality);

    QTest::keyClick(w.get(), Qt::Key_R, Qt::ControlModifier);
    QTRY_VERIFY(w->Queue().RunActive());
    WaitForEnd(*w);
    QCOMPARE(Cell(*w, 0, colProgress), QString("Done"));
    QVERIFY(QFileInfo::exists(out.filePath("clip.mp4")));

    // Every control a screen reader meets has a name.
    for (QWidget* child : w->findChildren<QWidget*>()) {
      if (qobject_cast<QComboBox*>(child) || qobject_cast<QAbstractButton*>(child) ||
          qobject_cast<QAbstractSlider*>(child)) {
        if (child->isVisible()) {
          QVERIFY2(!child->accessibleName().isEmpty(),
                   qPrintable(child->metaObject()->className()));
        }
      }
    }
  }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
