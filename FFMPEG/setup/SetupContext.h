// What the file set-up reaches of a job: its option values, its file set, its generic options,
// the inputs' read guard with the interrupt callback that reads it, and the job's log. The
// engine fills it; the set-up functions take nothing else of the job.
#pragma once

#include <string>

extern "C" {
#include <libavformat/avio.h>
}

#include "EngineOptions.h"
#include "FileSet.h"
#include "GenericOptions.h"
#include "ReadGuard.h"

struct TSetupContext {
  TEngineOptions& Options;
  TFileSet& Files;
  const TGenericOptions& Generic;
  // The inputs' interrupt state and the callback that reads it (input format contexts only).
  TReadGuard& ReadGuard;
  AVIOInterruptCB InputInterrupt;
  TLogFunction Log;

  // Copies the generic options set for the job into TARGET (see TGenericOptions::ApplyTo).
  void ApplyGenericOptions(void* target, const void* source, int flags) const {
    Generic.ApplyTo(target, source, flags, Log);
  }
};
