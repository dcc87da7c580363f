// Output sizes before converting: the estimate of one source's output with the current
// settings, the total of a list, and the rates that fit an output into a given size. Shared by
// the window (its "Output Size" column and status bar) and quorvin-convert (--estimate,
// --target-size). No widget code; sizes in texts are decimal megabytes (1 MB = 1,000,000 bytes),
// as file managers show them.
//
// An estimate is the streams' rates times the source's duration plus what the container adds
// per packet, per second and once. For the bit-rate formats the encoders hold their rate over
// the run, so the estimate is close; it is only an upper bound (`UpperBound`) when the output's
// size is not set by a rate: constant-quality video (H.264, HEVC, VP9 under a rate cap),
// lossless sound (FLAC, at most the samples unpacked), and sources too short for a rate control
// to settle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OptionRecords.h"
#include "ProbeColumns.h"

struct TMainSettings;

struct TSizeEstimate {
  bool Known = false;       // false: the source's duration is unknown or it cannot be read
  std::int64_t Bytes = 0;   // the expected size, or its upper bound
  bool UpperBound = false;  // the output is at most Bytes, and may be much smaller
  // "~12.4 MB"; an upper bound reads "≤ 12.4 MB"; an unknown size "?".
  std::string Text() const;
};

// BYTES as decimal megabytes with one decimal from 0.1 MB on ("12.4 MB"), else in kB ("640 kB").
std::string MegabytesText(std::int64_t bytes);

// What a container adds to the streams it holds, in bytes.
struct TContainerOverhead {
  double PerPacket = 0;  // headers and index entries per packet of any stream
  double PerSecond = 0;  // headers repeated in time (pages, packs, clusters)
  double Share = 0;      // a share of the payload (fixed-size packets, pack headers)
  double Once = 0;       // file header, stream headers, trailer
};

// The overhead of the container of an output EXTENSION ("MP4", "mpg"; any letter case);
// a container this program does not write gives that of MP4.
TContainerOverhead ContainerOverhead(const std::string& extension);

// The streams of one output as an estimate sees them.
struct TOutputStreams {
  bool HasVideo = false;
  double VideoBitsPerSecond = 0;
  double VideoPacketsPerSecond = 0;
  bool VideoCapOnly = false;   // the video rate is a cap (constant quality)
  double VideoStartBytes = 0;  // what the rate control spends above its rate at the start
  bool HasSound = false;
  double SoundBitsPerSecond = 0;
  double SoundPacketsPerSecond = 0;
  bool SoundBoundOnly = false;  // lossless: the rate is the samples unpacked
};

// The streams of an output made with OPTIONS (a job's output record, filled from the settings)
// from a source with COLUMNS.
TOutputStreams OutputStreamsOf(const TOutputOptions& options, const ProbeColumns& columns);

// The size of an output of STREAMS in the container of EXTENSION lasting SECONDS.
double StreamsSizeBytes(const TOutputStreams& streams, const std::string& extension,
                        double seconds);

// The estimated output of a source with COLUMNS under OPTIONS into a file of EXTENSION.
TSizeEstimate EstimateOutputSize(const TOutputOptions& options, const std::string& extension,
                                 const ProbeColumns& columns);

// The estimated output of a source with COLUMNS under the current SETTINGS (the selected
// format, its quality levels, frame size and rate). Unknown when the settings do not translate.
TSizeEstimate EstimateOutputSize(const TMainSettings& settings, const ProbeColumns& columns);

// The status bar's total: "~240 MB for 12 files", "≤ 240 MB for 12 files" when every known
// estimate is an upper bound, "~240 MB for 12 files (at most for 3)" when some are; files of
// unknown size are left out of the sum and counted: "~240 MB for 12 files (2 unknown)".
std::string TotalEstimateText(const std::vector<TSizeEstimate>& estimates);

// The rates that fit an output into a target size.
struct TSizeFit {
  bool Ok = false;
  std::string Error;             // why not: "needs at least 31 MB", or an unknown duration
  std::int64_t NeededBytes = 0;  // with !Ok for a target too small: the least size possible
  int VideoBitrate = -1;         // bit/s; -1 when the output has no video
  int SoundBitrate = -1;         // bit/s; -1: the sound's rate stays as set
};

// The share of a target size the first encoding plans for: the rest is room for the encoder's
// deviation from its rate and for the container's overhead not foreseen.
inline constexpr double kTargetShareFirst = 0.96;

// Chooses the rates of OPTIONS (a job's output record) that fit its output into TARGET_BYTES,
// with SHARE (0..1] of it planned for (the rest is room for the encoder's deviation):
// for a video format the video rate, from the duration, the sound's rate and the container's
// overhead; for a sound-only format the sound's rate, within the rates its encoder takes.
// A target that even the format's least useful rate overshoots fails with the size needed.
// The video is encoded in two passes for x264; the other encoders fit in one. Constant-quality
// video becomes a bit-rate stream at that rate (the record's quality number is cleared, its cap set
// to the rate); lossless sound has no rate and fits when its upper bound does, else is tried as it
// is (the finished output is checked against the target).
TSizeFit FitIntoSize(TOutputOptions& options, const std::string& extension,
                     const ProbeColumns& columns, std::int64_t target_bytes, double share);

// "needs at least 31 MB": BYTES rounded up to whole megabytes, or to tenths below 10 MB
// ("needs at least 0.4 MB").
std::string NeedsAtLeastText(std::int64_t bytes);
