#pragma once

// Shared pieces of the HTTP server tests: a fixture that runs a server on loopback, a way to run
// curl and Python clients, and a raw socket client for byte-level control.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "httpserver/WebServer.h"
#include "httpserver/WebServerDataResponse.h"
#include "testing/Sandbox.h"

extern char** environ;

namespace httptest {

// What a finished command printed and how it ended.
struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output
  std::string errors;  // standard error
};

// Runs a program with arguments and waits for it; stdin gets `input`.
inline CommandResult runCommand(const std::vector<std::string>& arguments, const std::string& input = {}) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  CommandResult result;
  if (spawned != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    return result;
  }
  std::thread writer([fd = in[1], input] {
    std::size_t done = 0;
    while (done < input.size()) {
      ssize_t n = ::write(fd, input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.output : result.errors).append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  writer.join();
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// A port to try (the attempt-th) below the kernel's range of ephemeral ports, for tests that
// restart a server on the port it had: a port from that range may be taken, between the stop and
// the restart, by an outgoing connection of any process on the machine.
inline std::uint16_t quietPort(unsigned attempt) {
  unsigned low = 32768, high = 60999;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
  const unsigned first = low > 9000 ? low - 8000 : 1024;
  return static_cast<std::uint16_t>(first + (static_cast<unsigned>(::getpid()) * 131 + attempt * 977) %
                                                (low - first));
}

// A parsed HTTP response as a client saw it.
struct HTTPResponse {
  int status = 0;
  std::map<std::string, std::string, WebServerCaseInsensitiveLess> headers;
  std::string body;
  std::string raw;
  bool has(const std::string& name) const { return headers.count(name) > 0; }
  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

// Splits raw bytes into status, headers and the rest (no de-chunking).
inline HTTPResponse parseResponse(const std::string& raw) {
  HTTPResponse response;
  response.raw = raw;
  std::size_t start = 0;
  // Skip interim 1xx heads.
  while (true) {
    std::size_t end = raw.find("\r\n\r\n", start);
    if (end == std::string::npos) return response;
    std::string head = raw.substr(start, end - start);
    std::size_t lineEnd = head.find("\r\n");
    std::string statusLine = head.substr(0, lineEnd);
    if (statusLine.size() >= 12) response.status = std::atoi(statusLine.c_str() + 9);
    if (response.status >= 100 && response.status < 200) {
      start = end + 4;
      continue;
    }
    response.headers.clear();
    std::size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
      std::size_t next = head.find("\r\n", pos);
      if (next == std::string::npos) next = head.size();
      std::string line = head.substr(pos, next - pos);
      std::size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::size_t valueStart = line.find_first_not_of(' ', colon + 1);
        response.headers[line.substr(0, colon)] =
            valueStart == std::string::npos ? "" : line.substr(valueStart);
      }
      pos = next + 2;
    }
    response.body = raw.substr(end + 4);
    // curl prints every response of an exchange (an authentication challenge first): keep the last.
    if (response.body.starts_with("HTTP/1.")) {
      start = end + 4;
      continue;
    }
    return response;
  }
}

// A blocking TCP client on loopback for exact bytes: send pieces, half-close, read to the end.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port, bool ipv6 = false) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (ipv6) {
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_port = htons(port);
      address.sin6_addr = in6addr_loopback;
      connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    } else {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(port);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
  }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }

  // Sends all the bytes; false when the peer refused them (reset or closed).
  bool send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Sends what fits without blocking; the number of bytes taken.
  std::size_t sendSome(const std::string& bytes) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

  // Reads until the peer closes, an error, or the timeout; `reset` tells whether the connection
  // was reset.
  std::string readAll(double timeoutSeconds = 10.0, bool* reset = nullptr, bool* timedOut = nullptr) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    if (reset) *reset = false;
    if (timedOut) *timedOut = false;
    char buffer[65536];
    while (true) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        if (timedOut) *timedOut = true;
        return data;
      }
      pollfd descriptor{fd_, POLLIN, 0};
      int ready = poll(&descriptor, 1, static_cast<int>(left.count()));
      if (ready <= 0) continue;
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0) return data;
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        if (reset) *reset = errno == ECONNRESET;
        return data;
      }
      data.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // Whether the peer closed the connection within the timeout (without reading anything).
  bool waitForClose(double timeoutSeconds) {
    bool timedOut = false;
    readAll(timeoutSeconds, nullptr, &timedOut);
    return !timedOut;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// Collects the server's log lines while alive.
class ServerLog {
 public:
  ServerLog(int level = kWebServerLoggingLevel_Debug) : previousLevel_(WebServerGetLogLevel()) {
    WebServerSetLogLevel(level);
    WebServerSetLogHandler([this](int, std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  ~ServerLog() {
    WebServerSetLogHandler(nullptr);
    WebServerSetLogLevel(previousLevel_);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::size_t count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos;
    return n;
  }
  bool contains(const std::string& text) const { return count(text) > 0; }

 private:
  int previousLevel_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A sandboxed test with a server on a free loopback port.
class ServerTest : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    server = WebServer::make();
  }
  void TearDown() override {
    if (server) {
      server->stop();
      // Every connection ends (the pool threads finish them) before the sandbox goes away.
      runUntil([&] { return server->activeConnections() == 0; }, 10.0);
      EXPECT_EQ(server->activeConnections(), 0);
    }
    server.reset();
    SandboxTest::TearDown();
  }

  // Starts on a free port bound to loopback, with extra options.
  bool startServer(nlohmann::json extra = nlohmann::json::object(),
                   WebServerConnectionClass connectionClass = {}) {
    nlohmann::json values = {{WebServerOption_Port, 0}, {WebServerOption_BindToLocalhost, true}};
    for (auto& [key, value] : extra.items()) values[key] = value;
    platform::Error error;
    bool started = server->startWithOptions(WebServerOptions(values, std::move(connectionClass)), &error);
    EXPECT_TRUE(started) << error.description;
    return started;
  }

  // Starts on a loopback port below the kernel's range of ephemeral ports (see quietPort).
  bool startServerOnAQuietPort() {
    for (unsigned attempt = 0; attempt < 64; ++attempt) {
      nlohmann::json values = {{WebServerOption_Port, quietPort(attempt)},
                               {WebServerOption_BindToLocalhost, true}};
      if (server->startWithOptions(WebServerOptions(values))) return true;
    }
    ADD_FAILURE() << "no free port below the ephemeral range";
    return false;
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server->port()) + path;
  }

  // curl with the given arguments; the output includes the response head (-i).
  HTTPResponse curl(std::vector<std::string> arguments, int* exitCode = nullptr) {
    std::vector<std::string> command = {"curl", "-s", "-S", "-i", "--max-time", "20"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    auto result = runOffMain(command);
    if (exitCode) *exitCode = result.exitCode;
    return parseResponse(result.output);
  }

  // A Python script given the port as its first argument.
  CommandResult python(const std::string& script, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> command = {"python3", "-c", script, std::to_string(server->port())};
    command.insert(command.end(), extra.begin(), extra.end());
    return runOffMain(command);
  }

  // Runs a command on a thread while the main queue keeps running (handlers may need it).
  CommandResult runOffMain(const std::vector<std::string>& command, const std::string& input = {}) {
    auto future = std::async(std::launch::async, [command, input] { return runCommand(command, input); });
    runUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 60.0);
    return future.get();
  }

  // Runs work on a thread while the main queue keeps running.
  template <typename Fn>
  auto offMain(Fn fn) {
    auto future = std::async(std::launch::async, std::move(fn));
    runUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 60.0);
    return future.get();
  }

  std::shared_ptr<WebServer> server;
};

inline WebServerProcessBlock textAnswer(std::string text) {
  return [text](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
    return WebServerDataResponse::responseWithText(text);
  };
}

// The text compressed with gzip framing, as clients send encoded bodies.
inline std::string gzip(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

}  // namespace httptest
