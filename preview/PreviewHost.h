// What the preview pane needs from the main window that hosts it.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

class TPreviewHost {
 public:
  virtual ~TPreviewHost() = default;
  // True while a conversion runs: every player command is then ignored.
  virtual bool Converting() const = 0;
  // Index of the selected file-list row, -1 when no row is selected.
  virtual int SelectedRow() const = 0;
  // The row's caption: the source file's full path.
  virtual QString RowCaption(int row) const = 0;
  // The row's source file as the bytes the system names it by (a name need not be valid text);
  // by default the caption's encoding.
  virtual QByteArray RowPath(int row) const { return QFile::encodeName(RowCaption(row).trimmed()); }
  // The output folder field's text as entered.
  virtual QString OutputFolderText() const = 0;
  // A notice with the caption "Information" and the information icon.
  virtual void ShowInformation(const QString& text) = 0;
  // An error message box.
  virtual void ShowError(const QString& text) = 0;
  // The output folder browser of the main window.
  virtual void BrowseOutputFolder() = 0;
};
