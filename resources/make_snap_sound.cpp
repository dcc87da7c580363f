// Writes the snapshot sound, a short camera-shutter click (two decaying noise bursts with a
// faint high tone), as a 16-bit mono 22050 Hz WAV file. Run at build time; the file becomes the
// program resource "SNAP". Usage: make_snap_sound OUTPUT.wav
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRate = 22050;
constexpr double kPi = 3.14159265358979323846;

void Put(std::vector<unsigned char>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A burst starting at START seconds that decays with time constant TAU.
double Burst(double t, double start, double tau, uint32_t& noise) {
  if (t < start) return 0.0;
  noise = noise * 1664525u + 1013904223u;  // a fixed pseudo-random sequence: same file each build
  const double white = static_cast<double>(noise >> 8) / (1u << 24) * 2.0 - 1.0;
  const double tone = std::sin(2 * kPi * 3200.0 * (t - start));
  return (0.8 * white + 0.2 * tone) * std::exp(-(t - start) / tau);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int count = kRate * 12 / 100;  // 120 ms
  std::vector<int16_t> samples(static_cast<size_t>(count));
  uint32_t noise = 12345;
  for (int i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double v = 0.7 * Burst(t, 0.0, 0.006, noise) + 0.5 * Burst(t, 0.055, 0.008, noise);
    samples[static_cast<size_t>(i)] =
        static_cast<int16_t>(std::lround(std::fmax(-1.0, std::fmin(1.0, v)) * 32767));
  }
  const uint32_t data_bytes = static_cast<uint32_t>(samples.size() * 2);
  std::vector<unsigned char> out;
  for (char c : {'R', 'I', 'F', 'F'}) out.push_back(static_cast<unsigned char>(c));
  Put(out, 36 + data_bytes, 4);
  for (char c : {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '})
    out.push_back(static_cast<unsigned char>(c));
  Put(out, 16, 4);         // format chunk size
  Put(out, 1, 2);          // PCM
  Put(out, 1, 2);          // mono
  Put(out, kRate, 4);      // sample rate
  Put(out, kRate * 2, 4);  // bytes per second
  Put(out, 2, 2);          // bytes per sample frame
  Put(out, 16, 2);         // bits per sample
  for (char c : {'d', 'a', 't', 'a'}) out.push_back(static_cast<unsigned char>(c));
  Put(out, data_bytes, 4);
  for (int16_t s : samples) Put(out, static_cast<uint16_t>(s), 2);

  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) return 1;
  const bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  return (std::fclose(file) == 0 && ok) ? 0 : 1;
}
