// webserver-bench --port PORT --folder DIR --json FILE
//
// Serves "/output.json" as the dashboard does: an in-memory JSON data response, made anew for each
// request from the bytes of FILE (read once at start), and every other GET from DIR through the
// folder handler, as the dashboard serves its web folder. Listens with the dashboard's deep queue
// of pending connections. Runs until SIGINT or SIGTERM on an Asio main queue, so that nothing in
// the process wakes up while no request comes.

#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "httpserver/WebServer.h"
#include "httpserver/WebServerDataResponse.h"
#include "platform/AsioMainQueue.h"
#include "platform/Files.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: webserver-bench --port PORT --folder DIR --json FILE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string port, folder, jsonPath;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--port") {
      port = argv[i + 1];
    } else if (option == "--folder") {
      folder = argv[i + 1];
    } else if (option == "--json") {
      jsonPath = argv[i + 1];
    } else {
      return usage();
    }
  }
  if (port.empty() || jsonPath.empty()) return usage();

  platform::Error error;
  auto json = platform::files::readFile(jsonPath, &error);
  if (!json) {
    std::fprintf(stderr, "webserver-bench: cannot read %s: %s\n", jsonPath.c_str(),
                 error.description.c_str());
    return 1;
  }

  auto mainQueue = platform::AsioMainQueue::make();
  platform::MainQueue::install(mainQueue);

  // The application's settings: warnings and errors only.
  WebServer::setLogLevel(kWebServerLoggingLevel_Warning);
  auto server = WebServer::make();
  if (!folder.empty()) {
    server->addGETHandlerForBasePath("/", folder, std::string("index.html"), 0, false);
  }
  server->addHandlerForMethod(
      "GET", "/output.json", WebServerRequestClassOf<WebServerRequest>(),
      [bytes = *json](const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
        return WebServerDataResponse::responseWithData(bytes, "application/json");
      });
  nlohmann::json options = {{WebServerOption_Port, std::atoi(port.c_str())},
                            {WebServerOption_BindToLocalhost, true},
                            {WebServerOption_MaxPendingConnections, 511}};
  if (!server->startWithOptions(WebServerOptions(options), &error)) {
    std::fprintf(stderr, "webserver-bench: cannot start: %s\n", error.description.c_str());
    return 1;
  }
  std::printf("webserver-bench listening on 127.0.0.1:%u\n", server->port());
  std::fflush(stdout);

  asio::signal_set signals(mainQueue->context(), SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code&, int) { mainQueue->stop(); });
  mainQueue->run();
  server->stop();
  mainQueue->runFor(platform::Seconds(0.05));
  platform::MainQueue::install(nullptr);
  return 0;
}
