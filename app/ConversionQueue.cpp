#include "ConversionQueue.h"

#include <QDir>
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

namespace {

// The remaining time is shown once the job has run this long, so that the estimate has a base.
constexpr qint64 kTimeLeftAfterMs = 1000;

// The start of the reason of a row that was converted in full with a note about its source.
const QString kDoneWithNote = QStringLiteral("Done, but ");

}  // namespace

TConversionQueue::TConversionQueue(TFileList& list, TCustomJobComponent& component,
                                   const TMainSettings& settings, TQueueWindow& window,
                                   QObject* parent)
    : QObject(parent),
      list_(list),
      component_(component),
      settings_(settings),
      window_(window),
      gate_(std::make_shared<EventGate>()) {
  gate_->target = this;
  // Worker-thread side: read the job's token and post the report to the UI thread. Queued
  // calls to one receiver are delivered in the order they were posted.
  component_.OnProgress = [gate = gate_](int AIndex, int AFrameNumber, int, int ACurrentDuration,
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
  component_.OnTerminate = [gate = gate_, component = &component_](int AIndex, bool AFinished,
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
      if (!warning.empty()) message = kDoneWithNote + QString::fromStdString(warning);
    }
    QMetaObject::invokeMethod(
        queue, [=] { queue->ConverterTerminate(token, AIndex, AFinished, AException, message); },
        Qt::QueuedConnection);
  };
}

