#include "SizeEstimate.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "MainSettings.h"
#include "Translation.h"

namespace {

// Below this length a bit-rate encoder has not settled on its rate: the first key picture and
// the rate control's buffer weigh more than the rate, so the estimate is only a bound.
constexpr double kSettleSeconds = 2.0;
// A bit-rate video encoder spends about this much above its rate while its rate control
// starts (the first key picture, its buffer filling), whatever the source's length.
constexpr double kVideoStartBytes = 100000;
// Fallbacks for a source that does not say.
constexpr double kDefaultFrameRate = 25;
constexpr int kDefaultSoundRate = 44100;
constexpr int kDefaultChannels = 2;

double LeadingValue(const std::string& text) {
  if (text.empty()) return 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return end != text.c_str() && std::isfinite(value) && value > 0 ? value : 0;
}

bool Is(const std::string& codec, const char* name) {
  return strcasecmp(codec.c_str(), name) == 0;
}

// Stored AMR-NB frame sizes (mode header included) by the mode's bit rate; 50 frames a second.
int AmrFrameBytes(int bit_rate) {
  static constexpr std::array<std::pair<int, int>, 8> kModes = {{{4750, 13},
                                                                 {5150, 14},
                                                                 {5900, 16},
                                                                 {6700, 18},
                                                                 {7400, 20},
                                                                 {7950, 21},
                                                                 {10200, 27},
                                                                 {12200, 32}}};
  for (const auto& [rate, bytes] : kModes)
    if (bit_rate <= rate) return bytes;
  return 32;
}

// Samples in one packet of a sound encoder.
double SamplesPerPacket(const std::string& codec, int sample_rate) {
  if (Is(codec, "libmp3lame") || Is(codec, "mp2")) return sample_rate < 32000 ? 576 : 1152;
  if (Is(codec, "libopus")) return sample_rate / 50.0;
  if (Is(codec, "wmav2")) return 2048;
  if (Is(codec, "flac")) return 4608;
  return 1024;
}

void AddSoundStream(const TOutputOptions& options, const ProbeColumns& columns,
                    TOutputStreams& streams) {
  const std::string& codec = options.AudioCodec;
  const int rate = options.AudioSampleRate > 0 ? options.AudioSampleRate
                   : columns.sound_rate > 0    ? columns.sound_rate
                                               : kDefaultSoundRate;
  const int channels = options.AudioChannels > 0    ? options.AudioChannels
                       : columns.sound_channels > 0 ? columns.sound_channels
                                                    : kDefaultChannels;
  streams.HasSound = true;
  streams.SoundPacketsPerSecond = rate / SamplesPerPacket(codec, rate);
  if (Is(codec, "libamr_nb")) {
    streams.SoundPacketsPerSecond = 50;
    streams.SoundBitsPerSecond = AmrFrameBytes(options.AudioBitrate) * 8.0 * 50;
  } else if (codec.rfind("pcm_s16", 0) == 0) {
    streams.SoundBitsPerSecond = 16.0 * rate * channels;
  } else if (Is(codec, "flac")) {
    // Lossless: at most the samples as they are, 24 bits of a wider source, else 16.
    streams.SoundBitsPerSecond =
        (columns.sound_bits > 16 ? 24.0 : 16.0) * rate * std::min(channels, 8);
    streams.SoundBoundOnly = true;
  } else {
    streams.SoundBitsPerSecond = std::max(0, options.AudioBitrate);
  }
}

void AddVideoStream(const TOutputOptions& options, const ProbeColumns& columns,
                    TOutputStreams& streams) {
  streams.HasVideo = true;
  double fps = LeadingValue(options.FrameRate);
  if (fps <= 0) fps = LeadingValue(columns.frame_rate);
  streams.VideoPacketsPerSecond = fps > 0 ? fps : kDefaultFrameRate;
  if (options.VideoQuality >= 0) {
    // Constant quality: the rate is only the ceiling the quality may not exceed.
    streams.VideoCapOnly = true;
    streams.VideoBitsPerSecond = std::max(options.VideoMaxRate, options.VideoBitrate);
  } else {
    streams.VideoBitsPerSecond = std::max(0, options.VideoBitrate);
    streams.VideoStartBytes = kVideoStartBytes;
  }
}

}  // namespace

