#include "engine/QVNotificationCenter.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "engine/NSSound+SystemSounds.h"
#include "engine/QVDashboardModule.h"
#include "engine/QVJsonValues.h"
#include "engine/QVLoggingNotificationSink.h"
#include "engine/QVSeenNotificationIDs.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "platform/Log.h"
#include "platform/SettingsStore.h"

namespace {

// A notification sound is a short clip; a bigger file is not read.
constexpr std::uint64_t kMaximumSoundBytes = std::uint64_t{32} << 20;

struct Shared {
  std::mutex mutex;
  std::shared_ptr<QVNotificationSink> sink;
  std::shared_ptr<QVNotificationCenter> center;
};

Shared& shared() {
  static Shared* state = new Shared();
  return *state;
}

// Whether a boolean notification option of the module is on.
bool optionIsOn(const QVDashboardModule& module, const std::string& name) {
  auto option = module.notificationOptionWithKey(name);
  if (!option || !option->value()) return false;
  return platform::json::boolValue(option->value()->actualJsonValue()).value_or(false);
}

// The trimmed text of a string member, when it is not empty after trimming.
std::optional<std::string> trimmedMember(const nlohmann::json& object, const char* key) {
  auto text = QVJsonString(QVJsonMember(object, key));
  if (!text) return std::nullopt;
  std::string trimmed = QVTrimmedString(*text);
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

std::string numberKey(double value) {
  // Whole numbers print as integers, so 1, 1.0 and true meet.
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.2e18) {
    return fmt::format("n:{}", static_cast<std::int64_t>(value));
  }
  return fmt::format("n:{}", value);
}

}  // namespace

std::shared_ptr<QVNotificationCenter> QVNotificationCenter::sharedInstance() {
  auto& state = shared();
  std::lock_guard lock(state.mutex);
  if (!state.center) {
    auto sink = state.sink ? state.sink : std::make_shared<QVLoggingNotificationSink>();
    state.center = make(sink, platform::SettingsStore::standardUserDefaults());
  }
  return state.center;
}

void QVNotificationCenter::setSharedSink(std::shared_ptr<QVNotificationSink> sink) {
  auto& state = shared();
  std::shared_ptr<QVNotificationCenter> center;
  {
    std::lock_guard lock(state.mutex);
    state.sink = sink;
    center = state.center;
  }
  if (center) center->setSink(sink ? sink : std::make_shared<QVLoggingNotificationSink>());
}

std::shared_ptr<QVNotificationCenter> QVNotificationCenter::make(
    std::shared_ptr<QVNotificationSink> sink, std::shared_ptr<platform::SettingsStore> settings) {
  return std::make_shared<QVNotificationCenter>(std::move(sink), std::move(settings));
}

QVNotificationCenter::QVNotificationCenter(std::shared_ptr<QVNotificationSink> sink,
                                           std::shared_ptr<platform::SettingsStore> settings)
    : settings_(std::move(settings)),
      sink_(std::move(sink)),
      writer_(platform::DispatchQueue::serial("QVNotificationCenter.seenNotificationIDs")) {
  if (!sink_) sink_ = std::make_shared<QVLoggingNotificationSink>();
  if (!settings_) return;
  auto stored = QVReadSeenNotificationIDs(*settings_);
  if (!stored) return;
  // Keep the newest ids (the end of the list), once each.
  std::size_t first =
      stored->size() > kMaximumSeenNotificationIDs ? stored->size() - kMaximumSeenNotificationIDs : 0;
  for (std::size_t i = first; i < stored->size(); ++i) recordNotificationID((*stored)[i]);
}

std::string QVNotificationCenter::keyForNotificationID(const nlohmann::json& id) {
  using Type = nlohmann::json::value_t;
  switch (id.type()) {
    case Type::null:
      return "z";
    case Type::boolean:
      return id.get<bool>() ? "n:1" : "n:0";
    case Type::number_integer:
      return fmt::format("n:{}", id.get<std::int64_t>());
    case Type::number_unsigned: {
      auto value = id.get<std::uint64_t>();
      if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return fmt::format("n:{}", value);
      }
      return numberKey(static_cast<double>(value));
    }
    case Type::number_float:
      return numberKey(id.get<double>());
    case Type::string: {
      const auto& text = id.get_ref<const std::string&>();
      return fmt::format("s{}:{}", text.size(), text);
    }
    case Type::array: {
      std::string key = "a[";
      for (const auto& item : id) {
        std::string part = keyForNotificationID(item);
        key += fmt::format("{}:{}", part.size(), part);
      }
      return key + "]";
    }
    case Type::object: {
      // Members come sorted by name.
      std::string key = "o{";
      for (const auto& [name, value] : id.items()) {
        std::string part = keyForNotificationID(value);
        key += fmt::format("{}:{}{}:{}", name.size(), name, part.size(), part);
      }
      return key + "}";
    }
    default:
      return "?";
  }
}