TConversionQueue::~TConversionQueue() {
  DetachEvents();
  if (*set_up_thread_) {
    // Stop ends a set-up's reads; give its thread a moment to let go of the component.
    component_.Stop();
    for (int i = 0; i < 500 && *set_up_thread_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

void TConversionQueue::DetachEvents() {
  std::lock_guard<std::mutex> guard(gate_->mutex);
  gate_->target = nullptr;
}

void TConversionQueue::ButtonConvertClick() {
  window_.PreviewDeactivateForStart();
  // A run already under way (the Convert shortcut stays reachable) must not be restarted: that
  // would clear the running job.
  if (window_.AddingFiles() || RunActive()) return;
  list_.SetColumn(colProgress, QString());
  list_.SetColumn(colFrames, QString());
  if (list_.RowCount() == 0) {
    window_.ShowInformation("Please Add Files To Convert!");
    return;
  }
  const QString folder = window_.OutputFolderText();
  if (folder.isEmpty()) {
    window_.ShowInformation("Please select an output folder!");
    window_.BrowseForOutputFolder();
    return;
  }
  if (!QFileInfo(folder).isDir()) {
    window_.ShowInformation("The output folder \"" + folder +
                            "\"\ndoes not exist or has been deleted!\n"
                            "Please choose a new output folder.");
    window_.BrowseForOutputFolder();
    return;
  }
  Converting_ = true;
  run_active_ = true;
  advance_held_ = false;
  UserAborted = false;
  window_.LockControls();
  component_.ClearTasks();
  // Every listed file may still be read by a later row: no output of this run may replace one.
  std::vector<std::string> sources;
  for (int row = 0; row < list_.RowCount(); ++row) {
    sources.push_back(list_.Path(row).toStdString());
  }
  run_names_ = std::make_unique<TRunOutputNames>(sources);
  run_clock_.start();
  run_media_done_ms_ = 0;
  job_media_ms_ = 0;
  rows_started_ = 0;
  CurrentRow_ = -1;
  ConvertNextRow();
}

void TConversionQueue::ConvertNextRow() {
  component_.Stop();
  component_.ClearTasks();
  window_.SetProgressBar(0);
  DeleteOldScripts();
  run_media_done_ms_ += job_media_ms_;
  job_media_ms_ = 0;
  LastRowReached = false;
  QueueFinished = false;

  const int count = list_.RowCount();
  ++CurrentRow_;
  while (CurrentRow_ < count - 1 && !list_.Checked(CurrentRow_)) ++CurrentRow_;
  LastRowReached = CurrentRow_ >= count - 1;

  if (CurrentRow_ >= count || !list_.Checked(CurrentRow_)) {
    // Only the last row can be unchecked here (or the list was emptied between two jobs).
    Converting_ = false;
  } else {
    const TRowId row = list_.RowId(CurrentRow_);
    ++rows_started_;
    int checked_after = 0;
    for (int r = CurrentRow_ + 1; r < count; ++r) checked_after += list_.Checked(r) ? 1 : 0;
    window_.SetStatusText(
        QString("Converting %1 of %2").arg(rows_started_).arg(rows_started_ + checked_after));
    try {
      SetUpRow();
    } catch (const std::exception& e) {
      list_.SetResult(list_.RowOf(row), "Fail", QString::fromStdString(e.what()));
      component_.Stop();
      window_.SetProgressBar(0);
      Converting_ = false;
    }
    // Stop was confirmed while the set-up ran: the run is over, nothing more starts.
    if (QueueFinished && UserAborted) return;
    if (Converting_) StartRowJob(row);
  }
  if (LastRowReached) QueueFinished = true;
  if (!Converting_) AdvanceLater();
}

void TConversionQueue::StartRowJob(TRowId row) {
  try {
    component_.Start(1);
  } catch (const std::exception& e) {
    // The job never runs, so no report of its end comes: the row fails here, with the reason.
    component_.Stop();
    window_.SetProgressBar(0);
    const int current = list_.RowOf(row);
    if (current >= 0) list_.SetResult(current, "Fail", QString::fromStdString(e.what()));
    Converting_ = false;
  }
}

// Sets up the job of the row at CurrentRow. A row that cannot be set up (its input cannot be
// opened, its output cannot be made, its settings do not translate) reads "Fail" and the
// queue goes on with the next row.
void TConversionQueue::SetUpRow() {
  running_row_ = list_.RowId(CurrentRow_);
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
  gate_->token = token;
  // The set-up works on copies: the window's settings and folder field may change meanwhile.
  const TMainSettings settings = settings_;
  const std::string folder = window_.OutputFolderText().toStdString();
  const bool overwrite = window_.OverwriteChecked();
  const TReservedPath reserved = run_names_->Reserved();
  TCustomJobComponent* component = &component_;
  setting_up_ = true;
  *set_up_thread_ = true;
  const std::optional<TConversionJobSetup> done = WaitOffThread<TConversionJobSetup>(
      [component, settings, folder, overwrite, row, reserved, running = set_up_thread_] {
        TConversionJobSetup setup;
        try {
          setup = SetUpConversionJob(*component, settings, folder, overwrite, row, reserved);
        } catch (const std::exception& e) {
          setup.Ok = false;
          setup.Error = e.what();
        }
        *running = false;
        return setup;
      });
  setting_up_ = false;
  const int current = list_.RowOf(running_row_);
  if (token != job_token_ || (QueueFinished && UserAborted) || !done) {
    // Stopped while the source was being opened: a job it made never runs.
    component_.ClearTasks();
    if (current >= 0) list_.SetResult(current, "Abort", QString());
    return;
  }
  const TConversionJobSetup& setup = *done;
  if (setup.Ok) {
    run_names_->Promise(setup.OutputPath);
    list_.SetOutputPath(running_row_, QByteArray::fromStdString(setup.OutputPath));
  }
  if (current >= 0 && setup.SourceColumns.ok) ShowSourceColumns(current, setup.SourceColumns);
  if (!setup.Ok) {
    if (current >= 0) list_.SetResult(current, "Fail", QString::fromStdString(setup.Error));
    Converting_ = false;
    return;
  }
  job_clock_.start();
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
  // The run was stopped, or the next row already runs.
  if (!run_active_ || Converting_) return;
  if (asking_stop_) {
    advance_held_ = true;
    return;
  }
  if (QueueFinished) {
    FinishRun();
    return;
  }
  Converting_ = true;
  ConvertNextRow();
}

void TConversionQueue::FinishRun() {
  run_active_ = false;
  component_.ClearTasks();
  TRunCounts counts;
  int rows = 0;
  for (int row = 0; row < list_.RowCount(); ++row) {
    if (!list_.Checked(row)) continue;
    const QString result = list_.Text(row, colProgress);
    if (result.isEmpty()) continue;
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
  window_.SetStatusText("Ready");
  window_.SetTimeLeftText(QString());
  window_.SetProgressBar(0);
  window_.UnlockControls();
  Converting_ = false;
  // The message comes last: the window is unlocked and its status final while it is open.
  const QString details =
      counts.AllClean(rows) ? QString() : QString::fromStdString(RunCountsText(counts));
  window_.ShowRunEnd("All Conversions Completed", details);
}

void TConversionQueue::ConverterProgress(std::uint64_t token, int, int AFrameNumber,
                                         int ACurrentDuration, std::int64_t ACurrentSize,
                                         int ATotalOutputDuration) {
  if (token != job_token_) return;
  const int row = list_.RowOf(running_row_);
  // A total of 0 or less gives no percentage; 0 is shown rather than dividing by it.
  const std::int64_t percent =
      ATotalOutputDuration > 0
          ? static_cast<std::int64_t>(ACurrentDuration) * 100 / ATotalOutputDuration
          : 0;
  if (row >= 0) {
    window_.ScrollToRow(row);
    list_.SetText(row, colProgress, QString::number(std::min<std::int64_t>(percent, 100)) + "%");
    list_.SetText(row, colFrames,
                  AFrameNumber == -1 ? QString(" ") : QString::number(AFrameNumber));
  }
  window_.SetFileSizeText("File Size : " + QString::number(qRound64(ACurrentSize / 1000.0)) +
                          " KBytes");
  window_.SetProgressBar(static_cast<int>(std::clamp<std::int64_t>(percent, 0, 100)));
  ShowRunTimeLeft(ACurrentDuration, ATotalOutputDuration);
}

// Time left for the whole run: the rest of this job and the durations of the checked rows
// after it, at the speed the run has had so far (source time converted per second).
void TConversionQueue::ShowRunTimeLeft(int current_duration_ms, int total_duration_ms) {
  if (total_duration_ms <= 0 || current_duration_ms <= 0) return;
  job_media_ms_ = std::min(current_duration_ms, total_duration_ms);
  const qint64 job_elapsed_ms = job_clock_.isValid() ? job_clock_.elapsed() : 0;
  if (job_elapsed_ms < kTimeLeftAfterMs || !run_clock_.isValid()) return;
  double left_media_ms = total_duration_ms - job_media_ms_;
  for (int row = list_.RowOf(running_row_) + 1; row > 0 && row < list_.RowCount(); ++row) {
    if (!list_.Checked(row)) continue;
    const QStringList parts = list_.Text(row, colDuration).split(':');
    if (parts.size() != 3) continue;  // "Unknown" or not probed: nothing to add
    left_media_ms +=
        (parts[0].toDouble() * 3600 + parts[1].toDouble() * 60 + parts[2].toDouble()) * 1000;
  }
  const double done_media_ms = static_cast<double>(run_media_done_ms_ + job_media_ms_);
  const double left_s = static_cast<double>(run_clock_.elapsed()) / 1000.0 * left_media_ms /
                        std::max(1.0, done_media_ms);
  window_.SetTimeLeftText("Time Left : " + QString::fromStdString(FormatDuration(':', left_s)));
}

void TConversionQueue::ConverterTerminate(std::uint64_t token, int AIndex, bool AFinished,
                                          bool AException, const QString& AMessage) {
  if (token != job_token_) return;
  Converting_ = false;
  if (AIndex >= 0) {
    // A job that ended early without an error and without the user's Stop did not convert
    // the whole file: that is not reported as done.
    const QString result = AException    ? "Fail"
                           : UserAborted ? "Abort"
                           : AFinished   ? "Done"
                                         : "Fail";
    // Such a job reports no message; its row still says why it failed.
    const bool ended_early = !AException && !UserAborted && !AFinished;
    list_.SetResult(list_.RowOf(running_row_), result,
                    ended_early && AMessage.isEmpty() ? QString(kEndedEarlyReason) : AMessage);
    AdvanceLater();
  }
  if (QueueFinished && AIndex < 0) {
    component_.ClearTasks();
    window_.SetProgressBar(0);
    Converting_ = false;
  }
}

void TConversionQueue::ButtonStopConvertClick() {
  if (Converting_) {
    component_.Pause();
    // No next row may start while the question is open.
    asking_stop_ = true;
    const bool confirmed = window_.ConfirmStop("Stop all conversions?");
    asking_stop_ = false;
    if (!confirmed) {
      component_.Resume();
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

void TConversionQueue::StopRun() {
  if (!RunActive()) return;
  if (Converting_) UserAborted = true;
  EndRun();
}

// Stops the job component and gives the window back its idle state.
void TConversionQueue::EndRun() {
  QueueFinished = true;
  run_active_ = false;
  component_.Stop();
  window_.SetProgressBar(0);
  window_.SetTimeLeftText(QString());
  window_.SetStatusText("Ready");
  window_.UnlockControls();
  Converting_ = false;
}

void TConversionQueue::RowRemoved(int row) {
  // Rows up to the current one move up: the next row to look at moves with them.
  if (RunActive() && row <= CurrentRow_) --CurrentRow_;
}

void TConversionQueue::ListCleared() {
  if (RunActive()) CurrentRow_ = -1;
}

bool TConversionQueue::CanRemoveRow(int row) const {
  return !(Converting_ && list_.RowId(row) == running_row_);
}
