// The file list's data: one row per source file, shown by the main window's list view.
// Each row is one TFileRow: its identity, the source path's bytes as the system gave them (a
// name need not be valid UTF-8) with a readable caption made from them, its check mark, the
// texts of the other columns (Video Size, FrameRate, Duration, Output, Progress, Frames), the
// reason behind its result and the output path its job writes. TFileListModel shows the rows
// to the view; TFileList is what the window and the queue read and write.
//
// Every row carries an identity that never changes and is never reused, so that a job can
// find its row again after rows before it were removed. Every change, check marks included,
// is announced by the model's standard signals (dataChanged, rowsInserted, rowsRemoved,
// modelReset), so a listener sees all of them. No widget code; UI thread only.
#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <vector>

#include "ProbeColumns.h"

using TRowId = std::uint64_t;
inline constexpr TRowId kNoRow = 0;

// The list's columns in view order. A new column is one entry here, its header in the model's
// column table (FileList.cpp) and its width in the view.
enum TFileColumn : int {
  colFileName = 0,
  colVideoSize = 1,
  colFrameRate = 2,
  colDuration = 3,
  colOutput = 4,
  colProgress = 5,
  colFrames = 6,
  colOutputSize = 7,
  kFileColumnCount = 8
};

// A readable text of the file name PATH: its UTF-8 text, or, for bytes that are not valid
// UTF-8 (a name written in Latin-1 by an older system), each byte as its Latin-1 character.
QString DisplayName(const QByteArray& path);

// One row of the list.
struct TFileRow {
  TRowId Id = kNoRow;
  QByteArray Path;  // what the file is opened by and its output is named after
  bool Checked = true;
  // The text of each column; the file name column holds the caption, DisplayName(Path).
  std::array<QString, kFileColumnCount> Texts;
  // The reason behind the result in the Progress column, on one line ("" when none).
  QString Reason;
  // The output the row's job writes, set when the job is set up ("" before).
  QByteArray OutputPath;
  // What the probe found of the source (for its size estimate); not ok when the row came
  // from elsewhere (the kept list), and then read from the row's texts.
  ProbeColumns Probed;
};

// The rows as the view sees them: the texts, the check box of the file name column (the
// only thing the view may change), the caption's tooltip and the result's reason as the
// Progress cell's tooltip and accessible description.
class TFileListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  const std::vector<TFileRow>& Rows() const { return rows_; }
  void Append(TFileRow row);
  void Remove(int first, int count);
  void RemoveAll();
  // Runs CHANGE on row ROW and announces the cells of COLUMNS (first .. last) as changed
  // when CHANGE returns true (something did change).
  template <typename Change>
  void Edit(int row, int first_column, int last_column, Change&& change) {
    if (row < 0 || row >= static_cast<int>(rows_.size())) return;
    if (change(rows_[static_cast<size_t>(row)])) {
      emit dataChanged(index(row, first_column), index(row, last_column));
    }
  }

 private:
  std::vector<TFileRow> rows_;
};

class TFileList {
 public:
  // The model the view shows.
  QAbstractItemModel& Model() { return model_; }
  const QAbstractItemModel& Model() const { return model_; }

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
  // The output path the row's job writes (its unfinished form carries the engine's temporary
  // suffix until the job ends); "" until a job was set up for the row.
  QByteArray OutputPath(int row) const;
  void SetOutputPath(TRowId id, const QByteArray& path);
  // Writes the size of the row's output file into its Output Size column; nothing when no
  // file is there.
  void ShowOutputFileSize(int row);
  // What is known of the row's source for a size estimate: its probe, or when it was not
  // probed here (a kept row) what its Video Size, FrameRate and Duration texts say.
  ProbeColumns SourceColumns(int row) const;
  void SetProbed(TRowId id, const ProbeColumns& columns);
  QString Text(int row, TFileColumn column) const;
  void SetText(int row, TFileColumn column, const QString& text);
  // Writes into the row with identity `id`; nothing when that row is gone.
  void SetText(TRowId id, TFileColumn column, const QString& text);

  // The result of a row in its Progress column with the reason behind it ("Fail" and why, or
  // "Done" and a note): the reason is the cell's tooltip and its accessible description, so a
  // screen reader can read it.
  void SetResult(int row, const QString& text, const QString& reason);
  QString Reason(int row) const;

  bool Checked(int row) const;
  void SetChecked(int row, bool checked);
  void SetAllChecked(bool checked);

  // Writes `text` into `column` of every row (the Output column after a format change, the
  // emptied Progress column before a run).
  void SetColumn(TFileColumn column, const QString& text);

 private:
  const TFileRow* At(int row) const;

  TFileListModel model_;
  TRowId next_id_ = 1;
};
