#include "SoundOutput.h"

#include <QAudioSink>
#include <QMediaDevices>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

#include "PlaybackStreams.h"

int VolumeAttenuation(int level) {
  level = std::clamp(level, 0, 10000);
  return static_cast<int>(std::lround(1085.73 * std::log(level + 1.0))) - 10000;
}

double VolumeGain(int level) {
  // Hundredths of a decibel: gain = 10^(dB / 20) = 10^(hundredths / 2000).
  return std::pow(10.0, VolumeAttenuation(level) / 2000.0);
}

void ApplyGain(int16_t* samples, size_t count, double gain) {
  if (gain == 1.0) return;
  for (size_t i = 0; i < count; ++i) {
    const long v = std::lround(samples[i] * gain);
    samples[i] = static_cast<int16_t>(std::clamp<long>(v, -32768, 32767));
  }
}

bool ChooseSoundDevice(int rate, int channels, QAudioDevice* device, QAudioFormat* format) {
  if (QMediaDevices::audioOutputs().isEmpty()) return false;
  const QAudioDevice chosen = QMediaDevices::defaultAudioOutput();
  if (chosen.isNull()) return false;
  QAudioFormat wanted;
  wanted.setSampleRate(rate);
  wanted.setChannelCount(std::clamp(channels, 1, 2));
  wanted.setSampleFormat(QAudioFormat::Int16);
  if (!chosen.isFormatSupported(wanted)) {
    wanted = chosen.preferredFormat();
    wanted.setSampleFormat(QAudioFormat::Int16);
    wanted.setChannelCount(std::clamp(wanted.channelCount(), 1, 2));
    if (!chosen.isFormatSupported(wanted)) return false;
  }
  *device = chosen;
  *format = wanted;
  return true;
}

TSoundOutput::TSoundOutput(const QAudioDevice& device, const QAudioFormat& format,
                           TSoundReader* samples, QObject* parent)
    : QIODevice(parent),
      sink_(std::make_unique<QAudioSink>(device, format)),
      format_(format),
      samples_(samples) {
  open(QIODevice::ReadOnly);
}

TSoundOutput::~TSoundOutput() {
  sink_->stop();
}

void TSoundOutput::Start() {
  if (!started_) {
    started_ = true;
    sink_->start(this);
  } else {
    sink_->resume();
  }
}

void TSoundOutput::Suspend() {
  if (started_) sink_->suspend();
}

void TSoundOutput::Restart(int64_t from_us) {
  const bool was_running = started_ && sink_->state() != QAudio::SuspendedState;
  sink_->stop();
  started_ = false;
  segments_.clear();
  delivered_bytes_ = 0;
  delivered_end_us_ = from_us;
  if (was_running) Start();
}

void TSoundOutput::AddSegment(int64_t bytes, int64_t pts_us, bool silence) {
  // Stretches the device has played completely are no longer needed.
  const int64_t played = format_.bytesForDuration(sink_->processedUSecs());
  while (segments_.size() >= 2 && segments_[1].start_byte <= played) segments_.pop_front();
  if (segments_.empty() || segments_.back().silence != silence || !silence)
    segments_.push_back(TSegment{delivered_bytes_, pts_us, silence});
  delivered_bytes_ += bytes;
}

qint64 TSoundOutput::bytesAvailable() const {
  // The device never runs dry on its own: missing samples are filled with silence.
  return format_.bytesForDuration(100000) + QIODevice::bytesAvailable();
}

qint64 TSoundOutput::readData(char* data, qint64 max_size) {
  if (max_size <= 0) return 0;
  int64_t end_us = delivered_end_us_;
  const size_t got = samples_->Read(data, static_cast<size_t>(max_size), &end_us);
  if (got > 0) {
    ApplyGain(reinterpret_cast<int16_t*>(data), got / 2, gain_.load());
    AddSegment(static_cast<int64_t>(got),
               end_us - format_.durationForBytes(static_cast<qint32>(got)), false);
    delivered_end_us_ = end_us;
    return static_cast<qint64>(got);
  }
  if (samples_->Drained()) return 0;
  // The decoder is behind: silence keeps the device running without advancing the clock.
  const qint64 silence = std::min<qint64>(max_size, format_.bytesForDuration(10000));
  std::memset(data, 0, static_cast<size_t>(silence));
  AddSegment(silence, delivered_end_us_, true);
  return silence;
}

int64_t TSoundOutput::ClockUs() const {
  if (!started_ || segments_.empty()) return -1;
  const int64_t played = format_.bytesForDuration(sink_->processedUSecs());
  auto it = std::upper_bound(segments_.begin(), segments_.end(), played,
                             [](int64_t bytes, const TSegment& s) { return bytes < s.start_byte; });
  if (it == segments_.begin()) return -1;
  const TSegment& segment = *std::prev(it);
  if (segment.silence || segment.pts_us < 0) return segment.pts_us;
  return segment.pts_us + format_.durationForBytes(static_cast<qint32>(std::min<int64_t>(
                              played - segment.start_byte, std::numeric_limits<qint32>::max())));
}

bool TSoundOutput::Drained() const {
  return samples_->Drained();
}
