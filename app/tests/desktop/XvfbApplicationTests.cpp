// The real program on a real X server with a window manager and a tray, with a fresh home: it runs
// under scripts/xvfb-run-desktop (the CTest entry qv_app_shell_tests_xvfb) and skips elsewhere. The
// screenshots are for a person to look at.
#include <gtest/gtest.h>
#include <signal.h>

#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QSystemTrayIcon>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/desktop/testing/GuiTest.h"

namespace {

namespace fs = std::filesystem;

class XvfbApplicationTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb") || qEnvironmentVariableIsEmpty("DISPLAY")) {
      GTEST_SKIP() << "needs a real X server: run under scripts/xvfb-run-desktop";
    }
    GuiTest::SetUp();
  }
  void TearDown() override {
    for (auto* process : {&program, &second}) {
      if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
      }
    }
    GuiTest::TearDown();
  }

  void start(QProcess& process, const QStringList& arguments) {
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral(QV_APPLICATION_EXECUTABLE), arguments);
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

  // The program's tray icon: its small window embedded in the tray.
  void clickTrayIcon() {
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
            QStringLiteral("1")});
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
  fs::copy(fs::path(QV_ENGINE_FIXTURES) / "packages" / "Minimal.quorvanemodule", package, fs::copy_options::recursive);
  start(second, {QString::fromStdString(package.string())});
  ASSERT_TRUE(second.waitForFinished(20000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  runFor(1.0);
  screenshot("4-install-question");
  tool({QStringLiteral("key"), QStringLiteral("Return")});
  const fs::path installed = supportFolder() / "Modules" / "Minimal.quorvanemodule";
  EXPECT_TRUE(runUntil([&] { return fs::exists(installed / "package.json"); }, 10)) << "the package was not installed";
  screenshot("5-installed");

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
  screenshot("6-next-start");
  ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
  ASSERT_TRUE(program.waitForFinished(10000));
  EXPECT_EQ(program.exitCode(), 0);
}

}  // namespace
