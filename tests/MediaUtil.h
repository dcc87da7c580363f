// Shared helpers for tests that work on real media: a per-test temporary folder, tiny media
// files made with the ffmpeg tool, and values read back with ffprobe (an independent reader,
// so a test never checks our output only with our own code).
//
// All helpers run the tools directly (no shell), with -nostdin, and never throw. Making media
// that fails records a gtest failure carrying ffmpeg's stderr.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace media {

// A fresh folder under the system temporary folder, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // Full path of NAME inside the folder (the file is not created).
  std::string File(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

struct CommandResult {
  int exit_code = -1;  // -1 when the program could not be started or was killed
  std::string out;
  std::string err;
};

// Runs ARGV[0] (searched in PATH) with the given arguments and collects both output streams.
CommandResult RunCommand(const std::vector<std::string>& argv);

// A running program whose standard output is read as it comes (standard error is inherited).
// Killed with SIGKILL on destruction when it has not been waited for.
class RunningProcess {
 public:
  // `child_setup` runs in the child between fork and exec (only async-signal-safe calls there:
  // setrlimit, signal, ...).
  explicit RunningProcess(const std::vector<std::string>& argv, void (*child_setup)() = nullptr);
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  // Reads output until it contains `part` or `timeout_ms` has passed.
  bool WaitForOutput(const std::string& part, int timeout_ms);
  void Signal(int sig);
  // Closes our end of the program's standard output, as a reader that goes away does.
  void CloseOutput();
  // Reads the rest of the output and returns the exit status, or 128 + the signal number when
  // a signal ended the program. One that has not ended after two minutes without output and
  // ten more seconds is killed, so that a test fails rather than hangs.
  int Wait();
  const std::string& Output() const { return out_; }

 private:
  bool ReadSome(int timeout_ms);
  int pid_ = -1;
  int fd_ = -1;
  int status_ = -1;
  std::string out_;
};

// Runs "ffmpeg -nostdin -y -hide_banner -v error ARGS... OUTPUT". Returns true when ffmpeg
// succeeded and OUTPUT exists; otherwise adds a non-fatal gtest failure with ffmpeg's stderr.
// Example: MakeMedia(dir.File("a.mp4"), {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:d=1",
//                                        "-c:v", "libx264"});
bool MakeMedia(const std::string& output, const std::vector<std::string>& args);

// Inputs for MakeMedia: lavfi sources of the given length.
std::vector<std::string> VideoSource(double seconds = 1.0, const std::string& size = "160x120",
                                     const std::string& rate = "25");
std::vector<std::string> AudioSource(double seconds = 1.0, int sample_rate = 44100,
                                     int channels = 2);

// Convenience: a video+audio file made from both sources, with the given codec arguments
// (e.g. {"-c:v", "mpeg4", "-c:a", "libmp3lame"}); the audio is a mono 44100 Hz sine.
bool MakeAudioVideo(const std::string& output, const std::vector<std::string>& codec_args,
                    double seconds = 1.0, const std::string& size = "160x120",
                    const std::string& rate = "25");

struct Rational {
  int64_t num = 0;
  int64_t den = 0;
  double Value() const { return den == 0 ? 0.0 : static_cast<double>(num) / den; }
};

struct ProbeStream {
  int index = -1;
  std::string codec_type;  // "video", "audio", "subtitle", ...
  std::string codec_name;
  int width = 0;
  int height = 0;
  std::string pix_fmt;
  Rational r_frame_rate;
  Rational avg_frame_rate;
  Rational time_base;
  Rational sample_aspect_ratio;  // 0/0 when ffprobe reports none
  int sample_rate = 0;
  int channels = 0;
  std::string sample_fmt;
  double duration_s = -1;  // -1 when unknown
  int64_t bit_rate = -1;
  std::map<std::string, std::string> fields;  // every key=value ffprobe printed for the stream
};

struct ProbeInfo {
  bool ok = false;    // ffprobe opened the file
  std::string error;  // ffprobe's stderr when it did not
  std::string format_name;
  double duration_s = -1;  // -1 when unknown
  double start_time_s = 0;
  int64_t bit_rate = -1;
  std::vector<ProbeStream> streams;
  std::map<std::string, std::string> format_fields;

  // A copy of the first stream of the given type (a copy, so that Probe(f).First("video") is
  // safe to keep), or nothing.
  std::optional<ProbeStream> First(const std::string& codec_type) const;
  int Count(const std::string& codec_type) const;
};

// ffprobe -show_format -show_streams of PATH.
ProbeInfo Probe(const std::string& path);

struct PacketTimes {
  int count = 0;
  double first_pts_s = 0;  // smallest presentation time
  double last_pts_s = 0;   // largest presentation time
  double end_s = 0;        // largest presentation time plus that packet's duration
  double first_dts_s = 0;
  double last_dts_s = 0;
};

// Packet times of every stream of PATH, keyed by stream index (streams without packets with a
// time stamp are missing from the map).
std::map<int, PacketTimes> PacketTimesPerStream(const std::string& path);

// The first sound stream of PATH as its decoder gives it (ffprobe -show_frames, which applies
// an encoder's priming): where the first frame starts, where the last one ends, and how many
// samples the frames hold. frames is 0 when there is no sound stream or it decodes to nothing.
struct DecodedSound {
  int frames = 0;
  int64_t samples = 0;
  double start_s = 0;
  double end_s = 0;
};
DecodedSound DecodeSound(const std::string& path);

// "ffmpeg -v error -i PATH -f null -": success only when the whole file decodes without a
// single error line.
::testing::AssertionResult DecodesCleanly(const std::string& path);

// What GStreamer's gst-discoverer-1.0 (a second reader sharing no code with FFmpeg) makes of
// a file: its duration and the capabilities text of its container and streams.
struct GstInfo {
  bool ok = false;    // the tool ran and reported a duration
  std::string error;  // why not
  double duration_s = -1;
  std::string caps;  // every "video/mpeg, systemstream=..." style line, as printed
};
GstInfo GstDiscover(const std::string& path);

// Writes TEXT to PATH (for bad-input tests: text files, scripts, ...).
void WriteFile(const std::string& path, const std::string& text);

// Copies the first BYTES bytes of FROM to TO (a truncated file).
void TruncateCopy(const std::string& from, const std::string& to, std::uintmax_t bytes);

// Most bits of the first video stream of PATH within any one second of decode time (ffprobe).
double PeakVideoBitsPerSecond(const std::string& path);

}  // namespace media
