// The dashboard's web sharing over real sockets: its three routes, starting and stopping on the
// settings' port, and the long poll: woken by a change, bounded by a time-out, a disconnect, a stop
// and a cap, and never holding a server thread.

#include <gtest/gtest.h>

#include <sstream>

#include "httpserver/WebServerThreadPool.h"
#include "httpserver/dashboard/tests/DashboardTestSupport.h"
#include "testing/Sandbox.h"

using namespace dashboardtest;
using httptest::HTTPResponse;

namespace {
nlohmann::ordered_json parse(const HTTPResponse& response) {
  return nlohmann::ordered_json::parse(response.body, nullptr, false);
}
}  // namespace

class QVServerHelperTest : public DashboardTest {};

TEST_F(QVServerHelperTest, NothingBeforeAStart) {
  EXPECT_FALSE(helper->enabled());
  EXPECT_FALSE(helper->serverURL());
  EXPECT_FALSE(helper->webServer());
  // Web sharing is off by default: starting if needed starts nothing.
  helper->startIfNeeded();
  EXPECT_FALSE(helper->enabled());
  QVServerSettings::setServerEnabled(true);
  helper->startIfNeeded();
  EXPECT_TRUE(helper->enabled());
}

TEST_F(QVServerHelperTest, OutputJSONInAnyLetterCaseWithQueries) {
  helper->start();
  ASSERT_TRUE(helper->enabled());
  auto expected = helper->jsonObject();
  for (const std::string path :
       {"/output.json", "/OUTPUT.json", "/Output.JSON?x=1&y", "/output.json?version=1"}) {
    auto response = curl({"-H", "Accept-Encoding: gzip", url(path)});
    EXPECT_EQ(response.status, 200) << path;
    EXPECT_EQ(response.header("Content-Type"), "application/json") << path;
    EXPECT_EQ(response.header("Cache-Control"), "no-cache");
    EXPECT_EQ(response.header("Content-Length"), std::to_string(response.body.size()));
    EXPECT_FALSE(response.has("Content-Encoding"));
    EXPECT_FALSE(response.header(QVServerHelper::kVersionHeader).empty());
    EXPECT_EQ(response.body.find('\n'), std::string::npos) << "compact JSON";
    EXPECT_EQ(parse(response), expected) << path;
  }
}

TEST_F(QVServerHelperTest, TheServedDashboard) {
  helper->start();
  auto json = parse(curl({url("/output.json")}));
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), 2u);
  // The manager's output, each coloured group with its colour.
  EXPECT_EQ(json[0]["name"], "🌤 Outside");
  EXPECT_EQ(json[0]["color"], "#FF8000");
  EXPECT_EQ(json[0]["isExpanded"], true);
  EXPECT_EQ(json[1]["name"], "Desk");
  EXPECT_FALSE(json[1].contains("color"));
  auto expectedWithoutColour = manager->jsonObject();
  json[0].erase("color");
  EXPECT_EQ(json, expectedWithoutColour);
  // A clear colour (a new group's default) is served as none, a translucent one with its alpha.
  // (A colour change alone announces nothing: the result set after it makes the output anew.)
  manager->groups()[1]->setColor(platform::Color::clearColor());
  setResult(deskModule, false, "");
  waitForOutput();
  EXPECT_FALSE(parse(curl({url("/output.json")}))[1].contains("color"));
  manager->groups()[1]->setColor(platform::Color::colorWithDeviceRed(0, 0, 1, 0.5));
  setResult(deskModule, false, "");
  waitForOutput();
  EXPECT_EQ(parse(curl({url("/output.json")}))[1]["color"], "#0000FF80");
  EXPECT_EQ(json[0]["modules"][0],
            nlohmann::ordered_json({{"name", "Weather"}, {"hasAllRequiredFields", false}}));
  const auto& minimalEntry = json[0]["modules"][1];
  EXPECT_EQ(minimalEntry["result"], "21 °C");
  EXPECT_EQ(minimalEntry["onClick"], "https://example.org/w");
  EXPECT_EQ(minimalEntry["options"]["color"], "#3366FF");
  EXPECT_EQ(json[1]["modules"][0], nlohmann::ordered_json({{"name", "Minimal"}, {"success", false}}));
}

TEST_F(QVServerHelperTest, TheWebFolder) {
  helper->start();
  auto index = curl({url("/")});
  EXPECT_EQ(index.status, 200);
  EXPECT_EQ(index.header("Content-Type"), "text/html");
  EXPECT_EQ(index.header("Cache-Control"), "no-cache");
  EXPECT_NE(index.body.find("<script src=\"app.js\"></script>"), std::string::npos);
  auto script = curl({"-H", "Range: bytes=0-9", url("/app.js")});
  EXPECT_EQ(script.status, 200) << "no byte ranges on the web folder";
  EXPECT_EQ(script.header("Content-Type"), "text/javascript");
  EXPECT_EQ(curl({url("/style.css")}).header("Content-Type"), "text/css");
  EXPECT_EQ(curl({url("/nothing.html")}).status, 404);
  EXPECT_EQ(curl({"--path-as-is", url("/../Sounds/")}).status, 404);
  EXPECT_EQ(curl({url("/%2e%2e/notification_preferences.json")}).status, 404);
  // POSTs match no route.
  EXPECT_EQ(curl({"-X", "POST", url("/output.json")}).status, 501);
  EXPECT_EQ(curl({"-X", "POST", url("/listen")}).status, 501);
}

