#include "PlayerPictures.h"

#include <QPainter>
#include <QPainterPath>

namespace {

constexpr int kSize = 20;
const QColor kInk(40, 40, 40);

QPixmap Blank() {
  QPixmap pixmap(kSize, kSize);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

// A speaker: a small box and a cone opening to the right.
void DrawSpeaker(QPainter& p) {
  QPainterPath path;
  path.moveTo(2, 7);
  path.lineTo(6, 7);
  path.lineTo(11, 2.5);
  path.lineTo(11, 17.5);
  path.lineTo(6, 13);
  path.lineTo(2, 13);
  path.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(kInk);
  p.drawPath(path);
}

}  // namespace

QPixmap SpeakerPicture(const QString& name) {
  const QString key = name.toLower();
  if (key != "spkfull" && key != "spkhalf" && key != "spkmute") return {};
  QPixmap pixmap = Blank();
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  DrawSpeaker(p);
  p.setBrush(Qt::NoBrush);
  if (key == "spkmute") {
    p.setPen(QPen(QColor(200, 30, 30), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(13, 7), QPointF(18, 13));
    p.drawLine(QPointF(18, 7), QPointF(13, 13));
    return pixmap;
  }
  // Sound waves: one arc for half volume, two for full volume.
  p.setPen(QPen(kInk, 1.6, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(QRectF(8, 6, 7, 8), -50 * 16, 100 * 16);
  if (key == "spkfull") p.drawArc(QRectF(7, 3, 11.5, 14), -55 * 16, 110 * 16);
  return pixmap;
}

QPixmap ButtonPicture(TButtonPicture which) {
  QPixmap pixmap = Blank();
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(kInk);
  switch (which) {
    case TButtonPicture::bpPlay: {
      const QPointF triangle[] = {{6, 4}, {16, 10}, {6, 16}};
      p.drawPolygon(triangle, 3);
      break;
    }
    case TButtonPicture::bpPause:
      p.drawRect(QRectF(5, 4, 3.5, 12));
      p.drawRect(QRectF(11.5, 4, 3.5, 12));
      break;
    case TButtonPicture::bpStop:
      p.drawRect(QRectF(5, 5, 10, 10));
      break;
    case TButtonPicture::bpSnapshot:
      // A camera: body, viewfinder bump and lens.
      p.drawRoundedRect(QRectF(2, 6, 16, 11), 2, 2);
      p.drawRect(QRectF(7, 4, 6, 3));
      p.setBrush(Qt::white);
      p.drawEllipse(QPointF(10, 11.5), 3.5, 3.5);
      p.setBrush(kInk);
      p.drawEllipse(QPointF(10, 11.5), 2, 2);
      break;
  }
  return pixmap;
}
