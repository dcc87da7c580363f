// Exceptions of the profile library.
#pragma once

#include <stdexcept>
#include <string>

class TProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A setting text that should be a number is not one (the job is not set up).
class TConversionError : public TProfileError {
 public:
  using TProfileError::TProfileError;
};

// A front-end choice (format, level, list item, volume) that names nothing valid.
class TChoiceError : public TProfileError {
 public:
  using TProfileError::TProfileError;
};
