// The server's life: start, stop and restart on a port, both address families, the connected state
// told to the delegate, log levels and accept failures.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "httpserver/tests/HTTPTestSupport.h"

using namespace httptest;

namespace {

class RecordingDelegate : public WebServerDelegate {
 public:
  void webServerDidStart(WebServer&) override { add("start"); }
  void webServerDidConnect(WebServer&) override { add("connect"); }
  void webServerDidDisconnect(WebServer&) override { add("disconnect"); }
  void webServerDidStop(WebServer&) override { add("stop"); }

  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t count(const std::string& event) const {
    auto all = events();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), event));
  }

 private:
  void add(const std::string& event) {
    // Delegate calls come on the main queue only.
    EXPECT_TRUE(platform::MainQueue::isMainThread());
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

}  // namespace

class ServerLifecycleTest : public ServerTest {};

TEST_F(ServerLifecycleTest, StartStopAndRestartOnTheSamePort) {
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(), textAnswer("up"));
  EXPECT_FALSE(server->isRunning());
  EXPECT_EQ(server->port(), 0);
  EXPECT_FALSE(server->serverURL());

  ASSERT_TRUE(startServerOnAQuietPort());
  std::uint16_t port = server->port();
  EXPECT_NE(port, 0);
  EXPECT_TRUE(server->isRunning());
  EXPECT_EQ(server->serverURL(), fmt::format("http://localhost:{}/", port));
  EXPECT_EQ(server->serverName(), "WebServer");
  EXPECT_EQ(curl({url("/")}).body, "up");

  // A second start changes nothing.
  platform::Error untouched = platform::Error::make("Untouched", 1, "as it was");
  EXPECT_FALSE(
      server->startWithOptions(WebServerOptions(nlohmann::json{{WebServerOption_Port, 0}}), &untouched));
  EXPECT_EQ(untouched.domain, "Untouched");
  EXPECT_EQ(server->port(), port);

  server->stop();
  EXPECT_FALSE(server->isRunning());
  EXPECT_EQ(server->port(), 0);
  EXPECT_FALSE(server->serverURL());
  int exitCode = 0;
  curl({url("/")}, &exitCode);
  EXPECT_NE(exitCode, 0) << "nothing listens after stop";

  // The same port is free again at once, and the handlers are still there.
  platform::Error error;
  ASSERT_TRUE(server->startWithOptions(
      WebServerOptions({{WebServerOption_Port, port}, {WebServerOption_BindToLocalhost, true}}), &error))
      << error.description;
  EXPECT_EQ(server->port(), port);
  EXPECT_EQ(curl({url("/")}).body, "up");
}

TEST_F(ServerLifecycleTest, ServesIPv4AndIPv6OnOnePort) {
  server->addDefaultHandlerForMethod(
      "GET", WebServerRequestClassOf<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>& request) -> std::shared_ptr<WebServerResponse> {
        return WebServerDataResponse::responseWithText(request->localAddressString() + " " +
                                                       request->remoteAddressString());
      });
  ASSERT_TRUE(startServer());
  std::string port = std::to_string(server->port());
  auto v4 = curl({url("/")});
  EXPECT_TRUE(v4.body.starts_with("127.0.0.1:" + port + " 127.0.0.1:")) << v4.body;
  auto v6 = curl({"-g", "http://[::1]:" + port + "/"});
  EXPECT_EQ(v6.status, 200);
  EXPECT_TRUE(v6.body.starts_with("::1:" + port + " ::1:")) << v6.body;
}

TEST_F(ServerLifecycleTest, PortTakenFailsTheStart) {
  int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  socklen_t length = sizeof address;
  getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);

  ServerLog log(kWebServerLoggingLevel_Error);
  platform::Error error;
  EXPECT_FALSE(server->startWithOptions(WebServerOptions({{WebServerOption_Port, ntohs(address.sin_port)},
                                                          {WebServerOption_BindToLocalhost, true}}),
                                        &error));
  EXPECT_EQ(error.domain, platform::kPOSIXErrorDomain);
  EXPECT_EQ(error.code, EADDRINUSE);
  EXPECT_FALSE(server->isRunning());
  EXPECT_TRUE(log.contains("Failed binding IPv4 listening socket"));
  ::close(taken);

  EXPECT_FALSE(
      server->startWithOptions(WebServerOptions(nlohmann::json{{WebServerOption_Port, 70000}}), &error));
  EXPECT_FALSE(server->isRunning());
}

