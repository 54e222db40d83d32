// The yardstick of the application's memory figure: a plain Qt widgets program with a window and a
// tray icon, doing nothing else (bench/app_startup.py measures its resident memory).
#include <QtGui/QPixmap>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QSystemTrayIcon>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QLabel window(QStringLiteral("A plain Qt widgets program"));
  window.resize(450, 300);
  window.show();
  QPixmap pixmap(22, 22);
  pixmap.fill(Qt::darkGray);
  QSystemTrayIcon tray{QIcon(pixmap)};
  tray.show();
  return QApplication::exec();
}
