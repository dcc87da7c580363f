// The file list's data: one row per source file, shown by the main window's list view.
// Column 0 holds the source path with its check box: the path's bytes as the system gave them
// (a name need not be valid UTF-8) and a readable caption made from them; columns 1 to 6 hold
// the texts the add-files procedure and the conversion queue write (Video Size, FrameRate,
// Duration, Output, Progress, Frames).
//
// Every row carries an identity that never changes and is never reused, so that a job can
// find its row again after rows before it were removed. No widget code; UI thread only.
#pragma once

#include <QByteArray>
#include <QStandardItemModel>
#include <QString>
#include <QStringList>
#include <cstdint>

using TRowId = std::uint64_t;
inline constexpr TRowId kNoRow = 0;

enum TFileColumn : int {
  colFileName = 0,
  colVideoSize = 1,
  colFrameRate = 2,
  colDuration = 3,
  colOutput = 4,
  colProgress = 5,
  colFrames = 6,
  kFileColumnCount = 7
};

// A readable text of the file name PATH: its UTF-8 text, or, for bytes that are not valid
// UTF-8 (a name written in Latin-1 by an older system), each byte as its Latin-1 character.
QString DisplayName(const QByteArray& path);

class TFileList {
 public:
  TFileList();

  QStandardItemModel& Model() { return model_; }
  const QStandardItemModel& Model() const { return model_; }

  int RowCount() const { return model_.rowCount(); }

  // Appends a checked row for the file at PATH (its bytes, as the system names it); `texts`
  // are the sub-items 0..5 (Video Size .. Frames). The caption is DisplayName(PATH).
  TRowId AddFileRow(const QByteArray& path, const QStringList& texts);
  // The same for a path given as text (QFile::encodeName gives its bytes).
  TRowId AddRow(const QString& caption, const QStringList& texts);
  // Removes the rows first .. first + count - 1 in one step; nothing when they are not all there.
  void RemoveRows(int first, int count);
  void Clear();

  TRowId RowId(int row) const;
  // Current position of the row with identity `id`, or -1 when it no longer exists.
  int RowOf(TRowId id) const;

  QString Caption(int row) const;
  // The row's source path as bytes: what the file is opened by and its output is named after.
  QByteArray Path(int row) const;
  QString Text(int row, TFileColumn column) const;
  void SetText(int row, TFileColumn column, const QString& text);
  // Writes into the row with identity `id`; nothing when that row is gone.
  void SetText(TRowId id, TFileColumn column, const QString& text);

  // The result of a row in its Progress column with the reason behind it ("Fail" and why, or
  // "Done" and a note): the reason is the cell's tooltip and its accessible description, so a
  // screen reader can read it.
  void SetResult(int row, const QString& text, const QString& reason);
  QString Reason(int row) const;

  // The output the row's job writes (set when its job is set up); empty before.
  QByteArray OutputPath(int row) const;
  void SetOutputPath(TRowId id, const QByteArray& path);

  bool Checked(int row) const;
  void SetChecked(int row, bool checked);
  void SetAllChecked(bool checked);

  // Writes `text` into `column` of every row (the Output column after a format change, the
  // emptied Progress column before a run).
  void SetColumn(TFileColumn column, const QString& text);

 private:
  QStandardItemModel model_;
  TRowId next_id_ = 1;
};
