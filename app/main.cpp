// The desktop program: `quorvin [FILE...]` opens the main window with the given files (and the
// media files inside given folders) in its list; `quorvin --version` prints the version and
// `quorvin --help` the usage, both without a window. Unknown options are refused (status 2).
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QScreen>
#include <QSocketNotifier>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

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

// Calls LISTED once the command-line files are in the list (looked at every 100 ms); ends the
// program with status 1 when there are none after 60 s ("no file in the list to WHAT").
void WhenFilesListed(TForm1& window, const char* what, std::function<void()> listed) {
  auto* wait = new QTimer(&window);
  auto since = std::make_shared<QElapsedTimer>();
  since->start();
  QObject::connect(wait, &QTimer::timeout, &window, [&window, wait, since, what, listed] {
    if (window.FileList().RowCount() == 0 || window.AddingFiles()) {
      if (since->elapsed() < 60000) return;
      std::fprintf(stderr, "quorvin: no file in the list to %s\n", what);
      QCoreApplication::exit(1);
      return;
    }
    wait->stop();
    listed();
  });
  wait->start(100);
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
  WhenFilesListed(window, "play", [&window, seconds, screenshot] {
    auto since = std::make_shared<QElapsedTimer>();
    window.ListView1->selectRow(0);
    const double cpu_start = CpuSeconds();
    since->start();
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
          shown + dropped > 0
              ? 100.0 * static_cast<double>(dropped) / static_cast<double>(shown + dropped)
              : 0.0,
          cpu, 100.0 * cpu / elapsed);
      std::fflush(stdout);
      window.close();
      QCoreApplication::exit(0);
    });
  });
}

// The process's resident memory and open descriptors: "VmRSS 41234 kB, 23 open files".
std::string ProcessFigures() {
  long rss_kb = -1;
  if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
      if (std::sscanf(line, "VmRSS: %ld kB", &rss_kb) == 1) break;
    }
    std::fclose(status);
  }
  // Less the descriptor that reads the folder.
  const int files = static_cast<int>(QDir("/proc/self/fd").entryList(QDir::System).size()) - 1;
  return "VmRSS " + std::to_string(rss_kb) + " kB, " + std::to_string(files) + " open files";
}

// User and system time of every thread of the process so far (the jobs run on its threads).
double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Calls DONE once the batch being added is in the list (looked at every 10 ms).
void WhenListed(TForm1& window, std::function<void()> done) {
  auto* wait = new QTimer(&window);
  QObject::connect(wait, &QTimer::timeout, &window, [&window, wait, done] {
    if (window.AddingFiles()) return;
    wait->stop();
    wait->deleteLater();
    done();
  });
  wait->start(10);
}

// For bench/window-list.sh, not for users: with QUORVIN_LIST_BENCH=1 in the environment the
// window, once its command-line files are in the list, prints how long listing took (from the
// program's start) and the process's figures; selects every row and presses Delete; lists the
// same files again; presses Clear All; prints the time of each step and the figures after
// Clear All, and closes.
void InstallListBench(TForm1& window, const QList<QByteArray>& files) {
  if (qEnvironmentVariableIntValue("QUORVIN_LIST_BENCH") != 1) return;
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  const auto seconds = [clock] { return static_cast<double>(clock->nsecsElapsed()) / 1e9; };
  WhenFilesListed(window, "remove", [&window, files, clock, seconds] {
    std::printf("listed %d rows in %.3f s (from the start); %s\n", window.FileList().RowCount(),
                seconds(), ProcessFigures().c_str());
    const int rows = window.FileList().RowCount();
    clock->start();
    window.ListView1->selectAll();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QCoreApplication::sendEvent(window.ListView1, &press);
    QCoreApplication::processEvents();
    std::printf("select all and Delete: %d rows removed in %.3f s, %d left\n",
                rows - window.FileList().RowCount(), seconds(), window.FileList().RowCount());
    clock->start();
    window.AddDroppedPaths(files);
    WhenListed(window, [&window, clock, seconds] {
      std::printf("listed %d rows again in %.3f s\n", window.FileList().RowCount(), seconds());
      const int rows = window.FileList().RowCount();
      clock->start();
      window.ButtonClearAllClick();
      QCoreApplication::processEvents();
      std::printf("Clear All: %d rows removed in %.3f s; %s\n", rows - window.FileList().RowCount(),
                  seconds(), ProcessFigures().c_str());
      std::fflush(stdout);
      window.close();
      QCoreApplication::exit(0);
    });
  });
}

