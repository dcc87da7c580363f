// The texts of the file list's Video Size, FrameRate and Duration columns, from a probed file.
// The GUI's file list and the command line's --probe use the same rules.
#pragma once

#include <cstdint>
#include <string>

class TAVProbe;
struct AVFormatContext;

// SECONDS as hours, minutes and seconds, each at least two digits: FormatDuration(':', 3725)
// is "01:02:05", 0 gives "00:00:00", 360000 gives "100:00:00". Hours are not wrapped at 24.
// Negative input gives a text with "-" in it.
std::string FormatDuration(char separator, double seconds);

// "640x480"; " " when the file has no video stream.
std::string VideoSizeText(int video_stream_count, int width, int height);

// NUM/DEN rounded to two decimals in the shortest form with a decimal point: 25, 29.97, 23.98.
// " " when the file has no video stream; "Unknown" when the stream states no usable rate.
std::string FrameRateText(int video_stream_count, int num, int den);

// The whole seconds of DURATION_US through FormatDuration; "Unknown" when the duration is
// negative (the library's mark for an unknown duration is the smallest 64-bit number).
std::string DurationText(int64_t duration_us);

struct ProbeColumns {
  bool ok = false;  // the probe opened the file and found its stream parameters
  std::string video_size, frame_rate, duration;
  // The shape the picture is shown at: width x sample aspect / height, upright; 0 without a
  // video stream. Differs from the Video Size ratio for anamorphic sources (DVD, DV, TV).
  double display_aspect = 0;
  std::string error;  // the probe's LastError when !ok
  // What a size estimate needs: the duration in seconds (-1 when unknown), whether a picture
  // (a cover picture does not count) and a sound stream are there, and the first sound
  // stream's rate, channels and significant bits a sample (0 when unknown).
  double duration_seconds = -1;
  bool has_video = false;
  bool has_sound = false;
  int sound_rate = 0;
  int sound_channels = 0;
  int sound_bits = 0;
};

// Opens FILE_NAME with PROBE, computes the three columns and closes the file again; all empty
// when the file cannot be opened. Raises FFMpegException only when the libraries are not loaded.
ProbeColumns ProbeFileColumns(TAVProbe& probe, const std::string& file_name);

// The three columns of a file already opened and probed (a job's source); !ok for nullptr.
ProbeColumns OpenedFileColumns(const AVFormatContext* context);

// One line as the file list shows a file: the path, a tab, Video Size, a tab, FrameRate, a tab,
// Duration, a tab, and "Error" when the probe failed (else nothing). No line break.
std::string ProbeLine(const std::string& file_name, const ProbeColumns& columns);