std::string MegabytesText(std::int64_t bytes) {
  char text[48];
  if (bytes >= 100000)
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  else
    std::snprintf(text, sizeof text, "%lld kB", static_cast<long long>((bytes + 999) / 1000));
  return text;
}

std::string TSizeEstimate::Text() const {
  if (!Known) return "?";
  return (UpperBound ? "≤ " : "~") + MegabytesText(Bytes);
}

TContainerOverhead ContainerOverhead(const std::string& extension) {
  struct Row {
    const char* Extension;
    TContainerOverhead Overhead;
  };
  // Measured with bench/size-estimate on the outputs this program writes.
  static constexpr Row kRows[] = {
      {"MP4", {5, 0, 0, 1000}},     {"MOV", {5, 0, 0, 1000}},     {"M4A", {5, 0, 0, 1000}},
      {"3GP", {5, 0, 0, 1000}},     {"3G2", {5, 0, 0, 1000}},     {"AVI", {24, 0, 0, 8500}},
      {"MPG", {0, 0, 0.018, 2048}}, {"WMV", {16, 0, 0.01, 5000}}, {"AAC", {7, 0, 0, 0}},
      {"MP3", {0, 0, 0, 500}},      {"OPUS", {1, 30, 0, 1000}},   {"WEBM", {8, 20, 0, 1000}},
      {"FLAC", {16, 0, 0, 9000}},
  };
  for (const Row& row : kRows)
    if (strcasecmp(row.Extension, extension.c_str()) == 0) return row.Overhead;
  return kRows[0].Overhead;
}

TOutputStreams OutputStreamsOf(const TOutputOptions& options, const ProbeColumns& columns) {
  TOutputStreams streams;
  if (columns.has_video && !options.DisableVideo && !options.VideoCodec.empty())
    AddVideoStream(options, columns, streams);
  if (columns.has_sound && !options.DisableAudio && !options.AudioCodec.empty())
    AddSoundStream(options, columns, streams);
  return streams;
}

double StreamsSizeBytes(const TOutputStreams& streams, const std::string& extension,
                        double seconds) {
  const TContainerOverhead overhead = ContainerOverhead(extension);
  double bits_per_second = 0, packets_per_second = 0;
  double once = overhead.Once;
  if (streams.HasVideo) {
    once += streams.VideoStartBytes;
    bits_per_second += streams.VideoBitsPerSecond;
    packets_per_second += streams.VideoPacketsPerSecond;
  }
  if (streams.HasSound) {
    bits_per_second += streams.SoundBitsPerSecond;
    packets_per_second += streams.SoundPacketsPerSecond;
  }
  const double payload = bits_per_second / 8 * seconds;
  return once + payload * (1 + overhead.Share) +
         seconds * (overhead.PerSecond + packets_per_second * overhead.PerPacket);
}

TSizeEstimate EstimateOutputSize(const TOutputOptions& options, const std::string& extension,
                                 const ProbeColumns& columns) {
  TSizeEstimate estimate;
  if (!columns.ok || columns.duration_seconds < 0) return estimate;
  const TOutputStreams streams = OutputStreamsOf(options, columns);
  estimate.Known = true;
  estimate.Bytes = std::llround(StreamsSizeBytes(streams, extension, columns.duration_seconds));
  estimate.UpperBound = (streams.HasVideo && streams.VideoCapOnly) ||
                        (streams.HasSound && streams.SoundBoundOnly) ||
                        (streams.HasVideo && columns.duration_seconds < kSettleSeconds);
  return estimate;
}

TSizeEstimate EstimateOutputSize(const TMainSettings& settings, const ProbeColumns& columns) {
  TOutputOptions options;
  ResetOutputOptions(options);
  try {
    FillProfileOptions(settings, options);
  } catch (const std::exception&) {
    return {};
  }
  return EstimateOutputSize(options, settings.OutputExtension, columns);
}

