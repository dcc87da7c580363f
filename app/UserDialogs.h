// Everything the desktop program asks of the person at the screen goes through this interface:
// message boxes, the open dialog, the folder browser and opening links. The program uses
// TDesktopDialogs; tests put in their own answers.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

class QWidget;

class TUserDialogs {
 public:
  virtual ~TUserDialogs() = default;
  // A notice with the caption "Information" and the information icon.
  virtual void Information(QWidget* parent, const QString& text) = 0;
  // A failure notice with the caption "Error" and the error icon.
  virtual void Error(QWidget* parent, const QString& text) = 0;
  // A question with the caption "Confirmation", Yes and No and the question icon; true on Yes.
  virtual bool Confirm(QWidget* parent, const QString& text) = 0;
  // The multi-select open dialog; `filter` in Qt's "Description (patterns);;..." form. The
  // chosen files, or none when the user cancelled.
  virtual QStringList OpenFiles(QWidget* parent, const QString& filter) = 0;
  // The folder browser with `headline`, starting at `start`; empty when the user cancelled.
  virtual QString BrowseForFolder(QWidget* parent, const QString& headline,
                                  const QString& start) = 0;
  // Opens a web page, a mail link or a local file with the desktop's default program.
  virtual void OpenUrl(const QUrl& url) = 0;
};

class TDesktopDialogs : public TUserDialogs {
 public:
  void Information(QWidget* parent, const QString& text) override;
  void Error(QWidget* parent, const QString& text) override;
  bool Confirm(QWidget* parent, const QString& text) override;
  QStringList OpenFiles(QWidget* parent, const QString& filter) override;
  QString BrowseForFolder(QWidget* parent, const QString& headline, const QString& start) override;
  void OpenUrl(const QUrl& url) override;
};
