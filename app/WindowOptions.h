// The window's options: what the Additional Options dialog shows and changes, and the stored
// settings of the window itself (output folder, format, qualities). The window owns one
// TWindowOptions, gives it to the dialog and applies what its Changed signal reports; the
// dialog and the window never call each other. Load and Save read and write the stored
// settings (QSettings under kSettingsOrganisation / kSettingsApplication). UI thread only.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

// The stored settings are found under these names; they stay fixed even if the product is
// renamed, so a user's settings survive an update.
inline constexpr const char* kSettingsOrganisation = "Quorvin";
inline constexpr const char* kSettingsApplication = "Quorvin iPod Video Converter";

inline constexpr int kMinDropDownItems = 26;
inline constexpr int kMaxDropDownItems = 47;
inline constexpr int kMaxTargetSizeMB = 1000000;

// What a Changed signal is about.
enum class TWindowOption {
  Overwrite,
  DropDownItems,
  Zoom,
  AspectRatio,
  ConversionsAtOnce,
  KeepFileList,
  FitToSize,  // the check box or the size beside it
  CheckOutputs,
  TrashSources,
};

// Values the window keeps in its own widgets and setting model; it hands them over before
// saving and takes them after loading. An index of -1 keeps the window's default.
struct TWindowState {
  QString OutputFolder;
  int Format = -1;
  int VideoQuality = -1;
  int AudioQuality = -1;
};

class TWindowOptions : public QObject {
  Q_OBJECT

 public:
  explicit TWindowOptions(QObject* parent = nullptr);

  // Reads the stored settings in their fixed order. A value that is missing or of the wrong
  // type ends the reading: the values before it are taken, the rest keep their defaults, and
  // false is returned so that the caller saves everything again (this is how the values come
  // into being on the first run). A missing output folder on a first run becomes the user's
  // videos folder. Emits no Changed signal: the caller applies everything after loading.
  bool Load();
  // Writes every value. False when the store cannot be written; SettingsFile() names it then.
  bool Save();
  const QString& SettingsFile() const { return settings_file_; }

  TWindowState& Window() { return window_; }
  const TWindowState& Window() const { return window_; }

  bool Overwrite() const { return overwrite_; }
  int DropDownItems() const { return drop_down_items_; }
  // The zoom and aspect lists' indexes (-1: a typed text that names no item).
  int Zoom() const { return zoom_; }
  int AspectRatio() const { return aspect_; }
  // How many rows convert together: 1 up to the machine's threads.
  int ConversionsAtOnce() const { return at_once_; }
  static int MaxConversionsAtOnce();
  bool KeepFileList() const { return keep_list_; }
  // "Fit each file into": the check box and the size beside it (kept while the box is off).
  bool FitToSize() const { return fit_; }
  int TargetSizeMB() const { return target_mb_; }
  // The target size a conversion is to fit in, in bytes; 0 when off.
  std::int64_t TargetSizeBytes() const;
  bool CheckOutputs() const { return check_; }
  bool TrashSources() const { return trash_; }

  // Each setter clamps its value into range and emits Changed only when the value changes.
  void SetOverwrite(bool on);
  void SetDropDownItems(int count);
  void SetZoom(int index);
  void SetAspectRatio(int index);
  void SetConversionsAtOnce(int count);
  void SetKeepFileList(bool on);
  void SetFitToSize(bool on);
  void SetTargetSizeMB(int megabytes);
  void SetCheckOutputs(bool on);
  void SetTrashSources(bool on);

 signals:
  void Changed(TWindowOption option);

 private:
  template <typename T>
  void Set(T& field, T value, TWindowOption option);

  TWindowState window_;
  bool overwrite_ = false;
  int drop_down_items_ = kMinDropDownItems;
  int zoom_ = 0;
  int aspect_ = 0;
  int at_once_ = 1;
  bool keep_list_ = true;
  bool fit_ = false;
  int target_mb_ = 700;
  bool check_ = true;
  bool trash_ = false;
  QString settings_file_;
};

// The user's videos folder (~/Videos or its XDG name) when it exists, else an empty text: the
// output folder of a first run.
QString DefaultOutputFolder();
