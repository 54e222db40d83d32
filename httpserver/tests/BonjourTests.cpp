// Local service discovery: the server's Bonjour name, type and URL, its log lines and delegate call.
// The real Avahi client runs against a machine without a daemon (the failure path) and, where the
// test can start one on a private bus, against a real avahi-daemon. The outcomes no daemon here can
// produce on demand (a resolved name with a final dot, failures at each step) come from a stand-in
// service.

#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>

#include "httpserver/WebServerBonjourService.h"
#include "httpserver/tests/HTTPTestSupport.h"
#include "platform/DynamicLibrary.h"
#include "platform/Files.h"

using namespace httptest;
namespace fs = std::filesystem;

namespace {

class BonjourDelegate : public WebServerDelegate {
 public:
  void webServerDidCompleteBonjourRegistration(WebServer& server) override {
    EXPECT_TRUE(platform::MainQueue::isMainThread());
    urls.push_back(server.bonjourServerURL());
  }
  std::vector<std::optional<std::string>> urls;
};

// A stand-in service whose outcomes the test chooses.
struct ScriptedOutcomes {
  std::optional<WebServerServiceError> registrationError;
  bool resolutionStarts = true;
  std::optional<std::string> host = "quorvane-host.local.";
  std::optional<WebServerServiceError> resolutionError;
  // What the server asked for.
  std::vector<std::string> made;  // "type|name|port"
  double resolutionTimeout = 0;
};

class ScriptedService : public WebServerBonjourService {
 public:
  ScriptedService(ScriptedOutcomes* outcomes, std::string type, std::string name)
      : outcomes_(outcomes), type_(std::move(type)), name_(std::move(name)) {}
  void registerService(RegistrationCallback callback) override {
    // Reported from inside the call, as a real service may do.
    callback(outcomes_->registrationError);
  }
  bool resolveWithTimeout(double timeout, ResolutionCallback callback) override {
    outcomes_->resolutionTimeout = timeout;
    if (!outcomes_->resolutionStarts) return false;
    // And from another thread.
    std::thread([callback, host = outcomes_->resolutionError ? std::nullopt : outcomes_->host,
                 error = outcomes_->resolutionError] {
      callback(host, error);
    }).detach();
    return true;
  }
  std::string name() const override { return name_; }
  std::string type() const override { return type_; }

 private:
  ScriptedOutcomes* outcomes_;
  std::string type_;
  std::string name_;
};

}  // namespace

class BonjourTest : public ServerTest {
 protected:
  void useScriptedService() {
    server->setBonjourServiceFactory(
        [this](const std::string& type, const std::string& name, std::uint16_t port) {
          outcomes.made.push_back(fmt::format("{}|{}|{}", type, name, port));
          return std::make_unique<ScriptedService>(&outcomes, type, name);
        });
  }
  ScriptedOutcomes outcomes;
  std::shared_ptr<BonjourDelegate> delegate = std::make_shared<BonjourDelegate>();
};

TEST_F(BonjourTest, NoNameNoService) {
  useScriptedService();
  ASSERT_TRUE(startServer());
  EXPECT_TRUE(outcomes.made.empty());
  EXPECT_FALSE(server->bonjourName());
  EXPECT_FALSE(server->bonjourType());
  EXPECT_FALSE(server->bonjourServerURL());
}

TEST_F(BonjourTest, RegisteredAndResolved) {
  useScriptedService();
  server->setDelegate(delegate);
  ServerLog log(kWebServerLoggingLevel_Debug);
  // The empty name stands for the server's name.
  ASSERT_TRUE(startServer({{WebServerOption_BonjourName, ""}, {WebServerOption_ServerName, "Quorvane"}}));
  ASSERT_EQ(outcomes.made, std::vector<std::string>{fmt::format("_http._tcp|Quorvane|{}", server->port())});
  EXPECT_EQ(server->bonjourName(), "Quorvane");
  EXPECT_EQ(server->bonjourType(), "_http._tcp");
  ASSERT_TRUE(runUntil([&] { return !delegate->urls.empty(); }));
  // The final dot of the host name is dropped.
  std::string expected = fmt::format("http://quorvane-host.local:{}/", server->port());
  EXPECT_EQ(delegate->urls.front(), expected);
  EXPECT_EQ(server->bonjourServerURL(), expected);
  EXPECT_EQ(outcomes.resolutionTimeout, 5.0);
  EXPECT_TRUE(log.contains("Bonjour registration complete for WebServer"));
  EXPECT_TRUE(log.contains("WebServer now locally reachable at " + expected));

  server->stop();
  EXPECT_FALSE(server->bonjourServerURL());
  EXPECT_FALSE(server->bonjourName());
}

