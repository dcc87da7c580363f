#include "WindowOptions.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <optional>

namespace {

// A stored 32-bit integer, or nothing when the value is missing or is not an integer.
std::optional<int> ReadInteger(const QSettings& store, const QString& name) {
  const QVariant value = store.value(name);
  if (!value.isValid()) return std::nullopt;
  const auto type = value.typeId();
  if (type == QMetaType::Int || type == QMetaType::LongLong || type == QMetaType::UInt) {
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok ? std::optional<int>(number) : std::nullopt;
  }
  if (type != QMetaType::QString) return std::nullopt;
  bool ok = false;
  const int number = value.toString().trimmed().toInt(&ok);
  return ok ? std::optional<int>(number) : std::nullopt;
}

}  // namespace

QString DefaultOutputFolder() {
  const QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
  if (videos.isEmpty() || videos == QDir::homePath() || !QFileInfo(videos).isDir()) return {};
  return QDir::toNativeSeparators(videos);
}

TWindowOptions::TWindowOptions(QObject* parent) : QObject(parent) {}

int TWindowOptions::MaxConversionsAtOnce() {
  return std::max(1, QThread::idealThreadCount());
}

std::int64_t TWindowOptions::TargetSizeBytes() const {
  return fit_ ? static_cast<std::int64_t>(target_mb_) * 1000 * 1000 : 0;
}

template <typename T>
void TWindowOptions::Set(T& field, T value, TWindowOption option) {
  if (field == value) return;
  field = value;
  emit Changed(option);
}

void TWindowOptions::SetOverwrite(bool on) {
  Set(overwrite_, on, TWindowOption::Overwrite);
}
void TWindowOptions::SetDropDownItems(int count) {
  Set(drop_down_items_, std::clamp(count, kMinDropDownItems, kMaxDropDownItems),
      TWindowOption::DropDownItems);
}
void TWindowOptions::SetZoom(int index) {
  Set(zoom_, std::max(index, -1), TWindowOption::Zoom);
}
void TWindowOptions::SetAspectRatio(int index) {
  Set(aspect_, std::max(index, -1), TWindowOption::AspectRatio);
}
void TWindowOptions::SetConversionsAtOnce(int count) {
  Set(at_once_, std::clamp(count, 1, MaxConversionsAtOnce()), TWindowOption::ConversionsAtOnce);
}
void TWindowOptions::SetKeepFileList(bool on) {
  Set(keep_list_, on, TWindowOption::KeepFileList);
}
void TWindowOptions::SetFitToSize(bool on) {
  Set(fit_, on, TWindowOption::FitToSize);
}
void TWindowOptions::SetTargetSizeMB(int megabytes) {
  Set(target_mb_, std::clamp(megabytes, 1, kMaxTargetSizeMB), TWindowOption::FitToSize);
}
void TWindowOptions::SetCheckOutputs(bool on) {
  Set(check_, on, TWindowOption::CheckOutputs);
}
void TWindowOptions::SetTrashSources(bool on) {
  Set(trash_, on, TWindowOption::TrashSources);
}

bool TWindowOptions::Load() {
  const QSignalBlocker quiet(this);
  QSettings store(kSettingsOrganisation, kSettingsApplication);
  const QVariant folder = store.value("Output Folder");
  if (folder.isValid() && folder.typeId() != QMetaType::QString) return false;
  window_.OutputFolder = folder.isValid() ? folder.toString() : DefaultOutputFolder();

  const std::optional<int> format = ReadInteger(store, "ComboOutputFormat");
  if (!format) return false;
  window_.Format = *format;
  const std::optional<int> overwrite = ReadInteger(store, "Overwrite");
  if (!overwrite) return false;
  SetOverwrite(*overwrite != 0);
  const std::optional<int> drop_down = ReadInteger(store, "DropDownItems");
  if (!drop_down) return false;
  if (*drop_down >= 0) SetDropDownItems(*drop_down);
  const std::optional<int> zoom = ReadInteger(store, "LetterBox");
  if (!zoom) return false;
  SetZoom(*zoom);
  const std::optional<int> video = ReadInteger(store, "VideoQuality");
  if (!video) return false;
  window_.VideoQuality = *video;
  const std::optional<int> audio = ReadInteger(store, "AudioQuality");
  if (!audio) return false;
  window_.AudioQuality = *audio;

  // The options added later: a store written before them ends here and gets them written.
  const std::optional<int> at_once = ReadInteger(store, "ConversionsAtOnce");
  if (!at_once) return false;
  SetConversionsAtOnce(*at_once);
  const std::optional<int> keep = ReadInteger(store, "KeepFileList");
  if (!keep) return false;
  SetKeepFileList(*keep != 0);
  const std::optional<int> fit = ReadInteger(store, "FitToSize");
  const std::optional<int> target = ReadInteger(store, "TargetSizeMB");
  if (!fit || !target) return false;
  SetFitToSize(*fit != 0);
  SetTargetSizeMB(*target);
  const std::optional<int> check = ReadInteger(store, "CheckOutputs");
  if (!check) return false;
  SetCheckOutputs(*check != 0);
  const std::optional<int> trash = ReadInteger(store, "TrashSources");
  if (!trash) return false;
  SetTrashSources(*trash != 0);
  return true;
}

bool TWindowOptions::Save() {
  QSettings store(kSettingsOrganisation, kSettingsApplication);
  settings_file_ = store.fileName();
  if (!store.isWritable()) return false;
  store.setValue("Output Folder", window_.OutputFolder);
  store.setValue("ComboOutputFormat", window_.Format);
  store.setValue("Overwrite", overwrite_ ? 1 : 0);
  store.setValue("DropDownItems", drop_down_items_);
  store.setValue("LetterBox", zoom_);
  store.setValue("VideoQuality", window_.VideoQuality);
  store.setValue("AudioQuality", window_.AudioQuality);
  store.setValue("ConversionsAtOnce", at_once_);
  store.setValue("KeepFileList", keep_list_ ? 1 : 0);
  store.setValue("FitToSize", fit_ ? 1 : 0);
  store.setValue("TargetSizeMB", target_mb_);
  store.setValue("CheckOutputs", check_ ? 1 : 0);
  store.setValue("TrashSources", trash_ ? 1 : 0);
  store.sync();
  return store.status() == QSettings::NoError;
}
