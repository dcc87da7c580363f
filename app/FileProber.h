// Probes the files being added to the list on a thread of its own, one batch at a time and in
// the batch's order, and hands each file's columns to the UI thread as a queued signal, so the
// rows appear as their files are probed while the window keeps answering. Opening a file may
// take long or block (a slow disk, a network mount, a named pipe); Stop ends the probe under
// way through the probing job component and skips the rest of the batch.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <atomic>
#include <memory>
#include <thread>

#include "JobComponent.h"

// One probed file: its path as given (bytes, as the system names it) and what the list shows
// of it.
struct TProbedFile {
  QByteArray file;
  ProbeColumns columns;
};
Q_DECLARE_METATYPE(TProbedFile)

class TFileProber : public QObject {
  Q_OBJECT

 public:
  // PROBER is the job component whose probe opens the files; its Stop ends a probe.
  explicit TFileProber(std::shared_ptr<VIDevozORE> prober, QObject* parent = nullptr);
  // Stops a batch under way and waits for its thread.
  ~TFileProber() override;

  // Starts probing FILES. UI thread only, once the previous batch's Finished has been seen (a
  // batch given earlier waits for the previous one's thread to end).
  void Probe(const QList<QByteArray>& files);
  // The probe under way ends with an error and the batch's later files are not probed;
  // Finished still follows. Callable on the UI thread.
  void Stop();

 signals:
  // From the probing thread, in the batch's order; connect with a queued connection.
  void Probed(const TProbedFile& probed);
  // After the batch's last Probed (also after a stopped batch).
  void Finished();

 private:
  void Join();

  std::shared_ptr<VIDevozORE> prober_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};
