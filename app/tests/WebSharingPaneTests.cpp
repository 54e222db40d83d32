#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "PreferencesTestSupport.h"
#include "app/QVServerPreferencesController.h"
#include "engine/QVDashboardModuleManager.h"
#include "ui_QVServerPreferencesController.h"

namespace {

// A TCP socket listening on every IPv4 address at a port the kernel picks; closed when dropped.
class WebSharingListener {
 public:
  WebSharingListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 4) != 0)
      return;
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~WebSharingListener() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class WebSharingPaneTest : public preferencestesting::PreferencesTest {
 protected:
  void SetUp() override {
    PreferencesTest::SetUp();
    helper = QVServerHelper::make(QVDashboardModuleManager::make(), std::nullopt);
    openWindow(PMMainWindowController::ModuleConfigRow);
    sharing = pane<QVServerPreferencesController>(PMMainWindowController::WebSharingRow);
    ASSERT_NE(sharing, nullptr);
    sharing->setServerHelper(helper);
    controller->selectModuleAtRow(PMMainWindowController::WebSharingRow);
    form = sharing->form();
  }
  void TearDown() override {
    helper->stop();
    PreferencesTest::TearDown();
  }

  // A port nobody listens on now.
  static int freePort() {
    WebSharingListener listener;
    return listener.port();
  }

  void typePortAndEnable(const QString& text) {
    form->serverPortTextField->setText(text);
    form->enableButton->click();
  }

  QVServerHelper::Pointer helper;
  QVServerPreferencesController* sharing = nullptr;
  Ui::QVServerPreferencesController* form = nullptr;
};

TEST_F(WebSharingPaneTest, OnlyPortsFromOneTo65535AreAccepted) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> port;
  };
  const std::vector<Case> cases{{"8080", 8080},          {" 1 ", 1},
                                {"65535", 65535},        {"0", std::nullopt},
                                {"65536", std::nullopt}, {"70000", std::nullopt},
                                {"-1", std::nullopt},    {"abc", std::nullopt},
                                {"", std::nullopt},      {"80 80", std::nullopt},
                                {"8.5", std::nullopt},   {"+80", std::nullopt},
                                {"٨٠", std::nullopt},    {"99999999999999999999", std::nullopt}};
  for (const auto& c : cases) {
    EXPECT_EQ(QVServerPreferencesController::portFromText(QString::fromUtf8(c.text)), c.port) << c.text;
  }

  // Through the pane: every refused text shows the alert and stores nothing.
  defaults()->setServerPort(9123);
  std::size_t shown = 0;
  for (const auto& c : cases) {
    if (c.port) continue;
    SCOPED_TRACE(c.text);
    typePortAndEnable(QString::fromUtf8(c.text));
    ASSERT_TRUE(runUntil([&] { return alerts->presented().size() == shown + 1; }));
    EXPECT_EQ(alerts->presented()[shown]->alert->messageText, QStringLiteral("Invalid port"));
    ++shown;
    EXPECT_EQ(defaults()->serverPort(), 9123);
    EXPECT_FALSE(defaults()->serverEnabled());
    EXPECT_FALSE(helper->enabled());
    EXPECT_EQ(sharing->currentView(), form->disabledView);
  }
}

