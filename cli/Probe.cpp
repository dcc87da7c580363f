// --probe FILE...: one line per file as the file list shows it: the path, a tab, Video Size, a
// tab, FrameRate, a tab, Duration, a tab, and "Error" when the file could not be probed (else
// nothing). The reason of a failure goes to standard error.
#include <cstdio>
#include <string>

#include "AVProbe.h"
#include "Binding.h"
#include "Commands.h"
#include "FFmpegException.h"
#include "ProbeColumns.h"

int RunProbe(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("quorvin-convert: --probe needs at least one FILE\n", stderr);
    return 2;
  }
  std::string error;
  if (!LoadLibraries(ProgramFolder() + "Common/", true, error)) {
    std::fprintf(stderr, "quorvin-convert: %s\n", error.c_str());
    return 1;
  }
  // The libraries' own warnings about damaged files would mix with the result lines.
  SetLibraryLogLevel(-1);

  int status = 0;
  TAVProbe probe;
  for (int i = 1; i < argc; ++i) {
    ProbeColumns columns;
    try {
      columns = ProbeFileColumns(probe, argv[i]);
    } catch (const FFMpegException& e) {
      columns.error = e.what();
    }
    std::printf("%s\n", ProbeLine(argv[i], columns).c_str());
    std::fflush(stdout);
    if (!columns.ok) {
      std::fprintf(stderr, "quorvin-convert: %s\n", columns.error.c_str());
      status = 1;
    }
  }
  probe.Close();
  return status;
}
