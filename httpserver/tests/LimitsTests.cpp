// What one peer on the network can do to the server: bodies that trickle in, more connections than
// the process has descriptors for, and connections that never send anything. The server ends slow
// bodies by their rate, bounds its connections overall and per peer (closing those that wait on
// their clients longest to make room), and raises the process's descriptor limit when it starts,
// while normal requests keep being answered.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <filesystem>

#include "httpserver/WebServerDataRequest.h"
#include "httpserver/tests/HTTPTestSupport.h"

using namespace httptest;

namespace {

WebServerProcessBlock limitsEchoBody() {
  return [](const std::shared_ptr<WebServerRequest>& request) -> std::shared_ptr<WebServerResponse> {
    auto data = std::static_pointer_cast<WebServerDataRequest>(request);
    return WebServerDataResponse::responseWithData(data->data(), "application/octet-stream");
  };
}

// A body sent in pieces at a pace, and what the server must answer.
struct PaceCase {
  const char* name;
  const char* head;
  std::string piece;  // sent every `interval` seconds
  int pieces;
  double interval;
  int status;
};

class SlowBodyTest : public ServerTest, public ::testing::WithParamInterface<PaceCase> {};

}  // namespace

TEST_P(SlowBodyTest, IsEndedByItsRateNotByEachByte) {
  const auto& row = GetParam();
  server->addHandlerForMethod("POST", "/echo", WebServerRequestClassOf<WebServerDataRequest>(),
                              limitsEchoBody());
  // Half a second of grace, then 200 bytes a second on average; each wait alone may last 10 s.
  ASSERT_TRUE(startServer({{WebServerOption_RequestHeadTimeout, 0.5},
                           {WebServerOption_IdleTimeout, 10},
                           {WebServerOption_MinimumBodyRate, 200}}));
  auto started = std::chrono::steady_clock::now();
  auto response = offMain([&] {
    RawClient client(server->port());
    client.send(row.head);
    for (int i = 0; i < row.pieces; ++i) {
      std::this_thread::sleep_for(std::chrono::duration<double>(row.interval));
      if (!client.send(row.piece)) break;
    }
    return parseResponse(client.readAll(5));
  });
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(response.status, row.status) << response.raw;
  if (row.status == 408) {
    EXPECT_LT(took, 5.0) << "the trickle was not cut short";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paces, SlowBodyTest,
    ::testing::Values(
        // One byte every 0.1 s: each byte comes well within the idle timeout, the body never does.
        PaceCase{"OneByteAtATime", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n", "x", 60,
                 0.1, 408},
        PaceCase{"OneChunkAtATime", "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
                 "1\r\nx\r\n", 60, 0.1, 408},
        // A slow but steady client (about 2,000 bytes a second) is served.
        PaceCase{"SteadyEnough", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 3000\r\n\r\n",
                 std::string(100, 's'), 30, 0.05, 200}),
    [](const ::testing::TestParamInfo<PaceCase>& info) { return info.param.name; });

class ConnectionBoundsTest : public ServerTest {};

// Two peers (the IPv4 and the IPv6 loopback address), at most two connections each and three in all.
TEST_F(ConnectionBoundsTest, TheOldestIdleConnectionMakesRoom) {
  std::atomic<int> parked{0};
  std::mutex mutex;
  std::vector<WebServerCompletionBlock> completions;
  server->addHandlerForMethod(
      "GET", "/park", WebServerRequestClassOf<WebServerRequest>(),
      [&](const std::shared_ptr<WebServerRequest>&, WebServerCompletionBlock completion) {
        std::lock_guard lock(mutex);
        completions.push_back(std::move(completion));
        ++parked;
      });
  server->addHandlerForMethod("GET", "/now", WebServerRequestClassOf<WebServerRequest>(), textAnswer("now"));
  ServerLog log(kWebServerLoggingLevel_Warning);
  ASSERT_TRUE(startServer({{WebServerOption_MaxConnections, 3}, {WebServerOption_MaxConnectionsPerPeer, 2}}));
  auto active = [&](std::int64_t count) {
    return runUntil([&] { return server->activeConnections() == count; });
  };
  auto ask = [&](bool ipv6) {
    return offMain([&] {
      RawClient client(server->port(), ipv6);
      client.send("GET /now HTTP/1.1\r\nHost: x\r\n\r\n");
      return parseResponse(client.readAll(5)).body;
    });
  };
  auto park = [&](RawClient& client, int count) {
    client.send("GET /park HTTP/1.1\r\nHost: x\r\n\r\n");
    return runUntil([&] { return parked == count; });
  };

  // Per peer: a third connection from one address closes that address's oldest idle one.
  RawClient first(server->port());
  ASSERT_TRUE(active(1));
  RawClient second(server->port());
  ASSERT_TRUE(active(2));
  EXPECT_EQ(ask(false), "now");
  EXPECT_TRUE(offMain([&] { return first.waitForClose(5); })) << "the oldest idle connection stays";
  ASSERT_TRUE(active(1));

  // Overall: a newcomer closes the oldest idle connection of any address.
  RawClient v6Idle(server->port(), true);
  ASSERT_TRUE(active(2));
  RawClient v6Busy(server->port(), true);
  ASSERT_TRUE(park(v6Busy, 1));
  EXPECT_EQ(ask(false), "now");
  EXPECT_TRUE(offMain([&] { return second.waitForClose(5); }));
  EXPECT_FALSE(offMain([&] { return v6Idle.waitForClose(0.2); }));

  // Connections busy with their requests are never closed for room: with no idle connection of
  // its address left, a newcomer is turned away unanswered.
  RawClient v4Busy(server->port());
  ASSERT_TRUE(park(v4Busy, 2));
  EXPECT_EQ(ask(false), "now");
  EXPECT_TRUE(offMain([&] { return v6Idle.waitForClose(5); }));
  RawClient v4Busy2(server->port());
  ASSERT_TRUE(park(v4Busy2, 3));
  EXPECT_EQ(ask(false), "") << "two busy connections are all one address has room for";
  EXPECT_EQ(log.count("Refusing connections from 127.0.0.1"), 1u);

  {
    std::lock_guard lock(mutex);
    for (auto& completion : completions) completion(WebServerDataResponse::responseWithText("parked"));
    completions.clear();
  }
  EXPECT_EQ(parseResponse(offMain([&] { return v4Busy.readAll(5); })).body, "parked");
  EXPECT_EQ(ask(false), "now");
}

// 1,100 connections from one address that send nothing, a head or a body a byte at a time, while
// normal requests come from the same address. The process starts with the soft descriptor limit of
// a desktop session.
TEST_F(ConnectionBoundsTest, ElevenHundredSlowOrIdleConnections) {
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  if (original.rlim_max != RLIM_INFINITY && original.rlim_max < 4096) {
    GTEST_SKIP() << "the hard descriptor limit (" << original.rlim_max << ") leaves no room to raise";
  }
  rlimit session = original;
  session.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &session), 0);
  struct Restore {
    rlimit limit;
    ~Restore() { setrlimit(RLIMIT_NOFILE, &limit); }
  } restore{original};

  server->addHandlerForMethod("GET", "/", WebServerRequestClassOf<WebServerRequest>(), textAnswer("served"));
  server->addHandlerForMethod("POST", "/echo", WebServerRequestClassOf<WebServerDataRequest>(),
                              limitsEchoBody());
  ServerLog log(kWebServerLoggingLevel_Error);
  ASSERT_TRUE(startServer());
  rlimit raised{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
  EXPECT_EQ(raised.rlim_cur, original.rlim_max == RLIM_INFINITY ? raised.rlim_cur : original.rlim_max)
      << "the server raises the soft limit to the hard one";
  EXPECT_GT(raised.rlim_cur, 1024u);

  auto opened = root() / "opened";
  auto stop = root() / "stop";
  auto child = std::async(std::launch::async, [port = server->port(), opened, stop] {
    return runCommand({"python3", "-c", R"(
import os, resource, selectors, socket, sys, time
port, opened, stop = int(sys.argv[1]), sys.argv[2], sys.argv[3]
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
socks = []
for i in range(1100):
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex(("127.0.0.1", port))
    socks.append(s)
# Every connect has been answered (or given up) before the normal requests start.
sel = selectors.DefaultSelector()
for s in socks:
    sel.register(s, selectors.EVENT_WRITE)
deadline = time.monotonic() + 20
pending = len(socks)
while pending and time.monotonic() < deadline:
    for key, _ in sel.select(timeout=0.5):
        sel.unregister(key.fileobj)
        pending -= 1
starts = [b"", b"GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ", b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n"]
alive = []
for i, s in enumerate(socks):
    try:
        if starts[i % 3]:
            s.send(starts[i % 3])
        alive.append((i, s))
    except OSError:
        pass
open(opened, "w").close()
# A byte a second on every connection that sends at all, until told to stop.
while not os.path.exists(stop) and time.monotonic() < deadline + 30:
    time.sleep(1)
    still = []
    for i, s in alive:
        try:
            if i % 3:
                s.send(b"s")
            still.append((i, s))
        except OSError:
            s.close()
    alive = still
print(len(socks), len(alive))
)",
                       std::to_string(port), opened.string(), stop.string()});
  });
  auto childDone = [&] { return child.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
  ASSERT_TRUE(runUntil([&] { return std::filesystem::exists(opened) || childDone(); }, 30));

  // Normal requests from the same address keep being answered, and quickly.
  int served = 0;
  std::int64_t mostConnections = 0;
  for (int i = 0; i < 20; ++i) {
    auto started = std::chrono::steady_clock::now();
    auto response = offMain([&] {
      RawClient client(server->port());
      client.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
      return parseResponse(client.readAll(5));
    });
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    served += response.status == 200 && response.body == "served" && took < 2.0;
    mostConnections = std::max(mostConnections, server->activeConnections());
  }
  std::ofstream(stop).close();
  auto result = offMain([&] { return child.get(); });
  EXPECT_EQ(served, 20);
  // One address holds its share (128) and the few being closed to make room, never all 1,100.
  EXPECT_LE(mostConnections, 200);
  EXPECT_TRUE(result.output.starts_with("1100 ")) << result.output << result.errors;
  // Once the flood is gone, no connection is left behind (closing hundreds takes a while on a
  // loaded machine).
  EXPECT_TRUE(runUntil([&] { return server->activeConnections() == 0; }, 30.0))
      << server->activeConnections() << " connections are left";
}
