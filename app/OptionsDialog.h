// The Additional Options dialog: overwrite rule, the number of rows the output format list
// shows, zoom and aspect ratio, how many files convert at once, whether the file list is kept
// between runs, a size each output is to fit in, the check of each output and moving checked
// sources to the trash. It shows and changes a TWindowOptions and knows nothing of the window
// that applies them. Created once at start-up and shown without being modal.
#pragma once

#include <QDialog>

#include "WindowOptions.h"

class QCheckBox;
class QComboBox;
class QPushButton;
class QSpinBox;

class TForm4 : public QDialog {
  Q_OBJECT

 public:
  // Shows OPTIONS' values; every change of a control goes into OPTIONS at once, and a change
  // of OPTIONS made elsewhere shows in the controls.
  TForm4(TWindowOptions& options, QWidget* parent);

  TWindowOptions& Options() { return options_; }

  QCheckBox* CheckBoxOverWrite = nullptr;
  QSpinBox* SpinEdit1 = nullptr;
  QComboBox* ComboLetterBox = nullptr;
  QComboBox* ComboAspectRatio = nullptr;
  QSpinBox* SpinConversionsAtOnce = nullptr;
  QCheckBox* CheckBoxKeepList = nullptr;
  QCheckBox* CheckBoxFitSize = nullptr;
  QSpinBox* SpinTargetSize = nullptr;
  QCheckBox* CheckBoxCheckOutputs = nullptr;
  QCheckBox* CheckBoxTrashSources = nullptr;
  QPushButton* Button1 = nullptr;

 private:
  QWidget* CreateOptionsGroup();
  QWidget* CreateVideoGroup();
  QWidget* CreateConversionGroup();
  void ConnectControls();
  // Brings the controls in line with the options, without reporting back.
  void ShowOptions();

  TWindowOptions& options_;
};
