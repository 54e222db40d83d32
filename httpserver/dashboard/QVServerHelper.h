#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "engine/QVDashboardModuleManager.h"
#include "httpserver/WebServer.h"
#include "platform/Error.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

// The application's web sharing: one embedded HTTP server that serves the browser client of the
// "web" resource folder at "/", the dashboard as JSON at "/output.json", and a long poll at "/listen"
// that answers with the dashboard as soon as it changes.
//
// Threads: start, stop and startIfNeeded run on the main thread. The dashboard that requests are
// answered with is the manager's output, taken on the main thread each time it changes and shared
// read-only with the server's threads. A waiting "/listen" holds no thread: its completion is parked
// here until the next change, 30 seconds, its client going away or the server stopping, whichever
// comes first; at most maximumWaitingRequests() wait at once (a newcomer over the cap gets the oldest
// answered at once).
//
// Both JSON answers carry the header "X-Dashboard-Version"; a "/listen?version=V" whose V is not the
// current version is answered at once, so that a client never misses a change made between two of
// its requests.
class QVServerHelper : public std::enable_shared_from_this<QVServerHelper> {
 public:
  using Pointer = std::shared_ptr<QVServerHelper>;
  using Json = nlohmann::ordered_json;

  static constexpr double kListenTimeout = 30.0;
  static constexpr std::size_t kMaximumWaitingRequests = 256;
  static constexpr const char* kVersionHeader = "X-Dashboard-Version";
  // The listening sockets' queue of pending connections.
  static constexpr int kPendingConnections = 511;

  // The application's helper, serving QVDashboardModuleManager::sharedInstance() and the main
  // bundle's "web" folder.
  static Pointer sharedInstance();
  // A helper of its own (tests, tools): the manager whose output it serves, and the folder of the
  // browser client (nullopt: none, so only the two JSON addresses answer).
  static Pointer make(QVDashboardModuleManager::Pointer manager,
                      std::optional<std::filesystem::path> webFolder);
  ~QVServerHelper();
  QVServerHelper(const QVServerHelper&) = delete;
  QVServerHelper& operator=(const QVServerHelper&) = delete;

  // Starts sharing when the setting "serverEnabled" is on.
  void startIfNeeded();
  // Starts a new server on the port of the setting "serverPort" (a server still running is stopped
  // first). enabled() tells whether it listens; when it does not, startFailureReason() tells why and
  // the line "Web sharing could not start: <reason>" is logged at once (scripts/await-sharing waits
  // for the dashboard until it answers or that line comes).
  void start();
  // Stops the server; every waiting "/listen" is answered with the current dashboard.
  void stop();
  // Whether a server is listening.
  bool enabled() const;
  // The address to show and open ("http://<address>:<port>/"); nullopt when not listening.
  std::optional<std::string> serverURL() const;
  std::shared_ptr<WebServer> webServer() const;
  // Why the last start does not listen, in words for the user ("port 8080 is already in use by
  // another program"); nullopt while it listens, before the first start and after stop.
  std::optional<std::string> startFailureReason() const;
  // The words for a start on `port` that failed with `error` (the server's, in the POSIX domain).
  static std::string startFailureReasonFor(std::int64_t port, const platform::Error& error);
  // Server options laid over the helper's own at the next start (tools and tests: connection
  // bounds, time-outs). Main thread.
  void setServerOptions(nlohmann::json options);

  // The dashboard as it is served: the manager's output, each group with its colour as "#RRGGBB" in
  // "color" when it has one. Any thread.
  Json jsonObject() const;

  // ---- Waits of "/listen" ----
  std::size_t waitingRequestCount() const;
  std::size_t maximumWaitingRequests() const;
  void setMaximumWaitingRequests(std::size_t count);
  double listenTimeout() const;
  void setListenTimeout(double seconds);

 private:
  QVServerHelper(QVDashboardModuleManager::Pointer manager, std::optional<std::filesystem::path> webFolder);

  // The dashboard as served: its JSON text and its version.
  struct Output {
    std::shared_ptr<const std::string> text;
    std::string version;
  };
  struct Waiting {
    WebServerCompletionBlock completion;
    std::chrono::steady_clock::time_point deadline;
  };

  // Main thread: takes the manager's output, then answers every waiting request with it.
  void refreshOutput();
  Output currentOutput() const;
  std::shared_ptr<WebServerResponse> responseWithOutput(const Output& output) const;
  void listen(const std::shared_ptr<WebServerRequest>& request, WebServerCompletionBlock completion);
  void endWait(std::uint64_t id);
  void answerAllWaiting();
  void answerExpiredWaits();
  // Called with the mutex held: the timer for the oldest wait.
  void armTimeoutLocked();

  const QVDashboardModuleManager::Pointer manager_;
  const std::optional<std::filesystem::path> webFolder_;
  const std::string instanceTag_;

  // Main thread only.
  std::shared_ptr<WebServer> webServer_;
  std::optional<std::string> startFailureReason_;
  platform::ObserverToken outputObserver_;
  std::uint64_t outputCounter_ = 0;
  nlohmann::json serverOptions_ = nlohmann::json::object();

  mutable std::mutex mutex_;
  Output output_;
  // In arrival order: the first is the oldest.
  std::map<std::uint64_t, Waiting> waiting_;
  std::uint64_t nextWaitId_ = 1;
  std::size_t maximumWaiting_ = kMaximumWaitingRequests;
  double listenTimeout_ = kListenTimeout;
  std::shared_ptr<platform::TimerHandle> timeoutTimer_;
  std::chrono::steady_clock::time_point timerDeadline_;
};