TEST_F(QVServerHelperTest, WithoutAWebFolderOnlyTheJSONAnswers) {
  helper = QVServerHelper::make(manager, std::nullopt);
  helper->start();
  // Every other GET names nothing there is; other methods still have no route.
  for (const std::string path : {"/", "/index.html", "/app.js", "/a/b?c=d"}) {
    EXPECT_EQ(curl({url(path)}).status, 404) << path;
  }
  EXPECT_EQ(curl({"-X", "POST", url("/")}).status, 501);
  EXPECT_EQ(curl({url("/output.json")}).status, 200);
}

// The kernel's queue of connections not yet accepted, as `ss` reports it for a listening socket.
TEST_F(QVServerHelperTest, TheListeningQueueIsDeep) {
  helper->start();
  ASSERT_TRUE(helper->enabled());
  auto listing = httptest::runCommand({"ss", "-Hltn", "sport = :" + std::to_string(port())});
  ASSERT_EQ(listing.exitCode, 0) << listing.errors;
  std::istringstream lines(listing.output);
  std::string line;
  int sockets = 0;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string state, received, queue;
    fields >> state >> received >> queue;
    EXPECT_EQ(queue, std::to_string(QVServerHelper::kPendingConnections)) << line;
    ++sockets;
  }
  EXPECT_GE(sockets, 1) << listing.output;
}

TEST_F(QVServerHelperTest, PortsTakenZeroAndOutOfRange) {
  helper->start();
  ASSERT_TRUE(helper->enabled());
  std::uint16_t taken = port();
  ASSERT_NE(taken, 0);
  EXPECT_EQ(helper->serverURL(), helper->webServer()->serverURL());
  EXPECT_NE(helper->serverURL()->find(":" + std::to_string(taken) + "/"), std::string::npos);

  EXPECT_FALSE(helper->startFailureReason());

  // A second helper on the same port fails, keeps its server that did not start, and says at once
  // why (a line that scripts/await-sharing waits for).
  auto second = QVServerHelper::make(manager, std::nullopt);
  QVServerSettings::setServerPort(taken);
  {
    qvtesting::LogCapture log;
    second->start();
    const std::string reason = "port " + std::to_string(taken) + " is already in use by another program";
    EXPECT_EQ(second->startFailureReason(), reason);
    EXPECT_TRUE(log.contains("Web sharing could not start: " + reason));
  }
  EXPECT_FALSE(second->enabled());
  EXPECT_FALSE(second->serverURL());
  EXPECT_TRUE(second->webServer());
  second->stop();
  EXPECT_FALSE(second->webServer());
  EXPECT_FALSE(second->startFailureReason());

  for (std::int64_t bad : {-1, 65536, 1000000}) {
    qvtesting::LogCapture log;
    QVServerSettings::setServerPort(bad);
    second->start();
    EXPECT_FALSE(second->enabled()) << bad;
    EXPECT_EQ(second->startFailureReason(), std::to_string(bad) + " is not a TCP port");
    EXPECT_TRUE(log.contains("Web sharing could not start: " + std::to_string(bad) + " is not a TCP port"));
  }

  // Starting again gives up the earlier server first, so the same port can be taken again.
  QVServerSettings::setServerPort(taken);
  helper->start();
  EXPECT_TRUE(helper->enabled());
  EXPECT_EQ(port(), taken);
  helper->stop();
  EXPECT_FALSE(helper->enabled());
  EXPECT_FALSE(helper->serverURL());
}

TEST_F(QVServerHelperTest, TwoWaitingClientsWokenByOneChange) {
  helper->start();
  auto first = curlAsync({url("/listen")});
  auto second = curlAsync({url("/LISTEN?anything")});
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 2; }));
  EXPECT_FALSE(ready(first));
  setResult(minimal, true, "changed");
  ASSERT_TRUE(runUntil([&] { return ready(first) && ready(second); }));
  for (auto* future : {&first, &second}) {
    auto response = future->get();
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.header("Content-Type"), "application/json");
    EXPECT_EQ(parse(response)[0]["modules"][1]["result"], "changed");
  }
  EXPECT_EQ(helper->waitingRequestCount(), 0u);
}

TEST_F(QVServerHelperTest, GroupChangesWakeWaitsToo) {
  helper->start();
  auto waiting = curlAsync({url("/listen")});
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 1; }));
  manager->groups()[1]->setName("Study");
  ASSERT_TRUE(runUntil([&] { return ready(waiting); }));
  EXPECT_EQ(parse(waiting.get())[1]["name"], "Study");
}