std::string TotalEstimateText(const std::vector<TSizeEstimate>& estimates) {
  std::int64_t bytes = 0;
  int known = 0, bounds = 0;
  for (const TSizeEstimate& estimate : estimates) {
    if (!estimate.Known) continue;
    bytes += estimate.Bytes;
    ++known;
    bounds += estimate.UpperBound;
  }
  const int files = static_cast<int>(estimates.size());
  std::string text = (known > 0 && bounds == known ? "≤ " : "~") + MegabytesText(bytes) + " for " +
                     std::to_string(files) + (files == 1 ? " file" : " files");
  std::string notes;
  if (bounds > 0 && bounds < known) notes = "at most for " + std::to_string(bounds);
  if (known < files)
    notes += (notes.empty() ? "" : ", ") + std::to_string(files - known) + " unknown";
  return notes.empty() ? text : text + " (" + notes + ")";
}

std::string NeedsAtLeastText(std::int64_t bytes) {
  // Rounded up, so that the size named, given as the target, is enough.
  if (bytes < 10000000) {
    const std::int64_t tenths = std::max<std::int64_t>(1, (bytes + 99999) / 100000);
    return "needs at least " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
           " MB";
  }
  return "needs at least " + std::to_string((bytes + 999999) / 1000000) + " MB";
}

