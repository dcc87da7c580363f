// The about box: program icon, product name, version and the web site and support links.
#pragma once

#include <QDialog>

class TUserDialogs;

class TFormAbout : public QDialog {
  Q_OBJECT

 public:
  TFormAbout(QWidget* parent, TUserDialogs& dialogs);
};
