// The browser client in headless Chromium against the real sharing helper: it shows the engine's
// modules, follows a result change, and finds the server again after it went away; groups without a
// colour have no bar, cards share the window's width and long results wrap before they are cut.
// Screenshots of each step are kept under <build>/test-artefacts/web-client.

#include <gtest/gtest.h>

#include <sstream>

#include "httpserver/dashboard/tests/DashboardTestSupport.h"
#include "testing/TreePaths.h"

using namespace dashboardtest;

namespace {

std::optional<std::string> findChromium() {
  for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/bin/google-chrome"}) {
    if (::access(candidate, X_OK) == 0) return std::string(candidate);
  }
  return std::nullopt;
}

// The page's view of one step, from the script's output line "<STEP> <json>".
std::optional<nlohmann::json> step(const std::string& output, const std::string& name) {
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with(name + " "))
      return nlohmann::json::parse(line.substr(name.size() + 1), nullptr, false);
  }
  return std::nullopt;
}

// Listens on the port while the server is away, and turns away the first client that tries it, so
// the page surely meets a missing server before the server comes back.
bool refuseOneConnection(std::uint16_t port,
                         const std::function<bool(const std::function<bool()>&)>& runUntil) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener, 4) == 0;
  int client = -1;
  if (ok) {
    ok = runUntil([&] {
      client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      return client >= 0;
    });
  }
  if (client >= 0) {
    linger reset{1, 0};  // close with a reset: the request fails at once
    ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(client);
  }
  ::close(listener);
  return ok;
}

}  // namespace

class WebClientTest : public DashboardTest {
 protected:
  // Result texts: one that needs a second line in a card of a two-column window, and one that two
  // lines cannot hold (and that is no markup, however it looks).
  static constexpr const char* kTwoLines = "1.08 $ · up 0.4 % since the market opened this morning";
  static constexpr const char* kLong =
      "<b>a result text that is far too long to fit on one line of the card, nor on two of them: it "
      "goes on about the weather, the markets, the disks and the backups of every machine in the "
      "house until the card gives up</b>";
};

