#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/QVNotificationSink.h"
#include "platform/DispatchQueue.h"

class QVDashboardModule;

namespace platform {
class SettingsStore;
}

// Turns a module's "notification" output lines into user notifications: honours the module's
// notification options ("playSound" with "soundName", "bounceDock", "showPopup"), delivers each
// notification id once across launches, and opens a clicked notification's link.
//
// A notification line: {"type": "notification", "options": [{"id": any JSON value, "message": "...",
// "url": "...", "actionButtonTitle": "..."}]}. Ids compare by value as Foundation objects do
// (numbers by value, booleans as 0 and 1; the number 1 and the text "1" differ).
//
// The delivered ids are kept in the setting "seenNotificationIDs", written back after each new id on
// a writer thread of the centre (bursts coalesce into one write; the output threads never wait for
// the disk). Only the newest kMaximumSeenNotificationIDs are kept, so the setting stays bounded
// however many notifications modules send. A centre that goes away writes what is pending first.
//
// Threads: lines come from the output threads of several module runs at once; every operation is
// safe from any thread. The sink is called outside the centre's lock.
class QVNotificationCenter : public std::enable_shared_from_this<QVNotificationCenter> {
 public:
  static constexpr std::size_t kMaximumSeenNotificationIDs = 10000;

  // The application's centre, made on first use with the shared sink and the standard settings.
  static std::shared_ptr<QVNotificationCenter> sharedInstance();
  // The sink of the application's centre (the logging sink until the application installs the
  // desktop's); also given to the centre when it exists already. nullptr restores the logging sink.
  static void setSharedSink(std::shared_ptr<QVNotificationSink> sink);

  // A centre of its own (tests, tools): ids loaded from and stored in `settings` (kept in memory
  // only when it is nullptr).
  static std::shared_ptr<QVNotificationCenter> make(std::shared_ptr<QVNotificationSink> sink,
                                                    std::shared_ptr<platform::SettingsStore> settings);

  // Checks the whole output line, records its id and delivers it; true when delivered. Nothing is
  // delivered or recorded for a line whose "options" is not an array starting with an object that has
  // an "id" not seen before and a non-empty "message" text.
  bool deliverNotificationForModule(const std::shared_ptr<QVDashboardModule>& module,
                                    const nlohmann::json& options);
  // The sound, attention and pop-up actions the module's options ask for, in that order; `options` is
  // the line's first "options" element. The sound of a notification that is shown travels with the
  // pop-up (QVUserNotification::soundPath); only a sound without a pop-up is played by itself.
  void actuallyDeliverNotificationForModule(const std::shared_ptr<QVDashboardModule>& module,
                                            const std::string& message, const nlohmann::json& options);

  // The user clicked a notification: logs "Activate" and opens its "url", when it has one.
  void userNotificationCenterDidActivateNotification(const QVUserNotification& notification);
  // Notifications show even while the application is in front.
  bool userNotificationCenterShouldPresentNotification(const QVUserNotification& /*notification*/) const {
    return true;
  }

  // The delivered ids, oldest first.
  std::vector<nlohmann::json> deliveredNotificationIDs() const;
  // Waits until the ids delivered so far are written to the settings (tests, termination).
  void waitUntilStored();

  std::shared_ptr<QVNotificationSink> sink() const;
  void setSink(std::shared_ptr<QVNotificationSink> sink);

  // The key under which an id is compared: equal keys for ids that Foundation objects call equal.
  static std::string keyForNotificationID(const nlohmann::json& id);

  // Public for std::make_shared; use make().
  QVNotificationCenter(std::shared_ptr<QVNotificationSink> sink,
                       std::shared_ptr<platform::SettingsStore> settings);

 private:
  // Records the id unless it was seen; true when it was new.
  bool recordNotificationID(const nlohmann::json& id);
  // Asks the writer thread to store the ids.
  void storeNotificationIDs();
  // Writer thread: writes the newest list unless it was written already.
  void writeNotificationIDs();

  const std::shared_ptr<platform::SettingsStore> settings_;

  mutable std::mutex mutex_;
  std::shared_ptr<QVNotificationSink> sink_;
  std::deque<nlohmann::json> deliveredNotificationIDs_;  // oldest first
  std::deque<std::string> deliveredKeys_;                // the same order
  std::unordered_set<std::string> deliveredKeySet_;
  std::uint64_t version_ = 0;

  std::uint64_t writtenVersion_ = 0;  // writer thread only
  // Declared last, so that it is destroyed first: its pending writes run while everything they use
  // is still there.
  std::shared_ptr<platform::DispatchQueue> writer_;
};
