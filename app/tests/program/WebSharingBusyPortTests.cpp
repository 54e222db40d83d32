// A web sharing port that another program holds is reported at once: at start-up when sharing was
// left on, and when the user switches sharing on in the Web Sharing pane. The program says so in an
// alert and in its output, where scripts/run reads it and stops waiting for the dashboard.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtWidgets/QListWidget>
#include <QtWidgets/QPushButton>
#include <string>

#include "app/PMMainWindowController.h"
#include "app/QVServerPreferencesController.h"
#include "app/tests/program/ProgramTest.h"
#include "httpserver/dashboard/QVServerSettings.h"
#include "testing/TreePaths.h"
#include "ui_QVServerPreferencesController.h"

namespace {

namespace fs = std::filesystem;
using qvprogram::ProgramTest;

// A TCP socket listening on the loopback address at a port the kernel picks: a port that another
// program holds. Closed when dropped.
class HeldLoopbackPort {
 public:
  HeldLoopbackPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 4) != 0)
      return;
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~HeldLoopbackPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  HeldLoopbackPort(const HeldLoopbackPort&) = delete;
  HeldLoopbackPort& operator=(const HeldLoopbackPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class WebSharingBusyPortXvfbTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_GT(held.port(), 0) << "no port could be held";
  }

  // The web sharing settings the program starts with.
  static void storeSharing(bool enabled, int port) {
    auto settings = settingsFile();
    settings->setBool(enabled, QVServerSettings::kServerEnabledKey);
    settings->setInteger(port, QVServerSettings::kServerPortKey);
    ASSERT_TRUE(settings->synchronize());
  }

  // What the program says about sharing on the held port.
  std::string heldPortLine() const {
    return "Web sharing could not start: port " + std::to_string(held.port());
  }

  // Where the sidebar's row and the pane's controls sit in the preferences window: from the same
  // window laid out here, on its web sharing pane.
  struct PreferencesLayout {
    QPoint webSharingRow;
    QPoint enableButton;
  };
  PreferencesLayout preferencesLayout() {
    auto* controller = ZKWindowController::controller<PMMainWindowController>();
    controller->selectModuleAtRow(PMMainWindowController::WebSharingRow);
    controller->actuallyShowWindow();
    QWidget* window = controller->window();
    runUntil([&] { return window->isVisible(); }, 5);
    runFor(0.3);
    PreferencesLayout layout;
    QListWidget* table = controller->tableView();
    const QRect row = table->visualItemRect(table->item(PMMainWindowController::WebSharingRow));
    layout.webSharingRow = table->viewport()->mapTo(window, row.center());
    layout.enableButton = centreOf(window, "enableButton");
    window->close();
    controller->deleteLater();
    runFor(0.2);
    return layout;
  }

  // Runs scripts/await-sharing, as scripts/run does while the program starts; its exit status and
  // what it printed, or nothing when it still waits after the timeout.
  struct Waited {
    int status = -1;
    QString said;
  };
  std::optional<Waited> awaitSharing(double timeoutSeconds) {
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QString::fromUtf8(qvtesting::sourceTreePath("scripts/await-sharing")),
                 {QString::number(held.port()), QString::fromStdString(programOutputFile().string()),
                  QString::number(pid())});
    if (!script.waitForStarted(5000)) return std::nullopt;
    const bool ended = runUntil([&] { return script.state() == QProcess::NotRunning; }, timeoutSeconds);
    if (!ended) {
      script.kill();
      script.waitForFinished(5000);
      return std::nullopt;
    }
    return Waited{script.exitStatus() == QProcess::NormalExit ? script.exitCode() : -1,
                  QString::fromUtf8(script.readAll())};
  }

  HeldLoopbackPort held;
};

TEST_F(WebSharingBusyPortXvfbTest, SharingLeftOnIsReportedAtStartWhenItsPortIsHeld) {
  storeSharing(true, held.port());
  launch();
  ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 20)) << "the dashboard did not appear";
  const QString dashboard = dashboardWindow();

  // The alert comes over the dashboard as soon as sharing has failed, and the program says why.
  ASSERT_TRUE(runUntil([&] { return !alertWindow(dashboard).isEmpty(); }, 15))
      << "no alert told that sharing could not start";
  screenshot("start-alert");
  EXPECT_NE(programOutput().find(heldPortLine() + " is already in use by another program"), std::string::npos)
      << "the program did not say why sharing could not start";

  // scripts/run's wait for the dashboard ends on that at once, saying why.
  const auto waited = awaitSharing(30);
  ASSERT_TRUE(waited.has_value()) << "scripts/await-sharing still waits for a dashboard that will not come";
  EXPECT_EQ(waited->status, 1) << waited->said.toStdString();
  EXPECT_TRUE(waited->said.contains(QStringLiteral("port %1 is already in use").arg(held.port())))
      << waited->said.toStdString();

  // The alert's second button opens the Web Sharing pane, which shows sharing off and why.
  activate(alertWindow(dashboard));
  key(QStringLiteral("Tab"));
  key(QStringLiteral("space"));
  const QString preferences = waitForWindow(QStringLiteral("Web Sharing"));
  ASSERT_FALSE(preferences.isEmpty()) << "the alert did not open the Web Sharing pane";
  EXPECT_TRUE(alertWindow().isEmpty()) << "the alert is still up";
  screenshot("pane-after-failed-start");
}

TEST_F(WebSharingBusyPortXvfbTest, SwitchingSharingOnInThePaneWithAHeldPortShowsTheAlertAtOnce) {
  const PreferencesLayout layout = preferencesLayout();
  storeSharing(false, held.port());
  launchAndWaitForDashboard();

  // Preferences… from the tray icon's menu (its fifth entry), then the Web Sharing row.
  const auto before = windows().size();
  clickTrayIcon(3);
  ASSERT_TRUE(runUntil([&] { return windows().size() > before; }, 5)) << "the tray icon's menu did not open";
  runFor(0.3);
  for (int i = 0; i < 5; ++i) key(QStringLiteral("Down"));
  key(QStringLiteral("Return"));
  const QString preferences = waitForWindow(QStringLiteral("Preferences"));
  ASSERT_FALSE(preferences.isEmpty()) << "the preferences window did not open";
  clickInWindow(preferences, layout.webSharingRow);
  ASSERT_FALSE(waitForWindow(QStringLiteral("Web Sharing")).isEmpty()) << "the Web Sharing pane did not open";
  runFor(0.3);
  screenshot("pane-before");

  // Start Sharing with the held port in the field: the alert at once, and the program says why.
  clickInWindow(preferences, layout.enableButton);
  ASSERT_TRUE(runUntil([&] { return !alertWindow(preferences).isEmpty(); }, 10))
      << "no alert told that sharing could not start";
  screenshot("enable-alert");
  EXPECT_NE(programOutput().find(heldPortLine() + " is already in use by another program"), std::string::npos)
      << "the program did not say why sharing could not start";
  EXPECT_FALSE(QVServerSettings::serverEnabled(*settingsFile())) << "sharing was stored as on";

  key(QStringLiteral("Return"));
  ASSERT_TRUE(runUntil([&] { return alertWindow().isEmpty(); }, 5)) << "the alert did not close";
  screenshot("pane-after");
}

}  // namespace
