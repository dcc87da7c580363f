#include "FileList.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include "ReasonText.h"
#include "SizeEstimate.h"

namespace {

// The columns' headers, in TFileColumn order.
const char* const kColumnTitles[kFileColumnCount] = {"Video File Name", "Video Size", "FrameRate",
                                                     "Duration",        "Output",     "Progress",
                                                     "Frames",          "Output Size"};

QVariant Alignment(int column) {
  return column == colFileName ? QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter)
                               : QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
}

}  // namespace

QString DisplayName(const QByteArray& path) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8.decode(path);
  return utf8.hasError() ? QString::fromLatin1(path) : text;
}

// ---- TFileListModel ----

int TFileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TFileListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kFileColumnCount;
}

QVariant TFileListModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return {};
  }
  const TFileRow& row = rows_[static_cast<size_t>(index.row())];
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return row.Texts[static_cast<size_t>(column)];
    case Qt::CheckStateRole:
      if (column == colFileName) return row.Checked ? Qt::Checked : Qt::Unchecked;
      return {};
    case Qt::ToolTipRole:
      // The caption shows the whole name a narrow column elides; the result shows its reason.
      if (column == colFileName) return row.Texts[colFileName];
      if (column == colProgress && !row.Reason.isEmpty()) return row.Reason;
      return {};
    case Qt::AccessibleDescriptionRole:
      if (column == colProgress && !row.Reason.isEmpty()) return row.Reason;
      return {};
    case Qt::TextAlignmentRole:
      return column == colFileName ? QVariant() : Alignment(column);
    default:
      return {};
  }
}

bool TFileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  // The view changes nothing but the check marks.
  if (role != Qt::CheckStateRole || index.column() != colFileName ||
      !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
    return false;
  }
  const bool checked = value.toInt() == Qt::Checked;
  Edit(index.row(), colFileName, colFileName, [checked](TFileRow& row) {
    if (row.Checked == checked) return false;
    row.Checked = checked;
    return true;
  });
  return true;
}

Qt::ItemFlags TFileListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == colFileName) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

QVariant TFileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kFileColumnCount) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  if (role == Qt::DisplayRole) return QString::fromLatin1(kColumnTitles[section]);
  if (role == Qt::TextAlignmentRole) return Alignment(section);
  return {};
}

void TFileListModel::Append(TFileRow row) {
  const int at = static_cast<int>(rows_.size());
  beginInsertRows(QModelIndex(), at, at);
  rows_.push_back(std::move(row));
  endInsertRows();
}

void TFileListModel::Remove(int first, int count) {
  beginRemoveRows(QModelIndex(), first, first + count - 1);
  rows_.erase(rows_.begin() + first, rows_.begin() + first + count);
  endRemoveRows();
}

void TFileListModel::RemoveAll() {
  beginResetModel();
  rows_.clear();
  endResetModel();
}

// ---- TFileList ----

const TFileRow* TFileList::At(int row) const {
  const std::vector<TFileRow>& rows = model_.Rows();
  return row >= 0 && row < static_cast<int>(rows.size()) ? &rows[static_cast<size_t>(row)]
                                                         : nullptr;
}

TRowId TFileList::AddRow(const QString& caption, const QStringList& texts) {
  return AddFileRow(QFile::encodeName(caption), texts);
}

TRowId TFileList::AddFileRow(const QByteArray& path, const QStringList& texts) {
  TFileRow row;
  row.Id = next_id_++;
  row.Path = path;
  row.Texts[colFileName] = DisplayName(path);
  for (int column = colVideoSize; column < kFileColumnCount; ++column) {
    row.Texts[static_cast<size_t>(column)] = texts.value(column - 1);
  }
  const TRowId id = row.Id;
  model_.Append(std::move(row));
  return id;
}

void TFileList::RemoveRows(int first, int count) {
  if (first >= 0 && count > 0 && first + count <= RowCount()) model_.Remove(first, count);
}

void TFileList::Clear() {
  model_.RemoveAll();
}

TRowId TFileList::RowId(int row) const {
  const TFileRow* item = At(row);
  return item != nullptr ? item->Id : kNoRow;
}

int TFileList::RowOf(TRowId id) const {
  if (id == kNoRow) return -1;
  const std::vector<TFileRow>& rows = model_.Rows();
  for (size_t row = 0; row < rows.size(); ++row) {
    if (rows[row].Id == id) return static_cast<int>(row);
  }
  return -1;
}

