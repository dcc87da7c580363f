// Plays one file in a window that hosts the preview pane for a given time and reports the
// pictures shown and dropped and the process's CPU time. Used by bench/preview-bench.sh under
// Xvfb. Usage: preview_bench [--seconds N] [--screenshot FILE.png] FILE
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <cstring>

#include "PreviewPane.h"

namespace {

class TBenchHost : public TPreviewHost {
 public:
  explicit TBenchHost(QString file) : file_(std::move(file)) {}
  bool Converting() const override { return false; }
  int SelectedRow() const override { return 0; }
  QString RowCaption(int) const override { return file_; }
  QString OutputFolderText() const override { return {}; }
  void ShowInformation(const QString& text) override {
    std::fprintf(stderr, "%s\n", qPrintable(text));
  }
  void ShowError(const QString& text) override {
    std::fprintf(stderr, "error: %s\n", qPrintable(text));
  }
  void BrowseOutputFolder() override {}

 private:
  QString file_;
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int seconds = 20;
  QString screenshot;
  QString file;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
      seconds = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc)
      screenshot = argv[++i];
    else
      file = argv[i];
  }
  if (file.isEmpty()) {
    std::fprintf(stderr, "usage: preview_bench [--seconds N] [--screenshot FILE.png] FILE\n");
    return 2;
  }

  TBenchHost host(file);
  QWidget window;
  window.setWindowTitle("Quorvin iPod Video Converter - preview");
  auto* layout = new QVBoxLayout(&window);
  auto* pane = new PreviewPane(host, &window);
  layout->addWidget(pane);
  window.resize(400, 300);
  window.show();

  double cpu_start = 0;
  QElapsedTimer wall;
  QTimer::singleShot(500, &window, [&] {
    cpu_start = CpuSeconds();
    wall.start();
    pane->ButtonPlayClick();
  });
  if (!screenshot.isEmpty()) {
    QTimer::singleShot(500 + 3000, &window, [&] {
      const QPixmap shot = window.screen()->grabWindow(window.winId());
      if (!shot.save(screenshot, "PNG"))
        std::fprintf(stderr, "cannot save %s\n", qPrintable(screenshot));
    });
  }
  QTimer::singleShot(500 + seconds * 1000, &window, [&] {
    const TPreviewPlayer& player = pane->Player();
    const double cpu = CpuSeconds() - cpu_start;
    const long long shown = player.PicturesShown();
    const long long dropped = player.PicturesDropped();
    const double elapsed = wall.elapsed() / 1000.0;
    std::printf(
        "played %.2f s (position %.2f s): pictures shown %lld, dropped %lld (%.2f%%), "
        "CPU %.2f s (%.0f%% of one core)\n",
        elapsed, player.Position().current_ms / 1000.0, shown, dropped,
        shown + dropped > 0 ? 100.0 * dropped / (shown + dropped) : 0.0, cpu,
        100.0 * cpu / elapsed);
    app.quit();
  });
  return app.exec();
}