TEST_F(WebClientTest, ShowsTheDashboardFollowsChangesAndRecovers) {
  auto chromium = findChromium();
  if (!chromium) GTEST_SKIP() << "Chromium is not installed (Debian package chromium)";

  // Names a person would give, a module still updating, and a third group of results with links.
  minimal->setName("Temperature");
  deskModule->setName("Disk space");
  manager->groups()[1]->setEmoji("💻");
  manager->groups()[1]->addModule(builtIn(*manager, "com.example.minimal"));
  auto updating = manager->groups()[1]->modules().back();
  updating->setName("Backup check");
  updating->setIsUpdating(true);
  auto markets = QVDashboardGroup::groupWithName("Markets");
  markets->setEmoji("📈");
  markets->setColor(platform::Color::colorWithDeviceRed(0.12, 0.64, 0.39, 1.0));
  for (const char* name : {"Bitcoin", "Euro", "Long"}) {
    markets->addModule(builtIn(*manager, "com.example.minimal"));
    markets->modules().back()->setName(name);
  }
  manager->addGroup(markets);
  setResult(markets->modules()[0], true, "$97,310",
            nlohmann::json{{"color", "1FA463"}, {"onclick", "https://example.org/btc"}});
  setResult(markets->modules()[1], true, kTwoLines, nlohmann::json{{"onclick", "javascript:alert(1)"}});
  setResult(markets->modules()[2], true, kLong);
  // A new group keeps its default colour, which is clear: no colour at all.
  auto plain = QVDashboardGroup::groupWithName("Plain");
  plain->setEmoji(std::nullopt);
  plain->addModule(builtIn(*manager, "com.example.minimal"));
  plain->modules().back()->setName("Clock");
  manager->addGroup(plain);
  setResult(plain->modules().back(), true, "Thu 10 Dec 2026 · 17:42:10");
  waitForOutput();

  // The server comes back on its port below: one no outgoing connection can take meanwhile.
  for (unsigned attempt = 0; attempt < 64 && !helper->enabled(); ++attempt) {
    QVServerSettings::setServerPort(httptest::quietPort(attempt));
    helper->start();
  }
  ASSERT_TRUE(helper->enabled());
  const std::uint16_t serverPort = port();
  const fs::path artefacts = fs::path(QV_DASHBOARD_ARTEFACTS) / "web-client";
  fs::remove_all(artefacts);
  fs::create_directories(artefacts);
  auto seen = [&](const char* step) { return fs::exists(artefacts / (std::string(step) + ".json")); };

  auto script = std::async(std::launch::async, [&] {
    return httptest::runCommand({"python3", (fs::path(QV_DASHBOARD_TESTS) / "web_client_check.py").string(),
                                 "--chromium", *chromium, "--url", url("/"), "--profile",
                                 (root() / "chromium-profile").string(), "--screenshots", artefacts.string(),
                                 "--changed", "22 °C", "--recovered", "Back again"});
  });
  auto scriptDone = [&] { return ready(script); };

  // The page has shown the dashboard, and waits for a change.
  ASSERT_TRUE(
      runUntil([&] { return (seen("initial") && helper->waitingRequestCount() >= 1) || scriptDone(); }, 60));
  setResult(minimal, true, "22 °C",
            nlohmann::json{{"color", "#3366FF"}, {"onclick", "https://example.org/w"}});
  ASSERT_TRUE(runUntil([&] { return seen("changed") || scriptDone(); }, 30));

  // The server goes away (its waits are answered), the page finds nobody there, and the server
  // comes back on the same port.
  helper->stop();
  ASSERT_TRUE(refuseOneConnection(serverPort, [&](const std::function<bool()>& done) {
    return runUntil([&] { return done() || scriptDone(); }, 30);
  }));
  QVServerSettings::setServerPort(serverPort);
  helper->start();
  ASSERT_TRUE(helper->enabled());
  ASSERT_TRUE(runUntil([&] { return helper->waitingRequestCount() >= 1 || scriptDone(); }, 60));
  setResult(deskModule, true, "Back again");

  // Once the dark picture is taken, one group is left on the dashboard.
  ASSERT_TRUE(runUntil([&] { return seen("dark") || scriptDone(); }, 60));
  for (const auto& group : manager->groups()) {
    if (group != markets) manager->removeGroup(group);
  }

  ASSERT_TRUE(runUntil(scriptDone, 60));
  auto result = script.get();
  ASSERT_EQ(result.exitCode, 0) << result.output << result.errors;

  auto initial = step(result.output, "INITIAL");
  ASSERT_TRUE(initial && initial->is_object()) << result.output;
  const auto& groups = (*initial)["groups"];
  ASSERT_EQ(groups.size(), 4u);
  EXPECT_EQ(groups[0]["emoji"], "🌤");
  EXPECT_EQ(groups[0]["name"], "Outside");
  EXPECT_EQ(groups[0]["color"], "#FF8000");
  EXPECT_EQ(groups[1]["name"], "Desk");
  EXPECT_EQ(groups[1]["emoji"], "💻");
  // Coloured groups have their bar; groups without a colour, or with the clear one, none at all.
  EXPECT_EQ(groups[0]["barColor"], "rgb(255, 128, 0)");
  EXPECT_EQ(groups[2]["barColor"], "rgb(31, 163, 99)");
  EXPECT_EQ(groups[1]["barColor"], "rgba(0, 0, 0, 0)");
  EXPECT_EQ(groups[3]["name"], "Plain");
  EXPECT_EQ(groups[3]["color"], "");
  EXPECT_EQ(groups[3]["barColor"], "rgba(0, 0, 0, 0)");
  // Two columns share the whole width of the window.
  const double board = (*initial)["boardWidth"];
  EXPECT_NEAR(groups[0]["width"].get<double>() + groups[1]["width"].get<double>() + 20, board, 2);
  const auto& clock = groups[3]["modules"][0];
  EXPECT_EQ(clock["text"], "Thu 10 Dec 2026 · 17:42:10");
  EXPECT_EQ(clock["lines"], 1);
  EXPECT_FALSE(clock["cut"]) << clock;
  const auto& outside = groups[0]["modules"];
  ASSERT_EQ(outside.size(), 2u);
  EXPECT_EQ(outside[0]["name"], "Weather");
  EXPECT_EQ(outside[0]["state"], "setup");
  EXPECT_EQ(outside[1]["state"], "success");
  EXPECT_EQ(outside[1]["text"], "21 °C");
  EXPECT_EQ(outside[1]["color"], "rgb(51, 102, 255)");
  EXPECT_EQ(outside[1]["href"], "https://example.org/w");
  const auto& desk = groups[1]["modules"];
  ASSERT_EQ(desk.size(), 2u);
  EXPECT_EQ(desk[0]["state"], "failure");
  EXPECT_EQ(desk[1]["name"], "Backup check");
  EXPECT_EQ(desk[1]["state"], "updating");
  const auto& market = groups[2]["modules"];
  ASSERT_EQ(market.size(), 3u);
  EXPECT_EQ(market[0]["href"], "https://example.org/btc");
  EXPECT_EQ(market[0]["color"], "rgb(31, 164, 99)");
  // Click targets that are not web or mail addresses are no links; texts are never markup.
  EXPECT_EQ(market[1]["href"], nullptr);
  // A result too long for one line takes a second one; one too long for two is cut there, and the
  // whole text is in its tooltip.
  EXPECT_EQ(market[1]["lines"], 2) << market[1];
  EXPECT_FALSE(market[1]["cut"]) << market[1];
  EXPECT_EQ(market[1]["title"], kTwoLines);
  EXPECT_EQ(market[2]["text"], kLong);
  EXPECT_EQ(market[2]["lines"], 2) << market[2];
  EXPECT_TRUE(market[2]["cut"]) << market[2];
  EXPECT_EQ(market[2]["title"], kLong);
  EXPECT_GT(market[2]["width"].get<double>(), groups[2]["width"].get<double>() / 2);

  auto changed = step(result.output, "CHANGED");
  ASSERT_TRUE(changed);
  EXPECT_EQ((*changed)["groups"][0]["modules"][1]["text"], "22 °C");
  auto recovered = step(result.output, "RECOVERED");
  ASSERT_TRUE(recovered);
  EXPECT_GE((*recovered)["reconnects"], 1);
  EXPECT_EQ((*recovered)["groups"][1]["modules"][0]["state"], "success");
  // A dashboard of one group: its card takes the whole width.
  auto single = step(result.output, "SINGLE");
  ASSERT_TRUE(single);
  ASSERT_EQ((*single)["groups"].size(), 1u);
  EXPECT_NEAR((*single)["groups"][0]["width"].get<double>(), (*single)["boardWidth"].get<double>(), 2);
  EXPECT_EQ((*single)["groups"][0]["modules"][1]["lines"], 1) << (*single)["groups"][0]["modules"][1];
  for (const char* picture : {"initial.png", "changed.png", "recovered.png", "dark.png", "single.png"}) {
    EXPECT_GT(fs::file_size(artefacts / picture), 1000u) << picture;
  }
}