TEST_F(WebSharingPaneTest, SharingStartsShowsItsAddressAndStopsAgain) {
  const int port = freePort();
  ASSERT_GT(port, 0);
  typePortAndEnable(QString::number(port));
  ASSERT_TRUE(helper->enabled());
  EXPECT_TRUE(defaults()->serverEnabled());
  EXPECT_EQ(defaults()->serverPort(), port);
  EXPECT_EQ(sharing->currentView(), form->enableView);
  EXPECT_TRUE(form->enableView->isVisible());
  EXPECT_FALSE(form->disabledView->isVisible());
  const QString url = QString::fromStdString(helper->serverURL().value());
  EXPECT_TRUE(url.endsWith(QStringLiteral(":%1/").arg(port))) << url.toStdString();
  EXPECT_TRUE(form->hostTextField->text().contains(url));
  qvtesting::saveGrab(controller->window(), "preferences", "web-sharing-running");

  form->openButton->click();
  ASSERT_EQ(desktop->openedURLs.size(), 1u);
  EXPECT_EQ(desktop->openedURLs[0].toString(), url);

  form->disableButton->click();
  EXPECT_FALSE(helper->enabled());
  EXPECT_FALSE(defaults()->serverEnabled());
  EXPECT_EQ(sharing->currentView(), form->disabledView);
  EXPECT_EQ(form->serverPortTextField->text(), QString::number(port));

  // Started again on the same port: the same address.
  form->enableButton->click();
  ASSERT_TRUE(helper->enabled());
  EXPECT_EQ(QString::fromStdString(helper->serverURL().value()), url);
  EXPECT_TRUE(alerts->presented().empty());
}

TEST_F(WebSharingPaneTest, ABusyPortShowsTheAlertAndLeavesSharingOff) {
  WebSharingListener busy;
  ASSERT_GT(busy.port(), 0);
  typePortAndEnable(QString::number(busy.port()));
  ASSERT_TRUE(runUntil([&] { return alerts->presented().size() == 1; }));
  const auto& alert = *alerts->presented()[0]->alert;
  EXPECT_EQ(alert.messageText, QStringLiteral("Could not start server"));
  // The advice, then why: the port is held.
  EXPECT_EQ(alert.informativeText,
            QStringLiteral("Please make sure the selected port is available and try again\n\n"
                           "Port %1 is already in use by another program.")
                .arg(busy.port()));
  EXPECT_FALSE(helper->enabled());
  EXPECT_FALSE(defaults()->serverEnabled());
  // The pane says it too, under the port field.
  EXPECT_FALSE(form->failureLabel->isHidden());
  EXPECT_EQ(form->failureLabel->text(),
            QStringLiteral("Sharing could not start. Port %1 is already in use by another program.")
                .arg(busy.port()));
  // The port that was tried stays stored and shows the next time the pane refreshes.
  EXPECT_EQ(defaults()->serverPort(), busy.port());
  sharing->updateUI();
  EXPECT_EQ(form->serverPortTextField->text(), QString::number(busy.port()));
  EXPECT_EQ(sharing->currentView(), form->disabledView);
}

TEST_F(WebSharingPaneTest, SharingSwitchedOnButNotRunningShowsThePort) {
  defaults()->setServerEnabled(true);
  defaults()->setServerPort(8181);
  sharing->updateUI();
  EXPECT_EQ(sharing->currentView(), form->disabledView);
  EXPECT_EQ(form->serverPortTextField->text(), QStringLiteral("8181"));
  // Nothing was tried: no reason is shown.
  EXPECT_TRUE(form->failureLabel->isHidden());

  // Tried at launch on a held port: the pane shows the port and why sharing is off.
  {
    WebSharingListener busy;
    defaults()->setServerPort(busy.port());
    helper->startIfNeeded();
    ASSERT_FALSE(helper->enabled());
  }
  sharing->updateUI();
  EXPECT_EQ(sharing->currentView(), form->disabledView);
  EXPECT_FALSE(form->failureLabel->isHidden());
  EXPECT_TRUE(form->failureLabel->text().contains(QStringLiteral("is already in use by another program")))
      << form->failureLabel->text().toStdString();
  qvtesting::saveGrab(controller->window(), "preferences", "web-sharing-failed-at-launch");
  // Stopped, the reason goes with the failed server.
  helper->stop();
  sharing->updateUI();
  EXPECT_TRUE(form->failureLabel->isHidden());

  form->helpButton->click();
  ASSERT_EQ(desktop->openedURLs.size(), 1u);
  EXPECT_EQ(desktop->openedURLs[0].toString(), QString::fromLatin1(QVServerPreferencesController::kHelpURL));
}

}  // namespace