TEST_F(ServerLifecycleTest, DelegateHearsOneConnectAndDisconnectPerBurst) {
  auto delegate = std::make_shared<RecordingDelegate>();
  server->setDelegate(delegate);
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(), textAnswer("x"));
  ASSERT_TRUE(startServer({{WebServerOption_ConnectedStateCoalescingInterval, 0.3}}));
  EXPECT_TRUE(runUntil([&] { return delegate->count("start") == 1; }));
  offMain([&] {
    for (int i = 0; i < 5; ++i) {
      RawClient client(server->port());
      client.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
      client.readAll();
    }
    return 0;
  });
  EXPECT_TRUE(runUntil([&] { return delegate->count("disconnect") == 1; }));
  runFor(0.5);
  EXPECT_EQ(delegate->events(), (std::vector<std::string>{"start", "connect", "disconnect"}));

  // A later burst is reported again; stop comes last.
  curl({url("/")});
  EXPECT_TRUE(runUntil([&] { return delegate->count("disconnect") == 2; }));
  server->stop();
  EXPECT_TRUE(runUntil([&] { return delegate->count("stop") == 1; }));
  EXPECT_EQ(delegate->events(),
            (std::vector<std::string>{"start", "connect", "disconnect", "connect", "disconnect", "stop"}));
}

TEST_F(ServerLifecycleTest, StopReportsAPendingDisconnectAtOnce) {
  auto delegate = std::make_shared<RecordingDelegate>();
  server->setDelegate(delegate);
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(), textAnswer("x"));
  ASSERT_TRUE(startServer({{WebServerOption_ConnectedStateCoalescingInterval, 60}}));
  curl({url("/")});
  EXPECT_TRUE(runUntil([&] { return server->activeConnections() == 0 && delegate->count("connect") == 1; }));
  server->stop();
  EXPECT_TRUE(runUntil([&] { return delegate->count("stop") == 1; }));
  EXPECT_EQ(delegate->events(), (std::vector<std::string>{"start", "connect", "disconnect", "stop"}));
}

TEST_F(ServerLifecycleTest, WithoutCoalescingEveryIdleMomentIsReported) {
  auto delegate = std::make_shared<RecordingDelegate>();
  server->setDelegate(delegate);
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(), textAnswer("x"));
  ASSERT_TRUE(startServer({{WebServerOption_ConnectedStateCoalescingInterval, 0}}));
  curl({url("/")});
  EXPECT_TRUE(runUntil([&] { return delegate->count("disconnect") == 1; }));
  curl({url("/")});
  EXPECT_TRUE(runUntil([&] { return delegate->count("disconnect") == 2; }));
  EXPECT_EQ(delegate->count("connect"), 2u);
}

TEST_F(ServerLifecycleTest, OpenConnectionsOutliveStop) {
  std::mutex mutex;
  WebServerCompletionBlock pending;
  server->addDefaultHandlerForMethod(
      "GET", WebServerRequestClassOf<WebServerRequest>(),
      [&](const std::shared_ptr<WebServerRequest>&, WebServerCompletionBlock completion) {
        std::lock_guard lock(mutex);
        pending = std::move(completion);
      });
  ASSERT_TRUE(startServer({{WebServerOption_ServerName, "Before Stop"}}));
  auto client = std::async(std::launch::async, [port = server->port()] {
    RawClient raw(port);
    raw.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    return parseResponse(raw.readAll());
  });
  ASSERT_TRUE(runUntil([&] {
    std::lock_guard lock(mutex);
    return static_cast<bool>(pending);
  }));
  server->stop();
  EXPECT_EQ(server->activeConnections(), 1);
  {
    std::lock_guard lock(mutex);
    pending(WebServerDataResponse::responseWithText("after stop"));
    pending = nullptr;
  }
  auto response = client.get();
  EXPECT_EQ(response.body, "after stop");
  EXPECT_EQ(response.header("Server"), "Before Stop");
}

TEST_F(ServerLifecycleTest, LogLevelDecidesStartAndStopLines) {
  {
    ServerLog log(kWebServerLoggingLevel_Warning);
    ASSERT_TRUE(startServer());
    server->stop();
    EXPECT_FALSE(log.contains("started on port"));
    EXPECT_FALSE(log.contains("stopped"));
  }
  ServerLog log(kWebServerLoggingLevel_Info);
  ASSERT_TRUE(startServer());
  std::uint16_t port = server->port();
  server->stop();
  EXPECT_TRUE(log.contains(
      fmt::format("WebServer started on port {} and reachable at http://localhost:{}/", port, port)));
  EXPECT_TRUE(log.contains("WebServer stopped"));
}

TEST_F(ServerLifecycleTest, HandlerListCanBeEmptied) {
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(), textAnswer("x"));
  EXPECT_EQ(server->handlers().size(), 1u);
  server->removeAllHandlers();
  EXPECT_TRUE(server->handlers().empty());
  ASSERT_TRUE(startServer());
  EXPECT_EQ(curl({url("/")}).status, 501);
}

