// --probe FILE...: one line per file as the file list shows it: the path, a tab, Video Size, a
// tab, FrameRate, a tab, Duration, a tab, and "Error" when the file could not be probed (else
// nothing). The reason of a failure goes to standard error.
#include <cstdio>
#include <string>

#include "Binding.h"
#include "Commands.h"
#include "JobComponent.h"
#include "ReasonText.h"

int RunProbe(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("quorvin-convert: --probe needs at least one FILE\n", stderr);
    return 2;
  }
  VIDevozORE component;
  if (!component.LoadLibraries(ProgramFolder() + "Common/")) {
    std::fprintf(stderr, "quorvin-convert: %s\n", component.LastError().c_str());
    return 1;
  }
  // The libraries' own warnings about damaged files would mix with the result lines.
  component.SetLogLevel(llQuiet);

  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const ProbeColumns columns = component.ProbeFile(argv[i]);
    std::printf("%s\n", ProbeLine(argv[i], columns).c_str());
    std::fflush(stdout);
    if (!columns.ok) {
      std::fprintf(stderr, "quorvin-convert: %s\n",
                   ReasonOnOneLine(columns.error, {argv[i]}).c_str());
      status = 1;
    }
  }
  return status;
}
