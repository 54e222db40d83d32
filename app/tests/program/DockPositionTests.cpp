// A docked dashboard hangs from its tray icon: right below the icon, the arrow at the top of the
// window pointing up at the icon's centre, and the whole window on the screen. Next to the screen's
// edge the window moves sideways to stay on the screen while its arrow stays under the icon; away
// from the edge the window is centred on the icon. The dashboard follows the icon when the tray
// moves it. The first start with the default settings floats in the middle of the screen.
#include <QtCore/QProcess>
#include <QtGui/QColor>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtWidgets/QSystemTrayIcon>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "app/tests/program/ProgramTest.h"
#include "shell/QVUserDefaults.h"

namespace {

using qvprogram::ProgramTest;

// The desktop behind the windows: a colour neither theme paints.
const QColor kDockDesktop(0x2a, 0x7f, 0x62);

// How far the arrow's tip may lie from the icon's centre (the tip is a few pixels wide).
constexpr int kDockArrowTolerance = 3;

bool isDockDesktop(const QColor& colour) {
  return std::abs(colour.red() - kDockDesktop.red()) + std::abs(colour.green() - kDockDesktop.green()) +
             std::abs(colour.blue() - kDockDesktop.blue()) <
         12;
}

std::string describeRect(const QRect& rect) {
  std::ostringstream text;
  text << rect.x() << "," << rect.y() << " " << rect.width() << "x" << rect.height();
  return text.str();
}

class DockPositionXvfbTest : public ProgramTest {
 protected:
  void TearDown() override {
    others_.clear();
    ProgramTest::TearDown();
  }

  // The x of the arrow's tip on the screen: the middle of the topmost pixels of the window's ten
  // top rows that are not the desktop (the window is shaped to its outline, so only the arrow covers
  // the desktop there); nothing when those rows show only the desktop.
  static std::optional<int> arrowTip(const QRect& frame) {
    const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    for (int y = frame.top(); y < frame.top() + 10; ++y) {
      int first = -1, last = -1;
      for (int x = std::max(frame.left(), 0); x <= std::min(frame.right(), screen.width() - 1); ++x) {
        if (isDockDesktop(screen.pixelColor(x, y))) continue;
        if (first < 0) first = x;
        last = x;
      }
      if (first >= 0) return (first + last) / 2;
    }
    return std::nullopt;
  }

  // Where the docked dashboard is against the tray icon; empty when it is right.
  std::string misplacement(const QString& dashboard) const {
    const QRect icon = trayIcon();
    const QRect frame = windowGeometry(dashboard);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const int centre = icon.center().x();
    std::ostringstream wrong;
    // Right below the icon, or below the panel that holds it.
    if (frame.top() <= icon.bottom() || frame.top() > icon.bottom() + 4)
      wrong << "not right below the icon; ";
    if (centre < frame.left() || centre > frame.right()) wrong << "the icon's centre is beside the window; ";
    if (!screen.contains(frame)) wrong << "not wholly on the screen; ";
    const auto tip = arrowTip(frame);
    if (!tip) {
      wrong << "no arrow at the window's top; ";
    } else if (std::abs(*tip - centre) > kDockArrowTolerance) {
      wrong << "the arrow's tip is at x " << *tip << ", not under the icon's centre; ";
    }
    if (wrong.tellp() == 0) return {};
    wrong << "window " << describeRect(frame) << ", icon " << describeRect(icon) << " (centre x " << centre
          << "), screen " << describeRect(screen);
    return wrong.str();
  }

  // Waits until the docked dashboard sits right at the icon; the last misplacement when it does not.
  ::testing::AssertionResult hangsFromTheIcon(const QString& dashboard) {
    std::string wrong;
    if (runUntil([&] { return (wrong = misplacement(dashboard)).empty(); }, 5))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << wrong;
  }

  // Puts `count` tray icons of this process into the tray (the tray lines up later icons on the left
  // of those it holds).
  void addOtherTrayIcons(int count) {
    QPixmap square(22, 22);
    square.fill(QColor(0x80, 0x40, 0x40));
    for (int i = 0; i < count; ++i) {
      auto icon = std::make_unique<QSystemTrayIcon>(QIcon(square));
      icon->show();
      others_.push_back(std::move(icon));
    }
  }