TEST_F(BonjourTest, NameAndTypeFromTheOptions) {
  useScriptedService();
  outcomes.host = "plain-host";  // a host name without a final dot stays whole
  server->setDelegate(delegate);
  ASSERT_TRUE(
      startServer({{WebServerOption_BonjourName, "Kitchen"}, {WebServerOption_BonjourType, "_qv._tcp"}}));
  EXPECT_EQ(outcomes.made.front(), fmt::format("_qv._tcp|Kitchen|{}", server->port()));
  ASSERT_TRUE(runUntil([&] { return !delegate->urls.empty(); }));
  EXPECT_EQ(server->bonjourServerURL(), fmt::format("http://plain-host:{}/", server->port()));
}

// Each failing step: its log line (or none) and no URL, while the server serves on.
struct FailureCase {
  const char* name;
  std::optional<WebServerServiceError> registrationError;
  bool resolutionStarts;
  std::optional<WebServerServiceError> resolutionError;
  const char* logLine;  // nullptr: nothing at warning level and above
};

class BonjourFailureTest : public BonjourTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(BonjourFailureTest, IsLoggedAndTheServerRuns) {
  const auto& row = GetParam();
  outcomes.registrationError = row.registrationError;
  outcomes.resolutionStarts = row.resolutionStarts;
  outcomes.resolutionError = row.resolutionError;
  useScriptedService();
  server->setDelegate(delegate);
  server->addGETHandlerForPath("/", platform::dataFromString("up"), "text/plain", 0);
  ServerLog log(kWebServerLoggingLevel_Verbose);
  ASSERT_TRUE(startServer({{WebServerOption_BonjourName, "x"}}));
  // Everything the service reports has been handled once the server has answered a request after it.
  ASSERT_TRUE(runUntil([&] { return log.contains("Bonjour registration") || log.contains("Failed"); }));
  runFor(0.2);
  EXPECT_EQ(curl({url("/")}).body, "up");
  EXPECT_TRUE(delegate->urls.empty());
  EXPECT_FALSE(server->bonjourServerURL());
  std::size_t problems = 0;
  for (const auto& line : log.lines())
    problems += line.find("error") != std::string::npos || line.find("Failed") != std::string::npos;
  if (row.logLine) {
    EXPECT_TRUE(log.contains(row.logLine)) << fmt::format("{}", fmt::join(log.lines(), "\n"));
    EXPECT_EQ(problems, 1u);
  } else {
    EXPECT_EQ(problems, 0u) << fmt::format("{}", fmt::join(log.lines(), "\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, BonjourFailureTest,
    ::testing::Values(FailureCase{"RegistrationFails", WebServerServiceError{-8, 10}, true, std::nullopt,
                                  "Bonjour registration error -8 (domain 10)"},
                      FailureCase{"ResolutionCannotStart", std::nullopt, false, std::nullopt,
                                  "Failed starting Bonjour resolution"},
                      FailureCase{"ResolutionFails", std::nullopt, true, WebServerServiceError{-12, 10},
                                  "Bonjour resolution error -12 (domain 10)"},
                      FailureCase{"ResolutionFailsElsewhere", std::nullopt, true,
                                  WebServerServiceError{-72007, 1},
                                  "Bonjour resolution error -72007 (domain 1)"},
                      FailureCase{"ResolutionTimesOut", std::nullopt, true,
                                  WebServerServiceError{kWebServerNetServicesTimeoutError,
                                                        kWebServerNetServicesErrorDomain},
                                  nullptr}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(BonjourTest, AServiceThatCannotBeMade) {
  server->setBonjourServiceFactory([](const std::string&, const std::string&, std::uint16_t) {
    return std::unique_ptr<WebServerBonjourService>();
  });
  ServerLog log(kWebServerLoggingLevel_Warning);
  ASSERT_TRUE(startServer({{WebServerOption_BonjourName, "x"}}));
  EXPECT_TRUE(log.contains("Failed creating CFNetService for registration"));
  EXPECT_FALSE(server->bonjourName());
}

// ---- The real Avahi client ----

namespace {

// Points the Avahi client at a D-Bus socket for the length of a test.
class SystemBus {
 public:
  explicit SystemBus(const std::string& address) {
    if (const char* value = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) saved_ = value;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  }
  ~SystemBus() {
    if (saved_) {
      setenv("DBUS_SYSTEM_BUS_ADDRESS", saved_->c_str(), 1);
    } else {
      unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
  }

 private:
  std::optional<std::string> saved_;
};

pid_t spawn(const std::vector<std::string>& arguments, const fs::path& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void terminate(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

bool running(pid_t pid) { return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0; }

// libdbus reads the system bus address once per process and keeps it, so every test of this process
// uses the same one: a socket in a folder of the process's own (the bus daemon of a test listens
// there while it runs; without it nothing answers there).
const fs::path& processBusFolder() {
  static const fs::path folder = fs::path("/tmp") / ("qv-avahi-bus-" + std::to_string(::getpid()));
  return folder;
}
std::string processBusAddress() { return "unix:path=" + (processBusFolder() / "system_bus_socket").string(); }

}  // namespace

// Where the Avahi client library is not installed, registration fails as it does without a daemon,
// with a line that names the library; the server serves regardless.
TEST_F(BonjourTest, AvahiWithoutItsClientLibrary) {
  platform::DynamicLibrarySubstitution absent("libavahi-client.so.3", "libqv-absent-avahi-client.so.3");
  server->setDelegate(delegate);
  server->addGETHandlerForPath("/", platform::dataFromString("up"), "text/plain", 0);
  ServerLog log(kWebServerLoggingLevel_Warning);
  ASSERT_TRUE(startServer({{WebServerOption_BonjourName, ""}}));
  ASSERT_TRUE(runUntil([&] { return log.contains("Bonjour registration error"); }));
  EXPECT_TRUE(log.contains("Bonjour registration error -49 (domain 10)"))  // AVAHI_ERR_NOT_SUPPORTED
      << fmt::format("{}", fmt::join(log.lines(), "\n"));
  EXPECT_TRUE(log.contains(
      "Local service discovery is not available: Could not load libqv-absent-avahi-client.so.3"));
  EXPECT_FALSE(server->bonjourServerURL());
  EXPECT_TRUE(delegate->urls.empty());
  EXPECT_EQ(curl({url("/")}).body, "up");
}

TEST_F(BonjourTest, AvahiWithoutADaemon) {
  // No D-Bus system bus answers at this address, so no Avahi daemon either.
  SystemBus bus(processBusAddress());
  server->setDelegate(delegate);
  server->addGETHandlerForPath("/", platform::dataFromString("up"), "text/plain", 0);
  ServerLog log(kWebServerLoggingLevel_Warning);
  ASSERT_TRUE(startServer({{WebServerOption_BonjourName, ""}}));
  ASSERT_TRUE(runUntil([&] { return log.contains("Bonjour registration error"); }));
  EXPECT_TRUE(log.contains("(domain 10)"));
  EXPECT_EQ(server->bonjourName(), "WebServer");
  EXPECT_FALSE(server->bonjourServerURL());
  EXPECT_EQ(curl({url("/")}).body, "up");
  server->stop();
  EXPECT_FALSE(server->bonjourName());
  EXPECT_TRUE(delegate->urls.empty());
}

TEST_F(BonjourTest, AvahiWithARealDaemon) {
  const char* daemon = "/usr/sbin/avahi-daemon";
  const char* busDaemon = "/usr/bin/dbus-daemon";
  if (::geteuid() != 0 || ::access(daemon, X_OK) != 0 || ::access(busDaemon, X_OK) != 0) {
    GTEST_SKIP()
        << "avahi-daemon is started by this test only as root with avahi-daemon and dbus-daemon installed";
  }
  if (runCommand({daemon, "--check"}).exitCode == 0) {
    GTEST_SKIP() << "an avahi-daemon already runs on this machine; the test needs one of its own";
  }
  fs::path folder = root() / "avahi";
  fs::create_directories(folder);
  fs::create_directories(processBusFolder());
  fs::path socket = processBusFolder() / "system_bus_socket";
  fs::remove(socket);
  writeFile("avahi/bus.conf",
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>system</type><listen>unix:path=" +
                socket.string() +
                "</listen><auth>EXTERNAL</auth>"
                "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow receive_sender=\"*\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                "<allow user=\"*\"/></policy></busconfig>\n");
  writeFile("avahi/avahi-daemon.conf",
            "[server]\nuse-ipv4=yes\nuse-ipv6=no\nenable-dbus=yes\n[publish]\npublish-hinfo=no\n"
            "publish-workstation=no\n");
  SystemBus bus("unix:path=" + socket.string());
  pid_t busPid =
      spawn({busDaemon, "--nofork", "--config-file=" + (folder / "bus.conf").string()}, folder / "log");
  bool busUp = runUntil([&] { return fs::exists(socket) || !running(busPid); }, 10) && running(busPid);
  pid_t avahiPid = busUp ? spawn({daemon, "--no-drop-root", "--no-chroot", "--no-rlimits", "--no-proc-title",
                                  "-f", (folder / "avahi-daemon.conf").string()},
                                 folder / "log")
                         : -1;
  struct Cleanup {
    pid_t avahi, bus;
    ~Cleanup() {
      terminate(avahi);
      terminate(bus);
      std::error_code ignored;
      fs::remove_all(processBusFolder(), ignored);
    }
  } cleanup{avahiPid, busPid};
  // Ready means the daemon answers on the bus that its server runs (state 2), which is what the
  // client needs; its log lines may come before that on a busy machine.
  auto serverRunning = [&] {
    auto state = runCommand({"dbus-send", "--bus=unix:path=" + socket.string(), "--print-reply",
                             "--reply-timeout=2000", "--dest=org.freedesktop.Avahi", "/",
                             "org.freedesktop.Avahi.Server.GetState"});
    return state.exitCode == 0 && state.output.find("int32 2") != std::string::npos;
  };
  std::string daemonLog;
  bool avahiUp =
      busUp && runUntil([&] { return !running(avahiPid) || serverRunning(); }, 30) && running(avahiPid);
  daemonLog = platform::stringFromData(platform::files::readFile(folder / "log").value_or(platform::Data()));
  if (!avahiUp) GTEST_SKIP() << "avahi-daemon could not start here:\n" << daemonLog;
  if (daemonLog.find("New relevant interface") == std::string::npos) {
    GTEST_SKIP() << "avahi-daemon found no multicast network interface here:\n" << daemonLog;
  }

  server->setDelegate(delegate);
  ServerLog log(kWebServerLoggingLevel_Info);
  ASSERT_TRUE(startServer({{WebServerOption_BonjourName, "Quorvane Test"}}));
  ASSERT_TRUE(runUntil([&] { return !delegate->urls.empty(); }, 20))
      << fmt::format("{}", fmt::join(log.lines(), "\n"));
  auto resolved = server->bonjourServerURL();
  ASSERT_TRUE(resolved);
  EXPECT_TRUE(resolved->starts_with("http://")) << *resolved;
  EXPECT_TRUE(resolved->ends_with(fmt::format(".local:{}/", server->port()))) << *resolved;
  EXPECT_EQ(server->bonjourName(), "Quorvane Test");
  EXPECT_TRUE(log.contains("WebServer now locally reachable at " + *resolved));

  // A second server asking for the same name gets the next free one.
  auto second = WebServer::make();
  auto secondDelegate = std::make_shared<BonjourDelegate>();
  second->setDelegate(secondDelegate);
  ASSERT_TRUE(second->startWithOptions(WebServerOptions({{WebServerOption_Port, 0},
                                                         {WebServerOption_BindToLocalhost, true},
                                                         {WebServerOption_BonjourName, "Quorvane Test"}})));
  ASSERT_TRUE(runUntil([&] { return !secondDelegate->urls.empty(); }, 20));
  EXPECT_EQ(second->bonjourName(), "Quorvane Test #2");
  second->stop();

  server->stop();
  EXPECT_FALSE(server->bonjourServerURL());
}
