// Reading a finished output back before it counts as done: every packet demuxed and every
// sound and picture packet decoded, the streams counted, each stream's length measured against
// what the run converted of its source, and, for the device formats, the player's limits
// (profile, level for the picture size and rate, peak rate, channels). The run writes what it
// expects (TOutputExpectation) and CheckOutputFile reads the file with its own demuxer and
// decoders, independent of the objects that wrote it.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceLimits.h"

struct TExpectedStream {
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  // Length of what the run converted of the stream's source (microseconds), from the output's
  // start; 0 when it cannot be known (a live source, a frame limit), and then not compared.
  int64_t DurationUs = 0;
  bool AttachedPicture = false;  // a cover picture: counted, never timed
};

struct TOutputExpectation {
  std::string Path;  // the file to read (the output under its temporary name)
  std::vector<TExpectedStream> Streams;
  TDeviceTarget Device = TDeviceTarget::kNone;
  double PsnrDb = -1;  // the encoder's PSNR of the first picture stream; -1 when none
};

struct TOutputCheckResult {
  bool Readable = false;
  bool Interrupted = false;  // the interrupt callback ended the reading; nothing was judged
  std::string Failure;       // why the output cannot be read (Readable false)
  std::string Note;          // what differs from the expectation, "" when everything holds
  std::string Details;       // "Checked: 2 streams, 60.0 s, PSNR 38.4 dB"
};

// The shortfall a stream may have before it counts: encoders' priming and padding, the last
// picture's length and frame-rate changes move a stream's end by a few tens of milliseconds,
// so the larger of half a second and 2% of the expected length.
int64_t DurationToleranceUs(int64_t expected_us);

// Reads the file at EXPECT.Path and compares it with EXPECT. INTERRUPT (may be null) ends the
// reading early (a stop request): the result is then Interrupted.
TOutputCheckResult CheckOutputFile(const TOutputExpectation& expect,
                                   const AVIOInterruptCB* interrupt);

// "12.3" for 12.34 s: seconds with one decimal, as the check's texts give them.
std::string CheckSeconds(int64_t us);