TEST_F(ServerLifecycleTest, AcceptFailuresBackOffAndLogOnce) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer runtime checks memory through a pipe, which fails without free descriptors.
  GTEST_SKIP() << "needs a process without sanitizer runtime";
#endif
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(),
                                     textAnswer("served"));
  ServerLog log(kWebServerLoggingLevel_Error);
  ASSERT_TRUE(startServer());

  // A child process opens its connections once this process has no descriptor left to accept them;
  // it is told to go by a rename, which needs no descriptor.
  auto started = root() / "started";
  auto go = root() / "go";
  auto ready = writeFile("go.tmp", "");
  auto child = std::async(std::launch::async, [port = server->port(), started, go] {
    return runCommand({"python3", "-c", R"(
import os, socket, sys, time
port, started, go = int(sys.argv[1]), sys.argv[2], sys.argv[3]
open(started, "w").close()
while not os.path.exists(go):
    time.sleep(0.01)
done = 0
socks = [socket.create_connection(("127.0.0.1", port), timeout=20) for i in range(5)]
for s in socks:
    s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
for s in socks:
    data = b""
    while True:
        piece = s.recv(65536)
        if not piece:
            break
        data += piece
    done += data.startswith(b"HTTP/1.1 200") and data.endswith(b"served")
print(done)
)",
                       std::to_string(port), started.string(), go.string()});
  });
  ASSERT_TRUE(runUntil([&] { return std::filesystem::exists(started); }, 20.0));
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  rlimit lowered = original;
  lowered.rlim_cur = openDescriptors() + 16;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  // Every descriptor left is taken here, so that no accept can succeed (and end the failure
  // streak) while the limit holds, whatever the process's other threads open or close meanwhile.
  std::vector<int> taken;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
  std::filesystem::rename(ready, go);
  bool failed = runUntil([&] { return log.contains("Failed accepting"); }, 20.0);
  runFor(0.5);  // several back-off rounds
  std::size_t logged = log.count("Failed accepting");
  for (int fd : taken) ::close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
  EXPECT_TRUE(failed);
  EXPECT_EQ(logged, 1u);
  auto result = offMain([&] { return child.get(); });
  EXPECT_EQ(result.output, "5\n") << result.errors;
}

TEST_F(ServerLifecycleTest, RunBlocksUntilInterrupted) {
  server->addDefaultHandlerForMethod("GET", WebServerRequestClassOf<WebServerRequest>(),
                                     textAnswer("running"));
  std::atomic<std::uint16_t> port{0};
  std::string body;
  std::thread client([&] {
    while (!server->isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    port = server->port();
    body = parseResponse(
               runCommand({"curl", "-s", "-i", fmt::format("http://127.0.0.1:{}/", port.load())}).output)
               .body;
    ::kill(::getpid(), SIGINT);
  });
  platform::Error error;
  EXPECT_TRUE(server->runWithOptions(
      WebServerOptions({{WebServerOption_Port, 0}, {WebServerOption_BindToLocalhost, true}}), &error));
  client.join();
  EXPECT_EQ(body, "running");
  EXPECT_FALSE(server->isRunning());
}

TEST_F(ServerLifecycleTest, ChildProcessesDoNotInheritTheListeningSockets) {
  ASSERT_TRUE(startServerOnAQuietPort());
  const std::uint16_t port = server->port();
  // A child started while the server listens (as module runs are) ...
  pid_t child = -1;
  char sleepPath[] = "/bin/sleep";
  char seconds[] = "60";
  char* argv[] = {sleepPath, seconds, nullptr};
  ASSERT_EQ(posix_spawn(&child, sleepPath, nullptr, nullptr, argv, environ), 0);
  // posix_spawn returns once the child has started its exec, before the kernel closed the child's
  // close-on-exec descriptors; the child takes its new name after that.
  ASSERT_TRUE(runUntil(
      [&] {
        std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
        std::string name;
        return std::getline(comm, name) && name == "sleep";
      },
      10.0));
  server->stop();
  // ... does not keep the port once the server stopped: it can be listened on again at once.
  platform::Error error;
  bool restarted = server->startWithOptions(
      WebServerOptions({{WebServerOption_Port, port}, {WebServerOption_BindToLocalhost, true}}), &error);
  // Who holds the port, should it be taken.
  std::string holders =
      restarted ? "" : runCommand({"ss", "-Htanp", "sport = :" + std::to_string(port)}).output;
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(restarted) << error.description << "\n" << holders;
}
