// The real program on a real X server with a window manager and a tray, with a fresh home: it runs
// under scripts/xvfb-run-desktop (the CTest entry qv_app_shell_tests_xvfb) and skips elsewhere. The
// screenshots are for a person to look at.
#include <gtest/gtest.h>
#include <signal.h>

#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QApplication>
#include <QtWidgets/QSystemTrayIcon>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/PMMainWindowController.h"
#include "app/WIPreferencesModule.h"
#include "platform/desktop/testing/GuiTest.h"
#include "testing/TreePaths.h"
#include "ui_WIPreferencesModule.h"
#include "uikit/ZKApplicationFont.h"

namespace {

namespace fs = std::filesystem;

class XvfbApplicationTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb") || qEnvironmentVariableIsEmpty("DISPLAY")) {
      GTEST_SKIP() << "needs a real X server: run under scripts/xvfb-run-desktop";
    }
    GuiTest::SetUp();
    // The windows measured here draw in the program's font, as the program's own do.
    originalFont_ = QApplication::font();
    zk_useThemeTextFontForApplication();
  }
  void TearDown() override {
    for (auto* process : {&program, &second}) {
      if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
      }
    }
    QApplication::setFont(originalFont_);
    GuiTest::TearDown();
  }

  void start(QProcess& process, const QStringList& arguments) {
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QString::fromUtf8(QV_APPLICATION_EXECUTABLE), arguments);
    ASSERT_TRUE(process.waitForStarted(5000));
  }

  static QString tool(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
  }

  // The program's visible windows larger than a tray icon.
  int visibleWindowsOfProgram() {
    const auto ids = tool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                           QString::number(program.processId())})
                         .split('\n', Qt::SkipEmptyParts);
    int count = 0;
    static const QRegularExpression size(QStringLiteral("Geometry: (\\d+)x(\\d+)"));
    for (const auto& id : ids) {
      const auto match = size.match(tool({QStringLiteral("getwindowgeometry"), id}));
      if (match.hasMatch() && match.captured(1).toInt() > 100 && match.captured(2).toInt() > 60) ++count;
    }
    return count;
  }

  // The program's visible window with the title, or an empty string.
  QString windowNamed(const QString& title) {
    return tool({QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--onlyvisible"),
                 QStringLiteral("--pid"), QString::number(program.processId()), QStringLiteral("--name"),
                 QStringLiteral("^%1$").arg(QRegularExpression::escape(title))})
        .split('\n', Qt::SkipEmptyParts)
        .value(0);
  }

  // The top left corner of the window's inside on the screen (xwininfo's, which counts the window
  // manager's frame right).
  QPoint windowOrigin(const QString& id) {
    QProcess info;
    info.start(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id});
    info.waitForFinished(10000);
    const auto text = QString::fromUtf8(info.readAllStandardOutput());
    static const QRegularExpression x(QStringLiteral("Absolute upper-left X:\\s+(-?\\d+)"));
    static const QRegularExpression y(QStringLiteral("Absolute upper-left Y:\\s+(-?\\d+)"));
    return QPoint(x.match(text).captured(1).toInt(), y.match(text).captured(1).toInt());
  }

  // Where the general pane's Export button sits inside the preferences window: the same window laid
  // out in this process, on the same screen, with the same style and fonts.
  QPoint exportButtonOffset() {
    auto* controller = ZKWindowController::controller<PMMainWindowController>();
    controller->selectModuleAtRow(PMMainWindowController::PreferencesRow);
    controller->actuallyShowWindow();
    QWidget* window = controller->window();
    runUntil([&] { return window->isVisible(); }, 5);
    runFor(0.3);
    auto* general = dynamic_cast<WIPreferencesModule*>(
        controller->modules().at(static_cast<std::size_t>(PMMainWindowController::PreferencesRow)));
    QPoint offset;
    if (general) {
      QPushButton* button = general->form()->exportButton;
      offset = button->mapTo(window, button->rect().center());
    }
    window->close();
    controller->deleteLater();
    runFor(0.2);
    return offset;
  }

  void clickAt(QPoint point) {
    tool({QStringLiteral("mousemove"), QString::number(point.x()), QString::number(point.y()),
          QStringLiteral("click"), QStringLiteral("1")});
  }

  // The program's tray icon: its small window embedded in the tray.
  void clickTrayIcon(int button = 1) {
    const auto ids = tool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                           QString::number(program.processId())})
                         .split('\n', Qt::SkipEmptyParts);
    static const QRegularExpression place(QStringLiteral("Position: (\\d+),(\\d+).*Geometry: (\\d+)x(\\d+)"),
                                          QRegularExpression::DotMatchesEverythingOption);
    for (const auto& id : ids) {
      const auto match = place.match(tool({QStringLiteral("getwindowgeometry"), id}));
      if (!match.hasMatch() || match.captured(3).toInt() > 64 || match.captured(4).toInt() > 64) continue;
      const int x = match.captured(1).toInt() + match.captured(3).toInt() / 2;
      const int y = match.captured(2).toInt() + match.captured(4).toInt() / 2;
      tool({QStringLiteral("mousemove"), QString::number(x), QString::number(y), QStringLiteral("click"),
            QString::number(button)});
      return;
    }
    ADD_FAILURE() << "the tray icon was not found";
  }

  fs::path supportFolder() const { return root() / "data" / "com.quorvane.dashboard"; }

  std::optional<nlohmann::json> output() const {
    std::ifstream file(supportFolder() / "output.json");
    if (!file) return std::nullopt;
    auto json = nlohmann::json::parse(file, nullptr, false);
    if (json.is_discarded()) return std::nullopt;
    return json;
  }

  bool someModuleSucceeded() const {
    auto json = output();
    if (!json || !json->is_array()) return false;
    for (const auto& group : *json) {
      for (const auto& module : group.value("modules", nlohmann::json::array())) {
        if (module.value("success", false) && module.contains("result")) return true;
      }
    }
    return false;
  }

  void screenshot(const std::string& name) {
    runFor(0.4);
    qvtesting::saveScreenshot("application-xvfb", name);
  }

  QProcess program;
  QProcess second;

 private:
  QFont originalFont_;
};

