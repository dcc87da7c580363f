// The Additional Options dialog: overwrite rule, the number of rows the output format list
// shows, zoom and aspect ratio (mirrored into the main window's setting model). Created once at
// start-up and shown without being modal. It also reads and writes the stored settings.
#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QComboBox;
class QPushButton;
class QSpinBox;
class TForm1;

// The stored settings are found under these names; they stay fixed even if the product is
// renamed, so a user's settings survive an update.
inline constexpr const char* kSettingsOrganisation = "Quorvin";
inline constexpr const char* kSettingsApplication = "Quorvin iPod Video Converter";

class TForm4 : public QDialog {
  Q_OBJECT

 public:
  // Runs the create handler: loads the stored settings into both windows, fills the zoom and
  // aspect lists and copies the main window's selections into them.
  explicit TForm4(TForm1& main_window);

  // Reads the stored settings into both windows. A value that is missing or of the wrong type
  // ends the reading and every value is written again from the windows' current state (this
  // is how the values come into being on the first run).
  void LoadSettings();
  // Writes the seven values from the windows' current state. False when the store cannot be
  // written.
  bool SaveSettings();
  // The file the settings are stored in (known after the first SaveSettings).
  const QString& SettingsFile() const { return settings_file_; }

  QCheckBox* CheckBoxOverWrite = nullptr;
  QSpinBox* SpinEdit1 = nullptr;
  QComboBox* ComboLetterBox = nullptr;
  QComboBox* ComboAspectRatio = nullptr;
  QPushButton* Button1 = nullptr;

 private:
  void ComboLetterBoxChange();
  void ComboAspectRatioChange();
  void SpinEdit1Change();

  TForm1& main_;
  QString settings_file_;
};

// The user's videos folder (~/Videos or its XDG name) when it exists, else an empty text: the
// output folder of a first run.
QString DefaultOutputFolder();
