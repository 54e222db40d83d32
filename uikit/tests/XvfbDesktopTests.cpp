// Tests on a real X server with a window manager and a tray: they run under scripts/xvfb-run-desktop
// (the CTest entry qv_uikit_tests_xvfb) and skip elsewhere.
#include <gtest/gtest.h>

#include <QtGui/QGuiApplication>
#include <QtGui/QPainter>
#include <QtGui/QWindow>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QSystemTrayIcon>
#include <QtWidgets/QVBoxLayout>

#include "platform/desktop/testing/GuiTest.h"
#include "uikit/ZKAlert.h"
#include "uikit/ZKView.h"
#include "uikit/ZKYosemiteWindow.h"

namespace {

class XvfbDesktopTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb") || qEnvironmentVariableIsEmpty("DISPLAY")) {
      GTEST_SKIP() << "needs a real X server: run under scripts/xvfb-run-desktop";
    }
    GuiTest::SetUp();
  }

  void screenshot(const std::string& name) { qvtesting::saveScreenshot("uikit-xvfb", name); }

  std::unique_ptr<ZKYosemiteWindow> makeWindow() {
    auto window = std::make_unique<ZKYosemiteWindow>();
    auto* content = new ZKView;
    content->setBackgroundColor(QColor(246, 246, 246));
    auto* layout = new QVBoxLayout(content);
    auto* title = new QLabel;
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);
    layout->addWidget(new QLabel(QStringLiteral("Weather · 12 °C, light rain")));
    layout->addStretch();
    window->setActualContentView(content);
    window->setActualTitleLabel(title);
    window->setTitle(QStringLiteral("Quorvane Dashboard"));
    window->setGeometry(200, 120, 520, 340);
    window->show();
    return window;
  }
};

QMessageBox* openBox(QWidget* window) {
  auto* box = window->findChild<QMessageBox*>();
  return box && box->isVisible() && box->windowHandle() && box->windowHandle()->isExposed() ? box : nullptr;
}

TEST_F(XvfbDesktopTest, ASheetAlertOnARealWindowIsAnsweredThroughTheXServer) {
  auto window = makeWindow();
  ASSERT_TRUE(runUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }));

  // By the mouse: a click on the second button.
  auto alert = ZKAlert::alert();
  alert->messageText = QStringLiteral("Remove “Weather” from the dashboard?");
  alert->informativeText = QStringLiteral("Its settings and its log are removed with it.");
  alert->buttonTitles = {QStringLiteral("Remove"), QStringLiteral("Cancel")};
  std::optional<ZKModalResponse> answer;
  zk_beginSheetModalForWindow(alert, window.get(), [&](ZKModalResponse r) { answer = r; });
  QMessageBox* box = nullptr;
  ASSERT_TRUE(runUntil([&] { return (box = openBox(window.get())) != nullptr; }));
  runFor(0.3);  // painted
  screenshot("alert-sheet");
  QAbstractButton* cancel = nullptr;
  for (auto* button : box->buttons()) {
    if (button->text() == QStringLiteral("Cancel")) cancel = button;
  }
  ASSERT_TRUE(cancel);
  const QPoint target = cancel->mapToGlobal(cancel->rect().center());
  ASSERT_TRUE(
      qvtesting::qtRunTool(QStringLiteral("xdotool"),
                           {QStringLiteral("mousemove"), QString::number(target.x()),
                            QString::number(target.y()), QStringLiteral("click"), QStringLiteral("1")}));
  ASSERT_TRUE(runUntil([&] { return answer.has_value(); }));
  EXPECT_EQ(*answer, ZKAlertSecondButtonReturn);

  // By the keyboard: Return presses the first (default) button of the focused alert.
  answer.reset();
  zk_beginSheetModalForWindow(ZKAlert::alert(), window.get(), [&](ZKModalResponse r) { answer = r; });
  ASSERT_TRUE(runUntil([&] { return (box = openBox(window.get())) != nullptr && box->isActiveWindow(); }));
  ASSERT_TRUE(
      qvtesting::qtRunTool(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Return")}));
  ASSERT_TRUE(runUntil([&] { return answer.has_value(); }));
  EXPECT_EQ(*answer, ZKAlertFirstButtonReturn);
}

TEST_F(XvfbDesktopTest, TheTrayGivesATrayIconAHome) {
  ASSERT_TRUE(runUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5));
  QImage image(22, 22, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(88, 86, 214));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(2, 2, 18, 18), 5, 5);
  }
  QSystemTrayIcon icon(QIcon(QPixmap::fromImage(image)));
  icon.show();
  ASSERT_TRUE(runUntil([&] { return icon.geometry().isValid() && !icon.geometry().isEmpty(); }, 10));
  runFor(0.3);
  screenshot("tray-icon");
  EXPECT_GE(icon.geometry().width(), 16);
}

}  // namespace