TEST_F(XvfbApplicationTest, TheProgramStartsInTheTrayRunsItsModulesInstallsAHandedPackageAndSavesOnTerm) {
  // A fresh home: the first launch imports the built-in default data and shows the dashboard.
  ASSERT_TRUE(runUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5));
  start(program, {});
  ASSERT_TRUE(runUntil([&] { return visibleWindowsOfProgram() > 0; }, 20)) << "the dashboard did not appear";
  ASSERT_TRUE(runUntil([&] { return someModuleSucceeded(); }, 20)) << "no built-in module's result came";
  screenshot("1-first-start");

  // The tray icon toggles the dashboard.
  clickTrayIcon();
  EXPECT_TRUE(runUntil([&] { return visibleWindowsOfProgram() == 0; }, 5));
  screenshot("2-tray-click-hides");
  runFor(0.6);
  clickTrayIcon();
  EXPECT_TRUE(runUntil([&] { return visibleWindowsOfProgram() > 0; }, 5));
  screenshot("3-tray-click-shows");

  // A second start with a package path hands it over and exits; the running one asks, then installs.
  const fs::path package = root() / "downloads" / "Minimal.quorvanemodule";
  fs::create_directories(package.parent_path());
  fs::copy(fs::path(QV_ENGINE_FIXTURES) / "packages" / "Minimal.quorvanemodule", package,
           fs::copy_options::recursive);
  start(second, {QString::fromStdString(package.string())});
  ASSERT_TRUE(second.waitForFinished(20000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  runFor(1.0);
  screenshot("4-install-question");
  tool({QStringLiteral("key"), QStringLiteral("Return")});
  const fs::path installed = supportFolder() / "Modules" / "Minimal.quorvanemodule";
  EXPECT_TRUE(runUntil([&] { return fs::exists(installed / "package.json"); }, 10))
      << "the package was not installed";
  screenshot("5-installed");

  // The preferences open from the tray icon's menu (its sixth entry), on the general pane.
  clickTrayIcon(3);
  runFor(0.6);
  screenshot("6-tray-menu");
  for (int i = 0; i < 5; ++i) tool({QStringLiteral("key"), QStringLiteral("Down")});
  tool({QStringLiteral("key"), QStringLiteral("Return")});
  QString preferences;
  ASSERT_TRUE(
      runUntil([&] { return !(preferences = windowNamed(QStringLiteral("Preferences"))).isEmpty(); }, 10))
      << "the preferences did not open";
  screenshot("7-preferences");

  // A backup is exported from the general pane into the folder typed in the folder dialog; unzip
  // reads it back whole.
  const QPoint exportAt = windowOrigin(preferences) + exportButtonOffset();
  const fs::path backups = root() / "backups";
  fs::create_directories(backups);
  clickAt(exportAt);
  ASSERT_TRUE(runUntil(
      [&] { return !windowNamed(QStringLiteral("Select the directory you want to export to.")).isEmpty(); },
      10))
      << "the folder dialog did not open";
  runFor(0.5);
  tool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"),
        QString::fromStdString(backups.string())});
  screenshot("8-export-folder");
  tool({QStringLiteral("key"), QStringLiteral("Return")});
  const fs::path backup = backups / "Quorvane Dashboard Export.dashboardexport";
  ASSERT_TRUE(runUntil([&] { return fs::exists(backup); }, 15)) << "no backup was written";
  runFor(1.0);
  screenshot("9-export-complete");
  tool({QStringLiteral("key"), QStringLiteral("Escape")});
  QProcess unzip;
  unzip.start(QStringLiteral("unzip"), {QStringLiteral("-t"), QString::fromStdString(backup.string())});
  ASSERT_TRUE(unzip.waitForFinished(10000));
  EXPECT_EQ(unzip.exitCode(), 0);
  EXPECT_TRUE(unzip.readAllStandardOutput().contains("Modules.plist")) << "the groups are not in the backup";

  // SIGTERM ends the program through its loop: the groups archive and the output are written.
  const auto archive = supportFolder() / "Modules.plist";
  std::error_code ignored;
  fs::remove(archive, ignored);
  fs::remove(supportFolder() / "output.json", ignored);
  ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
  ASSERT_TRUE(program.waitForFinished(10000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_TRUE(fs::exists(archive)) << "the groups were not saved";
  EXPECT_TRUE(output().has_value()) << "output.json was not written";

  // A kill during start-up leaves the stored files whole: the start after it works.
  start(program, {});
  runFor(0.3);
  ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
  ASSERT_TRUE(program.waitForFinished(5000));
  fs::remove(supportFolder() / "output.json", ignored);

  // The next start finds the saved groups and the installed package.
  start(program, {});
  ASSERT_TRUE(runUntil([&] { return visibleWindowsOfProgram() > 0; }, 20));
  EXPECT_TRUE(runUntil([&] { return someModuleSucceeded(); }, 20)) << "no result after the kill";
  screenshot("10-next-start");
  ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
  ASSERT_TRUE(program.waitForFinished(10000));
  EXPECT_EQ(program.exitCode(), 0);
}

}  // namespace
