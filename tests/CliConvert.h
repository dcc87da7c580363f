// Conversions through the built quorvin-convert for the end-to-end tests of its outputs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "MediaUtil.h"

namespace media {

// Converts SRC with quorvin-convert and the given choices into a folder of its own under
// DIR (so the output never takes the source's name); returns the output path.
inline std::string ConvertWithCli(const TempDir& dir, const std::string& src,
                                  const std::string& ext, std::vector<std::string> choices) {
  static int count = 0;
  const std::string folder = dir.File("out" + std::to_string(++count));
  std::filesystem::create_directory(folder);
  std::vector<std::string> argv{QUORVIN_CLI, "-o", folder};
  argv.insert(argv.end(), choices.begin(), choices.end());
  argv.push_back(src);
  const auto r = RunCommand(argv);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  std::string stem = src.substr(src.rfind('/') + 1);
  stem = stem.substr(0, stem.rfind('.'));
  return folder + "/" + stem + "." + ext;
}

}  // namespace media
