#include "UserDialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

void TDesktopDialogs::Information(QWidget* parent, const QString& text) {
  QMessageBox::information(parent, "Information", text);
}

void TDesktopDialogs::Error(QWidget* parent, const QString& text) {
  QMessageBox::critical(parent, "Error", text);
}

bool TDesktopDialogs::Confirm(QWidget* parent, const QString& text) {
  return QMessageBox::question(parent, "Confirmation", text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

QStringList TDesktopDialogs::OpenFiles(QWidget* parent, const QString& filter) {
  QFileDialog dialog(parent);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setOption(QFileDialog::ReadOnly, false);
  dialog.setNameFilter(filter);
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles();
}

QString TDesktopDialogs::BrowseForFolder(QWidget* parent, const QString& headline,
                                         const QString& start) {
  QFileDialog dialog(parent, headline, start);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

void TDesktopDialogs::OpenUrl(const QUrl& url) {
  QDesktopServices::openUrl(url);
}