// For bench/window-batch.sh, not for users: with QUORVIN_BATCH_OUTPUT=FOLDER in the environment
// the window converts its command-line files into FOLDER with the stored settings as soon as
// they are in the list (Start pressed once), prints the time from Start to the end of the run
// and the CPU time the process spent in it, and closes: status 0 when every row was done, 1
// otherwise. The end message is not shown.
class TBatchRunDialogs : public TDesktopDialogs {
 public:
  std::function<void(const QString& details)> OnRunEnded;
  bool RunEnded(QWidget* parent, const QString& text, const QString& details) override {
    if (!OnRunEnded) return TDesktopDialogs::RunEnded(parent, text, details);
    OnRunEnded(details);
    return false;
  }
  void Notify(const QString& title, const QString& text) override {
    if (!OnRunEnded) TDesktopDialogs::Notify(title, text);
  }
};

void InstallBatchRun(TForm1& window, TBatchRunDialogs& dialogs) {
  const QString folder = qEnvironmentVariable("QUORVIN_BATCH_OUTPUT");
  if (folder.isEmpty()) return;
  auto since = std::make_shared<QElapsedTimer>();
  auto cpu_at_start = std::make_shared<double>(0);
  dialogs.OnRunEnded = [&window, since, cpu_at_start](const QString& details) {
    std::printf("window: %d rows converted in %.3f s, %.3f CPU-seconds%s%s\n",
                window.FileList().RowCount(), static_cast<double>(since->nsecsElapsed()) / 1e9,
                ProcessCpuSeconds() - *cpu_at_start, details.isEmpty() ? "" : ": ",
                qPrintable(details));
    std::printf("after the run: %s\n", ProcessFigures().c_str());
    std::fflush(stdout);
    QTimer::singleShot(0, &window, [&window, details] {
      window.close();
      QCoreApplication::exit(details.isEmpty() ? 0 : 1);
    });
  };
  WhenFilesListed(window, "convert", [&window, since, cpu_at_start, folder] {
    window.SetOutputFolder(folder);
    *cpu_at_start = ProcessCpuSeconds();
    since->start();
    window.ButtonConvertClick();
  });
}

constexpr const char kUsage[] =
    "Usage: quorvin [OPTION]... [FILE|FOLDER]...\n"
    "Opens the Quorvin iPod Video Converter window with the given files in its list; a folder\n"
    "adds the media files inside it, recursively.\n"
    "\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "      --         end of options: every later argument is a file\n"
    "\n"
    "Qt's own options (-platform NAME, -display NAME, -style NAME, -geometry WxH+X+Y,\n"
    "-reverse) are passed on to Qt.\n"
    "\n"
    "Exit status: 0 when the window was closed normally, 1 when no display can be opened or the\n"
    "codec libraries are missing, 2 for an unknown option.\n";

// Qt's options that the command line passes on, with whether they take a value.
struct QtOption {
  const char* name;
  bool takes_value;
};
constexpr QtOption kQtOptions[] = {{"-platform", true},
                                   {"-display", true},
                                   {"-style", true},
                                   {"-geometry", true},
                                   {"-reverse", false}};

const QtOption* FindQtOption(const char* arg) {
  for (const QtOption& option : kQtOptions) {
    // Qt accepts its options with one or two dashes.
    if (std::strcmp(arg, option.name) == 0 ||
        (arg[0] == '-' && std::strcmp(arg + 1, option.name) == 0)) {
      return &option;
    }
  }
  return nullptr;
}

// SIGTERM, SIGINT and SIGHUP are carried to the event loop through a socket pair: the window
// then stops a run as a confirmed Stop would (the job removes its temporary output) and saves
// the settings before the program ends with 128 + the signal's number.
int g_signal_socket[2] = {-1, -1};

