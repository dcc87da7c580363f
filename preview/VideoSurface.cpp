#include "VideoSurface.h"

#include <QPainter>
#include <QResizeEvent>

TVideoSurface::TVideoSurface(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAutoFillBackground(false);
  setAccessibleName("Video");
}

void TVideoSurface::SetPicture(const QImage& picture) {
  picture_ = picture;
  update();
}

void TVideoSurface::ClearPicture() {
  picture_ = QImage();
  update();
}

void TVideoSurface::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (picture_.isNull()) return;
  // Pictures arrive scaled for this size; right after a resize they may not fit yet.
  QSize size = picture_.size();
  if (size.width() > width() || size.height() > height())
    size.scale(this->size(), Qt::KeepAspectRatio);
  const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
  painter.drawImage(target, picture_);
}

void TVideoSurface::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  emit Resized(event->size());
}
