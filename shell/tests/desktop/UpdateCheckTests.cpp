#include <gtest/gtest.h>

#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <map>

#include "httpserver/WebServer.h"
#include "httpserver/WebServerDataResponse.h"
#include "httpserver/WebServerRequest.h"
#include "platform/Bundle.h"
#include "platform/DynamicLibrary.h"
#include "platform/desktop/testing/GuiTest.h"
#include "platform/desktop/testing/RecordingDesktopServices.h"
#include "shell/QVUserDefaults.h"
#include "shell/ZKStoreHelper.h"
#include "shell/ZKUpdateChecker.h"
#include "testing/Sandbox.h"

namespace {

// The update feed of the tests: one path per kind of feed, on loopback.
class FeedServer {
 public:
  FeedServer() : server_(WebServer::make()) {}
  ~FeedServer() { server_->stop(); }
  void serve(const std::string& path, std::string body, int status = 200) {
    server_->addHandlerForMethod(
        "GET", path, WebServerRequestClassOf<WebServerRequest>(),
        WebServerProcessBlock([body, status](const std::shared_ptr<WebServerRequest>&) {
          auto response = WebServerDataResponse::responseWithData(platform::Data(body.begin(), body.end()),
                                                                  "application/json");
          response->setStatusCode(status);
          return std::static_pointer_cast<WebServerResponse>(response);
        }));
  }
  bool start() {
    return server_->startWithOptions(
        WebServerOptions({{WebServerOption_Port, 0}, {WebServerOption_BindToLocalhost, true}}));
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_->port()) + path;
  }

 private:
  std::shared_ptr<WebServer> server_;
};

using Status = QVUpdateCheckResult::Status;

class UpdateCheckTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    QVUserDefaults::setStandardUserDefaults(
        QVUserDefaults::make(platform::SettingsStore::inMemoryStore(), nullptr));
    desktop = std::make_shared<qvtesting::RecordingDesktopServices>();
    platform::DesktopServices::setShared(desktop);
  }
  void TearDown() override {
    platform::DesktopServices::setShared(nullptr);
    GuiTest::TearDown();
    QVUserDefaults::setStandardUserDefaults(nullptr);
  }
  std::shared_ptr<qvtesting::RecordingDesktopServices> desktop;
};

