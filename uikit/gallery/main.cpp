// The controls gallery: every control of the kit in the light or dark theme.
// Usage: qv_uikit_gallery [--theme light|dark] [--grab FILE.png]
//   --grab draws the window into FILE.png and exits (on Qt's offscreen platform unless told otherwise).
#include <QtCore/QCommandLineParser>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <cstdio>
#include <cstdlib>

#include "uikit/ZKThemeManager.h"
#include "uikit/gallery/QVGalleryWindow.h"

int main(int argc, char** argv) {
  bool grab = false;
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]) == "--grab") grab = true;
  if (grab && !std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QCommandLineParser parser;
  parser.addHelpOption();
  parser.addOption({QStringLiteral("theme"), QStringLiteral("light or dark"), QStringLiteral("theme"),
                    QStringLiteral("light")});
  parser.addOption({QStringLiteral("grab"), QStringLiteral("Draw the window into FILE and exit."),
                    QStringLiteral("file")});
  parser.process(app);

  const QString theme = parser.value(QStringLiteral("theme"));
  if (theme != u"light" && theme != u"dark") {
    std::fprintf(stderr, "qv_uikit_gallery: the theme is light or dark, not \"%s\"\n", qPrintable(theme));
    return 2;
  }
  ZKThemeManager::sharedManager().changeTheme(theme == u"dark" ? QStringLiteral("DDDarkTheme")
                                                               : QStringLiteral("DDLightTheme"));
  QVGalleryWindow window;
  window.show();
  if (!parser.isSet(QStringLiteral("grab"))) return app.exec();

  QTimer::singleShot(100, &window, [&] {
    window.freezeAnimations();
    const QString file = parser.value(QStringLiteral("grab"));
    if (!window.grab().save(file, "PNG")) {
      std::fprintf(stderr, "qv_uikit_gallery: could not write %s\n", qPrintable(file));
      app.exit(1);
      return;
    }
    app.exit(0);
  });
  return app.exec();
}
