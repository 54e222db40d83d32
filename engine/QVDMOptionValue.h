#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Date.h"

// The type of an option's value, stored as its code. Archives may hold codes outside this list.
enum class QVDMOptionType : std::int64_t {
  invalid = -1,  // any type word that is none of the below
  string = 0,    // "string"
  boolean = 1,   // "boolean"
  number = 2,    // "number"
  date = 3,      // "date"
};

// The JSON kind a type's values have: strings for string and date values, numbers (booleans
// included) for boolean and number values, none for other codes.
enum class QVDMOptionClass { none, string, number };

// Raised when a value is set through the setter of another type: a programming error, never input.
class OptionTypeException : public std::logic_error {
 public:
  static constexpr const char* kName = "Option Type Exception";
  explicit OptionTypeException(const std::string& reason) : std::logic_error(reason) {}
  const char* name() const { return kName; }
};

// The value of one option: typed, with its choices (an array) or settings (an object). Secure string
// values live in the keychain under the owning option's uid; in memory while the module lives; never
// in the archive form.
//
// Values are made and changed on the main thread; the run reads actualJsonValue() from its own
// thread, so every field is read and written under a small lock (never held while calling out).
//
// The keychain may wait on the user (a keyring that is locked, or not made yet, shows a prompt), so
// it is never asked on the main thread: secure texts are written and read on the secret store's
// queue (platform::SecretStore::queue), and the answers come back on the main queue. A secure text
// kept in the keychain (a restored value) is read when it is first asked for; until then the value
// holds no text, yet does not count as empty.
class QVDMOptionValue : public std::enable_shared_from_this<QVDMOptionValue> {
 public:
  using Pointer = std::shared_ptr<QVDMOptionValue>;

  // What became of a write of a secure text: the keychain's status, 0 when the text is kept (or
  // nothing had to be written).
  struct SecureStoreResult {
    std::int32_t status = 0;
    bool kept() const { return status == 0; }
    // Why the text was not kept, in words ("the keyring's prompt was dismissed").
    std::string reason() const;
  };
  using SecureStoreCompletion = std::function<void(const SecureStoreResult&)>;

  // The value "dyn.SOUND_NAMES" of a string option's "specialType" setting.
  static constexpr const char* kSoundNamesSpecialType = "dyn.SOUND_NAMES";
  // The pattern in which dates are read and written.
  static constexpr const char* kDateFormat = "yyyy-MM-dd HH:mm";

  // A value of the type from a JSON value (an option's "default", an archived "jsonValue"), converted
  // with valueWithDefault under the options; nullptr for codes other than the four types.
  static Pointer valueWithObject(const nlohmann::json& object, QVDMOptionType type,
                                 const nlohmann::json& options, const std::string& uid);
  // The value of a new option: as valueWithObject, but the uid is new, so the keychain holds nothing
  // under it and there is no secure text to read.
  static Pointer newValueWithObject(const nlohmann::json& object, QVDMOptionType type,
                                    const nlohmann::json& options, const std::string& uid);
  // Converts a candidate JSON value to the type under the options: wrong kinds become the type's empty
  // value, choices and bounds apply, dates are parsed (and come back as their canonical text, or
  // null). Sound options always give the default sound.
  static nlohmann::json valueWithDefault(const nlohmann::json& candidate, const nlohmann::json& options,
                                         QVDMOptionType type);

  // The typed makers. A secure string value with a uid takes its text from the keychain, not from
  // the argument; the keychain is read when the text is first asked for.
  static Pointer initWithString(std::optional<std::string> string, const std::string& uid,
                                const nlohmann::json& options);
  static Pointer initWithBool(bool value, const std::string& uid, const nlohmann::json& options);
  static Pointer initWithNumber(const nlohmann::json& number, const std::string& uid,
                                const nlohmann::json& options);
  static Pointer initWithDate(std::optional<platform::Date> date, const std::string& uid,
                              const nlohmann::json& options);

  // A value of the type without a uid (the option that copies one gives it its own). A secure text
  // not read yet is read by the copy, from the item it was to be read from.
  Pointer copy() const;

  QVDMOptionType type() const { return type_; }
  bool boolValue() const;
  bool isSecure() const;
  nlohmann::json options() const;
  std::string uid() const;
  // The text in memory; a secure text not read yet starts its read and answers none meanwhile.
  std::optional<std::string> stringValue() const;
  // A JSON number, or null when absent.
  nlohmann::json numberValue() const;
  std::optional<platform::Date> dateValue() const;

  // Stores the options; a string value given a settings object takes "secure" from it and, for the
  // sound special type, keeps the sound list instead of the object.
  void setOptions(const nlohmann::json& options);
  void setUid(const std::string& uid);

