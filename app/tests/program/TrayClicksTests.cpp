// The tray icon: a plain click toggles the dashboard, a right click or a Control-click only opens the
// menu, and the icon is lit while the dashboard is the active window, whatever brought it there.

#include <QtCore/QProcess>
#include <QtGui/QColor>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QPalette>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <cstdlib>
#include <functional>

#include "app/tests/program/ProgramTest.h"
#include "shell/QVUserDefaults.h"

namespace {

using qvprogram::ProgramTest;

// The hot key the tests give the program: Control-Option-H.
constexpr std::uint64_t kControlOption = (1ull << 18) | (1ull << 19);
constexpr std::int64_t kHotKeyCode = 0x04;

class TrayClicksXvfbTest : public ProgramTest {
 protected:
  // The tray icon as it is on the screen now.
  QImage trayIconImage() {
    runFor(0.3);  // drawn
    const QRect icon = trayIcon();
    if (icon.isEmpty()) return {};
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, icon.x(), icon.y(), icon.width(), icon.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
  }

  // The share of the icon's pixels in the highlight colour the item draws behind a lit icon (the
  // desktop's highlight colour, the same for this process as for the program). About a fifth of the
  // icon when lit (the rest is the white icon and the tray's margin); none when not.
  static double litShare(const QImage& image) {
    if (image.isNull()) return 0.0;
    const QColor highlight = QGuiApplication::palette().color(QPalette::Highlight);
    int lit = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        const QColor pixel = image.pixelColor(x, y);
        if (std::abs(pixel.red() - highlight.red()) + std::abs(pixel.green() - highlight.green()) +
                std::abs(pixel.blue() - highlight.blue()) <
            24)
          ++lit;
      }
    }
    return double(lit) / double(image.width() * image.height());
  }

  bool trayIconIsLit() { return litShare(trayIconImage()) > 0.1; }

  // Starts the program and hides the dashboard with a plain click on the tray icon.
  void launchWithTheDashboardHidden() {
    launchAndWaitForDashboard();
    clickTrayIcon();
    ASSERT_TRUE(runUntil([&] { return dashboardWindow().isEmpty(); }, 5)) << "a click did not hide it";
    runFor(0.5);  // well apart from the next click
  }

  // A menu of the program on the screen (a visible override-redirect window larger than the tray
  // icon), or an empty string.
  QString openMenu() const {
    for (const auto& id : windows()) {
      if (windowGeometry(id).height() <= 64) continue;
      QProcess info;
      info.start(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id});
      info.waitForFinished(5000);
      const QString text = QString::fromUtf8(info.readAllStandardOutput());
      if (text.contains(QStringLiteral("Override Redirect State: yes"))) return id;
    }
    return {};
  }
};

TEST_F(TrayClicksXvfbTest, RightAndControlClicksOpenTheMenuAndLeaveTheDashboardAway) {
  launchWithTheDashboardHidden();
  struct Case {
    const char* name;
    int button;
    QStringList modifiers;
  };
  const Case cases[] = {
      {"right-click", 3, {}},
      {"control-click", 1, {QStringLiteral("ctrl")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clickTrayIcon(c.button, c.modifiers);
    EXPECT_TRUE(runUntil([&] { return !openMenu().isEmpty(); }, 5)) << "no menu opened";
    runFor(0.5);
    screenshot(std::string(c.name) + "-menu");
    EXPECT_TRUE(dashboardWindow().isEmpty()) << "the dashboard dropped down with the menu";
    EXPECT_TRUE(trayIconIsLit()) << "the icon is not lit while its menu is open";
    key(QStringLiteral("Escape"));
    EXPECT_TRUE(runUntil([&] { return openMenu().isEmpty(); }, 5)) << "Escape did not close the menu";
    runFor(0.5);
    EXPECT_TRUE(dashboardWindow().isEmpty()) << "the dashboard came when the menu closed";
    EXPECT_FALSE(trayIconIsLit()) << "the light stayed after the menu";
  }
  // A plain click still brings the dashboard.
  clickTrayIcon();
  EXPECT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 5));
}

TEST_F(TrayClicksXvfbTest, TheIconIsLitWhileTheDashboardIsShownHoweverItCame) {
  {
    auto settings = settingsFile();
    settings->setInteger(kHotKeyCode, QVHotKeyCodeKey);
    settings->setInteger(static_cast<std::int64_t>(kControlOption), QVHotKeyModifierKey);
    settings->synchronize();
  }
  launchWithTheDashboardHidden();
  const QImage plain = trayIconImage();
  qvtesting::saveImage(plain, "program", "TrayClicksXvfbTest-icon-plain");
  EXPECT_LT(litShare(plain), 0.01) << "lit with the dashboard away";

  struct Case {
    const char* name;
    std::function<void()> bringTheDashboard;
  };
  const Case cases[] = {
      {"second-start", [&] { ASSERT_EQ(runSecondStart({}), 0); }},
      {"hot-key", [&] { key(QStringLiteral("ctrl+alt+h")); }},
      {"dock-window",
       [&] {
         clickTrayIcon();
         ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 5));
         runFor(0.5);
         const QString dashboard = dashboardWindow();
         clickInWindow(dashboard, QPoint(windowGeometry(dashboard).width() - 40, 30));
         ASSERT_TRUE(runUntil([&] { return !openMenu().isEmpty(); }, 5)) << "the settings menu did not open";
         screenshot("settings-menu");
         key(QStringLiteral("Down"));  // "Dock Window"
         key(QStringLiteral("Return"));
         // Docked, the window hangs from the tray's edge.
         ASSERT_TRUE(runUntil([&] { return windowGeometry(dashboard).top() <= trayIcon().bottom() + 4; }, 5))
             << "the window did not dock";
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.bringTheDashboard();
    ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 5)) << "the dashboard did not come";
    ASSERT_TRUE(runUntil([&] { return focusedWindow() == dashboardWindow(); }, 5));
    const QImage lit = trayIconImage();
    qvtesting::saveImage(lit, "program", std::string("TrayClicksXvfbTest-icon-") + c.name);
    screenshot(c.name);
    EXPECT_GT(litShare(lit), 0.1) << "not lit with the dashboard shown";

    // Escape hides the dashboard: the light goes with it.
    key(QStringLiteral("Escape"));
    ASSERT_TRUE(runUntil([&] { return dashboardWindow().isEmpty(); }, 5));
    EXPECT_TRUE(runUntil([&] { return !trayIconIsLit(); }, 3)) << "still lit with the dashboard away";
    runFor(0.3);  // the next click well apart
  }
}

}  // namespace
