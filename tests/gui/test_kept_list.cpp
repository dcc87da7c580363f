// The kept file list: its file (odd names, damaged and newer files moved aside, a failed write
// leaving the old file) and the keeper that restores a list at start-up and writes it as the
// list changes. Every file lives in a temporary folder.
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "FileList.h"
#include "KeptList.h"

namespace {

bool WriteBytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TKeptRow Row(const QByteArray& path, const QString& result, const QString& reason = {}) {
  TKeptRow row;
  row.Path = path;
  row.Texts = {"320x240", "25", "00:00:02", "MP4"};
  row.Result = result;
  row.Reason = reason;
  return row;
}

}  // namespace

class TestKeptList : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  QString File() const { return dir_.filePath("data/Quorvin/file-list.json"); }
  QByteArray Path(const QString& name) const { return QFile::encodeName(dir_.filePath(name)); }

 private slots:
  void init() {
    QVERIFY(dir_.isValid());
    QDir(dir_.filePath("data")).removeRecursively();
  }

  // Names that are not text, with quotes, new lines and a path near the name limit, come back
  // byte for byte with their check marks, results, reasons and outputs.
  void roundTripKeepsEveryByte() {
    std::vector<TKeptRow> rows;
    rows.push_back(Row("/srv/v/caf\xe9 \xff\xfe.avi", "Done", "Done: named \"a-1.mp4\""));
    rows.back().OutputPath = "/out/caf\xe9 \xff\xfe.mp4";
    rows.push_back(Row("/srv/v/line\nbreak \"q\" \\.mp4", "Fail", "Fail: no video\nsecond"));
    rows.back().Checked = false;
    rows.push_back(Row("/srv/" + QByteArray(250, 'x') + ".mkv", QString()));
    QString error;
    QVERIFY2(WriteKeptList(File(), rows, &error), qPrintable(error));
    const TKeptListRead read = ReadKeptList(File());
    QVERIFY2(read.Error.isEmpty(), qPrintable(read.Error));
    QCOMPARE(read.Rows.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      QCOMPARE(read.Rows[i].Path, rows[i].Path);
      QCOMPARE(read.Rows[i].Checked, rows[i].Checked);
      QCOMPARE(read.Rows[i].Texts, rows[i].Texts);
      QCOMPARE(read.Rows[i].Result, rows[i].Result);
      QCOMPARE(read.Rows[i].Reason, rows[i].Reason);
      QCOMPARE(read.Rows[i].OutputPath, rows[i].OutputPath);
    }
    // No list is no error and no rows.
    QVERIFY(QFile::remove(File()));
    const TKeptListRead none = ReadKeptList(File());
    QVERIFY(none.Error.isEmpty() && none.Rows.empty());
  }

  // A file that cannot be read is moved aside under a dated name, byte for byte, never deleted;
  // a second one in the same second gets a name of its own.
  void unreadableFilesMovedAside_data() {
    QTest::addColumn<QByteArray>("content");
    QString error;
    QVERIFY(WriteKeptList(File(), {Row("/a.avi", "Done"), Row("/b.avi", "")}, &error));
    const QByteArray good = ReadBytes(File());
    QTest::newRow("cut short") << good.left(good.size() / 2);
    QByteArray newer = good;
    newer.replace("\"version\":1", "\"version\":2");
    QVERIFY(newer != good);
    QTest::newRow("newer version") << newer;
    QTest::newRow("not a list") << QByteArray("{\"rows\":[]}");
    QByteArray bad_row = good;
    bad_row.replace("\"checked\":true", "\"checked\":\"yes\"");
    QTest::newRow("damaged row") << bad_row;
    QTest::newRow("empty") << QByteArray();
  }
  void unreadableFilesMovedAside() {
    QFETCH(QByteArray, content);
    QStringList moved;
    for (int i = 0; i < 2; ++i) {
      QVERIFY(QDir().mkpath(QFileInfo(File()).path()));
      QVERIFY(WriteBytes(File(), content));
      const TKeptListRead read = ReadKeptList(File());
      QVERIFY(read.Rows.empty());
      QVERIFY(!read.Error.isEmpty());
      QVERIFY2(QFileInfo(read.MovedTo).fileName().startsWith("file-list.json.damaged-"),
               qPrintable(read.MovedTo));
      QVERIFY(!QFileInfo::exists(File()));
      QCOMPARE(ReadBytes(read.MovedTo), content);
      moved << read.MovedTo;
    }
    QVERIFY(moved[0] != moved[1]);
    QVERIFY(QFileInfo::exists(moved[0]));
  }

  // A write that fails (the file system refuses the size) leaves the old list whole and no
  // temporary file behind.
  void failedWriteLeavesTheOldList() {
    QString error;
    QVERIFY(WriteKeptList(File(), {Row("/old.avi", "Done")}, &error));
    const QByteArray old = ReadBytes(File());
    std::vector<TKeptRow> many(2000, Row("/" + QByteArray(200, 'n') + ".avi", "42%"));

    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto saved_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
    const bool written = WriteKeptList(File(), many, &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, saved_handler);

    QVERIFY(!written);
    QVERIFY(!error.isEmpty());
    QCOMPARE(ReadBytes(File()), old);
    QCOMPARE(QDir(QFileInfo(File()).path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{"file-list.json"});
  }

  // Restoring: a row converting when the program ended comes back unconverted with its
  // unfinished outputs removed (and nothing else); a gone file reads "Error" with the reason;
  // results and check marks come back.
  void restoreRepairsInterruptedAndGoneRows() {
    QVERIFY(QDir(dir_.path()).mkpath("out"));
    for (const char* name : {"a.avi", "c.avi"}) QVERIFY(WriteBytes(dir_.filePath(name), "x"));
    const QString parts[] = {"out/.c.mp4.quorvin-part", "out/.c.mp4.3.quorvin-part"};
    for (const QString& part : parts) QVERIFY(WriteBytes(dir_.filePath(part), "part"));
    QVERIFY(WriteBytes(dir_.filePath("out/.other.mp4.quorvin-part"), "part"));
    QVERIFY(WriteBytes(dir_.filePath("out/c-1.mp4"), "finished"));

    std::vector<TKeptRow> rows = {Row(Path("a.avi"), "Done", "Done: a note"),
                                  Row(Path("gone.avi"), "Done"), Row(Path("c.avi"), "42%")};
    rows[0].Checked = false;
    rows[2].OutputPath = Path("out/c.mp4");
    QString error;
    QVERIFY(WriteKeptList(File(), rows, &error));

    TFileList list;
    TListKeeper keeper(list, File());
    QVERIFY(keeper.Restore().isEmpty());
    QCOMPARE(list.RowCount(), 3);
    QCOMPARE(list.Path(0), Path("a.avi"));
    QVERIFY(!list.Checked(0));
    QCOMPARE(list.Text(0, colProgress), QString("Done"));
    QCOMPARE(list.Reason(0), QString("Done: a note"));
    QCOMPARE(list.Text(0, colDuration), QString("00:00:02"));
    QCOMPARE(list.Text(1, colProgress), QString("Error"));
    QVERIFY2(list.Reason(1).contains("No such file"), qPrintable(list.Reason(1)));
    QVERIFY(list.Checked(2));
    QCOMPARE(list.Text(2, colProgress), QString());
    QCOMPARE(list.OutputPath(2), Path("out/c.mp4"));
    for (const QString& part : parts)
      QVERIFY2(!QFileInfo::exists(dir_.filePath(part)), qPrintable(part));
    QVERIFY(QFileInfo::exists(dir_.filePath("out/.other.mp4.quorvin-part")));
    QVERIFY(QFileInfo::exists(dir_.filePath("out/c-1.mp4")));
  }

  // The keeper writes nothing until enabled, writes a result, a removal and a flush, and
  // nothing while disabled.
  void keeperWritesTheListAsItChanges() {
    TFileList list;
    auto keeper = std::make_unique<TListKeeper>(list, File());
    list.AddFileRow("/a.avi", {});
    QCoreApplication::processEvents();
    QVERIFY(!QFileInfo::exists(File()));
    keeper->SetEnabled(true);
    QCOMPARE(ReadKeptList(File()).Rows.size(), size_t(1));

    const TRowId b = list.AddFileRow("/b.avi", {});
    list.SetText(b, colProgress, "42%");
    keeper->Flush();
    QCOMPARE(ReadKeptList(File()).Rows.size(), size_t(2));
    QCOMPARE(ReadKeptList(File()).Rows[1].Result, QString("42%"));

    list.SetResult(list.RowOf(b), "Fail", "Fail: broken");
    QTRY_COMPARE(ReadKeptList(File()).Rows[1].Result, QString("Fail"));
    QCOMPARE(ReadKeptList(File()).Rows[1].Reason, QString("Fail: broken"));

    list.Clear();
    QTRY_VERIFY(ReadKeptList(File()).Rows.empty());
    QVERIFY(ReadKeptList(File()).Error.isEmpty());

    keeper->SetEnabled(false);
    list.AddFileRow("/c.avi", {});
    keeper->Flush();
    keeper.reset();
    QVERIFY(ReadKeptList(File()).Rows.empty());
  }
};

QTEST_GUILESS_MAIN(TestKeptList)
#include "test_kept_list.moc"
