// The dashboard's outline as the desktop shows it, with and without a compositing manager: the ten
// points above the header are the desktop except for the arrow that points at the tray icon while
// the window is docked, and the corners are round. Without a compositor the window is shaped to that
// outline; with one it is not shaped and its margin is see-through. Both follow the compositor
// coming and going, and the arrow follows undocking.
#include <QtCore/QProcess>
#include <QtGui/QColor>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <cstdlib>
#include <sstream>
#include <string>

#include "app/tests/program/ProgramTest.h"
#include "platform/SettingsStore.h"
#include "uikit/ZKTheme.h"

namespace {

using qvprogram::ProgramTest;

// The desktop behind the window: a colour neither theme paints.
const QColor kDesktop(0x2a, 0x7f, 0x62);

struct ThemeCase {
  const char* name;
  int setting;  // "theme": 0 light, 1 dark
  const char* themeClass;
};

const ThemeCase kThemes[] = {{"Light", 0, "DDLightTheme"}, {"Dark", 1, "DDDarkTheme"}};

bool near(const QColor& a, const QColor& b) {
  return std::abs(a.red() - b.red()) <= 6 && std::abs(a.green() - b.green()) <= 6 &&
         std::abs(a.blue() - b.blue()) <= 6;
}

std::string text(const QColor& color) { return color.name().toStdString(); }

// What a user sees of the window's edges, read from the screen.
struct Look {
  QColor desktop;                  // the desktop far from any window
  QColor marginLeft, marginRight;  // the margin above the header, beside the arrow
  QColor arrow;                    // where the arrow is while docked
  QColor topCorner, bottomCorner;  // just outside the rounded corners
  QColor headerBody, bottomBody;   // just inside the header and the bottom edge
  bool shaped = false;             // the window has a bounding shape of its own
};

class DashboardShapeXvfbTest : public ProgramTest {
 protected:
  void TearDown() override {
    if (compositor_.state() != QProcess::NotRunning) {
      compositor_.kill();
      compositor_.waitForFinished(5000);
    }
    ProgramTest::TearDown();
  }

  QColor themeColor(const char* key) const {
    const ZKTheme* theme = ZKTheme::sharedTheme(QString::fromLatin1(theme_.themeClass));
    return theme ? theme->valueForKey(QString::fromLatin1(key)).value<QColor>() : QColor();
  }

  // Whether the window has a bounding shape of its own: xwininfo prints its extents ("Window shape
  // extents: ...") then, and "No window shape defined" for a plain rectangle.
  static bool windowIsShaped(const QString& id) {
    QProcess xwininfo;
    xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-shape"), QStringLiteral("-id"), id});
    xwininfo.waitForFinished(5000);
    return QString::fromUtf8(xwininfo.readAllStandardOutput())
        .contains(QStringLiteral("Window shape extents"));
  }

  static QImage grabScreen() { return QGuiApplication::primaryScreen()->grabWindow(0).toImage(); }
  // The desktop in the screen's bottom right corner, where no window of the test goes.
  static QColor desktopOf(const QImage& screen) {
    return screen.pixelColor(screen.width() - 40, screen.height() - 40);
  }

  // A docked window's arrow points at the tray icon (in the screen's corner, so the arrow is near the
  // window's right edge): the margin is read left of it. A floating window has no arrow: where it
  // would be, in the middle, and the margin at both ends show the desktop.
  Look look(const QString& id, bool docked) const {
    Look seen;
    const QRect frame = windowGeometry(id);
    const QImage screen = grabScreen();
    seen.desktop = desktopOf(screen);
    auto at = [&](int x, int y) { return screen.pixelColor(frame.topLeft() + QPoint(x, y)); };
    const int w = frame.width(), h = frame.height();
    const int arrowX = docked ? trayIcon().center().x() + 1 - frame.x() : w / 2;
    seen.marginLeft = at(20, 5);
    seen.marginRight = docked ? at(arrowX - 30, 5) : at(w - 21, 5);
    seen.arrow = at(arrowX, 7);
    seen.topCorner = at(0, 10);
    seen.bottomCorner = at(w - 1, h - 1);
    seen.headerBody = at(w / 4, 12);
    seen.bottomBody = at(w / 2, h - 3);
    seen.shaped = windowIsShaped(id);
    return seen;
  }

  static std::string describe(const Look& seen) {
    std::ostringstream out;
    out << "desktop " << text(seen.desktop) << ", margin " << text(seen.marginLeft) << "/"
        << text(seen.marginRight) << ", arrow " << text(seen.arrow) << ", outside the corners "
        << text(seen.topCorner) << "/" << text(seen.bottomCorner) << ", header " << text(seen.headerBody)
        << ", bottom " << text(seen.bottomBody) << (seen.shaped ? ", shaped" : ", not shaped");
    return out.str();
  }

