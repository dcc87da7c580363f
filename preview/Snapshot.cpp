#include "Snapshot.h"

#include <QAudioDevice>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>
#include <cstdint>
#include <vector>

namespace {

void Put16(std::vector<char>& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xff));
  out.push_back(static_cast<char>(v >> 8));
}

void Put32(std::vector<char>& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((v >> shift) & 0xff));
}

// Folder of the program's sound resources.
const char kSoundFolder[] = ":/sounds";
// Longest wait for a sound to end, in case the device never reports it.
constexpr int kMaxSoundMs = 5000;

}  // namespace

bool SaveBitmap24(const QImage& image, const QString& path, QString* error) {
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  const uint32_t width = static_cast<uint32_t>(rgb.width());
  const uint32_t height = static_cast<uint32_t>(rgb.height());
  const uint32_t row_bytes = (width * 3 + 3) & ~3u;
  const uint32_t pixel_bytes = row_bytes * height;
  constexpr uint32_t kHeaderBytes = 14 + 40;

  std::vector<char> data;
  data.reserve(kHeaderBytes + pixel_bytes);
  data.push_back('B');
  data.push_back('M');
  Put32(data, kHeaderBytes + pixel_bytes);  // file size
  Put32(data, 0);                           // reserved
  Put32(data, kHeaderBytes);                // offset of the pixels
  Put32(data, 40);                          // BITMAPINFOHEADER size
  Put32(data, width);
  Put32(data, height);  // positive: rows stored bottom-up
  Put16(data, 1);       // planes
  Put16(data, 24);      // bits per pixel
  Put32(data, 0);       // BI_RGB, no compression
  Put32(data, pixel_bytes);
  Put32(data, 2835);  // 72 dpi in pixels per metre
  Put32(data, 2835);
  Put32(data, 0);  // colours used
  Put32(data, 0);  // important colours
  for (int y = static_cast<int>(height) - 1; y >= 0; --y) {
    const uchar* line = rgb.constScanLine(y);
    for (uint32_t x = 0; x < width; ++x) {  // stored as blue, green, red
      data.push_back(static_cast<char>(line[3 * x + 2]));
      data.push_back(static_cast<char>(line[3 * x + 1]));
      data.push_back(static_cast<char>(line[3 * x]));
    }
    for (uint32_t pad = width * 3; pad < row_bytes; ++pad) data.push_back(0);
  }

  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(data.data(), static_cast<qint64>(data.size())) !=
          static_cast<qint64>(data.size()) ||
      !file.flush()) {
    if (error) *error = file.errorString();
    if (file.isOpen()) {
      file.close();
      file.remove();
    }
    return false;
  }
  file.close();
  return true;
}

namespace {

// Length of a PCM WAV file in milliseconds, from its byte rate and size; 0 when unknown.
int WaveDurationMs(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return 0;
  const QByteArray header = file.read(44);
  if (header.size() < 44 || !header.startsWith("RIFF")) return 0;
  const auto* h = reinterpret_cast<const uchar*>(header.constData());
  const qint64 byte_rate = h[28] | h[29] << 8 | h[30] << 16 | static_cast<qint64>(h[31]) << 24;
  return byte_rate > 0 ? static_cast<int>((file.size() - 44) * 1000 / byte_rate) : 0;
}

}  // namespace

void PlayWaveResource(const QString& name) {
  if (QMediaDevices::audioOutputs().isEmpty()) return;
  QString found;
  for (const QString& entry : QDir(kSoundFolder).entryList(QDir::Files)) {
    if (QFileInfo(entry).completeBaseName().compare(name, Qt::CaseInsensitive) == 0) {
      found = QString(kSoundFolder) + "/" + entry;
      break;
    }
  }
  if (found.isEmpty()) return;

  // The effect reports the end when its samples are handed to the device, which may be before
  // they are heard: the wait lasts at least the sound's length.
  QSoundEffect effect;
  QEventLoop loop;
  bool started = false;
  bool length_elapsed = false;
  auto play_once = [&] {
    if (started) return;
    started = true;
    effect.play();
    QTimer::singleShot(WaveDurationMs(found), &loop, [&] {
      length_elapsed = true;
      if (!effect.isPlaying()) loop.quit();
    });
  };
  QObject::connect(&effect, &QSoundEffect::playingChanged, &loop, [&] {
    if (!effect.isPlaying() && length_elapsed) loop.quit();
  });
  QObject::connect(&effect, &QSoundEffect::statusChanged, &loop, [&] {
    if (effect.status() == QSoundEffect::Ready) play_once();
    if (effect.status() == QSoundEffect::Error) loop.quit();
  });
  QTimer::singleShot(kMaxSoundMs, &loop, &QEventLoop::quit);
  effect.setSource(QUrl("qrc" + found));
  if (effect.status() == QSoundEffect::Ready) play_once();
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}
