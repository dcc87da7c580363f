// The desktop program: `quorvin [FILE...]` opens the main window with the given files (and the
// media files inside given folders) in its list; `quorvin --version` prints the version.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QScreen>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <cstring>
#include <memory>

#include "MainWindow.h"
#include "OptionsDialog.h"
#include "PreviewPane.h"
#include "UserDialogs.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// For the playback benchmark and the screenshot script, not for users: with
// QUORVIN_PREVIEW_SECONDS=N in the environment the window selects its first row as soon as the
// command-line files are in the list, presses the preview's Play button, and after N seconds
// prints the pictures shown and dropped and the CPU time the process used meanwhile, then
// closes. QUORVIN_PREVIEW_SCREENSHOT=FILE.png also saves a picture of the window 3 s after Play.
void InstallPreviewRun(TForm1& window) {
  const int seconds = qEnvironmentVariableIntValue("QUORVIN_PREVIEW_SECONDS");
  if (seconds <= 0) return;
  const QString screenshot = qEnvironmentVariable("QUORVIN_PREVIEW_SCREENSHOT");
  auto* wait = new QTimer(&window);
  auto since = std::make_shared<QElapsedTimer>();
  since->start();
  QObject::connect(wait, &QTimer::timeout, &window, [&window, wait, since, seconds, screenshot] {
    if (window.FileList().RowCount() == 0 || window.AddingFiles()) {
      if (since->elapsed() < 60000) return;
      std::fprintf(stderr, "quorvin: no file in the list to play\n");
      QCoreApplication::exit(1);
      return;
    }
    wait->stop();
    window.ListView1->selectRow(0);
    const double cpu_start = CpuSeconds();
    since->restart();
    window.PlayerButtons[0]->click();
    if (!screenshot.isEmpty()) {
      QTimer::singleShot(3000, &window, [&window, screenshot] {
        const QPixmap shot = window.screen()->grabWindow(window.winId());
        if (!shot.save(screenshot, "PNG")) {
          std::fprintf(stderr, "quorvin: cannot save %s\n", qPrintable(screenshot));
        }
      });
    }
    QTimer::singleShot(seconds * 1000, &window, [&window, since, cpu_start] {
      const TPreviewPlayer& player = window.PanelPreview->Player();
      const double cpu = CpuSeconds() - cpu_start;
      const double elapsed = static_cast<double>(since->elapsed()) / 1000.0;
      const long long shown = player.PicturesShown();
      const long long dropped = player.PicturesDropped();
      std::printf(
          "played %.2f s (position %.2f s): pictures shown %lld, dropped %lld (%.2f%%), "
          "CPU %.2f s (%.0f%% of one core)\n",
          elapsed, static_cast<double>(player.Position().current_ms) / 1000.0, shown, dropped,
          shown + dropped > 0 ? 100.0 * static_cast<double>(dropped) /
                                    static_cast<double>(shown + dropped)
                              : 0.0,
          cpu, 100.0 * cpu / elapsed);
      std::fflush(stdout);
      window.close();
      QCoreApplication::exit(0);
    });
  });
  wait->start(100);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("quorvin (%s) %s\n", kProductName, QUORVIN_VERSION);
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
  InstallPreviewRun(window);
  return QApplication::exec();
}
