#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Data.h"

class WebServer;
class WebServerRequest;
class WebServerResponse;

namespace qvtesting {

// One request as the telemetry service would have received it.
struct RecordedRequest {
  std::string method;
  std::string path;
  std::string url;  // path and query as sent
  std::vector<std::pair<std::string, std::string>> headers;
  platform::Data raw;   // the body as it came over the wire
  std::string body;     // the body after gzip decoding
  nlohmann::json logs;  // the members of {"logs": [...]}, or the JSON lines, as an array
  bool isJsonLines = false;

  std::optional<std::string> header(const std::string& name) const;
};

// What the service does with the next request.
struct ScriptedAnswer {
  int status = 200;
  std::string body;
  double delay = 0;   // seconds before answering
  bool drop = false;  // read the request, then close without a word
};

// A stand-in for the telemetry service on loopback (127.0.0.1, a free port) over the project's own
// HTTP server: records every POST (raw and decoded body, the logs of {"logs"} documents and of JSON
// lines) and answers from a script, then with the default answer.
class TelemetryIngestionServer {
 public:
  TelemetryIngestionServer();
  ~TelemetryIngestionServer();
  TelemetryIngestionServer(const TelemetryIngestionServer&) = delete;
  TelemetryIngestionServer& operator=(const TelemetryIngestionServer&) = delete;

  // Listens on a free port the first time, on the same port after a stop.
  bool start();
  void stop();
  bool restart() {
    stop();
    return start();
  }
  bool isRunning() const;
  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>".
  std::string baseURL() const;

  // Answers for the next requests, in order.
  void script(std::vector<ScriptedAnswer> answers);
  void setDefaultAnswer(ScriptedAnswer answer);

  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const;
  // Every log of every recorded request, in order.
  std::vector<nlohmann::json> allLogs() const;
  // Waits (running the main queue) until at least `count` requests arrived.
  bool waitForRequests(std::size_t count, double seconds = 60) const;
  void clear();

 private:
  void handle(const std::shared_ptr<WebServerRequest>& request,
              std::function<void(std::shared_ptr<WebServerResponse>)> completion);

  std::shared_ptr<WebServer> server_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::deque<ScriptedAnswer> script_;
  ScriptedAnswer defaultAnswer_;
  std::vector<RecordedRequest> requests_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qvtesting