namespace {

// The least video rate that still gives a watchable picture, in bits per pixel of each frame:
// less for the newer codecs, more for MPEG-1/2, never under 32 kbit/s.
double LeastUsefulVideoRate(const TOutputOptions& options, const ProbeColumns& columns,
                            double frames_per_second) {
  const std::string& size = options.FrameSize.empty() ? columns.video_size : options.FrameSize;
  const size_t x = size.find('x');
  double width = x == std::string::npos ? 0 : LeadingValue(size.substr(0, x));
  double height = x == std::string::npos ? 0 : LeadingValue(size.substr(x + 1));
  if (width <= 0 || height <= 0) width = 320, height = 240;
  const std::string& codec = options.VideoCodec;
  const bool modern = Is(codec, "libx264") || Is(codec, "libx265") || Is(codec, "libvpx-vp9");
  const bool mpeg12 = Is(codec, "mpeg1video") || Is(codec, "mpeg2video");
  const double bits_per_pixel = modern ? 0.02 : mpeg12 ? 0.06 : 0.04;
  return std::max(32000.0, width * height * frames_per_second * bits_per_pixel);
}

// Encoders whose second pass spends the rate by the statistics of a first: x264, and VP9,
// whose one pass comes out a fifth under its rate on moving pictures. The
// libraries' own encoders (MPEG-4 Part 2, Windows Media, MPEG-1/2) refuse to open a second pass
// at a rate under what their first pass found possible, and FFmpeg 5.1 then frees their rate
// expression twice while closing them (the process crashes); they fit in one pass, encoded
// again when over.
bool TakesTwoPasses(const std::string& codec) {
  return Is(codec, "libx264") || Is(codec, "libvpx-vp9");
}

// What the start of a one-pass encode costs beyond its rate: the libraries' own encoders spend
// about 100 KB before their rate control settles; x265 keeps its rate from the start.
double VideoStartBytes(const std::string& codec) {
  if (TakesTwoPasses(codec) || Is(codec, "libx265")) return 0;
  return kVideoStartBytes;
}

// The rate a sound encoder takes nearest below RATE (its least rate when RATE is below it), and
// its least rate.
struct TSoundRates {
  int Chosen = 0;
  int Least = 0;
};

TSoundRates SoundRateBelow(const std::string& codec, double rate) {
  static constexpr int kMp3[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  static constexpr int kMp2[] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
  auto from_list = [rate](const int* list, size_t count) {
    TSoundRates rates{list[0] * 1000, list[0] * 1000};
    for (size_t i = 0; i < count; ++i)
      if (list[i] * 1000 <= rate) rates.Chosen = list[i] * 1000;
    return rates;
  };
  if (Is(codec, "libmp3lame")) return from_list(kMp3, std::size(kMp3));
  if (Is(codec, "mp2")) return from_list(kMp2, std::size(kMp2));
  const int least = Is(codec, "libopus") ? 16000 : 32000;
  const int most = Is(codec, "libopus") ? 256000 : 320000;
  return {static_cast<int>(std::clamp(rate, static_cast<double>(least), static_cast<double>(most))),
          least};
}

// The rate of the one stream being chosen that fills BUDGET bytes: the size is linear in it.
double RateFilling(TOutputStreams streams, bool video, const std::string& extension, double seconds,
                   double budget) {
  (video ? streams.VideoBitsPerSecond : streams.SoundBitsPerSecond) = 0;
  const double without = StreamsSizeBytes(streams, extension, seconds);
  (video ? streams.VideoBitsPerSecond : streams.SoundBitsPerSecond) = 1;
  const double per_bit = StreamsSizeBytes(streams, extension, seconds) - without;
  return (budget - without) / per_bit;
}

void FitVideoRate(TOutputOptions& options, const std::string& extension,
                  const ProbeColumns& columns, TOutputStreams& streams, double budget,
                  TSizeFit& fit) {
  const double seconds = columns.duration_seconds;
  // The output is made at a bit rate. In one pass its start costs what any bit-rate encoder's
  // does; a second pass spends the rate as the first pass's statistics plan it.
  const bool two_passes = TakesTwoPasses(options.VideoCodec);
  streams.VideoStartBytes = VideoStartBytes(options.VideoCodec);
  double rate = RateFilling(streams, true, extension, seconds, budget);
  // A constant-quality format's cap, and a device's peak rate, still hold.
  const double cap = streams.VideoCapOnly ? streams.VideoBitsPerSecond : options.VideoMaxRate;
  if (cap > 0) rate = std::min(rate, cap);
  const double least = LeastUsefulVideoRate(options, columns, streams.VideoPacketsPerSecond);
  if (rate < least) {
    streams.VideoBitsPerSecond = least;
    fit.NeededBytes = std::llround(StreamsSizeBytes(streams, extension, seconds));
    return;
  }
  streams.VideoBitsPerSecond = rate;
  streams.VideoCapOnly = false;
  options.VideoBitrate = static_cast<int>(rate);
  options.VideoQuality = -1;
  options.VideoPasses = two_passes ? 2 : 1;
  fit.VideoBitrate = options.VideoBitrate;
}

void FitSoundRate(TOutputOptions& options, const std::string& extension,
                  const ProbeColumns& columns, TOutputStreams& streams, double budget,
                  TSizeFit& fit) {
  const double seconds = columns.duration_seconds;
  const TSoundRates rates =
      SoundRateBelow(options.AudioCodec, RateFilling(streams, false, extension, seconds, budget));
  streams.SoundBitsPerSecond = rates.Chosen;
  if (StreamsSizeBytes(streams, extension, seconds) > budget) {
    streams.SoundBitsPerSecond = rates.Least;
    fit.NeededBytes = std::llround(StreamsSizeBytes(streams, extension, seconds));
    return;
  }
  options.AudioBitrate = rates.Chosen;
  fit.SoundBitrate = rates.Chosen;
}

}  // namespace

TSizeFit FitIntoSize(TOutputOptions& options, const std::string& extension,
                     const ProbeColumns& columns, std::int64_t target_bytes, double share) {
  TSizeFit fit;
  const double seconds = columns.duration_seconds;
  if (!columns.ok || !(seconds > 0)) {
    fit.Error = "its duration is unknown, so no rate fits it into a size";
    return fit;
  }
  share = std::clamp(share, 0.01, 1.0);
  const double budget = static_cast<double>(target_bytes) * share;
  TOutputStreams streams = OutputStreamsOf(options, columns);
  if (streams.HasVideo)
    FitVideoRate(options, extension, columns, streams, budget, fit);
  else if (streams.HasSound && !streams.SoundBoundOnly && !Is(options.AudioCodec, "libamr_nb") &&
           options.AudioCodec.rfind("pcm_", 0) != 0)
    FitSoundRate(options, extension, columns, streams, budget, fit);
  // Lossless sound is only bounded from above: it is tried, and its output checked.
  const double planned = StreamsSizeBytes(streams, extension, seconds);
  // (A rate chosen to fill the budget plans it to the byte, give or take the rounding.)
  if (fit.NeededBytes == 0 && planned > budget + 1 && !streams.SoundBoundOnly)
    fit.NeededBytes = std::llround(planned);
  if (fit.NeededBytes > 0) {
    // With the room the plan keeps for the encoder's deviation.
    fit.NeededBytes = std::llround(static_cast<double>(fit.NeededBytes) / share);
    fit.Error = NeedsAtLeastText(fit.NeededBytes);
    return fit;
  }
  fit.Ok = true;
  return fit;
}
