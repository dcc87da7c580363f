#include "OptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <optional>

#include "FormatCatalogue.h"
#include "MainWindow.h"

namespace {

constexpr int kMinDropDownItems = 26;
constexpr int kMaxDropDownItems = 47;

const QStringList kAspectItems = {"Original", "4:3 (Standard", "16:9 (Wide Screen)"};
const QStringList kZoomItems = {"None", "LetterBox"};

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

TForm4::TForm4(TForm1& main_window) : QDialog(&main_window), main_(main_window) {
  setWindowTitle("Additional Options");
  setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setModal(false);

  auto* options = new QGroupBox(" Additional Options ", this);
  CheckBoxOverWrite = new QCheckBox("Overwrite Existing File With The Same Name", options);
  SpinEdit1 = new QSpinBox(options);
  SpinEdit1->setRange(kMinDropDownItems, kMaxDropDownItems);
  SpinEdit1->setValue(kMinDropDownItems);
  auto* spin_label = new QLabel("Drop Down Items in Output Format List", options);
  spin_label->setBuddy(SpinEdit1);
  SpinEdit1->setAccessibleName("Drop Down Items in Output Format List");
  auto* options_layout = new QVBoxLayout(options);
  options_layout->addWidget(CheckBoxOverWrite);
  auto* spin_row = new QHBoxLayout;
  spin_row->addWidget(SpinEdit1);
  spin_row->addWidget(spin_label, 1);
  options_layout->addLayout(spin_row);

  auto* video = new QGroupBox(" General Video Settings ", this);
  ComboLetterBox = new QComboBox(video);
  ComboAspectRatio = new QComboBox(video);
  for (QComboBox* combo : {ComboLetterBox, ComboAspectRatio}) {
    // Both lists accept typed text; a text that names no item selects nothing.
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
  }
  ComboLetterBox->setAccessibleName("Video Zoom");
  ComboAspectRatio->setAccessibleName("Video Aspect Ratio");
  auto* video_layout = new QFormLayout(video);
  video_layout->addRow("Video Zoom : ", ComboLetterBox);
  video_layout->addRow("Video Aspect Ratio : ", ComboAspectRatio);

  Button1 = new QPushButton("Done", this);
  connect(Button1, &QPushButton::clicked, this, &QDialog::hide);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(options);
  layout->addWidget(video);
  layout->addWidget(Button1, 0, Qt::AlignRight);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  // Create handler: stored settings first, then the lists, then the main window's choices.
  LoadSettings();
  ComboAspectRatio->addItems(kAspectItems);
  ComboAspectRatio->setCurrentIndex(0);
  ComboLetterBox->addItems(kZoomItems);
  ComboLetterBox->setCurrentIndex(0);
  ComboLetterBox->setCurrentIndex(main_.Settings().ComboLetterBox.ItemIndex());
  ComboAspectRatio->setCurrentIndex(main_.Settings().ComboAspectRatio.ItemIndex());

  connect(ComboLetterBox, &QComboBox::currentTextChanged, this, &TForm4::ComboLetterBoxChange);
  connect(ComboAspectRatio, &QComboBox::currentTextChanged, this, &TForm4::ComboAspectRatioChange);
  connect(SpinEdit1, &QSpinBox::valueChanged, this, &TForm4::SpinEdit1Change);
}

void TForm4::ComboLetterBoxChange() {
  main_.Settings().ComboLetterBox.Select(ComboLetterBox->findText(ComboLetterBox->currentText()));
}

void TForm4::ComboAspectRatioChange() {
  main_.Settings().ComboAspectRatio.Select(
      ComboAspectRatio->findText(ComboAspectRatio->currentText()));
}

void TForm4::SpinEdit1Change() {
  main_.SetFormatDropDownCount(SpinEdit1->value());
}

void TForm4::LoadSettings() {
  QSettings store(kSettingsOrganisation, kSettingsApplication);
  TMainSettings& settings = main_.Settings();
  const bool complete = [&] {
    const QVariant folder = store.value("Output Folder");
    if (folder.isValid() && folder.typeId() != QMetaType::QString) return false;
    // On a first run the field offers the user's videos folder, when there is one.
    main_.SetOutputFolder(folder.isValid() ? folder.toString() : DefaultOutputFolder());

    const std::optional<int> format = ReadInteger(store, "ComboOutputFormat");
    if (!format) return false;
    // An index beyond the list or on a separator (a hand-edited or damaged store) keeps the
    // default format, as -1 does: a list without a format would fail every row.
    const std::vector<std::string>& formats = settings.ComboOutputFormat.Items();
    if (*format >= 0 && *format < static_cast<int>(formats.size()) &&
        FindFormat(formats[static_cast<size_t>(*format)]) != nullptr) {
      settings.ComboOutputFormat.Select(*format);
    }

    const std::optional<int> overwrite = ReadInteger(store, "Overwrite");
    if (!overwrite) return false;
    CheckBoxOverWrite->setChecked(*overwrite != 0);

    const std::optional<int> drop_down = ReadInteger(store, "DropDownItems");
    if (!drop_down) return false;
    if (*drop_down >= 0) {
      SpinEdit1->setValue(*drop_down);
      SpinEdit1Change();
    }

    TSettingList* lists[] = {&settings.ComboLetterBox, &settings.ComboVideoQuality,
                             &settings.ComboAudioQuality};
    const char* names[] = {"LetterBox", "VideoQuality", "AudioQuality"};
    for (int i = 0; i < 3; ++i) {
      const std::optional<int> index = ReadInteger(store, names[i]);
      if (!index) return false;
      // An index that names no item keeps the list's default item, as for the format: a list
      // without a selection shows blank and would be stored back as -1.
      if (*index >= 0 && *index < lists[i]->Count()) lists[i]->Select(*index);
    }
    return true;
  }();
  main_.RefreshSettingWidgets();
  if (!complete) SaveSettings();
}

bool TForm4::SaveSettings() {
  QSettings store(kSettingsOrganisation, kSettingsApplication);
  settings_file_ = store.fileName();
  if (!store.isWritable()) return false;
  const TMainSettings& settings = main_.Settings();
  store.setValue("Output Folder", main_.OutputFolderText());
  store.setValue("ComboOutputFormat", settings.ComboOutputFormat.ItemIndex());
  store.setValue("Overwrite", CheckBoxOverWrite->isChecked() ? 1 : 0);
  store.setValue("DropDownItems", SpinEdit1->value());
  store.setValue("LetterBox", settings.ComboLetterBox.ItemIndex());
  store.setValue("VideoQuality", settings.ComboVideoQuality.ItemIndex());
  store.setValue("AudioQuality", settings.ComboAudioQuality.ItemIndex());
  store.sync();
  return store.status() == QSettings::NoError;
}
