// The desktop program: `quorvin [FILE...]` opens the main window with the given files (and the
// media files inside given folders) in its list; `quorvin --version` prints the version.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "MainWindow.h"
#include "OptionsDialog.h"
#include "UserDialogs.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s %s\n", kProductName, QUORVIN_VERSION);
      return 0;
    }
  }

  QApplication app(argc, argv);
  QApplication::setOrganizationName(kSettingsOrganisation);
  QApplication::setApplicationName(kSettingsApplication);
  QApplication::setApplicationDisplayName(kProductName);
  QApplication::setApplicationVersion(QUORVIN_VERSION);
  QApplication::setDesktopFileName("quorvin");
  const QIcon theme_icon = QIcon::fromTheme("quorvin");
  if (!theme_icon.isNull()) QApplication::setWindowIcon(theme_icon);

  QStringList files;
  bool only_files = false;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (!only_files && args[i] == "--") {
      only_files = true;
      continue;
    }
    files << args[i];
  }

  TDesktopDialogs dialogs;
  TForm1 window(dialogs);
  if (window.LibrariesMissing()) return 1;
  window.SetStartupFiles(files);
  window.show();
  return QApplication::exec();
}