bool QVNotificationCenter::recordNotificationID(const nlohmann::json& id) {
  std::string key = keyForNotificationID(id);
  std::lock_guard lock(mutex_);
  if (deliveredKeySet_.count(key)) return false;
  deliveredKeySet_.insert(key);
  deliveredKeys_.push_back(std::move(key));
  deliveredNotificationIDs_.push_back(id);
  while (deliveredNotificationIDs_.size() > kMaximumSeenNotificationIDs) {
    deliveredKeySet_.erase(deliveredKeys_.front());
    deliveredKeys_.pop_front();
    deliveredNotificationIDs_.pop_front();
  }
  ++version_;
  return true;
}

void QVNotificationCenter::storeNotificationIDs() {
  if (!settings_) return;
  // The writer is destroyed before anything it uses, and drains its work first.
  writer_->async([this] { writeNotificationIDs(); });
}

void QVNotificationCenter::writeNotificationIDs() {
  std::vector<nlohmann::json> ids;
  std::uint64_t version;
  {
    std::lock_guard lock(mutex_);
    if (version_ <= writtenVersion_) return;  // an earlier request wrote this list already
    ids.assign(deliveredNotificationIDs_.begin(), deliveredNotificationIDs_.end());
    version = version_;
  }
  if (!QVWriteSeenNotificationIDs(*settings_, ids)) {
    platform::log("Could not save the delivered notification ids");
  }
  writtenVersion_ = version;
}

void QVNotificationCenter::waitUntilStored() {
  writer_->sync([] {});
}

std::vector<nlohmann::json> QVNotificationCenter::deliveredNotificationIDs() const {
  std::lock_guard lock(mutex_);
  return {deliveredNotificationIDs_.begin(), deliveredNotificationIDs_.end()};
}

std::shared_ptr<QVNotificationSink> QVNotificationCenter::sink() const {
  std::lock_guard lock(mutex_);
  return sink_;
}

void QVNotificationCenter::setSink(std::shared_ptr<QVNotificationSink> sink) {
  if (!sink) return;
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

bool QVNotificationCenter::deliverNotificationForModule(const std::shared_ptr<QVDashboardModule>& module,
                                                        const nlohmann::json& options) {
  const nlohmann::json* list = QVJsonMember(options, "options");
  if (!list || !list->is_array() || list->empty()) return false;
  const nlohmann::json& first = list->front();
  if (!first.is_object()) return false;
  const nlohmann::json* id = QVJsonMember(first, "id");
  if (!id) return false;
  auto message = QVJsonString(QVJsonMember(first, "message"));
  if (!message || message->empty()) return false;
  // Recorded before the options are looked at: it counts as delivered even with every option off.
  if (!recordNotificationID(*id)) return false;
  storeNotificationIDs();
  actuallyDeliverNotificationForModule(module, *message, first);
  return true;
}

void QVNotificationCenter::actuallyDeliverNotificationForModule(
    const std::shared_ptr<QVDashboardModule>& module, const std::string& message,
    const nlohmann::json& options) {
  if (!module) return;
  auto sink = this->sink();
  // Each option is read once, so that the sound and the pop-up agree about this notification even
  // while the user changes the options.
  const bool popup = optionIsOn(*module, "showPopup");

  // The sound of a notification that is shown goes with it: the desktop plays it as the
  // notification's own sound (or the sink plays it when the desktop cannot). Handed over separately,
  // the sink could not tell whether a pop-up was still to come, and the sound could be lost or heard
  // twice.
  std::optional<std::string> soundPath;
  if (optionIsOn(*module, "playSound")) {
    auto soundOption = module->notificationOptionWithKey("soundName");
    auto path = soundOption && soundOption->value() ? soundOption->value()->stringValue() : std::nullopt;
    if (path && !path->empty() && zk_isSoundFileAtPath(*path)) {
      if (popup) {
        soundPath = *path;
      } else if (auto sound = platform::files::readFile(*path, nullptr, kMaximumSoundBytes)) {
        sink->playSound(*sound, *path);
      }
    }
  }

  if (optionIsOn(*module, "bounceDock")) sink->requestUserAttention();

  if (popup) {
    QVUserNotification notification;
    notification.title = module->displayName().value_or("");
    notification.informativeText = message;
    if (auto url = trimmedMember(options, "url")) notification.userInfo = {{"url", *url}};
    notification.actionButtonTitle = trimmedMember(options, "actionButtonTitle");
    notification.soundPath = std::move(soundPath);
    sink->deliverNotification(notification);
  }
}

void QVNotificationCenter::userNotificationCenterDidActivateNotification(
    const QVUserNotification& notification) {
  platform::log("Activate");
  auto url = QVJsonString(QVJsonMember(notification.userInfo, "url"));
  if (url && !url->empty()) sink()->openURL(*url);
}
