// engine_run: converts one file with the engine alone, for benchmarks.
//
//   engine_run INPUT OUTPUT [NAME=VALUE ...]
//
// Each NAME=VALUE is an engine option ("vcodec=mpeg4", "b=512000", "s=320x240", "r=25",
// "acodec=aac", "ab=128000", "ar=44100", "ac=2", "vn=1", ...), applied in order after the
// input is opened and before the output is set up, the way a job applies its output record;
// "threads=N" sets the engine's codec thread count. Exit status 0 on a finished conversion, 1
// otherwise (with the reason on stderr).
#include <cstdio>
#include <exception>
#include <string>

#include "Binding.h"
#include "FFmpeg.h"
#include "OptionDispatch.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT [NAME=VALUE ...]\n", argv[0]);
    return 2;
  }
  std::string error;
  if (!LoadLibraries("", false, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  // Quiet: neither the engine's messages nor the libraries' lines are wanted here.
  SetLibraryLogLevel(-1);
  TCustomFFmpeg engine;
  engine.ResetEngine();
  engine.SetVerbosity(-1);
  engine.OnLog = [](int level, const std::string& msg) {
    if (level <= 0) std::fprintf(stderr, "%s\n", msg.c_str());
  };
  try {
    // The option table has no "threads" option; the codec thread count is the engine's
    // (1 by default, 0 = the libraries choose), set here before any codec.
    for (int i = 3; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg.rfind("threads=", 0) == 0) engine.SetCodecThreads(std::stoi(arg.substr(8)));
    }
    engine.OpenInputFile(argv[1]);
    for (int i = 3; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg.rfind("threads=", 0) == 0) continue;
      const auto eq = arg.find('=');
      TOptionDispatch(engine).Dispatch(arg.substr(0, eq),
                                       eq == std::string::npos ? "" : arg.substr(eq + 1));
    }
    engine.OpenOutputFile(argv[2]);
    engine.Transcode();
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "%s\n", ex.what());
    return 1;
  }
  const bool finished = engine.RunState().Finished;
  engine.FreeFileSet();
  return finished ? 0 : 1;
}
