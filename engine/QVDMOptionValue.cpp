#include "engine/QVDMOptionValue.h"

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>

#include "engine/NSSound+SystemSounds.h"
#include "engine/QVJsonValues.h"
#include "engine/ZKKeychain.h"
#include "platform/Json.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/SecretStore.h"

namespace {

// The keychain may wait on a prompt: its calls go to the secret store's queue and their answers to
// the main queue. A tool without an event loop (no main queue) runs both at once.
void offMainThread(std::function<void()> work) {
  if (platform::MainQueue::shared()) {
    platform::SecretStore::queue()->async(std::move(work));
  } else {
    work();
  }
}

void onMainThread(std::function<void()> work) {
  if (auto main = platform::MainQueue::shared()) {
    main->post(std::move(work));
  } else {
    work();
  }
}

// Dates are written as "yyyy-MM-dd HH:mm" with ASCII digits in the Gregorian calendar whatever the
// user's locale, so that an archive reads back the same anywhere; the time zone is the user's. The C
// library's local-time conversion does the work: a calendar library would load its locale and time
// zone data into every start of the program for the few date options of the module catalogue.

// Reads 1 to `most` ASCII digits at `at`; nothing when there is no digit.
std::optional<int> readDigits(const std::string& text, std::size_t& at, std::size_t most) {
  int value = 0;
  std::size_t count = 0;
  while (at < text.size() && count < most && text[at] >= '0' && text[at] <= '9') {
    value = value * 10 + (text[at] - '0');
    ++at;
    ++count;
  }
  if (count == 0) return std::nullopt;
  return value;
}

bool readSeparator(const std::string& text, std::size_t& at, char separator) {
  if (at >= text.size() || text[at] != separator) return false;
  ++at;
  return true;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

bool isOfClass(const nlohmann::json& value, QVDMOptionClass kind) {
  switch (kind) {
    case QVDMOptionClass::string:
      return value.is_string();
    case QVDMOptionClass::number:
      return value.is_number() || value.is_boolean();
    case QVDMOptionClass::none:
      return false;
  }
  return false;
}

bool isSoundSettings(const nlohmann::json& options) {
  auto special = QVJsonString(QVJsonMember(options, "specialType"));
  return special && *special == QVDMOptionValue::kSoundNamesSpecialType;
}

// The default of every sound option: the sixth built-in sound (the last one when fewer are shipped,
// the empty text when there are none).
nlohmann::json defaultSound() {
  const auto& sounds = zk_bundledNotificationSounds();
  if (sounds.empty()) return "";
  return sounds.size() > 5 ? sounds[5] : sounds.back();
}

double optionNumberOf(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>() ? 1.0 : 0.0;
  return value.get<double>();
}

// Numbers compare by value; integers exactly.
int compareNumbers(const nlohmann::json& a, const nlohmann::json& b) {
  if (a.is_number_integer() && b.is_number_integer()) {
    auto x = a.get<std::int64_t>(), y = b.get<std::int64_t>();
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  double x = optionNumberOf(a), y = optionNumberOf(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

// A number value as it is kept: booleans become the integers 0 and 1; anything else not a number is
// absent.
nlohmann::json normalisedNumber(const nlohmann::json& number) {
  if (number.is_boolean()) return number.get<bool>() ? 1 : 0;
  if (number.is_number()) return number;
  return nullptr;
}

}  // namespace

QVDMOptionValue::QVDMOptionValue(QVDMOptionType type) : type_(type) {}

QVDMOptionClass QVDMOptionValue::classForType(QVDMOptionType type) {
  switch (type) {
    case QVDMOptionType::string:
    case QVDMOptionType::date:
      return QVDMOptionClass::string;
    case QVDMOptionType::boolean:
    case QVDMOptionType::number:
      return QVDMOptionClass::number;
    default:
      return QVDMOptionClass::none;
  }
}

QVDMOptionType QVDMOptionValue::typeForString(const std::string& word) {
  if (word == "string") return QVDMOptionType::string;
  if (word == "number") return QVDMOptionType::number;
  if (word == "boolean") return QVDMOptionType::boolean;
  if (word == "date") return QVDMOptionType::date;
  return QVDMOptionType::invalid;
}

std::optional<platform::Date> QVDMOptionValue::dateFromString(const std::string& text) {
  // Strict: every field present and in range (no 30 February), nothing before or after.
  std::size_t at = 0;
  auto year = readDigits(text, at, 4);
  if (!year || !readSeparator(text, at, '-')) return std::nullopt;
  auto month = readDigits(text, at, 2);
  if (!month || !readSeparator(text, at, '-')) return std::nullopt;
  auto day = readDigits(text, at, 2);
  if (!day || !readSeparator(text, at, ' ')) return std::nullopt;
  auto hour = readDigits(text, at, 2);
  if (!hour || !readSeparator(text, at, ':')) return std::nullopt;
  auto minute = readDigits(text, at, 2);
  if (!minute || at != text.size()) return std::nullopt;
  if (*year < 1 || *month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
      *minute > 59) {
    return std::nullopt;
  }
  std::tm fields{};
  fields.tm_year = *year - 1900;
  fields.tm_mon = *month - 1;
  fields.tm_mday = *day;
  fields.tm_hour = *hour;
  fields.tm_min = *minute;
  fields.tm_isdst = -1;  // the zone's rules decide whether summer time applies
  errno = 0;
  const std::time_t seconds = std::mktime(&fields);
  if (seconds == static_cast<std::time_t>(-1) && errno != 0) return std::nullopt;
  return platform::Date::fromTimeIntervalSince1970(static_cast<double>(seconds));
}

std::string QVDMOptionValue::stringFromDate(const platform::Date& date) {
  const double interval = std::floor(date.timeIntervalSince1970());
  if (!std::isfinite(interval)) return {};
  const auto seconds = static_cast<std::time_t>(interval);
  std::tm fields{};
  if (!localtime_r(&seconds, &fields)) return {};
  return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}", fields.tm_year + 1900, fields.tm_mon + 1,
                     fields.tm_mday, fields.tm_hour, fields.tm_min);
}

nlohmann::json QVDMOptionValue::soundsOptionsArray() {
  nlohmann::json list = nlohmann::json::array();
  auto entry = [](const std::string& path) {
    return nlohmann::json{{"name", path}, {"title", std::filesystem::path(path).stem().string()}};
  };
  for (const auto& path : zk_bundledNotificationSounds()) list.push_back(entry(path));
  list.push_back(nullptr);
  for (const auto& path : zk_allSoundsArray()) list.push_back(entry(path));
  return list;
}

nlohmann::json QVDMOptionValue::valueWithDefault(const nlohmann::json& candidate,
                                                 const nlohmann::json& options, QVDMOptionType type) {
  const bool wellTyped = isOfClass(candidate, classForType(type));
  nlohmann::json result = candidate;

  if (type == QVDMOptionType::string && options.is_object() && isSoundSettings(options)) {
    result = defaultSound();
  } else if (type == QVDMOptionType::date) {
    std::optional<platform::Date> date;
    if (candidate.is_string()) date = dateFromString(candidate.get<std::string>());
    result = date ? nlohmann::json(stringFromDate(*date)) : nlohmann::json(nullptr);
  } else if (!wellTyped) {
    switch (type) {
      case QVDMOptionType::string:
        result = "";
        break;
      case QVDMOptionType::boolean:
        result = false;
        break;
      case QVDMOptionType::number:
        result = 0;
        break;
      default:
        result = nullptr;
        break;
    }
  }

  if (options.is_array()) {
    bool found = false;
    if (!result.is_null()) {
      for (const auto& choice : options) {
        const nlohmann::json* name = choice.is_object() ? QVJsonMember(choice, "name") : &choice;
        if (name && QVJsonValuesEqual(*name, result)) {
          found = true;
          break;
        }
      }
    }
    if (!found) {
      if (options.empty()) {
        result = nullptr;
      } else {
        const nlohmann::json& first = options.front();
        if (first.is_object()) {
          const nlohmann::json* name = QVJsonMember(first, "name");
          result = name ? *name : nlohmann::json(nullptr);
        } else {
          result = first;
        }
      }
    }
  } else if (options.is_object() && type == QVDMOptionType::number) {
    const nlohmann::json* minimum = QVJsonMember(options, "min");
    const nlohmann::json* maximum = QVJsonMember(options, "max");
    if (minimum && isOfClass(*minimum, QVDMOptionClass::number)) {
      if (!wellTyped || !isOfClass(result, QVDMOptionClass::number) || compareNumbers(result, *minimum) < 0) {
        result = *minimum;
      }
    }
    if (maximum && isOfClass(*maximum, QVDMOptionClass::number) &&
        isOfClass(result, QVDMOptionClass::number) && compareNumbers(result, *maximum) > 0) {
      result = *maximum;
    }
  }
  return result;
}

QVDMOptionValue::Pointer QVDMOptionValue::valueWithObject(const nlohmann::json& object, QVDMOptionType type,
                                                          const nlohmann::json& options,
                                                          const std::string& uid) {
  nlohmann::json converted = valueWithDefault(object, options, type);
  switch (type) {
    case QVDMOptionType::string:
      return initWithString(QVJsonString(&converted), uid, options);
    case QVDMOptionType::boolean:
      return initWithBool(platform::json::boolValue(converted).value_or(false), uid, options);
    case QVDMOptionType::number:
      return initWithNumber(converted, uid, options);
    case QVDMOptionType::date: {
      std::optional<platform::Date> date;
      if (converted.is_string()) date = dateFromString(converted.get<std::string>());
      return initWithDate(date, uid, options);
    }
    default:
      return nullptr;
  }
}

QVDMOptionValue::Pointer QVDMOptionValue::newValueWithObject(const nlohmann::json& object,
                                                             QVDMOptionType type,
                                                             const nlohmann::json& options,
                                                             const std::string& uid) {
  auto value = valueWithObject(object, type, options, uid);
  if (value) {
    std::lock_guard lock(value->mutex_);
    value->pendingSecureUid_.reset();
    value->kept_ = {};
  }
  return value;
}

void QVDMOptionValue::initWithUID(const std::string& uid, const nlohmann::json& options) {
  {
    std::lock_guard lock(mutex_);
    uid_ = uid;
  }
  setOptions(options);
}

QVDMOptionValue::Pointer QVDMOptionValue::initWithString(std::optional<std::string> string,
                                                         const std::string& uid,
                                                         const nlohmann::json& options) {
  auto value = std::make_shared<QVDMOptionValue>(QVDMOptionType::string);
  value->initWithUID(uid, options);
  std::lock_guard lock(value->mutex_);
  if (value->isSecure_ && !uid.empty()) {
    value->pendingSecureUid_ = uid;
    value->kept_ = {std::nullopt, uid};
    string.reset();
  }
  value->stringValue_ = std::move(string);
  return value;
}

QVDMOptionValue::Pointer QVDMOptionValue::initWithBool(bool flag, const std::string& uid,
                                                       const nlohmann::json& options) {
  auto value = std::make_shared<QVDMOptionValue>(QVDMOptionType::boolean);
  value->initWithUID(uid, options);
  std::lock_guard lock(value->mutex_);
  value->boolValue_ = flag;
  return value;
}

QVDMOptionValue::Pointer QVDMOptionValue::initWithNumber(const nlohmann::json& number, const std::string& uid,
                                                         const nlohmann::json& options) {
  auto value = std::make_shared<QVDMOptionValue>(QVDMOptionType::number);
  value->initWithUID(uid, options);
  std::lock_guard lock(value->mutex_);
  value->numberValue_ = normalisedNumber(number);
  return value;
}

QVDMOptionValue::Pointer QVDMOptionValue::initWithDate(std::optional<platform::Date> date,
                                                       const std::string& uid,
                                                       const nlohmann::json& options) {
  auto value = std::make_shared<QVDMOptionValue>(QVDMOptionType::date);
  value->initWithUID(uid, options);
  std::lock_guard lock(value->mutex_);
  value->dateValue_ = date;
  return value;
}

QVDMOptionValue::Pointer QVDMOptionValue::copy() const {
  auto value = std::make_shared<QVDMOptionValue>(type_);
  std::lock_guard lock(mutex_);
  value->options_ = options_;
  value->boolValue_ = boolValue_;
  value->stringValue_ = stringValue_;
  value->pendingSecureUid_ = pendingSecureUid_;
  value->kept_ = {stringValue_, pendingSecureUid_};
  value->numberValue_ = numberValue_;
  value->dateValue_ = dateValue_;
  value->isSecure_ = isSecure_;
  return value;
}

bool QVDMOptionValue::boolValue() const {
  std::lock_guard lock(mutex_);
  return boolValue_;
}

bool QVDMOptionValue::isSecure() const {
  std::lock_guard lock(mutex_);
  return isSecure_;
}

nlohmann::json QVDMOptionValue::options() const {
  std::lock_guard lock(mutex_);
  return options_;
}

std::string QVDMOptionValue::uid() const {
  std::lock_guard lock(mutex_);
  return uid_;
}

std::optional<std::string> QVDMOptionValue::stringValue() const {
  loadSecureText();
  std::lock_guard lock(mutex_);
  return stringValue_;
}

nlohmann::json QVDMOptionValue::numberValue() const {
  std::lock_guard lock(mutex_);
  return numberValue_;
}

std::optional<platform::Date> QVDMOptionValue::dateValue() const {
  std::lock_guard lock(mutex_);
  return dateValue_;
}

void QVDMOptionValue::setOptions(const nlohmann::json& options) {
  nlohmann::json stored = options;
  std::optional<bool> secure;
  if (type_ == QVDMOptionType::string && options.is_object()) {
    // Read as Foundation reads a flag, so that "secure": "true" also keeps the text out of archives.
    const nlohmann::json* flag = QVJsonMember(options, "secure");
    secure = flag ? platform::json::boolValue(*flag).value_or(false) : false;
    if (isSoundSettings(options)) stored = soundsOptionsArray();
  }
  std::lock_guard lock(mutex_);
  if (secure) isSecure_ = *secure;
  options_ = std::move(stored);
}

void QVDMOptionValue::setUid(const std::string& uid) {
  std::lock_guard lock(mutex_);
  uid_ = uid;
}

bool QVDMOptionValue::forceType(QVDMOptionType type) const {
  if (type == type_) return true;
  throw OptionTypeException(fmt::format(
      "You're attempting to set the value for a different type. Expected type: {}, received type: {}",
      static_cast<std::int64_t>(type_), static_cast<std::int64_t>(type)));
}

void QVDMOptionValue::setStringValue(std::optional<std::string> string, SecureStoreCompletion completion) {
  forceType(QVDMOptionType::string);
  bool secure;
  std::string uid;
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    stringValue_ = string;
    pendingSecureUid_.reset();
    generation = ++textGeneration_;
    secure = isSecure_;
    uid = uid_;
  }
  // A run waiting for the keychain's text takes this one.
  secureTextRead_.notify_all();
  if (!secure) {
    if (completion) completion({});
    return;
  }
  storeSecureString(string, uid, generation, std::move(completion));
}

void QVDMOptionValue::setStringValue(const nlohmann::json& string) { setStringValue(QVJsonString(&string)); }

std::string QVDMOptionValue::SecureStoreResult::reason() const {
  return kept() ? std::string() : platform::SecretStore::statusDescription(status);
}

void QVDMOptionValue::storeSecureString(const std::optional<std::string>& string, const std::string& uid,
                                        std::uint64_t generation, SecureStoreCompletion completion) {
  if (uid.empty()) {
    platform::log("NOT SETTING SECURE BECAUSE WE'RE MISSING THE UID!!");
    if (completion) completion({});
    return;
  }
  std::weak_ptr<QVDMOptionValue> weak = weak_from_this();
  offMainThread([weak, string, uid, generation, completion = std::move(completion)] {
    auto keychain = ZKKeychain::sharedHelper();
    std::int32_t status;
    if (string && !string->empty()) {
      status = keychain->writeSecureValue(*string, uid);
    } else {
      // Removing an item that is not there leaves the keychain as wanted.
      status = keychain->writeSecureValue(std::nullopt, uid);
      if (status == platform::errSecItemNotFound) status = platform::errSecSuccess;
    }
    if (auto self = weak.lock()) {
      std::lock_guard lock(self->mutex_);
      if (status == platform::errSecSuccess) {
        self->kept_ = {string && !string->empty() ? string : std::nullopt, std::nullopt};
      } else if (self->textGeneration_ == generation) {
        // Not kept: the value holds what the keychain holds, unless it was set again meanwhile.
        self->stringValue_ = self->kept_.text;
        self->pendingSecureUid_ = self->kept_.pendingUid;
      }
    }
    if (completion) onMainThread([completion, status] { completion({status}); });
  });
}

void QVDMOptionValue::takeStringValueFrom(const QVDMOptionValue& other) {
  forceType(QVDMOptionType::string);
  if (&other == this) return;
  std::optional<std::string> text;
  std::optional<std::string> pending;
  bool otherSecure;
  std::string otherUid;
  {
    std::lock_guard lock(other.mutex_);
    text = other.stringValue_;
    pending = other.pendingSecureUid_;
    otherSecure = other.isSecure_;
    otherUid = other.uid_;
  }
  bool secure;
  bool sameItem;
  {
    std::lock_guard lock(mutex_);
    secure = isSecure_;
    sameItem = secure && otherSecure && !uid_.empty() && uid_ == otherUid;
    if (sameItem || pending) {
      stringValue_ = pending ? std::nullopt : text;
      pendingSecureUid_ = pending;
      ++textGeneration_;
      if (sameItem) kept_ = {stringValue_, pendingSecureUid_};
    }
  }
  if (!pending && !sameItem) {
    setStringValue(text);
  } else if (pending && !sameItem) {
    // The text is in another item, or not kept in the keychain at all now: read it, and keep it
    // under this value's uid where it is secure.
    if (secure) {
      keepSecureText();
    } else {
      loadSecureText();
    }
  }
}

void QVDMOptionValue::keepSecureText() {
  std::optional<std::string> source;
  std::optional<std::string> text;
  std::string uid;
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (!isSecure_ || type_ != QVDMOptionType::string) return;
    source = pendingSecureUid_;
    text = stringValue_;
    uid = uid_;
    generation = textGeneration_;
  }
  if (!source) {
    storeSecureString(text, uid, generation, {});
    return;
  }
  if (uid.empty()) {
    platform::log("NOT SETTING SECURE BECAUSE WE'RE MISSING THE UID!!");
    return;
  }
  std::weak_ptr<const QVDMOptionValue> weak = weak_from_this();
  offMainThread([weak, from = *source, uid] {
    auto keychain = ZKKeychain::sharedHelper();
    std::int32_t status = 0;
    auto read = keychain->secureValueForKey(from, &status);
    if (auto self = weak.lock()) self->finishSecureRead(from, read, status, false);
    if (read && !read->empty()) keychain->writeSecureValue(*read, uid);
  });
}

