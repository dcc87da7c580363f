// Sub-commands of quorvin-convert. main() picks one from the first argument and calls it with
// an argument vector whose argv[0] is the program name and whose argv[1..argc-1] are the
// arguments after the command option (for RunConvert: every argument). Each returns the
// process exit status: 0 success, 1 a job failed, 2 a usage error (message on standard error);
// RunConvert also 3 (every file done, some with a note) and 128 + the number of a stop signal.
#pragma once

#include "SettingChoices.h"

int RunListFormats(int argc, char** argv);  // --list-formats
int RunShowOptions(int argc, char** argv);  // --show-options [choices]
int RunProbe(int argc, char** argv);        // --probe FILE...
int RunConvert(int argc, char** argv);      // -o FOLDER [choices] FILE...

// If argv[i] is one of the setting choices shared by --show-options and conversion (--format,
// --video-quality, --audio-quality, --size, --framerate, --channels, --volume), stores its value
// in `choices`, advances i past the value and returns true; otherwise returns false. Throws
// TChoiceError when the value is missing. The values are checked by ApplySettingChoices.
bool TakeChoiceOption(int argc, char** argv, int& i, TSettingChoices& choices);
