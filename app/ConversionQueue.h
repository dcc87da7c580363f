// The conversion queue: Start turns the checked rows of the file list into conversion jobs,
// one row at a time; the end of a job (its terminate report, or a row that failed before its
// job could run) starts the next row at once or announces the end of the run; Stop pauses,
// asks and ends the run.
//
// Owns no widgets. It works on the file list's data and on the job component, and reaches the
// window through TQueueWindow. The job component reports progress and job ends on its worker
// threads; those reports are carried to the UI thread as queued calls, in the order they were
// raised, and each is handled there as one step.
//
// A job is tied to its row by the row's identity, not its position: rows before it may be
// removed while it runs. Each started job gets a new run token; reports that carry an older
// token belong to a job the queue has already given up and change nothing.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ConversionJob.h"
#include "FileList.h"

class TCustomJobComponent;
struct TMainSettings;

// What the queue needs from the main window.
class TQueueWindow {
 public:
  virtual ~TQueueWindow() = default;
  virtual bool AddingFiles() const = 0;
  virtual QString OutputFolderText() const = 0;  // as shown, untrimmed
  virtual bool OverwriteChecked() const = 0;
  virtual void ShowInformation(const QString& text) = 0;
  virtual bool ConfirmStop(const QString& text) = 0;  // true on Yes
  virtual void BrowseForOutputFolder() = 0;
  virtual void LockControls() = 0;
  virtual void UnlockControls() = 0;
  virtual void SetProgressBar(int percent) = 0;
  virtual void SetFileSizeText(const QString& text) = 0;  // status bar panel 1
  virtual void SetTimeLeftText(const QString& text) = 0;  // status bar panel 2
  virtual void SetStatusText(const QString& text) = 0;    // status bar panel 0
  // The end of a run: "All Conversions Completed", with the rows' counts as `details` when a
  // row did not end "Done" or ended "Done" with a note.
  virtual void ShowRunEnd(const QString& text, const QString& details) = 0;
  virtual void ScrollToRow(int row) = 0;
  virtual void PreviewDeactivateForStart() = 0;
};

class TConversionQueue : public QObject {
  Q_OBJECT

 public:
  TConversionQueue(TFileList& list, TCustomJobComponent& component, const TMainSettings& settings,
                   TQueueWindow& window, QObject* parent = nullptr);
  ~TConversionQueue() override;

  // Start: checks the list and the output folder, locks the controls and starts the first row.
  void ButtonConvertClick();
  // Stop: pauses a running job and asks "Stop all conversions?"; on Yes (or between two jobs,
  // without asking) ends the run.
  void ButtonStopConvertClick();
  // Stop without the question (the program is told to end): the running job is aborted and
  // its temporary output removed as by a confirmed Stop.
  void StopRun();
  // Picks the next checked row after CurrentRow and starts its job. The job's set-up opens the
  // source, which may take long or block: it runs on another thread while the window keeps
  // answering (Stop ends it).
  void ConvertNextRow();

  // The job component's reports, on the UI thread; `token` is the run token of the job.
  void ConverterProgress(std::uint64_t token, int AIndex, int AFrameNumber, int ACurrentDuration,
                         std::int64_t ACurrentSize, int ATotalOutputDuration);
  void ConverterTerminate(std::uint64_t token, int AIndex, bool AFinished, bool AException,
                          const QString& AMessage);

  // Stops the reports from reaching this object (before the window closes).
  void DetachEvents();

  // The file list tells the queue about removed rows so that its place in the list stays right.
  void RowRemoved(int row);
  void ListCleared();
  // False for the row whose job is running.
  bool CanRemoveRow(int row) const;

  bool Converting() const { return Converting_; }
  // True from Start to the end of the run, also in the short gaps between two jobs, and while
  // a job's set-up is still under way after Stop.
  bool RunActive() const { return Converting_ || run_active_ || setting_up_; }
  int CurrentRow() const { return CurrentRow_; }

 private:
  void EndRun();
  void FinishRun();
  void SetUpRow();
  // Starts the job set up for the row at CurrentRow; a start that fails fails the row.
  void StartRowJob(TRowId row);
  void ShowSourceColumns(int row, const ProbeColumns& columns);
  // The row's job is over (or never ran): the next row starts, or the run ends, once the
  // events already queued are handled.
  void AdvanceLater();
  void Advance();
  void ShowRunTimeLeft(int current_duration_ms, int total_duration_ms);

  TFileList& list_;
  TCustomJobComponent& component_;
  const TMainSettings& settings_;
  TQueueWindow& window_;

  // UI thread only: the job component's reports are handled here after being carried over.
  bool Converting_ = false;
  bool UserAborted = false;
  bool LastRowReached = false;
  bool QueueFinished = false;
  bool run_active_ = false;    // from Start until the run ends or is stopped
  bool asking_stop_ = false;   // the Stop question is open: no next row starts meanwhile
  bool advance_held_ = false;  // a job ended while the question was open
  int CurrentRow_ = 0;
  TRowId running_row_ = kNoRow;   // row of the job set up last
  std::uint64_t job_token_ = 0;   // token of that job
  QElapsedTimer job_clock_;       // time since that job started
  QElapsedTimer run_clock_;       // time since Start
  qint64 run_media_done_ms_ = 0;  // source time converted by the run's earlier jobs
  int job_media_ms_ = 0;          // source time converted by the current job so far
  int rows_started_ = 0;          // rows of this run set up so far
  bool setting_up_ = false;       // a job's set-up runs on another thread
  // True while a set-up's thread works (it may outlive the wait for it when the event loop is
  // ended under it); the destructor waits for it, since it uses the job component.
  std::shared_ptr<std::atomic<bool>> set_up_thread_ = std::make_shared<std::atomic<bool>>(false);
  // Output names promised in this run and the files it reads; made anew by each Start.
  std::unique_ptr<TRunOutputNames> run_names_;

  // Shared with the job component's worker threads.
  struct EventGate {
    std::mutex mutex;  // guards target
    TConversionQueue* target = nullptr;
    std::atomic<std::uint64_t> token{0};  // token of the job the component runs now
  };
  std::shared_ptr<EventGate> gate_;
};
