#include <QtGui/QImageReader>
#include <QtGui/QPainter>

#include "uikit/NSImage+TintColor.h"

QImage zk_imageWithTintColor(const QImage& image, const QColor& tint) {
  if (image.isNull()) return QImage();
  QImage tinted(image.size(), QImage::Format_ARGB32_Premultiplied);
  tinted.setDevicePixelRatio(image.devicePixelRatio());
  tinted.fill(Qt::transparent);
  QPainter painter(&tinted);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.drawImage(QPointF(0, 0), image);
  painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
  painter.fillRect(QRectF(QPointF(0, 0), image.deviceIndependentSize()), tint);
  painter.end();
  return tinted;
}

QImage zk_imageNamed(const QString& name, const platform::Bundle& bundle) {
  if (name.isEmpty()) return QImage();
  const std::string file = name.toStdString();
  for (const char* type : {"png", "svg"}) {
    if (auto path = bundle.pathForResource(file, type, "Images")) {
      QImageReader reader(QString::fromStdString(path->string()));
      QImage image = reader.read();
      if (!image.isNull()) return image;
    }
  }
  return QImage();
}

QImage zk_imageWithName(const QString& name, const QColor& tint, const platform::Bundle& bundle) {
  return zk_imageWithTintColor(zk_imageNamed(name, bundle), tint);
}
