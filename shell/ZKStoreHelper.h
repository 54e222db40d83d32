#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "shell/QVUpdateConfiguration.h"

// The application's telemetry secret: 32 lower-case hexadecimal digits without dashes.
inline constexpr const char* kQVTelemetryAppSecret = "5c1e7a9d03b84f62a7e0d19c4b3f8a26";
// The update feed's path on the telemetry service; the placeholder is the dashed secret.
inline constexpr const char* kZKUpdateFeedPathFormat = "/v0.1/public/updates/apps/{}";
// Registered defaults: the update framework's feed and the end of the process on an uncaught
// exception.
inline constexpr const char* kZKUpdateFeedURLKey = "UFFeedURL";
inline constexpr const char* kZKCrashOnExceptionsKey = "NSApplicationCrashOnExceptions";

// Alert answers: the first button answers 1000, the second 1001, the third 1002.
inline constexpr int kZKAlertFirstButtonReturn = 1000;
inline constexpr int kZKAlertSecondButtonReturn = 1001;
inline constexpr int kZKAlertThirdButtonReturn = 1002;

// How the application reaches its outside services: the telemetry start with its analytics and
// crash services and the crash-report consent, and the update feed's address. Qt-free: the
// application's start-up calls configureWithAppSecret(kQVTelemetryAppSecret) once on the main
// thread; the desktop supplies the consent alert through setCrashConsentAlert().
class ZKStoreHelper {
 public:
  // Runs the consent alert ("Always Send", "Send", "Don't Send") and answers its modal response.
  using ConsentAlert = std::function<int()>;
  // Receives the user's answer for the crash service: 2 always send, 1 send, 0 don't send.
  using ConfirmationSink = std::function<void(int)>;

  static std::shared_ptr<ZKStoreHelper> sharedHelper();

  // A 32-character text as 8-4-4-4-12 groups; a text with a dash as it is; nothing otherwise.
  static std::optional<std::string> formattedUUIDWithString(const std::optional<std::string>& text);
  // Whether this build has an update feed at all (its host is configured in QVUpdateConfiguration.h).
  static bool updateChecksAreAvailable();
  // The feed's address of this build (empty without a host).
  static std::string defaultFeedURL();
  // The consent value for an alert answer: 2, 1, 0 for the three buttons; nothing for others.
  static std::optional<int> crashConfirmationForResponse(int modalResponse);

  // The configuration entry: starts telemetry with the dashed secret and sets the update feed.
  void configureWithAppSecret(const std::optional<std::string>& secret);
  // Starts the telemetry SDK with the analytics and crash services and installs the consent handler.
  // A build without an ingestion address (and no address set) does not start the SDK.
  void configureTelemetryWithIdentifier(const std::optional<std::string>& identifier);
  // Registers the feed address for the update framework.
  void configureUpdaterWithURL(const std::string& address);
  // Asks the user (through the installed alert) and hands the answer to the crash service; always
  // answers true, so the crash service waits for the answer.
  bool promptUserForCrashHandlingConfirmation();

  void setCrashConsentAlert(ConsentAlert alert);
  // Where answers go; the crash service's notifyWithUserConfirmation unless replaced.
  void setConfirmationSink(ConfirmationSink sink);

  bool isConfigured() const;
  std::optional<std::string> feedURL() const;
  // Whether configureTelemetryWithIdentifier started the SDK.
  bool telemetryStarted() const;

 private:
  mutable std::mutex mutex_;
  bool configured_ = false;
  bool telemetryStarted_ = false;
  std::optional<std::string> feedURL_;
  ConsentAlert alert_;
  ConfirmationSink sink_;
};
