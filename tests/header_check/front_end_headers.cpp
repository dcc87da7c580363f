// Everything the front ends include from the engine, used the way they use it. Compiled by the
// FrontEndHeadersNeedNoLibraryHeaders test, which fails when any header the codec libraries
// install is reached from here.
#include "Binding.h"
#include "EngineTypes.h"
#include "FFmpegException.h"
#include "JobComponent.h"
#include "OptionRecords.h"
#include "ProbeColumns.h"

int FrontEndUse() {
  VIDevozORE component;
  component.OnLog = [](int, TLogLevel, const std::string&) {};
  component.OnCustomHook = [](int, THookBitmap&, int, int64_t, bool&, bool&) {};
  TOutputOptions output;
  ResetOutputOptions(output);
  const int index = component.AddInputFile("in.avi");
  component.SetOutputFile(index, "out.mp4", &output);
  component.SetReplaceExistingOutput(index, false);
  const ProbeColumns columns = ProbeFileColumns(component.Probe(), "in.avi");
  return columns.ok ? 0 : static_cast<int>(component.RunWarning(index).size());
}
