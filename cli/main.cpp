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
    "      Lists the output formats: list index, extension and caption, separated\n"
    "      by tabs.\n"
    "  quorvin-convert --show-options [CHOICES]\n"
    "      Prints the output options a conversion with these choices would use.\n"
    "  quorvin-convert --probe FILE...\n"
    "      Prints video size, frame rate and duration of each file.\n"
    "  quorvin-convert --estimate [CHOICES] [--] FILE|FOLDER...\n"
    "      Prints each file's estimated output size with these choices\n"
    "      (\"FILE: ~12.4 MB (12412345 bytes)\"; \"≤\" instead of \"~\" when the size\n"
    "      is only an upper bound, for the constant-quality and lossless formats\n"
    "      and sources shorter than 2 s) and the total (\"Total: ~24.8 MB for 2\n"
    "      files\"). Converts nothing. 1 MB is 1,000,000 bytes.\n"
    "  quorvin-convert -o FOLDER [CHOICES] [--aspect Original|4:3|16:9]\n"
    "                  [--zoom None|LetterBox] [--overwrite] [--skip-existing]\n"
    "                  [--jobs N] [--threads N] [--video-codec LABEL] [--trash-sources]\n"
    "                  [--no-check] [--details] [--target-size MB] [--] FILE|FOLDER...\n"
    "      Converts the files into FOLDER, N files at once (default 1), with N\n"
    "      codec threads per file (default 0: one per core). A folder given as an\n"
    "      input stands for the media files in it and its subfolders.\n"
    "      --video-codec picks an item of the format's video codec list (e.g.\n"
    "      H264); --zoom LetterBox fits the picture into the format's frame with\n"
    "      black bars; -- ends the options.\n"
    "      --trash-sources moves each source whose conversion ended \"Done\" into\n"
    "      the user's trash (that of its own file system when it is not on the\n"
    "      home's), after its last conversion of the run, with a line \"FILE: moved\n"
    "      to the trash\" or \"FILE: kept (REASON)\" after its result. A failed,\n"
    "      noted or stopped conversion never touches its source.\n"
    "      --skip-existing skips a file whose output name (without numbering)\n"
    "      already exists in FOLDER as a finished file: \"FILE: Skipped, OUT\n"
    "      exists\", counted as done, so a stopped batch run again goes on where\n"
    "      it stopped (an unfinished .NAME.quorvin-part never counts).\n"
    "      --target-size MB fits each output into MB megabytes: the video's rate\n"
    "      (for a sound-only format the sound's) is chosen from the duration; an\n"
    "      output over the target is encoded again at a lower rate and never\n"
    "      kept; a file that cannot fit fails at once (\"needs at least 31 MB\").\n"
    "      An output is written as .NAME.quorvin-part and renamed to NAME once\n"
    "      complete. Each file ends with a line \"FILE: Done\", \"FILE: Fail: REASON\"\n"
    "      or \"FILE: Abort\". Each output is read back before it counts as done\n"
    "      (every packet decoded, its streams and their lengths against the\n"
    "      source's, the player's limits); what differs gives \"FILE: Done, but\n"
    "      NOTE\", an unreadable output fails and is removed. --no-check skips\n"
    "      that; --details adds a line after each \"FILE: Done\" with what was\n"
    "      checked (\"  Checked: 2 streams, 60.0 s, PSNR 38.4 dB\").\n"
    "      The last line is \"All Conversions Completed\" when\n"
    "      every file is done, else the counts (\"1 done, 1 failed, 0 aborted\");\n"
    "      on a terminal it adds the run's time and the size written.\n"
    "      Ctrl-C, SIGTERM and SIGHUP stop like the Stop button (the running files\n"
    "      are kept up to that point); a second one ends the program at once.\n"
    "  quorvin-convert --help\n"
    "  quorvin-convert --version\n"
    "\n"
    "CHOICES (names in any letter case):\n"
    "  --format FORMAT          list index, caption, name or extension, e.g. 6,\n"
    "                           MP3 or iPod (see --list-formats; default 0, iPod)\n"
    "  --video-quality LEVEL    Highest, Higher, Normal, Lower or Lowest\n"
    "                           (default Normal)\n"
    "  --audio-quality LEVEL    Highest, Higher, Normal, Lower or Lowest\n"
    "                           (default Normal)\n"
    "  --size TEXT              an item of the format's video size list or\n"
    "                           WIDTHxHEIGHT, e.g. \"320 x 240\"\n"
    "  --framerate TEXT         an item of the format's frame rate list or its\n"
    "                           number, e.g. \"25.0 fps\" or 25\n"
    "  --channels Stereo|Mono   audio channels\n"
    "  --volume 0..10           volume step; 5 is the original volume (default 5)\n"
    "A choice that the format does not offer is refused with the items on offer.\n"
    "\n"
    "Exit status:\n"
    "  0              every file done\n"
    "  1              a file failed, or the codec libraries could not be loaded\n"
    "  2              wrong command line, or the output folder is missing or not\n"
    "                 a folder\n"
    "  3              every file done, at least one with a note (e.g. its source\n"
    "                 ended before its known duration)\n"
    "  130, 143, 129  stopped by Ctrl-C (SIGINT), SIGTERM or SIGHUP\n";

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
