// The conversion queue: Start turns the checked rows of the file list into conversion jobs,
// up to "conversions at once" rows at a time (one by default), in list order; the end of a
// job (its terminate report, or a row that failed before its job could run) starts the next
// row at once or, when no job is left, announces the end of the run; Stop pauses every
// running job, asks and ends the run; Stop After Current lets the running jobs finish and
// starts no further row.
//
// Each of the N places of a run (a slot) has a job component of its own that holds one job
// at a time: the first slot uses the window's component, further slots get components the
// queue makes. A slot's component is stopped and cleared before it takes its next row, which
// leaves the other slots' jobs alone.
//
// Owns no widgets. It works on the file list's data and on the job component, and reaches the
// window through TQueueWindow. The job component reports progress and job ends on its worker
// threads; those reports are carried to the UI thread as queued calls, in the order they were
// raised, and each is handled there as one step.
//
// A job is tied to its row by the row's identity, not its position: rows before it may be
// removed while it runs. Each started job gets a new run token; reports that carry a token
// no slot holds belong to a job the queue has already given up and change nothing.
//
// The Start that follows a run ended by Stop After Current goes on with the rows that run did
// not reach: the checked rows whose Progress cell is empty; the rows it converted keep their
// results. Any other Start empties the Progress and Frames columns and converts every
// checked row.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ConversionJob.h"
#include "FileList.h"
#include "Trash.h"

class TCustomJobComponent;
struct TMainSettings;

// What the queue needs from the main window.
class TQueueWindow {
 public:
  virtual ~TQueueWindow() = default;
  virtual bool AddingFiles() const = 0;
  virtual QString OutputFolderText() const = 0;  // as shown, untrimmed
  virtual bool OverwriteChecked() const = 0;
  // What each job does beyond converting (the output check, a target size), read at each
  // job's set-up, and whether a source whose output ended done and checked goes to the trash.
  virtual TJobExtras JobExtras() const = 0;
  virtual bool TrashSources() const = 0;
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

  // How many rows convert together: N is held to 1 .. the number of cores. Takes effect at
  // the next Start.
  void SetConversionsAtOnce(int n);
  int ConversionsAtOnce() const { return conversions_at_once_; }

  // Start: checks the list and the output folder, locks the controls and starts the first
  // rows.
  void ButtonConvertClick();
  // Stop: pauses the running jobs and asks "Stop all conversions?"; on Yes (or between two
  // jobs, without asking) ends the run.
  void ButtonStopConvertClick();
  // Stop After Current: the running jobs go on to their end, no further row starts, and the
  // run then ends as usual, counting the rows not reached. Asks nothing: nothing is lost.
  void StopAfterCurrent();
  bool StoppingAfterCurrent() const { return stop_after_current_; }
  // Stop without the question (the program is told to end): the running jobs are aborted and
  // their temporary outputs removed as by a confirmed Stop.
  void StopRun();

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
  // False for a row whose job is running.
  bool CanRemoveRow(int row) const;

  // A job is set up or running.
  bool Converting() const;
  // True from Start to the end of the run, also in the short gaps between two jobs, and while
  // a job's set-up is still under way after Stop.
  bool RunActive() const;
  // The last row the run has taken (the next row looked at comes after it).
  int CurrentRow() const { return CurrentRow_; }

 private:
  // Shared with the job component's worker threads.
  struct EventGate {
    std::mutex mutex;  // guards target
    TConversionQueue* target = nullptr;
    std::atomic<std::uint64_t> token{0};  // token of the job the slot's component runs now
  };
  // One place for a running row.
  struct TSlot {
    TCustomJobComponent* component = nullptr;
    std::unique_ptr<TCustomJobComponent> owned;  // the component of a further slot
    std::shared_ptr<EventGate> gate;
    bool busy = false;        // a row's job is being set up or runs
    bool setting_up = false;  // its set-up runs on another thread
    TRowId row = kNoRow;      // row of the job set up last
    std::uint64_t token = 0;  // token of that job
    int ordinal = 0;          // that row's number in the run ("Converting 3 of 20")
    QElapsedTimer clock;      // time since that job started
    int media_ms = 0;         // source time the job has converted so far
    int total_ms = 0;         // source time the job converts
    int percent = 0;
    std::int64_t size = 0;  // output bytes so far
  };

  TSlot& AddSlot(TCustomJobComponent& component);
  void ConnectEvents(TSlot& slot);
  TSlot* SlotOfToken(std::uint64_t token);
  TSlot* FreeSlot();
  int BusySlots() const;
  // Whether ROW is one this run converts.
  bool RowToConvert(int row) const;
  int RowsToConvertAfter(int row) const;
  // Starts rows on the free slots while rows are left and the run goes on.
  void FillSlots();
  // Takes the row at CurrentRow for SLOT, sets its job up and starts it; false when the row
  // failed before its job could run.
  bool ConvertRow(TSlot& slot);
  void ShowConverting();
  void EndRun();
  void FinishRun();
  bool SetUpRow(TSlot& slot);
  // Starts the job set up for SLOT's row; a start that fails fails the row.
  bool StartRowJob(TSlot& slot);
  void ShowSourceColumns(int row, const ProbeColumns& columns);
  // A row's job is over (or never ran): the next rows start, or the run ends, once the
  // events already queued are handled.
  void AdvanceLater();
  void Advance();
  void ShowRunProgress(const TSlot& slot);
  void ShowRunTimeLeft(const TSlot& slot);

  TFileList& list_;
  TCustomJobComponent& component_;
  const TMainSettings& settings_;
  TQueueWindow& window_;
  int conversions_at_once_ = 1;

  // UI thread only: the job component's reports are handled here after being carried over.
  std::vector<std::unique_ptr<TSlot>> slots_;
  int run_slots_ = 1;  // the slots this run uses
  bool UserAborted = false;
  bool stopped_ = false;         // the run was ended by Stop
  bool rows_exhausted_ = false;  // the run has taken its last row
  bool run_active_ = false;      // from Start until the run ends or is stopped
  bool asking_stop_ = false;     // the Stop question is open: no next row starts meanwhile
  bool advance_held_ = false;    // a job ended while the question was open
  bool stop_after_current_ = false;
  bool resuming_ = false;     // this run converts only the rows with no result yet
  bool resume_next_ = false;  // the next Start goes on with the rows not reached
  int CurrentRow_ = 0;
  std::uint64_t job_token_ = 0;   // token of the job set up last
  QElapsedTimer run_clock_;       // time since Start
  qint64 run_media_done_ms_ = 0;  // source time converted by the run's ended jobs
  int rows_started_ = 0;          // rows of this run taken so far
  int rows_ended_ = 0;            // rows of this run whose job is over
  // Set-up threads at work (one may outlive the wait for it when the event loop is ended
  // under it); the destructor waits for them, since they use the job components.
  std::shared_ptr<std::atomic<int>> set_up_threads_ = std::make_shared<std::atomic<int>>(0);
  // Output names promised in this run and the files it reads; made anew by each Start.
  std::unique_ptr<TRunOutputNames> run_names_;
  // The run's sources that may go to the trash once their rows end done and checked; made
  // anew by each Start (empty when sources stay).
  std::unique_ptr<TSourceTrashPlan> trash_plan_;
};
