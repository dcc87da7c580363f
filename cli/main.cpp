// quorvin-convert: command-line front end over the profile model and the engine. The first
// argument chooses the command; anything else is a conversion.
#include <cstdio>
#include <cstring>
#include <vector>

#include "Commands.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  quorvin-convert --list-formats\n"
    "      Lists the output formats: list index, extension and caption, tab-separated.\n"
    "  quorvin-convert --show-options [CHOICES]\n"
    "      Prints the output options a conversion with these choices would use.\n"
    "  quorvin-convert --probe FILE...\n"
    "      Prints video size, frame rate and duration of each file.\n"
    "  quorvin-convert -o FOLDER [CHOICES] [--aspect Original|4:3|16:9] [--overwrite]\n"
    "                  [--zoom None|LetterBox] [--jobs N] [--threads N]\n"
    "                  [--video-codec LABEL] FILE...\n"
    "      Converts the files into FOLDER, N files at once (default 1), with N codec\n"
    "      threads per file (default 0: one per core); --video-codec picks an item of the\n"
    "      format's video codec list (e.g. H264); --zoom LetterBox fits the picture into\n"
    "      the format's frame with black bars. Ctrl-C, SIGTERM and SIGHUP stop like the\n"
    "      Stop button. Exit status: 0 all done, 1 a file failed, 3 all done but with a note,\n"
    "      130/143/129 stopped by SIGINT/SIGTERM/SIGHUP.\n"
    "  quorvin-convert --help\n"
    "  quorvin-convert --version\n"
    "\n"
    "CHOICES:\n"
    "  --format INDEX|CAPTION   output format (see --list-formats; default 0)\n"
    "  --video-quality LEVEL    Highest, Higher, Normal, Lower or Lowest (default Normal)\n"
    "  --audio-quality LEVEL    Highest, Higher, Normal, Lower or Lowest (default Normal)\n"
    "  --size TEXT              an item of the format's video size list, e.g. \"320 x 240 (VGA)\"\n"
    "  --framerate TEXT         an item of the format's frame rate list, e.g. \"25.0 fps\"\n"
    "  --channels Stereo|Mono   audio channels\n"
    "  --volume 0..10           volume step; 5 is the original volume (default 5)\n";

// Builds the vector handed to a command: the program name, then argv[first..].
std::vector<char*> CommandArgs(int argc, char** argv, int first) {
  std::vector<char*> args{argv[0]};
  for (int i = first; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const char* command = argv[1];
  if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (std::strcmp(command, "--version") == 0) {
    std::puts("quorvin-convert (Quorvin iPod Video Converter) " QUORVIN_VERSION);
    return 0;
  }
  using Command = int (*)(int, char**);
  Command run = RunConvert;
  int first = 1;
  if (std::strcmp(command, "--list-formats") == 0) {
    run = RunListFormats;
    first = 2;
  } else if (std::strcmp(command, "--show-options") == 0) {
    run = RunShowOptions;
    first = 2;
  } else if (std::strcmp(command, "--probe") == 0) {
    run = RunProbe;
    first = 2;
  }
  std::vector<char*> args = CommandArgs(argc, argv, first);
  return run(static_cast<int>(args.size()) - 1, args.data());
}
