#include "Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

const char* ThemeName(TIconKind kind) {
  switch (kind) {
    case TIconKind::AddFile:
      return "list-add";
    case TIconKind::RemoveFile:
      return "list-remove";
    case TIconKind::ClearAll:
      return "edit-clear";
    case TIconKind::Stop:
      return "media-playback-stop";
    case TIconKind::Start:
      return "media-playback-start";
    case TIconKind::Folder:
      return "folder-open";
    case TIconKind::Program:
      return "quorvin";
  }
  return "";
}

// Draws the fallback picture on a 24 x 24 grid.
void Draw(QPainter& p, TIconKind kind) {
  const QColor ink(40, 70, 120);
  p.setPen(QPen(ink, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  switch (kind) {
    case TIconKind::AddFile:
      p.setPen(QPen(QColor(30, 130, 50), 3.5, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(12, 4), QPointF(12, 20));
      p.drawLine(QPointF(4, 12), QPointF(20, 12));
      break;
    case TIconKind::RemoveFile:
      p.setPen(QPen(QColor(190, 60, 40), 3.5, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(4, 12), QPointF(20, 12));
      break;
    case TIconKind::ClearAll:
      p.setPen(QPen(QColor(190, 60, 40), 3, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(5, 5), QPointF(19, 19));
      p.drawLine(QPointF(19, 5), QPointF(5, 19));
      break;
    case TIconKind::Stop:
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(190, 50, 40));
      p.drawRoundedRect(QRectF(5, 5, 14, 14), 2, 2);
      break;
    case TIconKind::Start: {
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(30, 130, 50));
      QPainterPath path;
      path.moveTo(7, 4);
      path.lineTo(20, 12);
      path.lineTo(7, 20);
      path.closeSubpath();
      p.drawPath(path);
      break;
    }
    case TIconKind::Folder: {
      p.setBrush(QColor(235, 190, 80));
      p.setPen(QPen(QColor(150, 110, 30), 1.5));
      QPainterPath path;
      path.moveTo(3, 7);
      path.lineTo(9, 7);
      path.lineTo(11, 9);
      path.lineTo(21, 9);
      path.lineTo(21, 19);
      path.lineTo(3, 19);
      path.closeSubpath();
      p.drawPath(path);
      break;
    }
    case TIconKind::Program: {
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(40, 70, 120));
      p.drawRoundedRect(QRectF(2, 2, 20, 20), 4, 4);
      p.setBrush(Qt::white);
      QPainterPath path;
      path.moveTo(9, 7);
      path.lineTo(17, 12);
      path.lineTo(9, 17);
      path.closeSubpath();
      p.drawPath(path);
      break;
    }
  }
}

QIcon DrawnIcon(TIconKind kind) {
  QIcon icon;
  for (int size : {16, 24, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0);
    Draw(painter, kind);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace

QIcon CommandIcon(TIconKind kind) {
  return QIcon::fromTheme(ThemeName(kind), DrawnIcon(kind));
}
