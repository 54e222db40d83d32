// Draws the application's icons at build time, so that no bitmap is kept in the sources:
//
//   qv_make_icons <folder to write>
//
// writes hicolor/<n>x<n>/apps/com.quorvane.dashboard.png for the usual sizes (the colour icon: three
// white tiles of a dashboard on a blue-violet rounded square, the same drawing as the SVG in
// Images) and the tray's monochrome icons, light ink for dark panels and dark ink for light panels:
// hicolor/<n>x<n>/status/com.quorvane.dashboard-tray-{light,dark}.png.
#include <QtCore/QDir>
#include <QtCore/QString>
#include <QtGui/QImage>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <cstdio>

namespace {

// The drawing on a 32 x 32 grid, scaled to the size.
QImage applicationIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 32.0, size / 32.0);
  QLinearGradient gradient(0, 0, 32, 32);
  gradient.setColorAt(0, QColor(0x5b, 0x8c, 0xff));
  gradient.setColorAt(1, QColor(0x8a, 0x5b, 0xff));
  painter.setPen(Qt::NoPen);
  painter.setBrush(gradient);
  painter.drawRoundedRect(QRectF(0, 0, 32, 32), 8, 8);
  const struct {
    QRectF rect;
    double opacity;
  } tiles[] = {{{7, 8, 8, 7}, 0.95}, {{17, 8, 8, 7}, 0.7}, {{7, 17, 18, 7}, 0.85}};
  for (const auto& tile : tiles) {
    painter.setOpacity(tile.opacity);
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(tile.rect, 2, 2);
  }
  return image;
}

// The tray's glyph: the same three tiles, outlined, in one ink.
QImage trayIcon(int size, const QColor& ink) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 22.0, size / 22.0);
  painter.setBrush(ink);
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(3, 4, 7, 6), 1.5, 1.5);
  painter.drawRoundedRect(QRectF(12, 4, 7, 6), 1.5, 1.5);
  painter.drawRoundedRect(QRectF(3, 12, 16, 6), 1.5, 1.5);
  return image;
}

bool save(const QImage& image, const QString& path) {
  QDir().mkpath(path.section('/', 0, -2));
  if (image.save(path, "PNG")) return true;
  std::fprintf(stderr, "qv_make_icons: could not write %s\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qv_make_icons <folder to write>\n");
    return 1;
  }
  const QString root = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/hicolor");
  bool ok = true;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256, 512}) {
    const QString folder = QStringLiteral("%1/%2x%2").arg(root).arg(size);
    ok &= save(applicationIcon(size), folder + QStringLiteral("/apps/com.quorvane.dashboard.png"));
  }
  for (int size : {16, 22, 24, 32, 48}) {
    const QString folder = QStringLiteral("%1/%2x%2/status").arg(root).arg(size);
    ok &= save(trayIcon(size, QColor(0xf2, 0xf2, 0xf2)),
               folder + QStringLiteral("/com.quorvane.dashboard-tray-light.png"));
    ok &= save(trayIcon(size, QColor(0x20, 0x20, 0x20)),
               folder + QStringLiteral("/com.quorvane.dashboard-tray-dark.png"));
  }
  return ok ? 0 : 1;
}
