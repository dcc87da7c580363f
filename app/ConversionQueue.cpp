#include "ConversionQueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <thread>

#include "ConversionJob.h"
#include "JobComponent.h"
#include "MainSettings.h"
#include "OffThread.h"
#include "ProbeColumns.h"
#include "SizeEstimate.h"

namespace {

// The remaining time is shown once the job has run this long, so that the estimate has a base.
constexpr qint64 kTimeLeftAfterMs = 1000;

// The start of the reason of a row that was converted in full with a note about its source.
const QString kDoneWithNote = QStringLiteral("Done, but ");

int CoreCount() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

// Source time of a Duration cell ("00:01:02.50"); 0 for "Unknown" or a row not probed.
double DurationCellMs(const QString& text) {
  const QStringList parts = text.split(':');
  if (parts.size() != 3) return 0;
  return (parts[0].toDouble() * 3600 + parts[1].toDouble() * 60 + parts[2].toDouble()) * 1000;
}

}  // namespace

TConversionQueue::TConversionQueue(TFileList& list, TCustomJobComponent& component,
                                   const TMainSettings& settings, TQueueWindow& window,
                                   QObject* parent)
    : QObject(parent), list_(list), component_(component), settings_(settings), window_(window) {
  AddSlot(component_);
}

TConversionQueue::~TConversionQueue() {
  DetachEvents();
  if (*set_up_threads_ > 0) {
    // Stop ends a set-up's reads; give its thread a moment to let go of the component.
    for (const auto& slot : slots_) slot->component->Stop();
    for (int i = 0; i < 500 && *set_up_threads_ > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // The further slots' components wait for their jobs' threads as they go.
  slots_.clear();
}

TConversionQueue::TSlot& TConversionQueue::AddSlot(TCustomJobComponent& component) {
  auto slot = std::make_unique<TSlot>();
  slot->component = &component;
  slot->gate = std::make_shared<EventGate>();
  slot->gate->target = this;
  ConnectEvents(*slot);
  slots_.push_back(std::move(slot));
  return *slots_.back();
}

void TConversionQueue::ConnectEvents(TSlot& slot) {
  TCustomJobComponent& component = *slot.component;
  // Worker-thread side: read the job's token and post the report to the UI thread. Queued
  // calls to one receiver are delivered in the order they were posted.
  component.OnProgress = [gate = slot.gate](int AIndex, int AFrameNumber, int, int ACurrentDuration,
                                            float, float, int64_t ACurrentSize,
                                            int ATotalOutputDuration) {
    std::lock_guard<std::mutex> guard(gate->mutex);
    TConversionQueue* queue = gate->target;
    if (queue == nullptr) return;
    const std::uint64_t token = gate->token;
    QMetaObject::invokeMethod(
        queue,
        [=] {
          queue->ConverterProgress(token, AIndex, AFrameNumber, ACurrentDuration, ACurrentSize,
                                   ATotalOutputDuration);
        },
        Qt::QueuedConnection);
  };
  component.OnTerminate = [gate = slot.gate, component = &component](int AIndex, bool AFinished,
                                                                     bool AException,
                                                                     const std::string& AMessage) {
    std::lock_guard<std::mutex> guard(gate->mutex);
    TConversionQueue* queue = gate->target;
    if (queue == nullptr) return;
    const std::uint64_t token = gate->token;
    QString message = QString::fromStdString(AMessage);
    // A job that converted all there was of a source that ended early is done, with a note
    // that the row shows as its tooltip. Read here: the job is alive while it reports.
    if (AIndex >= 0 && AFinished && !AException && AIndex < component->TaskCount()) {
      const std::string warning = component->RunWarning(AIndex);
      if (!warning.empty()) {
        message = kDoneWithNote + QString::fromStdString(warning);
      } else if (message.isEmpty()) {
        // What the output check read ("Checked: 2 streams, 60.0 s, PSNR 38.4 dB"), shown
        // as the done row's details.
        message = QString::fromStdString(component->RunCheckDetails(AIndex));
      }
    }
    QMetaObject::invokeMethod(
        queue, [=] { queue->ConverterTerminate(token, AIndex, AFinished, AException, message); },
        Qt::QueuedConnection);
  };
}

void TConversionQueue::DetachEvents() {
  for (const auto& slot : slots_) {
    std::lock_guard<std::mutex> guard(slot->gate->mutex);
    slot->gate->target = nullptr;
  }
}

void TConversionQueue::SetConversionsAtOnce(int n) {
  conversions_at_once_ = std::clamp(n, 1, CoreCount());
}

bool TConversionQueue::Converting() const {
  return BusySlots() > 0;
}

bool TConversionQueue::RunActive() const {
  return run_active_ || std::any_of(slots_.begin(), slots_.end(), [](const auto& slot) {
           return slot->busy || slot->setting_up;
         });
}

int TConversionQueue::BusySlots() const {
  return static_cast<int>(
      std::count_if(slots_.begin(), slots_.end(), [](const auto& slot) { return slot->busy; }));
}

TConversionQueue::TSlot* TConversionQueue::SlotOfToken(std::uint64_t token) {
  for (const auto& slot : slots_) {
    if (slot->token == token && token != 0) return slot.get();
  }
  return nullptr;
}

TConversionQueue::TSlot* TConversionQueue::FreeSlot() {
  for (int i = 0; i < run_slots_ && i < static_cast<int>(slots_.size()); ++i) {
    if (!slots_[static_cast<size_t>(i)]->busy) return slots_[static_cast<size_t>(i)].get();
  }
  return nullptr;
}

bool TConversionQueue::RowToConvert(int row) const {
  return list_.Checked(row) && (!resuming_ || list_.Text(row, colProgress).isEmpty());
}

int TConversionQueue::RowsToConvertAfter(int row) const {
  int rows = 0;
  for (int r = std::max(0, row + 1); r < list_.RowCount(); ++r) rows += RowToConvert(r) ? 1 : 0;
  return rows;
}

void TConversionQueue::ButtonConvertClick() {
  window_.PreviewDeactivateForStart();
  // A run already under way (the Convert shortcut stays reachable) must not be restarted: that
  // would clear the running jobs.
  if (window_.AddingFiles() || RunActive()) return;
  resuming_ = resume_next_;
  resume_next_ = false;
  if (!resuming_) {
    list_.SetColumn(colProgress, QString());
    list_.SetColumn(colFrames, QString());
  }
  if (list_.RowCount() == 0) {
    window_.ShowInformation("Please Add Files To Convert!");
    return;
  }
  const QString folder = window_.OutputFolderText();
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
    // The rows not reached stay for the next Start.
    resume_next_ = resuming_;
    if (folder.isEmpty()) {
      window_.ShowInformation("Please select an output folder!");
    } else {
      window_.ShowInformation("The output folder \"" + folder +
                              "\"\ndoes not exist or has been deleted!\n"
                              "Please choose a new output folder.");
    }
    window_.BrowseForOutputFolder();
    return;
  }
  run_active_ = true;
  stopped_ = false;
  rows_exhausted_ = false;
  stop_after_current_ = false;
  advance_held_ = false;
  UserAborted = false;
  window_.LockControls();
  run_slots_ = conversions_at_once_;
  while (static_cast<int>(slots_.size()) < run_slots_) {
    auto component = std::make_unique<TCustomJobComponent>();
    component->ThreadPriority = component_.ThreadPriority;
    component->CodecThreads = component_.CodecThreads;
    component->SetLogLevel(component_.LogLevel());
    component->SetProgressInterval(component_.ProgressInterval());
    AddSlot(*component).owned = std::move(component);
  }
  for (const auto& slot : slots_) slot->component->ClearTasks();
  // Every listed file may still be read by a later row: no output of this run may replace one.
  std::vector<std::string> sources;
  for (int row = 0; row < list_.RowCount(); ++row) {
    sources.push_back(list_.Path(row).toStdString());
  }
  run_names_ = std::make_unique<TRunOutputNames>(sources);
  trash_plan_.reset();
  // Only a checked output says that its source is no longer needed.
  if (window_.TrashSources() && window_.JobExtras().CheckOutput) {
    trash_plan_ = std::make_unique<TSourceTrashPlan>();
    for (int row = 0; row < list_.RowCount(); ++row) {
      if (RowToConvert(row)) trash_plan_->AddUse(list_.Path(row).toStdString());
    }
  }
  run_clock_.start();
  run_media_done_ms_ = 0;
  rows_started_ = 0;
  rows_ended_ = 0;
  CurrentRow_ = -1;
  window_.SetProgressBar(0);
  FillSlots();
  if (run_active_ && !Converting()) AdvanceLater();
}

void TConversionQueue::FillSlots() {
  // One set-up at a time: a row's output name is chosen against the names promised to the
  // rows set up before it, so two set-ups under way together could both take the same name.
  // The set-up under way goes on filling the free slots when it is through.
  const auto setting_up = [this] {
    return std::any_of(slots_.begin(), slots_.end(),
                       [](const auto& slot) { return slot->setting_up; });
  };
  while (run_active_ && !stopped_ && !stop_after_current_ && !rows_exhausted_ && !asking_stop_ &&
         !setting_up()) {
    TSlot* slot = FreeSlot();
    if (slot == nullptr) return;
    const int count = list_.RowCount();
    ++CurrentRow_;
    while (CurrentRow_ < count && !RowToConvert(CurrentRow_)) ++CurrentRow_;
    if (CurrentRow_ >= count) {
      rows_exhausted_ = true;
      return;
    }
    // Rows added after the last row was taken belong to the next run.
    if (CurrentRow_ >= count - 1) rows_exhausted_ = true;
    // A row that fails before its job runs goes on through a queued step, so that a list of
    // rows that all fail does not nest one step inside the other.
    if (!ConvertRow(*slot)) {
      AdvanceLater();
      return;
    }
  }
}

bool TConversionQueue::ConvertRow(TSlot& slot) {
  slot.component->Stop();
  slot.component->ClearTasks();
  // A script still read by another slot's job stays.
  if (BusySlots() == 0) DeleteOldScripts();
  if (run_slots_ == 1) window_.SetProgressBar(0);
  slot.busy = true;
  slot.row = list_.RowId(CurrentRow_);
  slot.ordinal = ++rows_started_;
  slot.media_ms = slot.total_ms = slot.percent = 0;
  slot.size = 0;
  slot.clock.invalidate();
  ShowConverting();
  bool started = false;
  try {
    started = SetUpRow(slot) && StartRowJob(slot);
  } catch (const std::exception& e) {
    list_.SetResult(list_.RowOf(slot.row), "Fail", QString::fromStdString(e.what()));
    slot.component->Stop();
    started = false;
  }
  if (!started && slot.busy) {
    slot.busy = false;
    ++rows_ended_;
    if (run_slots_ == 1) window_.SetProgressBar(0);
  }
  return started;
}

// "Converting 3 of 20", or "Converting 3-4 of 20" while rows 3 and 4 of the run convert
// together: the running rows' numbers in the run, of all the rows the run converts.
void TConversionQueue::ShowConverting() {
  int first = 0;
  int last = 0;
  for (const auto& slot : slots_) {
    if (!slot->busy) continue;
    first = first == 0 ? slot->ordinal : std::min(first, slot->ordinal);
    last = std::max(last, slot->ordinal);
  }
  if (last == 0) return;
  const int total = rows_started_ + (rows_exhausted_ ? 0 : RowsToConvertAfter(CurrentRow_));
  const QString rows =
      first == last ? QString::number(first) : QString("%1-%2").arg(first).arg(last);
  window_.SetStatusText(QString("Converting %1 of %2").arg(rows).arg(total));
}

// Sets up SLOT's job for the row at CurrentRow. A row that cannot be set up (its input cannot
// be opened, its output cannot be made, its settings do not translate) reads "Fail" and the
// queue goes on with the next row. False when the row's job is not to run.
bool TConversionQueue::SetUpRow(TSlot& slot) {
  if (QFileInfo(list_.Caption(CurrentRow_)).suffix().toLower() == "rmvb") {
    list_.SetText(CurrentRow_, colProgress, "Loading");
  }
  // The source's shape and duration are read from the file as it is now: it may have been
  // replaced since it was listed.
  TConversionRow row;
  row.SourcePath = list_.Path(CurrentRow_).toStdString();
  row.ColumnsFromJob = true;
  // Token first: the job may report as soon as it runs.
  const std::uint64_t token = ++job_token_;
  slot.token = token;
  slot.gate->token = token;
  // The set-up works on copies: the window's settings and folder field may change meanwhile.
  const TMainSettings settings = settings_;
  const std::string folder = window_.OutputFolderText().toStdString();
  const bool overwrite = window_.OverwriteChecked();
  const TJobExtras extras = window_.JobExtras();
  const TReservedPath reserved = run_names_->Reserved();
  TCustomJobComponent* component = slot.component;
  slot.setting_up = true;
  ++*set_up_threads_;
  // Other slots' reports and ends are handled while this waits; they may start rows too.
  const std::optional<TConversionJobSetup> done = WaitOffThread<TConversionJobSetup>(
      [component, settings, folder, overwrite, row, reserved, extras, running = set_up_threads_] {
        TConversionJobSetup setup;
        try {
          setup =
              SetUpConversionJob(*component, settings, folder, overwrite, row, reserved, extras);
        } catch (const std::exception& e) {
          setup.Ok = false;
          setup.Error = e.what();
        }
        --*running;
        return setup;
      });
  slot.setting_up = false;
  const int current = list_.RowOf(slot.row);
  if (token != slot.token || stopped_ || !done) {
    // Stopped while the source was being opened: a job it made never runs.
    slot.component->ClearTasks();
    if (current >= 0) list_.SetResult(current, "Abort", QString());
    return false;
  }
  const TConversionJobSetup& setup = *done;
  if (setup.Ok) {
    run_names_->Promise(setup.OutputPath);
    list_.SetOutputPath(slot.row, QByteArray::fromStdString(setup.OutputPath));
  }
  if (current >= 0 && setup.SourceColumns.ok) ShowSourceColumns(current, setup.SourceColumns);
  if (!setup.Ok) {
    if (current >= 0) list_.SetResult(current, "Fail", QString::fromStdString(setup.Error));
    return false;
  }
  slot.clock.start();
  return true;
}

bool TConversionQueue::StartRowJob(TSlot& slot) {
  try {
    slot.component->Start(1);
    return true;
  } catch (const std::exception& e) {
    // The job never runs, so no report of its end comes: the row fails here, with the reason.
    slot.component->Stop();
    const int current = list_.RowOf(slot.row);
    if (current >= 0) list_.SetResult(current, "Fail", QString::fromStdString(e.what()));
    return false;
  }
}

// The row shows its source as the job read it, which is what the output is made from.
void TConversionQueue::ShowSourceColumns(int row, const ProbeColumns& columns) {
  list_.SetText(row, colVideoSize, QString::fromStdString(columns.video_size));
  list_.SetText(row, colFrameRate, QString::fromStdString(columns.frame_rate));
  list_.SetText(row, colDuration, QString::fromStdString(columns.duration));
}

// Queued, so that the reports already on their way are handled first and a list of rows that
// all fail at once does not nest one step inside the other.
void TConversionQueue::AdvanceLater() {
  QMetaObject::invokeMethod(this, &TConversionQueue::Advance, Qt::QueuedConnection);
}

void TConversionQueue::Advance() {
  if (!run_active_) return;  // the run was stopped or is over
  if (asking_stop_) {
    advance_held_ = true;
    return;
  }
  FillSlots();
  // The run is over once no job is left and no row is left to take. A row that failed before
  // its job ran has queued the next step itself; a set-up under way on the way here may have
  // ended the run already.
  if (run_active_ && !Converting() && (rows_exhausted_ || stop_after_current_)) FinishRun();
}

void TConversionQueue::FinishRun() {
  run_active_ = false;
  for (const auto& slot : slots_) slot->component->ClearTasks();
  TRunCounts counts;
  int rows = 0;
  for (int row = 0; row < list_.RowCount(); ++row) {
    if (!list_.Checked(row)) continue;
    const QString result = list_.Text(row, colProgress);
    if (result.isEmpty()) {
      // Rows left for the next Start; without Stop After Current, rows added during the run.
      if (stop_after_current_) ++counts.not_started;
      continue;
    }
    ++rows;
    if (result == "Done") {
      ++counts.done;
      if (list_.Reason(row).startsWith(kDoneWithNote)) ++counts.warned;
    } else if (result == "Abort") {
      ++counts.aborted;
    } else {
      ++counts.failed;
    }
  }
  resume_next_ = counts.not_started > 0;
  stop_after_current_ = false;
  window_.SetStatusText("Ready");
  window_.SetTimeLeftText(QString());
  window_.SetProgressBar(0);
  window_.UnlockControls();
  // The message comes last: the window is unlocked and its status final while it is open.
  const QString details =
      counts.AllClean(rows) ? QString() : QString::fromStdString(RunCountsText(counts));
  window_.ShowRunEnd("All Conversions Completed", details);
}

void TConversionQueue::ConverterProgress(std::uint64_t token, int, int AFrameNumber,
                                         int ACurrentDuration, std::int64_t ACurrentSize,
                                         int ATotalOutputDuration) {
  TSlot* slot = SlotOfToken(token);
  if (slot == nullptr) return;
  const int row = list_.RowOf(slot->row);
  // A total of 0 or less gives no percentage; 0 is shown rather than dividing by it.
  const std::int64_t percent =
      ATotalOutputDuration > 0
          ? static_cast<std::int64_t>(ACurrentDuration) * 100 / ATotalOutputDuration
          : 0;
  slot->percent = static_cast<int>(std::clamp<std::int64_t>(percent, 0, 100));
  slot->size = ACurrentSize;
  if (ATotalOutputDuration > 0 && ACurrentDuration > 0) {
    slot->total_ms = ATotalOutputDuration;
    slot->media_ms = std::min(ACurrentDuration, ATotalOutputDuration);
  }
  const bool newest = std::none_of(slots_.begin(), slots_.end(), [slot](const auto& other) {
    return other->busy && other->ordinal > slot->ordinal;
  });
  if (row >= 0) {
    // The list follows the row started last.
    if (newest) window_.ScrollToRow(row);
    list_.SetText(row, colProgress, QString::number(std::min<std::int64_t>(percent, 100)) + "%");
    list_.SetText(row, colFrames,
                  AFrameNumber == -1 ? QString(" ") : QString::number(AFrameNumber));
  }
  ShowRunProgress(*slot);
}

// The status bar's size is what the running jobs have written; the progress bar is the job's
// share done when one row converts at a time, else the run's.
void TConversionQueue::ShowRunProgress(const TSlot& slot) {
  std::int64_t size = 0;
  double rows_done = rows_ended_;
  for (const auto& other : slots_) {
    if (!other->busy && other.get() != &slot) continue;
    size += other->size;
    rows_done += other->percent / 100.0;
  }
  window_.SetFileSizeText("File Size : " + QString::number(qRound64(size / 1000.0)) + " KBytes");
  if (run_slots_ == 1) {
    window_.SetProgressBar(slot.percent);
  } else {
    const int rows = rows_started_ + (rows_exhausted_ ? 0 : RowsToConvertAfter(CurrentRow_));
    window_.SetProgressBar(rows > 0 ? std::clamp(qRound(rows_done * 100 / rows), 0, 100) : 0);
  }
  ShowRunTimeLeft(slot);
}

// Time left for the whole run: the rest of the running jobs and the durations of the rows
// still to take, at the speed the run has had so far (source time converted per second).
void TConversionQueue::ShowRunTimeLeft(const TSlot& slot) {
  if (slot.total_ms <= 0 || slot.media_ms <= 0) return;
  const qint64 job_elapsed_ms = slot.clock.isValid() ? slot.clock.elapsed() : 0;
  if (job_elapsed_ms < kTimeLeftAfterMs || !run_clock_.isValid()) return;
  double left_media_ms = 0;
  double done_media_ms = static_cast<double>(run_media_done_ms_);
  for (const auto& other : slots_) {
    if (!other->busy && other.get() != &slot) continue;
    left_media_ms += std::max(0, other->total_ms - other->media_ms);
    done_media_ms += other->media_ms;
  }
  if (!rows_exhausted_) {
    for (int row = std::max(0, CurrentRow_ + 1); row < list_.RowCount(); ++row) {
      if (RowToConvert(row)) left_media_ms += DurationCellMs(list_.Text(row, colDuration));
    }
  }
  const double left_s = static_cast<double>(run_clock_.elapsed()) / 1000.0 * left_media_ms /
                        std::max(1.0, done_media_ms);
  window_.SetTimeLeftText("Time Left : " + QString::fromStdString(FormatDuration(':', left_s)));
}

void TConversionQueue::ConverterTerminate(std::uint64_t token, int AIndex, bool AFinished,
                                          bool AException, const QString& AMessage) {
  TSlot* slot = SlotOfToken(token);
  if (slot == nullptr) return;
  if (AIndex < 0) {
    // The component's notice that its list is through; after the run, its job goes.
    if (!run_active_ && !slot->busy) slot->component->ClearTasks();
    return;
  }
  // A job that ended early without an error and without the user's Stop did not convert the
  // whole file: that is not reported as done.
  const QString result = AException ? "Fail" : UserAborted ? "Abort" : AFinished ? "Done" : "Fail";
  // Such a job reports no message; its row still says why it failed.
  const bool ended_early = !AException && !UserAborted && !AFinished;
  QString reason = ended_early && AMessage.isEmpty() ? QString(kEndedEarlyReason) : AMessage;
  const int row = list_.RowOf(slot->row);
  if (trash_plan_ != nullptr && row >= 0) {
    // The source moves once its last row of the run has ended done, checked and without a
    // note; the row's details say what became of it.
    const std::string said = trash_plan_->AfterUse(list_.Path(row).toStdString(), result == "Done",
                                                   reason.startsWith(kDoneWithNote));
    if (!said.empty()) {
      const QString text = QString::fromStdString(said);
      reason = reason.isEmpty() ? "Source " + text : reason + "; source " + text;
    }
  }
  list_.SetResult(row, result, reason);
  // The real size replaces the estimate.
  if (result == "Done" && row >= 0) list_.ShowOutputFileSize(row);
  if (slot->busy) {
    slot->busy = false;
    ++rows_ended_;
    run_media_done_ms_ += slot->media_ms;
    slot->media_ms = slot->total_ms = slot->percent = 0;
    slot->size = 0;
    // One row at a time shows the next row's number when it starts, as before.
    if (run_slots_ > 1 && run_active_) ShowConverting();
  }
  AdvanceLater();
}

void TConversionQueue::ButtonStopConvertClick() {
  if (Converting()) {
    for (const auto& slot : slots_) slot->component->Pause();
    // No next row may start while the question is open.
    asking_stop_ = true;
    const bool confirmed = window_.ConfirmStop("Stop all conversions?");
    asking_stop_ = false;
    if (!confirmed) {
      for (const auto& slot : slots_) slot->component->Resume();
      if (advance_held_) {
        advance_held_ = false;
        AdvanceLater();
      }
      return;
    }
    UserAborted = true;
  }
  advance_held_ = false;
  EndRun();
}

void TConversionQueue::StopAfterCurrent() {
  if (!run_active_ || stopped_ || stop_after_current_) return;
  stop_after_current_ = true;
  // Between two jobs nothing runs: the run ends now.
  if (!Converting()) AdvanceLater();
}

void TConversionQueue::StopRun() {
  if (!RunActive()) return;
  if (Converting()) UserAborted = true;
  EndRun();
}

// Stops the job components and gives the window back its idle state.
void TConversionQueue::EndRun() {
  stopped_ = true;
  run_active_ = false;
  stop_after_current_ = false;
  for (const auto& slot : slots_) {
    slot->component->Stop();
    // Its end report still marks the row; a row being set up ends when its set-up returns.
    slot->busy = false;
  }
  window_.SetProgressBar(0);
  window_.SetTimeLeftText(QString());
  window_.SetStatusText("Ready");
  window_.UnlockControls();
}

void TConversionQueue::RowRemoved(int row) {
  // Rows up to the current one move up: the next row to look at moves with them.
  if (RunActive() && row <= CurrentRow_) --CurrentRow_;
}

void TConversionQueue::ListCleared() {
  if (RunActive()) CurrentRow_ = -1;
  resume_next_ = false;
}

bool TConversionQueue::CanRemoveRow(int row) const {
  const TRowId id = list_.RowId(row);
  return std::none_of(slots_.begin(), slots_.end(),
                      [id](const auto& slot) { return slot->busy && slot->row == id; });
}
