#include "UserDialogs.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QVariantMap>

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

bool TDesktopDialogs::RunEnded(QWidget* parent, const QString& text, const QString& details) {
  QMessageBox box(QMessageBox::Information, "Information", text, QMessageBox::Ok, parent);
  if (!details.isEmpty()) box.setInformativeText(details);
  QPushButton* open = box.addButton("Open Output Folder", QMessageBox::ActionRole);
  box.setDefaultButton(QMessageBox::Ok);
  box.exec();
  return box.clickedButton() == open;
}

void TDesktopDialogs::Notify(const QString& title, const QString& text) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                     "/org/freedesktop/Notifications",
                                                     "org.freedesktop.Notifications", "Notify");
  call << QApplication::applicationDisplayName() << 0u << QString("quorvin") << title << text
       << QStringList() << QVariantMap() << -1;
  bus.asyncCall(call);
}

void TDesktopDialogs::ShowHelp(QWidget* parent, const QString& file) {
  // One help window, kept until the program ends and raised again on the next request.
  static QPointer<QDialog> window;
  if (window == nullptr) {
    window = new QDialog(parent, Qt::Window);
    window->setWindowTitle("Quorvin iPod Video Converter Help");
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    auto* browser = new QTextBrowser(window);
    browser->setObjectName("HelpText");
    browser->setAccessibleName("Help");
    browser->setOpenExternalLinks(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, window);
    QObject::connect(buttons, &QDialogButtonBox::rejected, window.data(), &QDialog::hide);
    auto* layout = new QVBoxLayout(window);
    layout->addWidget(browser);
    layout->addWidget(buttons);
    window->resize(720, 560);
  }
  auto* browser = window->findChild<QTextBrowser*>("HelpText");
  browser->setSource(QUrl::fromLocalFile(file));
  window->show();
  window->raise();
  window->activateWindow();
}