  // The docked (or floating) outline with the desktop around it.
  bool outlineIsRight(const Look& seen, const QColor& desktop, bool docked) const {
    const QColor header = themeColor("windowHeaderColor");
    const QColor body = themeColor("windowColor");
    return near(seen.desktop, desktop) && near(seen.marginLeft, desktop) && near(seen.marginRight, desktop) &&
           near(seen.arrow, docked ? header : desktop) && near(seen.topCorner, desktop) &&
           near(seen.bottomCorner, desktop) && near(seen.headerBody, header) && near(seen.bottomBody, body);
  }

  // Waits until the window looks as expected on that desktop; false (with what was seen) when it
  // does not come.
  ::testing::AssertionResult becomes(const QString& id, const QColor& desktop, bool docked, bool shaped,
                                     double timeout = 5) {
    Look seen;
    if (runUntil(
            [&] {
              seen = look(id, docked);
              return seen.shaped == shaped && outlineIsRight(seen, desktop, docked);
            },
            timeout))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "expected the desktop " << text(desktop) << " around the outline, the arrow "
           << (docked ? "shown" : "gone") << " in " << text(themeColor("windowHeaderColor")) << ", the body "
           << text(themeColor("windowColor")) << (shaped ? ", shaped" : ", not shaped") << "; saw "
           << describe(seen);
  }

  // Starts xcompmgr and waits until it draws the desktop: it paints the background itself, in a grey
  // of its own where no wallpaper is set, so the desktop's colour changes. Its desktop colour.
  QColor startCompositor() {
    compositor_.setProcessChannelMode(QProcess::MergedChannels);
    compositor_.start(QStringLiteral("xcompmgr"), QStringList{});
    if (!compositor_.waitForStarted(5000)) {
      ADD_FAILURE() << "xcompmgr did not start";
      return {};
    }
    QColor desktop;
    if (!runUntil([&] { return !near(desktop = desktopOf(grabScreen()), kDesktop); }, 5))
      ADD_FAILURE() << "xcompmgr does not draw the desktop";
    return desktop;
  }
  void stopCompositor() {
    compositor_.terminate();
    ASSERT_TRUE(compositor_.waitForFinished(5000)) << "xcompmgr did not stop";
  }

  void checkOutlineFollowsTheDesktop();

  ThemeCase theme_ = kThemes[0];
  QProcess compositor_;
};

// Without a compositor (the test desktop has none) the window is shaped to its outline: the margin
// beside the arrow and the corners show the desktop, the arrow the header's colour. A compositor
// that starts takes over (the window loses its shape and its margin is see-through); when it goes,
// the shape comes back. Undocking takes the arrow away.
void DashboardShapeXvfbTest::checkOutlineFollowsTheDesktop() {
  ASSERT_EQ(QProcess::execute(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), kDesktop.name()}), 0)
      << "xsetroot is missing (scripts/bootstrap installs it)";
  {
    auto settings = settingsFile();
    settings->setInteger(theme_.setting, "theme");
    settings->setBool(true, "isDocked");
    settings->synchronize();
  }
  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  const QString dashboard = dashboardWindow();
  ASSERT_FALSE(dashboard.isEmpty());

  EXPECT_TRUE(becomes(dashboard, kDesktop, true, true)) << "docked, without a compositor";
  screenshot(std::string(theme_.name) + "-1-docked-without-compositor");

  const QColor composited = startCompositor();
  ASSERT_TRUE(composited.isValid());
  EXPECT_TRUE(becomes(dashboard, composited, true, false)) << "docked, with a compositor";
  screenshot(std::string(theme_.name) + "-2-docked-with-compositor");

  ASSERT_NO_FATAL_FAILURE(stopCompositor());
  EXPECT_TRUE(becomes(dashboard, kDesktop, true, true)) << "docked, after the compositor went away";

  // "Undock Window", the first entry of the tray icon's menu.
  const auto before = windows().size();
  clickTrayIcon(3);
  ASSERT_TRUE(runUntil([&] { return windows().size() > before; }, 5)) << "the tray menu did not open";
  runFor(0.3);
  key(QStringLiteral("Down"));
  key(QStringLiteral("Return"));
  EXPECT_TRUE(becomes(dashboard, kDesktop, false, true)) << "floating, without a compositor";
  screenshot(std::string(theme_.name) + "-3-floating-without-compositor");
}

TEST_F(DashboardShapeXvfbTest, LightTheme) {
  theme_ = kThemes[0];
  checkOutlineFollowsTheDesktop();
}

TEST_F(DashboardShapeXvfbTest, DarkTheme) {
  theme_ = kThemes[1];
  checkOutlineFollowsTheDesktop();
}

}  // namespace
