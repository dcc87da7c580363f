#include "FileProber.h"

#include <string>
#include <utility>

TFileProber::TFileProber(std::shared_ptr<VIDevozORE> prober, QObject* parent)
    : QObject(parent), prober_(std::move(prober)) {
  qRegisterMetaType<TProbedFile>();
}

TFileProber::~TFileProber() {
  Stop();
  Join();
}

void TFileProber::Join() {
  if (thread_.joinable()) thread_.join();
}

void TFileProber::Probe(const QList<QByteArray>& files) {
  // The previous batch's thread has signalled Finished, or is stopped: it ends soon.
  Join();
  stop_ = false;
  thread_ = std::thread([this, files] {
    for (const QByteArray& file : files) {
      if (stop_) break;
      // A file the probe cannot read is an "Error" row; the files after it are still added.
      const TProbedFile probed{file, prober_->ProbeFile(file.toStdString())};
      if (stop_) break;
      emit Probed(probed);
    }
    emit Finished();
  });
}

void TFileProber::Stop() {
  stop_ = true;
  prober_->Stop();
}
