// The engine's one exception type: every option, set-up and run-time check of the engine
// raises it with a fixed English message.
#pragma once

#include <stdexcept>
#include <string>

class FFMpegException : public std::runtime_error {
 public:
  explicit FFMpegException(const std::string& message) : std::runtime_error(message) {}
};