  // Setters of the value's own type; another type raises OptionTypeException. A secure string is
  // also written to the keychain (or its item removed when the text is empty or absent), off the main
  // thread; `completion` then runs on the main queue with the keychain's answer (at once, on the
  // calling thread, when nothing is written). When the keychain does not keep the text, the value goes
  // back to the text the keychain last kept (unless it was set again meanwhile); the failure is logged.
  void setStringValue(std::optional<std::string> string, SecureStoreCompletion completion = {});
  // The JSON form: a value that is not a string is stored as absent.
  void setStringValue(const nlohmann::json& string);
  void setBoolValue(bool value);
  // A value that is not a number is stored as absent (booleans count as the numbers 0 and 1).
  void setNumberValue(const nlohmann::json& number);
  void setDateValue(std::optional<platform::Date> date);
  // Converts the JSON value under the current options and hands it to the setter of that type; the
  // invalid code logs "Unsupported type" and changes nothing.
  void setObjectValue(const nlohmann::json& object, QVDMOptionType type);
  void setObjectValue(const nlohmann::json& object);

  // Takes the text of `other`, the value of the same option before its package was read again, as
  // setStringValue with that text does; where both keep their secure text under the same uid the
  // keychain already holds it, and a text not read yet stays to be read.
  void takeStringValueFrom(const QVDMOptionValue& other);
  // Writes the secure text under the value's own uid (a duplicate's new one), first reading it from
  // the item the value was copied from when it was not read yet. Off the main thread; a failure is
  // logged.
  void keepSecureText();

  // True while a secure text kept in the keychain has not been read yet.
  bool isSecureTextPending() const;
  // Starts reading a secure text not read yet, on the secret store's queue; `completion` runs on the
  // main queue once the text is in memory (at once, on the calling thread, when there is nothing to
  // read).
  void loadSecureText(std::function<void()> completion = {}) const;
  // Off the main thread: starts the read and waits until the text is in memory, or until
  // `shouldStop` (asked every tenth of a second) answers true; true when the text is there. On the
  // main thread it never waits: it starts the read and answers whether the text is there.
  bool waitForSecureText(const std::function<bool()>& shouldStop = {}) const;
  // The keychain's answer to the last read of the secure text: 0 when it was read (also when the
  // keychain had none) or nothing was to be read, else why the keychain could not give it.
  std::int32_t secureReadStatus() const;

  // The archive form (a secure string is null) and the form handed to the module script (a secure
  // text not read yet starts its read and counts as absent).
  nlohmann::json jsonValueWithIncludeSecure(bool includeSecure) const;
  nlohmann::json jsonValue() const { return jsonValueWithIncludeSecure(false); }
  nlohmann::json actualJsonValue() const { return jsonValueWithIncludeSecure(true); }
  // A secure text not read yet is not empty (the keychain keeps one); asking starts its read.
  bool isEmpty() const;

  // True when the code is the value's type; raises OptionTypeException otherwise.
  bool forceType(QVDMOptionType type) const;

  // "<QVDMOptionValue: 0x...: type=0, value=..., options=...>"
  std::string description() const;

  // The sound choices: every built-in notification sound, a separator (null), then every sound of the
  // sound folders; each {"name": full path, "title": file name without extension}.
  static nlohmann::json soundsOptionsArray();
  static QVDMOptionClass classForType(QVDMOptionType type);
  // The type word's code, and the words in order ("string", "boolean", "number", "date").
  static QVDMOptionType typeForString(const std::string& word);
  // Dates in the stored pattern, in the user's time zone, Gregorian, strict (no 2020-02-30, no
  // trailing text).
  static std::optional<platform::Date> dateFromString(const std::string& text);
  static std::string stringFromDate(const platform::Date& date);

  explicit QVDMOptionValue(QVDMOptionType type);

 private:
  // A text, or the keychain item it is to be read from when not read yet.
  struct TextState {
    std::optional<std::string> text;
    std::optional<std::string> pendingUid;
  };

  void initWithUID(const std::string& uid, const nlohmann::json& options);
  // Writes or removes the keychain item of a secure value after a change of its text (the set number
  // `generation`), on the secret store's queue; a refused write puts back the text last kept.
  void storeSecureString(const std::optional<std::string>& string, const std::string& uid,
                         std::uint64_t generation, SecureStoreCompletion completion);
  // A read's answer (on the secret store's queue): fills in the text unless it was set meanwhile,
  // wakes the threads waiting for it and hands the waiting completions to the main queue.
  void finishSecureRead(const std::string& uid, std::optional<std::string> text, std::int32_t status,
                        bool wasLoad) const;

  const QVDMOptionType type_;
  mutable std::mutex mutex_;
  bool boolValue_ = false;
  bool isSecure_ = false;
  nlohmann::json options_;  // null, an array of choices or an object of settings
  std::string uid_;
  mutable std::optional<std::string> stringValue_;
  // The keychain key of a secure text not read yet; a new text set before the read replaces it.
  mutable std::optional<std::string> pendingSecureUid_;
  // Counts the sets of the text, so that a failed write puts back only what it replaced.
  std::uint64_t textGeneration_ = 0;
  // What the keychain holds for a secure value as far as its writes and reads tell (they run in
  // order): what a refused write goes back to.
  mutable TextState kept_;
  mutable bool secureReadRunning_ = false;
  mutable std::vector<std::function<void()>> secureReadWaiters_;
  mutable std::condition_variable secureTextRead_;
  mutable std::int32_t secureReadStatus_ = 0;
  nlohmann::json numberValue_;  // null or a number
  std::optional<platform::Date> dateValue_;
};
