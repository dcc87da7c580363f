#include "OptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>
#include <memory>
#include <vector>

namespace {

const QStringList kAspectItems = {"Original", "4:3 (Standard", "16:9 (Wide Screen)"};
const QStringList kZoomItems = {"None", "LetterBox"};

// A number field with a label before it that names it, for the eye and for a screen reader.
QHBoxLayout* LabelledSpin(QSpinBox* spin, const QString& caption, QWidget* parent,
                          bool label_first) {
  auto* label = new QLabel(caption, parent);
  label->setBuddy(spin);
  spin->setAccessibleName(caption);
  auto* row = new QHBoxLayout;
  if (label_first) row->addWidget(label);
  row->addWidget(spin);
  if (!label_first) row->addWidget(label, 1);
  if (label_first) row->addStretch(1);
  return row;
}

}  // namespace

TForm4::TForm4(TWindowOptions& options, QWidget* parent) : QDialog(parent), options_(options) {
  setWindowTitle("Additional Options");
  setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setModal(false);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(CreateOptionsGroup());
  layout->addWidget(CreateVideoGroup());
  layout->addWidget(CreateConversionGroup());
  Button1 = new QPushButton("Done", this);
  connect(Button1, &QPushButton::clicked, this, &QDialog::hide);
  layout->addWidget(Button1, 0, Qt::AlignRight);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  QWidget* order[] = {CheckBoxOverWrite,
                      SpinEdit1,
                      ComboLetterBox,
                      ComboAspectRatio,
                      SpinConversionsAtOnce,
                      CheckBoxKeepList,
                      CheckBoxFitSize,
                      SpinTargetSize,
                      CheckBoxCheckOutputs,
                      CheckBoxTrashSources,
                      Button1};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  ShowOptions();
  ConnectControls();
}

QWidget* TForm4::CreateOptionsGroup() {
  auto* group = new QGroupBox(" Additional Options ", this);
  CheckBoxOverWrite = new QCheckBox("Overwrite Existing File With The Same Name", group);
  SpinEdit1 = new QSpinBox(group);
  SpinEdit1->setRange(kMinDropDownItems, kMaxDropDownItems);
  auto* group_layout = new QVBoxLayout(group);
  group_layout->addWidget(CheckBoxOverWrite);
  group_layout->addLayout(
      LabelledSpin(SpinEdit1, "Drop Down Items in Output Format List", group, false));
  return group;
}

QWidget* TForm4::CreateVideoGroup() {
  auto* group = new QGroupBox(" General Video Settings ", this);
  ComboLetterBox = new QComboBox(group);
  ComboAspectRatio = new QComboBox(group);
  ComboLetterBox->addItems(kZoomItems);
  ComboAspectRatio->addItems(kAspectItems);
  for (QComboBox* combo : {ComboLetterBox, ComboAspectRatio}) {
    // Both lists accept typed text; a text that names no item selects nothing.
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
  }
  ComboLetterBox->setAccessibleName("Video Zoom");
  ComboAspectRatio->setAccessibleName("Video Aspect Ratio");
  auto* group_layout = new QFormLayout(group);
  group_layout->addRow("Video Zoom : ", ComboLetterBox);
  group_layout->addRow("Video Aspect Ratio : ", ComboAspectRatio);
  return group;
}

