// Runs a fuzz harness over saved inputs, without libFuzzer: each file named on the command
// line, or each file inside a folder named there (in name order), is read and given once to
// LLVMFuzzerTestOneInput. Linked with every harness so that the inputs that once made a
// harness fail run as ordinary tests in every build, the sanitizer builds included. A fault
// shows as the sanitizer's report or a crash; an input that runs longer than kLimitSeconds (a
// hang: each takes well under a second, a few under the sanitizers) ends the program with a
// failure naming it. Prints each input before it runs, so the last line names the input at
// fault.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

constexpr unsigned kLimitSeconds = 60;

void OnAlarm(int) {
  constexpr char kText[] = "the input ran longer than 60 s: it hangs\n";
  (void)!write(STDOUT_FILENO, kText, sizeof kText - 1);
  _exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path named = argv[i];
    if (fs::is_directory(named)) {
      std::vector<fs::path> inside;
      for (const auto& entry : fs::directory_iterator(named))
        if (entry.is_regular_file()) inside.push_back(entry.path());
      std::sort(inside.begin(), inside.end());
      inputs.insert(inputs.end(), inside.begin(), inside.end());
    } else {
      inputs.push_back(named);
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s FILE|FOLDER...: no inputs found\n", argv[0]);
    return 2;
  }
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 2;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::printf("running %s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stdout);
    signal(SIGALRM, OnAlarm);
    alarm(kLimitSeconds);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    alarm(0);
  }
  std::printf("%zu inputs ran\n", inputs.size());
  return 0;
}
