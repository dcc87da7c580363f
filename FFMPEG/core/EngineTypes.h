// Value types the engine shares with its front ends: log levels, the before-hook's decision and
// the picture the custom hook receives. Standard library only, so front ends can use them
// without the codec libraries' headers.
#pragma once

#include <cstdint>

// Log levels of the job component, in this order (ordinal values 0 to 4).
enum TLogLevel { llQuiet, llError, llInfo, llDebug, llAll };

// Decision of the before-hook callback for the current picture.
enum THookAction { haContinue, haIgnore, haStop };

// The picture handed to the custom hook: packed 24-bit BGR, Stride bytes per row. Data points
// into the engine's picture buffer and is valid only during the callback.
struct THookBitmap {
  int Width = 0;
  int Height = 0;
  int Stride = 0;
  uint8_t* Data = nullptr;
};
