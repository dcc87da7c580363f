#include "FileList.h"

#include <QFile>
#include <QStringDecoder>

#include "ReasonText.h"

namespace {

constexpr int kRowIdRole = Qt::UserRole + 1;
constexpr int kPathRole = Qt::UserRole + 2;    // on the file name item
constexpr int kOutputRole = Qt::UserRole + 3;  // on the file name item

}  // namespace

TFileList::TFileList() : model_(0, kFileColumnCount) {
  model_.setHorizontalHeaderLabels(
      {"Video File Name", "Video Size", "FrameRate", "Duration", "Output", "Progress", "Frames"});
  for (int column = colVideoSize; column < kFileColumnCount; ++column) {
    model_.setHeaderData(column, Qt::Horizontal, Qt::AlignCenter, Qt::TextAlignmentRole);
  }
  model_.setHeaderData(colFileName, Qt::Horizontal,
                       QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter),
                       Qt::TextAlignmentRole);
}

QString DisplayName(const QByteArray& path) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8.decode(path);
  return utf8.hasError() ? QString::fromLatin1(path) : text;
}

TRowId TFileList::AddRow(const QString& caption, const QStringList& texts) {
  return AddFileRow(QFile::encodeName(caption), texts);
}

TRowId TFileList::AddFileRow(const QByteArray& path, const QStringList& texts) {
  QList<QStandardItem*> items;
  const QString caption = DisplayName(path);
  auto* first = new QStandardItem(caption);
  first->setData(path, kPathRole);
  first->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  first->setCheckState(Qt::Checked);
  const TRowId id = next_id_++;
  first->setData(QVariant::fromValue<qulonglong>(id), kRowIdRole);
  first->setToolTip(caption);
  items.append(first);
  for (int column = colVideoSize; column < kFileColumnCount; ++column) {
    auto* item = new QStandardItem(texts.value(column - 1));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item->setTextAlignment(Qt::AlignCenter);
    items.append(item);
  }
  model_.appendRow(items);
  return id;
}

void TFileList::RemoveRows(int first, int count) {
  if (first >= 0 && count > 0 && first + count <= RowCount()) model_.removeRows(first, count);
}

void TFileList::Clear() {
  model_.removeRows(0, RowCount());
}

TRowId TFileList::RowId(int row) const {
  const QStandardItem* item = model_.item(row, colFileName);
  return item != nullptr ? item->data(kRowIdRole).toULongLong() : kNoRow;
}

int TFileList::RowOf(TRowId id) const {
  if (id == kNoRow) return -1;
  for (int row = 0; row < RowCount(); ++row) {
    if (RowId(row) == id) return row;
  }
  return -1;
}

QString TFileList::Caption(int row) const {
  return Text(row, colFileName);
}

QByteArray TFileList::Path(int row) const {
  const QStandardItem* item = model_.item(row, colFileName);
  return item != nullptr ? item->data(kPathRole).toByteArray() : QByteArray();
}

QString TFileList::Text(int row, TFileColumn column) const {
  const QStandardItem* item = model_.item(row, column);
  return item != nullptr ? item->text() : QString();
}

void TFileList::SetText(int row, TFileColumn column, const QString& text) {
  QStandardItem* item = model_.item(row, column);
  if (item != nullptr && item->text() != text) item->setText(text);
}

void TFileList::SetText(TRowId id, TFileColumn column, const QString& text) {
  SetText(RowOf(id), column, text);
}

void TFileList::SetResult(int row, const QString& text, const QString& reason) {
  SetText(row, colProgress, text);
  if (QStandardItem* item = model_.item(row, colProgress)) {
    const QString shown = QString::fromStdString(ReasonOnOneLine(reason.toStdString()));
    item->setToolTip(shown);
    item->setData(shown, Qt::AccessibleDescriptionRole);
  }
}

QString TFileList::Reason(int row) const {
  const QStandardItem* item = model_.item(row, colProgress);
  return item != nullptr ? item->data(Qt::AccessibleDescriptionRole).toString() : QString();
}

QByteArray TFileList::OutputPath(int row) const {
  const QStandardItem* item = model_.item(row, colFileName);
  return item != nullptr ? item->data(kOutputRole).toByteArray() : QByteArray();
}

void TFileList::SetOutputPath(TRowId id, const QByteArray& path) {
  if (QStandardItem* item = model_.item(RowOf(id), colFileName)) item->setData(path, kOutputRole);
}

bool TFileList::Checked(int row) const {
  const QStandardItem* item = model_.item(row, colFileName);
  return item != nullptr && item->checkState() == Qt::Checked;
}

void TFileList::SetChecked(int row, bool checked) {
  if (QStandardItem* item = model_.item(row, colFileName)) {
    item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
  }
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