TEST_F(UpdateCheckTest, TheFeedDecidesOnlyWhenItCanBeReadAndIsNewer) {
  const std::string current = platform::Bundle::shortVersionString();
  FeedServer feed;
  feed.serve("/newer",
             R"({"version": "99.0", "downloadURL": "https://example.org/get", "notes": "Faster."})");
  feed.serve("/same", R"({"version": ")" + current + R"("})");
  feed.serve("/older", R"({"version": "0.9.9"})");
  feed.serve("/malformed", R"({"version": "99.0")");
  feed.serve("/not-a-version", R"({"version": "99.0-beta"})");
  feed.serve("/number", R"({"version": 99})");
  feed.serve("/array", R"(["99.0"])");
  feed.serve("/oversized", R"({"version": "99.0", "notes": ")" + std::string(2 * 1024 * 1024, 'x') + R"("})");
  feed.serve("/gone", R"({"version": "99.0"})", 404);
  ASSERT_TRUE(feed.start());
  struct Case {
    const char* path;
    Status status;
    bool logged;  // a feed that cannot be read leaves a line
  };
  const Case cases[] = {
      {"/newer", Status::UpdateAvailable, false}, {"/same", Status::UpToDate, false},
      {"/older", Status::UpToDate, false},        {"/malformed", Status::UpToDate, true},
      {"/not-a-version", Status::UpToDate, true}, {"/number", Status::UpToDate, true},
      {"/array", Status::UpToDate, true},         {"/oversized", Status::UpToDate, true},
      {"/gone", Status::Failed, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    qvtesting::LogCapture log;
    const QVUpdateCheckResult result = QVUpdateFeed::check(feed.url(c.path), current, 10);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(log.contains("Update feed could not be read"), c.logged);
  }
  const auto newer = QVUpdateFeed::check(feed.url("/newer"), current, 10);
  ASSERT_TRUE(newer.item);
  EXPECT_EQ(newer.item->downloadURL, "https://example.org/get");
  EXPECT_EQ(newer.item->notes, "Faster.");
  // Nobody listening: the check fails, it does not say "up to date".
  EXPECT_EQ(QVUpdateFeed::check("http://127.0.0.1:9/feed", current, 5).status, Status::Failed);
}

// Where libcurl is not installed (or is too old to have a function the check calls), the check fails
// with the reason and nothing is asked of the server.
TEST_F(UpdateCheckTest, WithoutLibcurlTheCheckFailsAndSaysWhy) {
  FeedServer feed;
  feed.serve("/newer", R"({"version": "99.0"})");
  ASSERT_TRUE(feed.start());
  const struct {
    const char* replacement;
    const char* reason;
  } cases[] = {
      {"libqv-absent-curl.so.4", "Could not load libqv-absent-curl.so.4"},
      {"libz.so.1", "Could not find curl_global_init in libz.so.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.replacement);
    platform::DynamicLibrarySubstitution substitution("libcurl.so.4", c.replacement);
    const QVUpdateCheckResult result = QVUpdateFeed::check(feed.url("/newer"), "1.0", 10);
    EXPECT_EQ(result.status, Status::Failed);
    EXPECT_FALSE(result.item);
    EXPECT_NE(result.error.find("The update check could not start"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find(c.reason), std::string::npos) << result.error;
  }
  // With the library back, the same check reads the feed.
  EXPECT_EQ(QVUpdateFeed::check(feed.url("/newer"), "1.0", 10).status, Status::UpdateAvailable);
}

TEST_F(UpdateCheckTest, VersionsCompareByTheirNumbers) {
  const struct {
    const char* a;
    const char* b;
    std::optional<int> order;
  } cases[] = {{"1.10", "1.9", 1},         {"1.0", "1.0.0", 0},           {"2", "10", -1},
               {"1.0.1", "1.0", 1},        {"1..0", "1.0", std::nullopt}, {"", "1", std::nullopt},
               {"1.a", "1", std::nullopt}, {"-1", "1", std::nullopt}};
  for (const auto& c : cases)
    EXPECT_EQ(QVUpdateFeed::compareVersions(c.a, c.b), c.order) << c.a << " vs " << c.b;
}

TEST_F(UpdateCheckTest, IdentifiersAreWrittenInGroupsOfEightFourFourFourTwelve) {
  EXPECT_EQ(ZKStoreHelper::formattedUUIDWithString(std::string("abcdefghijklmnopqrstuvwxyz012345")),
            std::optional<std::string>("abcdefgh-ijkl-mnop-qrst-uvwxyz012345"));
  EXPECT_EQ(ZKStoreHelper::formattedUUIDWithString(std::string("already-dashed")),
            std::optional<std::string>("already-dashed"));
  EXPECT_EQ(ZKStoreHelper::formattedUUIDWithString(std::string(31, 'a')), std::nullopt);
  EXPECT_EQ(ZKStoreHelper::formattedUUIDWithString(std::nullopt), std::nullopt);
}

TEST_F(UpdateCheckTest, TheResultWindowIsASoftwareUpdateWindowThatLinksToTheDownloadPage) {
  FeedServer feed;
  feed.serve("/newer", R"({"version": "99.0", "downloadURL": "https://example.org/get%20it"})");
  feed.serve("/same", R"({"version": "0.0.1"})");
  ASSERT_TRUE(feed.start());
  ZKUpdateChecker helper;
  EXPECT_FALSE(helper.updaterShouldPromptForPermissionToCheckForUpdates());
  helper.configureUpdaterWithURL(feed.url("/newer"));
  EXPECT_EQ(helper.feedURL(), feed.url("/newer"));
  EXPECT_TRUE(helper.automaticallyChecksForUpdates());
  helper.checkForUpdates();
  ASSERT_TRUE(runUntil([&] { return helper.resultWindow() && !helper.isChecking(); }));
  QWidget* window = helper.resultWindow();
  EXPECT_TRUE(window->windowTitle().startsWith(QStringLiteral("Software Update")));
  qvtesting::saveGrab(window, "app-updates", "update-available");
  QPushButton* open = nullptr;
  for (auto* button : window->findChildren<QPushButton*>())
    if (button->text() == QStringLiteral("Open Download Page")) open = button;
  ASSERT_NE(open, nullptr);
  open->click();
  ASSERT_EQ(desktop->openedURLs.size(), 1u);
  EXPECT_EQ(desktop->openedURLs[0].toString(QUrl::FullyEncoded),
            QStringLiteral("https://example.org/get%20it"));
  // Nothing newer: the user who asked hears so.
  QVUserDefaults::standardUserDefaults()->userDefaults().registerDefaults(
      {{kZKUpdateFeedURLKey, platform::PropertyList(feed.url("/same"))}});
  helper.checkForUpdates();
  ASSERT_TRUE(runUntil(
      [&] { return helper.resultWindow() && helper.resultWindow() != window && !helper.isChecking(); }));
  bool upToDate = false;
  for (auto* label : helper.resultWindow()->findChildren<QLabel*>())
    upToDate = upToDate || label->text() == QStringLiteral("You're up to date!");
  EXPECT_TRUE(upToDate);
  qvtesting::saveGrab(helper.resultWindow(), "app-updates", "up-to-date");
  helper.sendFeedback();
  EXPECT_EQ(desktop->openedURLs.size(), 2u);
}

TEST_F(UpdateCheckTest, AQuietCheckShowsAWindowOnlyForAnUpdate) {
  ZKUpdateChecker helper;
  QVUpdateCheckResult nothing;
  helper.showResult(nothing, false);
  EXPECT_EQ(helper.resultWindow(), nullptr);
  QVUpdateCheckResult update;
  update.status = Status::UpdateAvailable;
  update.item = QVUpdateItem{"99.0", "javascript:alert(1)", ""};
  helper.showResult(update, false);
  ASSERT_NE(helper.resultWindow(), nullptr);
  // A link that is not a web page is replaced by the product's download page.
  for (auto* button : helper.resultWindow()->findChildren<QPushButton*>())
    if (button->text() == QStringLiteral("Open Download Page")) button->click();
  ASSERT_EQ(desktop->openedURLs.size(), 1u);
  EXPECT_EQ(desktop->openedURLs[0].scheme(), QStringLiteral("https"));
}

}  // namespace