bool QVDMOptionValue::isSecureTextPending() const {
  std::lock_guard lock(mutex_);
  return pendingSecureUid_.has_value();
}

std::int32_t QVDMOptionValue::secureReadStatus() const {
  std::lock_guard lock(mutex_);
  return secureReadStatus_;
}

void QVDMOptionValue::loadSecureText(std::function<void()> completion) const {
  std::string uid;
  {
    std::lock_guard lock(mutex_);
    if (pendingSecureUid_) {
      if (completion) secureReadWaiters_.push_back(std::move(completion));
      if (secureReadRunning_) return;
      secureReadRunning_ = true;
      uid = *pendingSecureUid_;
    }
  }
  if (uid.empty()) {
    if (completion) completion();
    return;
  }
  std::weak_ptr<const QVDMOptionValue> weak = weak_from_this();
  offMainThread([weak, uid] {
    auto self = weak.lock();
    if (!self) return;
    std::int32_t status = 0;
    auto text = ZKKeychain::sharedHelper()->secureValueForKey(uid, &status);
    self->finishSecureRead(uid, std::move(text), status, true);
  });
}

void QVDMOptionValue::finishSecureRead(const std::string& uid, std::optional<std::string> text,
                                       std::int32_t status, bool wasLoad) const {
  std::vector<std::function<void()>> waiters;
  bool readAgain = false;
  {
    std::lock_guard lock(mutex_);
    if (wasLoad) secureReadRunning_ = false;
    // A text set meanwhile wins over the keychain's older one.
    if (pendingSecureUid_ && *pendingSecureUid_ == uid) {
      stringValue_ = std::move(text);
      pendingSecureUid_.reset();
      if (kept_.pendingUid == uid) kept_ = {stringValue_, std::nullopt};
      secureReadStatus_ = status == platform::errSecItemNotFound ? platform::errSecSuccess : status;
    }
    // Still to be read from elsewhere (the text was taken from another value meanwhile).
    readAgain = wasLoad && pendingSecureUid_.has_value();
    if (!pendingSecureUid_) waiters.swap(secureReadWaiters_);
  }
  secureTextRead_.notify_all();
  if (status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
    platform::log("Could not read the secure value {}: {}", uid,
                  platform::SecretStore::statusDescription(status));
  }
  if (readAgain) loadSecureText();
  if (!waiters.empty()) {
    onMainThread([waiters = std::move(waiters)] {
      for (const auto& waiter : waiters) waiter();
    });
  }
}

