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
  // The end of a run: a notice like Information with `text`, `details` below it when not
  // empty, and a button that opens the output folder; true when that button was chosen.
  virtual bool RunEnded(QWidget* parent, const QString& text, const QString& details) {
    Information(parent, details.isEmpty() ? text : text + "\n" + details);
    return false;
  }
  // A desktop notification (the user is at another window).
  virtual void Notify(const QString& /*title*/, const QString& /*text*/) {}
  // Shows the HTML user guide `file` in a window of the program.
  virtual void ShowHelp(QWidget* /*parent*/, const QString& /*file*/) {}
};

class TDesktopDialogs : public TUserDialogs {
 public:
  void Information(QWidget* parent, const QString& text) override;
  void Error(QWidget* parent, const QString& text) override;
  bool Confirm(QWidget* parent, const QString& text) override;
  QStringList OpenFiles(QWidget* parent, const QString& filter) override;
  QString BrowseForFolder(QWidget* parent, const QString& headline, const QString& start) override;
  void OpenUrl(const QUrl& url) override;
  bool RunEnded(QWidget* parent, const QString& text, const QString& details) override;
  // Through the freedesktop Notifications service on the session bus, without waiting for an
  // answer; nothing when there is no such service.
  void Notify(const QString& title, const QString& text) override;
  void ShowHelp(QWidget* parent, const QString& file) override;
};