void ForwardSignal(int signal_number) {
  const int saved_errno = errno;
  const unsigned char byte = static_cast<unsigned char>(signal_number);
  if (write(g_signal_socket[1], &byte, 1) < 0) {
    // Nothing can be done about it inside a signal handler.
  }
  errno = saved_errno;
}

void InstallTerminationSignals(TForm1& window) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signal_socket) != 0) {
    return;
  }
  auto* notifier = new QSocketNotifier(g_signal_socket[0], QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
    unsigned char byte = 0;
    if (read(g_signal_socket[0], &byte, 1) == 1) window.TerminateRequested(128 + byte);
  });
  struct sigaction action {};
  action.sa_handler = ForwardSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    sigaction(signal_number, &action, nullptr);
  }
}

// Qt ends the process with abort() when the platform cannot start (no display): say so in
// words and end with status 1 instead.
void FatalWithoutDisplay(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type == QtFatalMsg) {
    std::fprintf(stderr, "quorvin: cannot open the display: %s\n", qPrintable(text));
    std::fflush(stderr);
    _exit(1);
  }
  if (type != QtDebugMsg) std::fprintf(stderr, "%s\n", qPrintable(text));
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) break;
    if (arg[0] != '-' || arg[1] == '\0') continue;
    if (std::strcmp(arg, "--version") == 0) {
      std::printf("quorvin (%s) %s\n", kProductName, QUORVIN_VERSION);
      return 0;
    }
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (const QtOption* option = FindQtOption(arg)) {
      if (option->takes_value) ++i;
      continue;
    }
    std::fprintf(stderr,
                 "quorvin: unknown option '%s'\nTry 'quorvin --help' for more information.\n", arg);
    return 2;
  }
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if ((platform.isEmpty() || platform.startsWith("xcb")) &&
      qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    // -platform or -display may name a platform or display that needs no such variable.
    bool platform_option = false;
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
      const QtOption* option = FindQtOption(argv[i]);
      if (option == &kQtOptions[0] || option == &kQtOptions[1]) platform_option = true;
    }
    if (!platform_option) {
      std::fprintf(stderr,
                   "quorvin: no display: DISPLAY and WAYLAND_DISPLAY are not set (quorvin-convert "
                   "converts without one)\n");
      return 1;
    }
  }

  const QtMessageHandler previous_handler = qInstallMessageHandler(FatalWithoutDisplay);
  QApplication app(argc, argv);
  qInstallMessageHandler(previous_handler);
  QApplication::setOrganizationName(kSettingsOrganisation);
  QApplication::setApplicationName(kSettingsApplication);
  QApplication::setApplicationDisplayName(kProductName);
  QApplication::setApplicationVersion(QUORVIN_VERSION);
  QApplication::setDesktopFileName("quorvin");
  const QIcon theme_icon = QIcon::fromTheme("quorvin");
  if (!theme_icon.isNull()) QApplication::setWindowIcon(theme_icon);

  QList<QByteArray> files;
  bool only_files = false;
  // Qt has taken its own options out of argv by now. The names are kept as the bytes given:
  // a name that is not valid UTF-8 would not survive the trip through text.
  for (int i = 1; i < argc; ++i) {
    if (!only_files && std::strcmp(argv[i], "--") == 0) {
      only_files = true;
      continue;
    }
    files << QByteArray(argv[i]);
  }

  TBatchRunDialogs dialogs;
  TForm1 window(dialogs);
  if (window.LibrariesMissing()) return 1;
  window.SetStartupFiles(files);
  // For bench/window-batch.sh and tests, not for users: the number of rows converting together.
  if (const int at_once = qEnvironmentVariableIntValue("QUORVIN_CONVERSIONS_AT_ONCE");
      at_once > 0) {
    window.Queue().SetConversionsAtOnce(at_once);
  }
  InstallTerminationSignals(window);
  window.show();
  InstallPreviewRun(window);
  InstallBatchRun(window, dialogs);
  InstallListBench(window, files);
  return QApplication::exec();
}
