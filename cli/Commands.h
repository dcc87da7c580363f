// Sub-commands of quorvin-convert. main() picks one from the first argument and calls it with
// an argument vector whose argv[0] is the program name and whose argv[1..argc-1] are the
// arguments after the command option (for RunConvert: every argument). Each returns the
// process exit status: 0 success, 1 a job failed, 2 a usage error (message on standard error).
#pragma once

int RunListFormats(int argc, char** argv);  // --list-formats
int RunShowOptions(int argc, char** argv);  // --show-options [choices]
int RunProbe(int argc, char** argv);        // --probe FILE...
int RunConvert(int argc, char** argv);      // -o FOLDER [choices] FILE...
