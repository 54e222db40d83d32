// The edit-module sheet on a real X server with a window manager: begun as a sheet on a host window,
// a field typed into through the X server and the sheet closed with the pointer while the field is
// still being edited, kept as screenshots (test-artefacts/edit-xvfb). Runs under
// scripts/xvfb-run-desktop (the CTest entry qv_windows_tests_xvfb) and skips elsewhere.
#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>
#include <QtWidgets/QPushButton>

#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEmojiSource.h"
#include "windows/QVConfigEditorViewController.h"
#include "windows/QVEditModuleWindowController.h"
#include "windows/QVOptionCellViews.h"
#include "windows/tests/WindowsTestSupport.h"

namespace windowstest {
namespace {

class XvfbEditSheetTest : public WindowsTest {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb") || qEnvironmentVariableIsEmpty("DISPLAY")) {
      GTEST_SKIP() << "needs a real X server: run under scripts/xvfb-run-desktop";
    }
    WindowsTest::SetUp();
    QVEmojiSource::setShared(std::make_shared<QVEmojiCatalogueSource>(std::vector<std::string>{"🙂"}));
  }
  void TearDown() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) return;
    QVEmojiSource::setShared(nullptr);
    WindowsTest::TearDown();
  }
  static bool xdotool(const QStringList& arguments) {
    return qvtesting::qtRunTool(QStringLiteral("xdotool"), arguments);
  }
  static bool click(QWidget* widget) {
    const QPoint p = widget->mapToGlobal(widget->rect().center());
    return xdotool({QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y()),
                    QStringLiteral("click"), QStringLiteral("1")});
  }
};

TEST_F(XvfbEditSheetTest, TypingAndClosingThroughTheXServerStoresOnceAndRunsOnce) {
  auto manager = QVDashboardModuleManager::make();
  bool loaded = false;
  manager->loadWithCompletionHandler([&](bool, bool) { loaded = true; });
  ASSERT_TRUE(runUntil([&] { return loaded; }));
  int runs = 0;
  QVEngineEnvironment::setRunModuleHandler([&](const std::shared_ptr<QVDashboardModule>&) { ++runs; });
  auto module = makeModule(
      "Weather", {{"user_options",
                   nlohmann::json::array(
                       {{{"name", "city"}, {"type", "string"}, {"title", "City"}, {"default", "Oslo"}}})}});
  QWidget host;
  host.setWindowTitle(QStringLiteral("Preferences"));
  host.resize(720, 640);
  host.move(40, 40);
  host.show();
  ASSERT_TRUE(runUntil([&] { return host.windowHandle() && host.windowHandle()->isExposed(); }));
  std::unique_ptr<QVEditModuleWindowController> sheet(
      QVEditModuleWindowController::controllerWithModule(module, manager));
  bool closed = false;
  sheet->completionBlock = [&] { closed = true; };
  sheet->beginSheetInWindow(&host);
  ASSERT_TRUE(runUntil(
      [&] { return sheet->window()->windowHandle() && sheet->window()->windowHandle()->isExposed(); }));
  runFor(0.3);
  EXPECT_TRUE(sheet->window()->isModal() || sheet->window()->windowModality() == Qt::WindowModal);

  auto* editor = qobject_cast<QVConfigEditorViewController*>(sheet->currentViewController());
  ASSERT_TRUE(editor);
  auto* field = qobject_cast<QVTextCellView*>(editor->valueCellAtRow(3))->textField();
  ASSERT_TRUE(click(field));
  ASSERT_TRUE(runUntil([&] { return field->hasFocus(); }, 5));
  ASSERT_TRUE(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+a")}));
  ASSERT_TRUE(xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"),
                       QStringLiteral("Trondheim")}));
  ASSERT_TRUE(runUntil([&] { return field->text() == QStringLiteral("Trondheim"); }, 5));
  qvtesting::saveScreenshot("edit-xvfb", "sheet-editing");

  ASSERT_TRUE(click(sheet->window()->findChild<QPushButton*>(QStringLiteral("closeButton"))));
  ASSERT_TRUE(runUntil([&] { return closed; }, 5));
  EXPECT_EQ(module->userOptions()[0]->value()->stringValue(), "Trondheim");
  runFor(0.3);
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(sheet->window()->isVisible());
  qvtesting::saveScreenshot("edit-xvfb", "sheet-closed");
}

}  // namespace
}  // namespace windowstest