bool QVDMOptionValue::waitForSecureText(const std::function<bool()>& shouldStop) const {
  loadSecureText();
  if (platform::MainQueue::isMainThread()) return !isSecureTextPending();
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (secureTextRead_.wait_for(lock, std::chrono::milliseconds(100), [&] { return !pendingSecureUid_; }))
        return true;
    }
    if (shouldStop && shouldStop()) return false;
  }
}

void QVDMOptionValue::setBoolValue(bool flag) {
  forceType(QVDMOptionType::boolean);
  std::lock_guard lock(mutex_);
  boolValue_ = flag;
}

void QVDMOptionValue::setNumberValue(const nlohmann::json& number) {
  forceType(QVDMOptionType::number);
  std::lock_guard lock(mutex_);
  numberValue_ = normalisedNumber(number);
}

void QVDMOptionValue::setDateValue(std::optional<platform::Date> date) {
  forceType(QVDMOptionType::date);
  std::lock_guard lock(mutex_);
  dateValue_ = date;
}

void QVDMOptionValue::setObjectValue(const nlohmann::json& object, QVDMOptionType type) {
  nlohmann::json converted = valueWithDefault(object, options(), type);
  switch (type) {
    case QVDMOptionType::string:
      setStringValue(converted);
      break;
    case QVDMOptionType::boolean:
      setBoolValue(platform::json::boolValue(converted).value_or(false));
      break;
    case QVDMOptionType::number:
      setNumberValue(converted);
      break;
    case QVDMOptionType::date: {
      std::optional<platform::Date> date;
      if (converted.is_string()) date = dateFromString(converted.get<std::string>());
      setDateValue(date);
      break;
    }
    case QVDMOptionType::invalid:
      platform::log("Unsupported type");
      break;
    default:
      break;
  }
}

