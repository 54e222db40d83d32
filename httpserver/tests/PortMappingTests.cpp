// NAT port mapping: the NAT-PMP mapper against a NAT-PMP gateway played by the test on a loopback
// address, and the server's public URL, log lines and delegate calls built on it.

#include <gtest/gtest.h>
#include <natpmp.h>

#include <atomic>
#include <condition_variable>
#include <random>

#include "httpserver/WebServerPortMapper.h"
#include "httpserver/tests/HTTPTestSupport.h"
#include "platform/DynamicLibrary.h"

using namespace httptest;

namespace {

// A NAT-PMP gateway on 127.a.b.c:5351 that answers address and mapping requests as configured and
// records the mapping requests it saw.
class FakeGateway {
 public:
  struct Answers {
    std::string externalAddress = "203.0.113.7";
    std::uint16_t resultCode = 0;                            // of the mapping answer
    std::uint16_t addressResultCode = 0;                     // of the address answer
    int portOffset = 1000;                                   // mapped external port = asked port + offset
    std::optional<std::uint16_t> mappedPort = std::nullopt;  // or exactly this
    std::uint32_t lifetime = 3600;
    bool silent = false;  // reads requests but never answers
  };
  struct MappingRequest {
    std::uint16_t internalPort;
    std::uint16_t externalPort;
    std::uint32_t lifetime;
  };

  explicit FakeGateway(Answers answers) : answers_(std::move(answers)) {
    std::random_device random;
    for (int attempt = 0; attempt < 50 && fd_ < 0; ++attempt) {
      address_ = fmt::format("127.{}.{}.{}", random() % 250 + 1, random() % 250 + 1, random() % 250 + 2);
      int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in bound{};
      bound.sin_family = AF_INET;
      bound.sin_port = htons(NATPMP_PORT);
      inet_pton(AF_INET, address_.c_str(), &bound.sin_addr);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) == 0) {
        fd_ = fd;
      } else {
        ::close(fd);
      }
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeGateway() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }

  const std::string& address() const { return address_; }
  bool bound() const { return fd_ >= 0; }

  int packets() const { return packets_; }

  std::vector<MappingRequest> mappingRequests() const {
    std::lock_guard lock(mutex_);
    return mappings_;
  }
  bool waitForMappingRequests(std::size_t count, double seconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return mappings_.size() >= count; });
  }

 private:
  static void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
  }
  static void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, static_cast<std::uint16_t>(v >> 16));
    put16(p + 2, static_cast<std::uint16_t>(v));
  }
  static std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

  void serve() {
    while (!stop_) {
      pollfd descriptor{fd_, POLLIN, 0};
      if (::poll(&descriptor, 1, 50) <= 0) continue;
      std::uint8_t packet[64];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      ssize_t n = ::recvfrom(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 2 || packet[0] != 0) continue;
      ++packets_;
      std::uint8_t answer[16] = {};
      std::size_t size = 0;
      answer[1] = static_cast<std::uint8_t>(128 + packet[1]);
      put32(answer + 4, 12345);
      if (packet[1] == 0) {
        put16(answer + 2, answers_.addressResultCode);
        in_addr external{};
        inet_pton(AF_INET, answers_.externalAddress.c_str(), &external);
        std::memcpy(answer + 8, &external, 4);
        size = 12;
      } else if ((packet[1] == 1 || packet[1] == 2) && n >= 12) {
        MappingRequest request{get16(packet + 4), get16(packet + 6),
                               static_cast<std::uint32_t>(get16(packet + 8)) << 16 | get16(packet + 10)};
        {
          std::lock_guard lock(mutex_);
          mappings_.push_back(request);
        }
        changed_.notify_all();
        put16(answer + 2, answers_.resultCode);
        put16(answer + 8, request.internalPort);
        std::uint16_t mapped = answers_.mappedPort.value_or(
            static_cast<std::uint16_t>(request.externalPort + answers_.portOffset));
        put16(answer + 10, request.lifetime == 0 ? 0 : mapped);
        put32(answer + 12, request.lifetime == 0 ? 0 : answers_.lifetime);
        size = 16;
      } else {
        continue;
      }
      if (!answers_.silent) ::sendto(fd_, answer, size, 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }

  Answers answers_;
  std::string address_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> packets_{0};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<MappingRequest> mappings_;
};

// Outcomes of a mapper, waited for from the test thread.
struct Outcomes {
  struct Outcome {
    int error;
    std::string address;
    std::uint16_t port;
  };
  WebServerPortMapper::Callback callback() {
    return [this](int error, const std::string& address, std::uint16_t port) {
      {
        std::lock_guard lock(mutex);
        list.push_back({error, address, port});
      }
      changed.notify_all();
    };
  }
  std::optional<Outcome> first(double seconds = 10) {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return !list.empty(); }))
      return std::nullopt;
    return list.front();
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Outcome> list;
};

