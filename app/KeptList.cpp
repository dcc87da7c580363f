#include "KeptList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

namespace {

constexpr const char* kFormatName = "quorvin-file-list";
constexpr int kPromptDelayMs = 0;
constexpr int kProgressDelayMs = 200;

QJsonValue Bytes(const QByteArray& bytes) {
  return QString::fromLatin1(bytes.toBase64());
}

std::optional<QByteArray> BytesOf(const QJsonValue& value) {
  if (!value.isString()) return std::nullopt;
  const auto decoded = QByteArray::fromBase64Encoding(value.toString().toLatin1(),
                                                      QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded) return std::nullopt;
  return *decoded;
}

QJsonObject RowObject(const TKeptRow& row) {
  QJsonObject object;
  object["path"] = Bytes(row.Path);
  object["checked"] = row.Checked;
  object["texts"] = QJsonArray::fromStringList(row.Texts);
  object["result"] = row.Result;
  object["reason"] = row.Reason;
  object["output"] = Bytes(row.OutputPath);
  return object;
}

// The row in OBJECT, or nothing when a field is missing or of the wrong type.
std::optional<TKeptRow> RowFrom(const QJsonValue& value) {
  if (!value.isObject()) return std::nullopt;
  const QJsonObject object = value.toObject();
  TKeptRow row;
  const std::optional<QByteArray> path = BytesOf(object["path"]);
  const std::optional<QByteArray> output = BytesOf(object["output"]);
  if (!path || path->isEmpty() || !output || !object["checked"].isBool() ||
      !object["texts"].isArray() || !object["result"].isString() || !object["reason"].isString()) {
    return std::nullopt;
  }
  row.Path = *path;
  row.OutputPath = *output;
  row.Checked = object["checked"].toBool();
  for (const QJsonValue& text : object["texts"].toArray()) {
    if (!text.isString()) return std::nullopt;
    row.Texts << text.toString();
  }
  row.Result = object["result"].toString();
  row.Reason = object["reason"].toString();
  return row;
}

// The rows of DATA, or why they cannot be read.
std::optional<std::vector<TKeptRow>> ParseRows(const QByteArray& data, QString* error) {
  QJsonParseError parse;
  const QJsonDocument document = QJsonDocument::fromJson(data, &parse);
  if (parse.error != QJsonParseError::NoError) {
    *error = "it is damaged or cut short (" + parse.errorString() + ")";
    return std::nullopt;
  }
  const QJsonObject top = document.object();
  if (!document.isObject() || top["format"].toString() != kFormatName ||
      !top["version"].isDouble()) {
    *error = "it is not a kept file list";
    return std::nullopt;
  }
  if (top["version"].toInt() > kKeptListVersion) {
    *error = "it was written by a newer version of this program";
    return std::nullopt;
  }
  if (!top["rows"].isArray()) {
    *error = "it is damaged (no rows)";
    return std::nullopt;
  }
  std::vector<TKeptRow> rows;
  for (const QJsonValue& value : top["rows"].toArray()) {
    std::optional<TKeptRow> row = RowFrom(value);
    if (!row) {
      *error = "it is damaged (a row cannot be read)";
      return std::nullopt;
    }
    rows.push_back(std::move(*row));
  }
  return rows;
}

// Moves FILE to a free dated name beside it; the new name, or empty when it could not move.
QString MoveAside(const QString& file) {
  const QString base =
      file + ".damaged-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
  for (int n = 1; n < 100; ++n) {
    const QString name = n == 1 ? base : base + "-" + QString::number(n);
    if (QFileInfo::exists(name)) continue;
    if (::rename(QFile::encodeName(file).constData(), QFile::encodeName(name).constData()) == 0) {
      return name;
    }
    return {};
  }
  return {};
}

// Makes a rename in FOLDER durable: the folder's entry is synced too.
void SyncFolder(const QString& folder) {
  const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

QString KeptListFile() {
  // Only an absolute XDG_DATA_HOME counts; otherwise the default place under the home folder.
  QString data = qEnvironmentVariable("XDG_DATA_HOME");
  if (!QDir::isAbsolutePath(data)) data = QDir::homePath() + "/.local/share";
  return QDir(data).filePath("Quorvin/file-list.json");
}

bool WriteKeptList(const QString& file, const std::vector<TKeptRow>& rows, QString* error) {
  const QString folder = QFileInfo(file).absolutePath();
  if (!QDir().mkpath(folder)) {
    *error = "the folder \"" + folder + "\" cannot be made";
    return false;
  }
  QJsonArray array;
  for (const TKeptRow& row : rows) array.append(RowObject(row));
  QJsonObject top;
  top["format"] = kFormatName;
  top["version"] = kKeptListVersion;
  top["rows"] = array;
  const QByteArray data = QJsonDocument(top).toJson(QJsonDocument::Compact);

  // QSaveFile writes a temporary file beside FILE, syncs it and renames it over FILE; on any
  // failure the temporary file is removed and FILE is left as it was.
  QSaveFile out(file);
  if (!out.open(QIODevice::WriteOnly) || out.write(data) != data.size() || !out.commit()) {
    *error = out.errorString();
    out.cancelWriting();
    return false;
  }
  SyncFolder(folder);
  return true;
}

TKeptListRead ReadKeptList(const QString& file) {
  TKeptListRead read;
  QFile in(file);
  if (!in.exists()) return read;
  QString error;
  std::optional<std::vector<TKeptRow>> rows;
  if (!in.open(QIODevice::ReadOnly)) {
    // Unreadable by permission or I/O: left where it is, the window starts empty.
    read.Error = in.errorString();
    return read;
  }
  rows = ParseRows(in.readAll(), &error);
  in.close();
  if (rows) {
    read.Rows = std::move(*rows);
    return read;
  }
  read.Error = error;
  read.MovedTo = MoveAside(file);
  return read;
}

std::vector<QByteArray> PartFileCandidates(const QByteArray& output_path) {
  std::vector<QByteArray> names;
  if (output_path.isEmpty()) return names;
  const qsizetype slash = output_path.lastIndexOf('/');
  const QByteArray folder = slash < 0 ? QByteArray() : output_path.left(slash + 1);
  const QByteArray name = slash < 0 ? output_path : output_path.mid(slash + 1);
  // The engine tries ".NAME.quorvin-part" first, then numbered names up to 99; a name near the
  // file system's limit is cut at a UTF-8 character boundary to fit.
  for (int attempt = 0; attempt <= 99; ++attempt) {
    const QByteArray suffix =
        (attempt > 0 ? "." + QByteArray::number(attempt) : QByteArray()) + ".quorvin-part";
    QByteArray kept = name;
    if (1 + kept.size() + suffix.size() > NAME_MAX) {
      qsizetype keep = NAME_MAX - 1 - suffix.size();
      while (keep > 0 && (static_cast<unsigned char>(kept[keep]) & 0xC0) == 0x80) --keep;
      kept.truncate(keep);
    }
    names.push_back(folder + "." + kept + suffix);
  }
  return names;
}

bool IsFinalResult(const QString& progress) {
  for (const char* result : {"Done", "Fail", "Abort", "Error"}) {
    if (progress.startsWith(QLatin1String(result))) return true;
  }
  return false;
}

// ---- TListKeeper ----

TListKeeper::TListKeeper(TFileList& list, QString file, QObject* parent)
    : QObject(parent), list_(list), file_(std::move(file)) {
  soon_.setSingleShot(true);
  soon_.setInterval(kPromptDelayMs);
  later_.setSingleShot(true);
  later_.setInterval(kProgressDelayMs);
  connect(&soon_, &QTimer::timeout, this, &TListKeeper::Write);
  connect(&later_, &QTimer::timeout, this, &TListKeeper::Write);
  const QAbstractItemModel* model = &list_.Model();
  connect(model, &QAbstractItemModel::dataChanged, this, &TListKeeper::RowsChanged);
  connect(model, &QAbstractItemModel::rowsInserted, this, &TListKeeper::WriteLater);
  connect(model, &QAbstractItemModel::rowsMoved, this, &TListKeeper::WriteLater);
  connect(model, &QAbstractItemModel::layoutChanged, this, &TListKeeper::WriteLater);
  // Removing rows is the user's act and is written at once, as a result is.
  connect(model, &QAbstractItemModel::rowsRemoved, this, &TListKeeper::WriteSoon);
  connect(model, &QAbstractItemModel::modelReset, this, &TListKeeper::WriteSoon);
}

TListKeeper::~TListKeeper() {
  Flush();
}

void TListKeeper::RowsChanged(const QModelIndex& top_left, const QModelIndex& bottom_right) {
  if (top_left.column() <= colProgress && colProgress <= bottom_right.column()) {
    for (int row = top_left.row(); row <= bottom_right.row(); ++row) {
      if (IsFinalResult(list_.Text(row, colProgress))) {
        WriteSoon();
        return;
      }
    }
  }
  WriteLater();
}

void TListKeeper::WriteSoon() {
  if (!enabled_) return;
  pending_ = true;
  later_.stop();
  if (!soon_.isActive()) soon_.start();
}

void TListKeeper::WriteLater() {
  if (!enabled_) return;
  pending_ = true;
  if (!soon_.isActive() && !later_.isActive()) later_.start();
}

void TListKeeper::Flush() {
  if (pending_) Write();
}

void TListKeeper::SetEnabled(bool on) {
  enabled_ = on;
  if (on) {
    pending_ = true;
    Write();
  } else {
    pending_ = false;
    soon_.stop();
    later_.stop();
  }
}

void TListKeeper::Write() {
  soon_.stop();
  later_.stop();
  if (!enabled_) return;
  pending_ = false;
  std::vector<TKeptRow> rows;
  rows.reserve(static_cast<size_t>(list_.RowCount()));
  for (int row = 0; row < list_.RowCount(); ++row) {
    TKeptRow kept;
    kept.Path = list_.Path(row);
    kept.Checked = list_.Checked(row);
    for (int column = colVideoSize; column < colProgress; ++column) {
      kept.Texts << list_.Text(row, static_cast<TFileColumn>(column));
    }
    kept.Result = list_.Text(row, colProgress);
    kept.Reason = list_.Reason(row);
    kept.OutputPath = list_.OutputPath(row);
    rows.push_back(std::move(kept));
  }
  const bool failing = !last_error_.isEmpty();
  last_error_.clear();
  if (!WriteKeptList(file_, rows, &last_error_)) {
    qWarning("The file list cannot be kept in %s: %s", qPrintable(file_), qPrintable(last_error_));
    if (!failing) {
      emit KeepFailed("The file list cannot be kept in \"" + file_ + "\": " + last_error_ +
                      ". It will not come back at the next start.");
    }
  }
}

QString TListKeeper::Restore() {
  TKeptListRead read = ReadKeptList(file_);
  for (TKeptRow& kept : read.Rows) {
    // The columns after Progress (Frames) belong to a run and start empty.
    const TRowId id = list_.AddFileRow(kept.Path, kept.Texts);
    const int row = list_.RowOf(id);
    list_.SetChecked(row, kept.Checked);
    list_.SetOutputPath(id, kept.OutputPath);
    const bool finished = IsFinalResult(kept.Result);
    if (!finished && !kept.Result.isEmpty()) {
      // It was being converted when the program ended: its unfinished output goes, and the row
      // is ready to convert again (an empty Progress cell).
      for (const QByteArray& part : PartFileCandidates(kept.OutputPath)) ::unlink(part.constData());
    }
    struct stat info {};
    if (::stat(kept.Path.constData(), &info) != 0) {
      const int err = errno;
      list_.SetResult(row, "Error",
                      QString("The file is gone since the list was kept: ") +
                          QString::fromLocal8Bit(std::strerror(err)));
    } else if (finished) {
      list_.SetResult(row, kept.Result, kept.Reason);
    }
  }
  if (read.Error.isEmpty()) return {};
  if (read.MovedTo.isEmpty()) {
    return "The kept file list \"" + file_ + "\" cannot be read: " + read.Error +
           ". The list starts empty.";
  }
  return "The kept file list \"" + file_ + "\" cannot be read: " + read.Error +
         ". It was moved to \"" + read.MovedTo + "\" and the list starts empty.";
}