void QVDMOptionValue::setObjectValue(const nlohmann::json& object) { setObjectValue(object, type_); }

nlohmann::json QVDMOptionValue::jsonValueWithIncludeSecure(bool includeSecure) const {
  if (includeSecure) loadSecureText();
  std::lock_guard lock(mutex_);
  switch (type_) {
    case QVDMOptionType::string:
      if (!stringValue_ || (isSecure_ && !includeSecure)) return nullptr;
      return *stringValue_;
    case QVDMOptionType::boolean:
      return boolValue_;
    case QVDMOptionType::number:
      return numberValue_;
    case QVDMOptionType::date:
      if (!dateValue_) return nullptr;
      return stringFromDate(*dateValue_);
    default:
      return nullptr;
  }
}

bool QVDMOptionValue::isEmpty() const {
  loadSecureText();
  std::lock_guard lock(mutex_);
  switch (type_) {
    case QVDMOptionType::string:
      if (pendingSecureUid_) return false;
      return !stringValue_ || stringValue_->empty();
    case QVDMOptionType::boolean:
      return false;
    case QVDMOptionType::number:
      return numberValue_.is_null();
    case QVDMOptionType::date:
      return !dateValue_;
    case QVDMOptionType::invalid:
      return true;
    default:
      return false;
  }
}

std::string QVDMOptionValue::description() const {
  nlohmann::json value = jsonValue();
  nlohmann::json options = this->options();
  return fmt::format("<QVDMOptionValue: {}: type={}, value={}, options={}>", static_cast<const void*>(this),
                     static_cast<std::int64_t>(type_), QVJsonDescription(&value),
                     QVJsonDescription(&options));
}