WebServerPortMapper::NATPMPOptions optionsFor(const FakeGateway& gateway, double timeout = 10) {
  WebServerPortMapper::NATPMPOptions options;
  options.gateway = gateway.address();
  options.responseTimeout = timeout;
  return options;
}

}  // namespace

struct MapperCase {
  const char* name;
  FakeGateway::Answers answers;
  int error;
  const char* address;  // expected on success
};

class PortMapperTest : public ::testing::TestWithParam<MapperCase> {};

TEST_P(PortMapperTest, ReportsTheGatewaysAnswer) {
  const auto& row = GetParam();
  FakeGateway gateway(row.answers);
  ASSERT_TRUE(gateway.bound());
  Outcomes outcomes;
  {
    auto mapper = WebServerPortMapper::makeNATPMPMapper(optionsFor(gateway, 1.0));
    ASSERT_EQ(mapper->start(8080, outcomes.callback()), 0);
    auto outcome = outcomes.first();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->error, row.error);
    if (row.address) {
      EXPECT_EQ(outcome->address, row.address);
      EXPECT_EQ(outcome->port, 9080);
    } else {
      EXPECT_EQ(outcome->address, "");
      EXPECT_EQ(outcome->port, 0);
    }
  }
  auto requests = gateway.mappingRequests();
  if (row.error == 0 || row.error == kWebServerDoubleNATError) {
    // Asked for the same port with the default lifetime, then removed with lifetime 0 on the way out.
    ASSERT_TRUE(gateway.waitForMappingRequests(2, 10));
    requests = gateway.mappingRequests();
    EXPECT_EQ(requests.front().internalPort, 8080);
    EXPECT_EQ(requests.front().externalPort, 8080);
    EXPECT_EQ(requests.front().lifetime, 7200u);
    EXPECT_EQ(requests.back().lifetime, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PortMapperTest,
    ::testing::Values(
        MapperCase{"Mapped", {}, 0, "203.0.113.7"},
        MapperCase{"DoubleNAT", {.externalAddress = "10.1.2.3"}, kWebServerDoubleNATError, "10.1.2.3"},
        MapperCase{
            "CarrierGradeNAT", {.externalAddress = "100.64.0.9"}, kWebServerDoubleNATError, "100.64.0.9"},
        MapperCase{"MappingRefused", {.resultCode = 2}, NATPMP_ERR_NOTAUTHORIZED, nullptr},
        MapperCase{"OutOfResources", {.resultCode = 4}, NATPMP_ERR_OUTOFRESOURCES, nullptr},
        MapperCase{"AddressRefused", {.addressResultCode = 3}, NATPMP_ERR_NETWORKFAILURE, nullptr},
        MapperCase{"SilentGateway", {.silent = true}, NATPMP_ERR_NOGATEWAYSUPPORT, nullptr}),
    [](const ::testing::TestParamInfo<MapperCase>& info) { return info.param.name; });

TEST(PortMapper, NothingListeningAtTheGateway) {
  Outcomes outcomes;
  WebServerPortMapper::NATPMPOptions options;
  options.gateway = "127.0.0.1";  // no NAT-PMP service on this machine's loopback
  auto mapper = WebServerPortMapper::makeNATPMPMapper(options);
  ASSERT_EQ(mapper->start(8080, outcomes.callback()), 0);
  auto outcome = outcomes.first(30);
  ASSERT_TRUE(outcome);
  EXPECT_NE(outcome->error, 0);
  EXPECT_NE(outcome->error, kWebServerDoubleNATError);
}

TEST(PortMapper, BadGatewayTextFailsTheStart) {
  WebServerPortMapper::NATPMPOptions options;
  options.gateway = "not an address";
  Outcomes outcomes;
  EXPECT_EQ(WebServerPortMapper::makeNATPMPMapper(options)->start(8080, outcomes.callback()),
            NATPMP_ERR_INVALIDARGS);
}

TEST(PortMapper, StopsAtOnceWhileWaitingForAnAnswer) {
  // A gateway that never answers and the protocol's full schedule (minutes): destroying the mapper
  // still returns at once, without any outcome.
  FakeGateway gateway({.silent = true});
  Outcomes outcomes;
  WebServerPortMapper::NATPMPOptions options;
  options.gateway = gateway.address();
  auto mapper = WebServerPortMapper::makeNATPMPMapper(options);
  ASSERT_EQ(mapper->start(8080, outcomes.callback()), 0);
  for (int i = 0; i < 1000 && gateway.packets() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GT(gateway.packets(), 0);
  mapper.reset();
  EXPECT_TRUE(outcomes.list.empty());
}

// ---- The server's public URL ----

namespace {
class MappingDelegate : public WebServerDelegate {
 public:
  void webServerDidUpdateNATPortMapping(WebServer& server) override {
    EXPECT_TRUE(platform::MainQueue::isMainThread());
    urls.push_back(server.publicServerURL());
  }
  std::vector<std::optional<std::string>> urls;
};
}  // namespace

class PortMappingServerTest : public ServerTest {
 protected:
  void useGateway(const FakeGateway& gateway, double timeout = 10) {
    auto options = optionsFor(gateway, timeout);
    server->setPortMapperFactory([options] { return WebServerPortMapper::makeNATPMPMapper(options); });
  }
  std::shared_ptr<MappingDelegate> delegate = std::make_shared<MappingDelegate>();
};

TEST_F(PortMappingServerTest, PublicURLFromTheGateway) {
  FakeGateway gateway({});
  ASSERT_TRUE(gateway.bound());
  useGateway(gateway);
  server->setDelegate(delegate);
  server->addGETHandlerForPath("/", platform::dataFromString("up"), "text/plain", 0);
  ServerLog log(kWebServerLoggingLevel_Info);
  EXPECT_FALSE(server->publicServerURL());
  ASSERT_TRUE(startServer({{WebServerOption_RequestNATPortMapping, true}}));
  ASSERT_TRUE(runUntil([&] { return !delegate->urls.empty(); }));
  std::string expected = fmt::format("http://203.0.113.7:{}/", server->port() + 1000);
  EXPECT_EQ(delegate->urls.front(), expected);
  EXPECT_EQ(server->publicServerURL(), expected);
  EXPECT_TRUE(log.contains("WebServer now publicly reachable at " + expected));
  EXPECT_EQ(curl({url("/")}).body, "up");

  server->stop();
  EXPECT_FALSE(server->publicServerURL());
  // The mapping was removed.
  ASSERT_TRUE(gateway.waitForMappingRequests(2, 10));
  EXPECT_EQ(gateway.mappingRequests().back().lifetime, 0u);
}

TEST_F(PortMappingServerTest, DoubleNATAndPort80) {
  FakeGateway gateway({.externalAddress = "192.168.7.1", .mappedPort = 80});
  useGateway(gateway);
  server->setDelegate(delegate);
  ASSERT_TRUE(startServer({{WebServerOption_RequestNATPortMapping, true}}));
  ASSERT_TRUE(runUntil([&] { return !delegate->urls.empty(); }));
  EXPECT_EQ(server->publicServerURL(), "http://192.168.7.1/");
}

TEST_F(PortMappingServerTest, FailuresAreLoggedAndTheServerRuns) {
  FakeGateway gateway({.resultCode = 2});
  useGateway(gateway);
  server->setDelegate(delegate);
  server->addGETHandlerForPath("/", platform::dataFromString("up"), "text/plain", 0);
  ServerLog log(kWebServerLoggingLevel_Warning);
  ASSERT_TRUE(startServer({{WebServerOption_RequestNATPortMapping, true}}));
  ASSERT_TRUE(runUntil([&] { return !delegate->urls.empty(); }));
  EXPECT_EQ(delegate->urls.front(), std::nullopt);
  EXPECT_FALSE(server->publicServerURL());
  EXPECT_TRUE(log.contains(fmt::format("DNS service error {}", NATPMP_ERR_NOTAUTHORIZED)));
  EXPECT_EQ(curl({url("/")}).body, "up");
}

TEST_F(PortMappingServerTest, AMapperThatCannotStart) {
  server->setPortMapperFactory([] {
    WebServerPortMapper::NATPMPOptions options;
    options.gateway = "nonsense";
    return WebServerPortMapper::makeNATPMPMapper(options);
  });
  ServerLog log(kWebServerLoggingLevel_Warning);
  ASSERT_TRUE(startServer({{WebServerOption_RequestNATPortMapping, true}}));
  EXPECT_TRUE(log.contains(fmt::format("Failed creating NAT port mapping ({})", NATPMP_ERR_INVALIDARGS)));
  EXPECT_TRUE(server->isRunning());
  EXPECT_FALSE(server->publicServerURL());
}

// Where libnatpmp is not installed, the mapping cannot start: the failure is logged with the library's
// name, nothing reaches the gateway, and the server serves regardless.
TEST_F(PortMappingServerTest, WithoutTheNATPMPLibrary) {
  platform::DynamicLibrarySubstitution absent("libnatpmp.so.1", "libqv-absent-natpmp.so.1");
  FakeGateway gateway({});
  ASSERT_TRUE(gateway.bound());
  useGateway(gateway);
  server->addGETHandlerForPath("/", platform::dataFromString("up"), "text/plain", 0);
  ServerLog log(kWebServerLoggingLevel_Warning);
  ASSERT_TRUE(startServer({{WebServerOption_RequestNATPortMapping, true}}));
  EXPECT_TRUE(log.contains("NAT port mapping is not available: Could not load libqv-absent-natpmp.so.1"));
  EXPECT_TRUE(log.contains(fmt::format("Failed creating NAT port mapping ({})", NATPMP_ERR_UNDEFINEDERROR)));
  EXPECT_EQ(curl({url("/")}).body, "up");
  EXPECT_FALSE(server->publicServerURL());
  EXPECT_EQ(gateway.packets(), 0);
}

TEST_F(PortMappingServerTest, TheMachinesOwnGatewayAnswersNothingHere) {
  // The real default: NAT-PMP on the default route's gateway, which on a machine without a NAT-PMP
  // router never answers. The server serves regardless and stops at once.
  server->addGETHandlerForPath("/", platform::dataFromString("up"), "text/plain", 0);
  ASSERT_TRUE(startServer({{WebServerOption_RequestNATPortMapping, true}}));
  EXPECT_EQ(curl({url("/")}).body, "up");
  EXPECT_FALSE(server->publicServerURL());
  server->stop();
  EXPECT_FALSE(server->isRunning());
}

TEST_F(PortMappingServerTest, NoMappingUnlessAsked) {
  bool asked = false;
  server->setPortMapperFactory([&] {
    asked = true;
    return WebServerPortMapper::makeNATPMPMapper();
  });
  ASSERT_TRUE(startServer());
  EXPECT_FALSE(asked);
  EXPECT_FALSE(server->publicServerURL());
}