QString TFileList::Caption(int row) const {
  return Text(row, colFileName);
}

QByteArray TFileList::Path(int row) const {
  const TFileRow* item = At(row);
  return item != nullptr ? item->Path : QByteArray();
}

QByteArray TFileList::OutputPath(int row) const {
  const TFileRow* item = At(row);
  return item != nullptr ? item->OutputPath : QByteArray();
}

void TFileList::ShowOutputFileSize(int row) {
  const QFileInfo output(QFile::decodeName(OutputPath(row)));
  if (output.isFile())
    SetText(row, colOutputSize, QString::fromStdString(MegabytesText(output.size())));
}

void TFileList::SetOutputPath(TRowId id, const QByteArray& path) {
  // Not shown: the Output column names the format. The signal still tells listeners that
  // keep the list.
  model_.Edit(RowOf(id), colOutput, colOutput, [&path](TFileRow& row) {
    if (row.OutputPath == path) return false;
    row.OutputPath = path;
    return true;
  });
}

QString TFileList::Text(int row, TFileColumn column) const {
  const TFileRow* item = At(row);
  if (item == nullptr || column < 0 || column >= kFileColumnCount) return QString();
  return item->Texts[static_cast<size_t>(column)];
}

void TFileList::SetText(int row, TFileColumn column, const QString& text) {
  if (column < 0 || column >= kFileColumnCount) return;
  model_.Edit(row, column, column, [column, &text](TFileRow& item) {
    QString& cell = item.Texts[static_cast<size_t>(column)];
    if (cell == text) return false;
    cell = text;
    return true;
  });
}

void TFileList::SetText(TRowId id, TFileColumn column, const QString& text) {
  SetText(RowOf(id), column, text);
}

void TFileList::SetResult(int row, const QString& text, const QString& reason) {
  const QString shown = QString::fromStdString(ReasonOnOneLine(reason.toStdString()));
  model_.Edit(row, colProgress, colProgress, [&text, &shown](TFileRow& item) {
    QString& cell = item.Texts[colProgress];
    if (cell == text && item.Reason == shown) return false;
    cell = text;
    item.Reason = shown;
    return true;
  });
}

QString TFileList::Reason(int row) const {
  const TFileRow* item = At(row);
  return item != nullptr ? item->Reason : QString();
}

ProbeColumns TFileList::SourceColumns(int row) const {
  const TFileRow* item = At(row);
  if (item == nullptr) return {};
  if (item->Probed.ok) return item->Probed;
  ProbeColumns columns;
  const QString size = item->Texts[colVideoSize].trimmed();
  const QStringList hms = item->Texts[colDuration].split(':');
  if (hms.size() != 3) return columns;  // an unknown duration: no estimate
  double seconds = 0;
  for (const QString& part : hms) {
    bool ok = false;
    seconds = seconds * 60 + part.toInt(&ok);
    if (!ok) return columns;
  }
  columns.ok = true;
  columns.video_size = size.toStdString();
  columns.frame_rate = item->Texts[colFrameRate].toStdString();
  columns.duration = item->Texts[colDuration].toStdString();
  columns.duration_seconds = seconds;
  columns.has_video = !size.isEmpty();
  columns.has_sound = true;  // not known: the estimate counts the format's sound
  return columns;
}

void TFileList::SetProbed(TRowId id, const ProbeColumns& columns) {
  // Nothing shown changes: the estimate is written into its own column by the window.
  model_.Edit(RowOf(id), colFileName, colFileName, [&columns](TFileRow& row) {
    row.Probed = columns;
    return false;
  });
}

bool TFileList::Checked(int row) const {
  const TFileRow* item = At(row);
  return item != nullptr && item->Checked;
}

void TFileList::SetChecked(int row, bool checked) {
  model_.setData(model_.index(row, colFileName), checked ? Qt::Checked : Qt::Unchecked,
                 Qt::CheckStateRole);
}

void TFileList::SetAllChecked(bool checked) {
  for (int row = 0; row < RowCount(); ++row) SetChecked(row, checked);
}

void TFileList::SetColumn(TFileColumn column, const QString& text) {
  for (int row = 0; row < RowCount(); ++row) {
    // A new result in the Progress column leaves no older reason behind.
    if (column == colProgress) {
      SetResult(row, text, QString());
    } else {
      SetText(row, column, text);
    }
  }
}