QWidget* TForm4::CreateConversionGroup() {
  auto* group = new QGroupBox(" Conversions ", this);
  SpinConversionsAtOnce = new QSpinBox(group);
  SpinConversionsAtOnce->setRange(1, TWindowOptions::MaxConversionsAtOnce());
  CheckBoxKeepList = new QCheckBox("Keep the file list between runs", group);
  CheckBoxFitSize = new QCheckBox("Fit each file into", group);
  SpinTargetSize = new QSpinBox(group);
  SpinTargetSize->setRange(1, kMaxTargetSizeMB);
  SpinTargetSize->setAccessibleName("Target Size (MB)");
  auto* mb = new QLabel("MB", group);
  mb->setBuddy(SpinTargetSize);
  CheckBoxCheckOutputs = new QCheckBox("Check each output after converting", group);
  CheckBoxTrashSources =
      new QCheckBox("Move each source to the trash after a checked conversion", group);

  auto* group_layout = new QVBoxLayout(group);
  group_layout->addLayout(LabelledSpin(SpinConversionsAtOnce, "Conversions at once", group, true));
  group_layout->addWidget(CheckBoxKeepList);
  auto* fit_row = new QHBoxLayout;
  fit_row->addWidget(CheckBoxFitSize);
  fit_row->addWidget(SpinTargetSize);
  fit_row->addWidget(mb);
  fit_row->addStretch(1);
  group_layout->addLayout(fit_row);
  group_layout->addWidget(CheckBoxCheckOutputs);
  group_layout->addWidget(CheckBoxTrashSources);
  return group;
}

void TForm4::ConnectControls() {
  TWindowOptions& o = options_;
  connect(CheckBoxOverWrite, &QCheckBox::toggled, &o, &TWindowOptions::SetOverwrite);
  connect(SpinEdit1, &QSpinBox::valueChanged, &o, &TWindowOptions::SetDropDownItems);
  connect(ComboLetterBox, &QComboBox::currentTextChanged, this,
          [this](const QString& text) { options_.SetZoom(ComboLetterBox->findText(text)); });
  connect(ComboAspectRatio, &QComboBox::currentTextChanged, this, [this](const QString& text) {
    options_.SetAspectRatio(ComboAspectRatio->findText(text));
  });
  connect(SpinConversionsAtOnce, &QSpinBox::valueChanged, &o,
          &TWindowOptions::SetConversionsAtOnce);
  connect(CheckBoxKeepList, &QCheckBox::toggled, &o, &TWindowOptions::SetKeepFileList);
  connect(CheckBoxFitSize, &QCheckBox::toggled, &o, &TWindowOptions::SetFitToSize);
  connect(SpinTargetSize, &QSpinBox::valueChanged, &o, &TWindowOptions::SetTargetSizeMB);
  connect(CheckBoxCheckOutputs, &QCheckBox::toggled, &o, &TWindowOptions::SetCheckOutputs);
  connect(CheckBoxTrashSources, &QCheckBox::toggled, &o, &TWindowOptions::SetTrashSources);
  connect(&o, &TWindowOptions::Changed, this, &TForm4::ShowOptions);
}

void TForm4::ShowOptions() {
  const TWindowOptions& o = options_;
  QWidget* controls[] = {
      CheckBoxOverWrite,     SpinEdit1,           ComboLetterBox,  ComboAspectRatio,
      SpinConversionsAtOnce, CheckBoxKeepList,    CheckBoxFitSize, SpinTargetSize,
      CheckBoxCheckOutputs,  CheckBoxTrashSources};
  std::vector<std::unique_ptr<QSignalBlocker>> quiet;
  for (QWidget* control : controls) quiet.push_back(std::make_unique<QSignalBlocker>(control));
  CheckBoxOverWrite->setChecked(o.Overwrite());
  SpinEdit1->setValue(o.DropDownItems());
  // A typed text that names no item stays as typed: it is what the user sees.
  if (o.Zoom() >= 0) ComboLetterBox->setCurrentIndex(o.Zoom());
  if (o.AspectRatio() >= 0) ComboAspectRatio->setCurrentIndex(o.AspectRatio());
  SpinConversionsAtOnce->setValue(o.ConversionsAtOnce());
  CheckBoxKeepList->setChecked(o.KeepFileList());
  CheckBoxFitSize->setChecked(o.FitToSize());
  SpinTargetSize->setValue(o.TargetSizeMB());
  CheckBoxCheckOutputs->setChecked(o.CheckOutputs());
  CheckBoxTrashSources->setChecked(o.TrashSources());
}
