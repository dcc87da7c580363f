// The file list kept between runs: a JSON file in the user's data folder
// ($XDG_DATA_HOME/Quorvin/file-list.json) holding each row's path bytes, check mark, column
// texts, result and reason, and the output its job writes. It is replaced atomically (written
// beside, synced, renamed), so a kill or a power cut at any moment leaves the old list or the
// new one. A file that cannot be read (damaged, cut short, written by a newer version) is
// moved aside under a dated name and never deleted.
//
// TListKeeper ties a TFileList to that file: it listens to the list model's standard signals,
// writes coalesced (a result promptly, progress at most every 200 ms) and restores the list at
// start-up. UI thread only.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <vector>

#include "FileList.h"

inline constexpr int kKeptListVersion = 1;

struct TKeptRow {
  QByteArray Path;
  bool Checked = true;
  QStringList Texts;  // Video Size .. Frames, as AddFileRow takes them
  QString Result;     // the Progress column
  QString Reason;
  QByteArray OutputPath;
};

// $XDG_DATA_HOME/Quorvin/file-list.json (~/.local/share/Quorvin/ when the variable is unset).
QString KeptListFile();

// Writes ROWS to FILE atomically, creating its folder. False with ERROR when it cannot.
bool WriteKeptList(const QString& file, const std::vector<TKeptRow>& rows, QString* error);

struct TKeptListRead {
  std::vector<TKeptRow> Rows;
  // Set when the file could not be read: why, and where it was moved (empty when the move
  // failed too; the file then stays where it was).
  QString Error;
  QString MovedTo;
};
// Reads FILE; a missing file is an empty list. An unreadable one is moved aside to
// FILE.damaged-YYYYMMDD-HHMMSS (a free name) and read as empty.
TKeptListRead ReadKeptList(const QString& file);

// The hidden names an unfinished output of OUTPUT_PATH may have in its folder
// (".NAME.quorvin-part", ".NAME.N.quorvin-part"), as the engine names them.
std::vector<QByteArray> PartFileCandidates(const QByteArray& output_path);

// True for a Progress text that is a row's result ("Done", "Fail", ...), false for the texts of
// a row being converted ("Loading", "42%") and for an empty cell.
bool IsFinalResult(const QString& progress);

class TListKeeper : public QObject {
  Q_OBJECT

 public:
  TListKeeper(TFileList& list, QString file, QObject* parent = nullptr);
  ~TListKeeper() override;

  // Reads the kept list and appends its rows to the list. A row that was being converted comes
  // back with an empty Progress cell and its unfinished output removed; a row whose file is gone
  // reads "Error" with the reason. Returns the message for the user when the kept file could not
  // be read and was moved aside, else an empty text.
  QString Restore();
  // A new keeper writes nothing until it is enabled. Off: nothing is written (a pending write
  // is dropped). On: the list is written now.
  void SetEnabled(bool on);
  // Writes a pending change now (on close).
  void Flush();
  const QString& File() const { return file_; }
  // The last write's failure, empty when it succeeded.
  const QString& LastError() const { return last_error_; }

 signals:
  // A write failed after the last one succeeded (once for a run of failures): MESSAGE says
  // where and why, for the user, whose list would otherwise not come back.
  void KeepFailed(const QString& message);

 private:
  void RowsChanged(const QModelIndex& top_left, const QModelIndex& bottom_right);
  void WriteSoon();
  void WriteLater();
  void Write();

  TFileList& list_;
  QString file_;
  bool enabled_ = false;  // until SetEnabled: Restore must not be overwritten first
  bool pending_ = false;
  QTimer soon_;
  QTimer later_;
  QString last_error_;
};
