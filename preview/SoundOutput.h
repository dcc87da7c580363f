// The preview's sound: a QAudioSink that pulls samples from the session's sound queue, applies
// the volume, and reports the time of the sound being heard (the audio clock).
#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QIODevice>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

class QAudioSink;
class TSoundReader;

// Attenuation in hundredths of a decibel for a linear volume LEVEL (clamped to 0..10000):
// round(1085.73 * ln(level + 1)) - 10000, so 10000 is 0 dB, 6000 is -5.54 dB, 10 is -73.97 dB.
int VolumeAttenuation(int level);
// The sample factor of that attenuation.
double VolumeGain(int level);
// Multiplies interleaved signed 16-bit SAMPLES by GAIN (saturating).
void ApplyGain(int16_t* samples, size_t count, double gain);

// The default sound device and the format to use on it for a source of RATE and CHANNELS
// (interleaved signed 16-bit, at most two channels). False when there is no usable device.
bool ChooseSoundDevice(int rate, int channels, QAudioDevice* device, QAudioFormat* format);

class TSoundOutput : public QIODevice {
  Q_OBJECT
 public:
  TSoundOutput(const QAudioDevice& device, const QAudioFormat& format, TSoundReader* samples,
               QObject* parent = nullptr);
  ~TSoundOutput() override;

  void Start();                   // starts (or resumes) pulling
  void Suspend();                 // pauses the device
  void Restart(int64_t from_us);  // after a seek: drops what the device holds
  void SetGain(double gain) { gain_ = gain; }
  // The file time of the sound now being heard, or -1 before any sound was delivered: the
  // device's played time mapped through the stretches of sound and silence handed to it.
  int64_t ClockUs() const;
  bool Drained() const;

  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override;

 protected:
  qint64 readData(char* data, qint64 max_size) override;
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  // A stretch of the bytes handed to the device since it started: file sound from PTS_US on,
  // or silence (pts_us = the file time it holds still at).
  struct TSegment {
    int64_t start_byte;
    int64_t pts_us;
    bool silence;
  };
  void AddSegment(int64_t bytes, int64_t pts_us, bool silence);

  std::unique_ptr<QAudioSink> sink_;
  QAudioFormat format_;
  TSoundReader* samples_;
  std::atomic<double> gain_{1.0};
  // UI thread only (the sink pulls on the thread it lives in).
  std::deque<TSegment> segments_;
  int64_t delivered_bytes_ = 0;    // bytes handed to the device since it started
  int64_t delivered_end_us_ = -1;  // file time just after the last sound handed to the device
  bool started_ = false;
};