  std::vector<std::unique_ptr<QSystemTrayIcon>> others_;
};

TEST_F(DockPositionXvfbTest, TheDockedDashboardHangsFromTheTrayIconWithItsArrowAtTheIconsCentre) {
  ASSERT_EQ(QProcess::execute(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), kDockDesktop.name()}), 0)
      << "xsetroot is missing (scripts/bootstrap installs it)";
  {
    auto settings = settingsFile();
    settings->setBool(true, QVIsDockedKey);
    settings->synchronize();
  }
  // Icons already in the tray keep the right end: the program's icon comes in on their left, far
  // from the screen's edge.
  addOtherTrayIcons(14);
  runFor(1);
  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  EXPECT_TRUE(settingsFile()->boolForKey(QVIsDockedKey)) << "the dashboard is not docked by its settings";
  const QString dashboard = dashboardWindow();
  ASSERT_FALSE(dashboard.isEmpty());
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  const int awayFromTheEdge = trayIcon().center().x();
  ASSERT_LT(awayFromTheEdge, screen.right() - 300) << "the program's icon is at " << describeRect(trayIcon());

  const auto centredOnTheIcon = [&] {
    const QRect frame = windowGeometry(dashboard);
    EXPECT_LE(std::abs(frame.center().x() - trayIcon().center().x()), 1)
        << "not centred on the icon: " << describeRect(frame) << ", icon " << describeRect(trayIcon());
  };
  const auto flushWithTheScreensEdge = [&] {
    const QRect frame = windowGeometry(dashboard);
    EXPECT_EQ(frame.right(), screen.right()) << "not moved sideways onto the screen: " << describeRect(frame);
  };
  // Hides the shown dashboard with a click on the icon and brings it back with the next.
  const auto clickAwayAndBack = [&] {
    clickTrayIcon();
    ASSERT_TRUE(runUntil([&] { return dashboardWindow().isEmpty(); }, 5)) << "a click did not hide it";
    runFor(0.5);  // well apart from the last click
    clickTrayIcon();
    ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 5)) << "a click did not show it";
  };

  // The first start shows it docked at once.
  EXPECT_TRUE(hangsFromTheIcon(dashboard)) << "at the first start";
  centredOnTheIcon();
  screenshot("1-first-start");

  ASSERT_NO_FATAL_FAILURE(clickAwayAndBack());
  EXPECT_TRUE(hangsFromTheIcon(dashboard)) << "shown by a click";
  centredOnTheIcon();

  // The other icons go: the tray moves the program's icon to the screen's edge while the dashboard
  // is shown, and the dashboard follows it.
  others_.clear();
  ASSERT_TRUE(runUntil([&] { return trayIcon().center().x() > screen.right() - 30; }, 10))
      << "the program's icon did not move to the edge, it is at " << describeRect(trayIcon());
  EXPECT_TRUE(hangsFromTheIcon(dashboard)) << "after the icon moved to the edge";
  flushWithTheScreensEdge();
  screenshot("2-followed-the-icon-to-the-edge");

  ASSERT_NO_FATAL_FAILURE(clickAwayAndBack());
  EXPECT_TRUE(hangsFromTheIcon(dashboard)) << "shown by a click, at the edge";
  flushWithTheScreensEdge();
  screenshot("3-at-the-edge");
}

// The first start with the settings' defaults: the dashboard floats in the middle of the screen,
// without an arrow.
TEST_F(DockPositionXvfbTest, TheFirstStartFloatsInTheMiddleOfTheScreen) {
  ASSERT_EQ(QProcess::execute(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), kDockDesktop.name()}),
            0);
  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  EXPECT_FALSE(settingsFile()->boolForKey(QVIsDockedKey));
  const QString dashboard = dashboardWindow();
  ASSERT_FALSE(dashboard.isEmpty());
  const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
  QRect frame;
  EXPECT_TRUE(runUntil(
      [&] {
        frame = windowGeometry(dashboard);
        return (frame.center() - available.center()).manhattanLength() <= 2;
      },
      5))
      << "window " << describeRect(frame) << ", the screen's free area " << describeRect(available);
  EXPECT_EQ(arrowTip(frame), std::nullopt) << "an arrow on a floating window";
  screenshot("floating-first-start");
}

}  // namespace
