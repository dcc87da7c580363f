// The video window of the preview: a black surface that shows the player's current picture
// centred (black bars where the picture's aspect ratio differs from the surface's).
#pragma once

#include <QImage>
#include <QWidget>

class TVideoSurface : public QWidget {
  Q_OBJECT
 public:
  explicit TVideoSurface(QWidget* parent = nullptr);
  void SetPicture(const QImage& picture);
  void ClearPicture();
  const QImage& Picture() const { return picture_; }

 signals:
  void Resized(QSize size);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QImage picture_;
};