TEST_F(QVServerHelperTest, ChangesBeforeTheRequestDoNotWakeItUnlessItsVersionIsOld) {
  helper->start();
  auto before = curl({url("/output.json")});
  std::string oldVersion = before.header(QVServerHelper::kVersionHeader);
  setResult(minimal, true, "earlier");
  waitForOutput();

  // A plain wait only hears of later changes.
  auto plain = curlAsync({url("/listen")});
  // One that tells the version it shows is answered at once with the newer dashboard.
  auto behind = curl({url("/listen?version=" + oldVersion)});
  EXPECT_EQ(behind.status, 200);
  EXPECT_EQ(parse(behind)[0]["modules"][1]["result"], "earlier");
  std::string current = behind.header(QVServerHelper::kVersionHeader);
  EXPECT_NE(current, oldVersion);
  // One that is up to date waits.
  auto upToDate = curlAsync({url("/listen?version=" + current)});
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 2; }));
  EXPECT_FALSE(ready(plain));
  setResult(minimal, true, "later");
  ASSERT_TRUE(runUntil([&] { return ready(plain) && ready(upToDate); }));
  EXPECT_EQ(parse(plain.get())[0]["modules"][1]["result"], "later");
  EXPECT_EQ(parse(upToDate.get())[0]["modules"][1]["result"], "later");
}

TEST_F(QVServerHelperTest, AWaitEndsAfterItsTimeWithTheCurrentDashboard) {
  helper->setListenTimeout(0.3);
  helper->start();
  auto waiting = curlAsync({url("/listen")});
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 1; }));
  ASSERT_TRUE(runUntil([&] { return ready(waiting); }));
  auto response = waiting.get();
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(parse(response), helper->jsonObject());
  EXPECT_EQ(helper->waitingRequestCount(), 0u);
  EXPECT_EQ(QVServerHelper::kListenTimeout, 30.0);
}

TEST_F(QVServerHelperTest, AWaitEndsWhenItsClientGoesAway) {
  helper->start();
  {
    httptest::RawClient client(port());
    ASSERT_TRUE(client.connected());
    client.send("GET /listen HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 1; }));
  }
  EXPECT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 0; }));
  EXPECT_TRUE(runUntil([&] { return helper->webServer()->activeConnections() == 0; }));
}

TEST_F(QVServerHelperTest, WaitsEndWhenTheServerStops) {
  helper->start();
  auto first = curlAsync({url("/listen")});
  auto second = curlAsync({url("/listen")});
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 2; }));
  auto server = helper->webServer();
  helper->stop();
  ASSERT_TRUE(runUntil([&] { return ready(first) && ready(second); }));
  EXPECT_EQ(first.get().status, 200);
  EXPECT_EQ(parse(second.get()), helper->jsonObject());
  EXPECT_TRUE(runUntil([&] { return server->activeConnections() == 0; }));
}

TEST_F(QVServerHelperTest, TheOldestWaitIsAnsweredWhenTheCapIsReached) {
  helper->setMaximumWaitingRequests(2);
  helper->start();
  auto oldest = curlAsync({url("/listen")});
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 1; }));
  auto middle = curlAsync({url("/listen")});
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 2; }));
  auto newest = curlAsync({url("/listen")});
  ASSERT_TRUE(runUntil([&] { return ready(oldest); }));
  EXPECT_EQ(oldest.get().status, 200);
  EXPECT_EQ(helper->waitingRequestCount(), 2u);
  EXPECT_FALSE(ready(middle));
  EXPECT_FALSE(ready(newest));
  setResult(minimal, true, "x");
  ASSERT_TRUE(runUntil([&] { return ready(middle) && ready(newest); }));
}

TEST_F(QVServerHelperTest, HeadOnListenWaitsAndSendsHeadersOnly) {
  helper->start();
  auto head = curlAsync({"-I", url("/listen")});
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 1; }));
  setResult(minimal, false, "");
  ASSERT_TRUE(runUntil([&] { return ready(head); }));
  auto response = head.get();
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.header("Content-Type"), "application/json");
  EXPECT_EQ(response.body, "");
}

TEST_F(QVServerHelperTest, WaitsHoldNoServerThread) {
  // More waits than the server has threads, and the server still answers everyone else.
  helper->start();
  const std::size_t waits = WebServerThreadPool::shared().threadCount() * 4 + 4;
  std::vector<std::unique_ptr<httptest::RawClient>> clients;
  for (std::size_t i = 0; i < waits; ++i) {
    clients.push_back(std::make_unique<httptest::RawClient>(port()));
    clients.back()->send("GET /listen HTTP/1.1\r\nHost: x\r\n\r\n");
  }
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == waits; }));
  auto response = curl({url("/output.json")});
  EXPECT_EQ(response.status, 200);
  setResult(deskModule, true, "all at once");
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() == 0; }));
  for (auto& client : clients) {
    auto answer = client->readAll(10);
    EXPECT_NE(answer.find("all at once"), std::string::npos);
  }
}
