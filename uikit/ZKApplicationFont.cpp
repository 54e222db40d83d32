#include "uikit/ZKApplicationFont.h"

#include <QtCore/QThread>
#include <QtWidgets/QApplication>

#include "uikit/DDLightTheme.h"

bool zk_useThemeTextFontForApplication() {
  Q_ASSERT_X(qApp && QThread::currentThread() == qApp->thread(), "zk_useThemeTextFontForApplication",
             "needs the application object and its main thread");
  const auto font = DDLightTheme::sharedTheme()->valueForKey(QStringLiteral("textFont"));
  if (font.metaType() != QMetaType::fromType<QFont>()) return false;
  // Without a class name the application font replaces the per-class fonts as well.
  QApplication::setFont(font.value<QFont>());
  return true;
}
