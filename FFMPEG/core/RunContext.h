// What one conversion run reaches of its engine. The engine hands the transcoder these parts
// and keeps the rest (the option table, the file set-up, the job component's other callbacks)
// to itself, so nothing in a run can change how a job was set up.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "AVPtr.h"
#include "EngineOptions.h"
#include "EngineTypes.h"
#include "FileSet.h"
#include "GenericOptions.h"
#include "ReadGuard.h"
#include "RunState.h"

// Callbacks to the job component. Levels are the engine's scale: -1 exception messages,
// 0 error, 1 information, 2 debug.
using TEngineLogCallback = std::function<void(int level, const std::string& msg)>;
using TEngineProgressCallback =
    std::function<void(int frame_number, int fps, int current_duration_ms, float quality,
                       float bit_rate, int64_t current_size, int total_output_duration_ms)>;
// Called once when the job has ended; Finished, ExceptionRaised and ErrorMessage tell how.
using TEngineTerminateCallback = std::function<void()>;
// hook_action comes in with the previous picture's decision.
using TEngineBeforeHookCallback = std::function<void(int64_t pts_us, THookAction& hook_action)>;
// update is true on entry (copy the bitmap back into the picture); stop_hook false on entry.
using TEngineCustomHookCallback = std::function<void(
    THookBitmap& bitmap, int frame_number, int64_t pts_us, bool& update, bool& stop_hook)>;

struct TRunContext {
  const TEngineOptions& Options;  // read-only during a run
  TFileSet& Files;
  TRunState& State;
  TRunStats& Stats;
  // The inputs' interrupt state and the callback that reads it (input format contexts only).
  TReadGuard& ReadGuard;
  AVIOInterruptCB InputInterrupt;
  // The generic options set for the job: defaults objects per codec type and the scaler's,
  // and the copy of their set values into a library object (TGenericOptions::ApplyTo).
  const std::array<CodecContextPtr, kCodecTypeCount>& CodecDefaults;
  SwsContext* ScalerDefaults;
  std::function<void(void* target, const void* source, int flags)> ApplyGenericOptions;
  // Logs a line of the job (engine scale, filtered by the job's verbosity). HasLog is false
  // when no one listens, so a run can skip building lines nobody reads.
  std::function<void(int level, const std::string& msg)> Log;
  bool HasLog;
  const TEngineProgressCallback& OnProgress;
  const TEngineBeforeHookCallback& OnBeforeHook;
  // The run drops the custom hook when the hook asks to stop.
  TEngineCustomHookCallback& OnCustomHook;
  // Runs BODY as the work of one stage thread of the job (the job component makes the thread
  // its job's, so library lines logged on it are the job's lines).
  std::function<void(const std::function<void()>& body)> RunStageThread;
  // One lock for the whole process, held around every codec open and close of every engine.
  std::recursive_mutex& CodecLock;
};
