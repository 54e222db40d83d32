#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/Data.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/MainQueue.h"

namespace platform {

// Keychain status codes, as the callers of the keychain test them.
using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUserCanceled = -128;    // the user dismissed the keyring's prompt
inline constexpr OSStatus errSecParam = -50;            // a service or account that is not valid UTF-8
inline constexpr OSStatus errSecIO = -36;               // the store's file could not be read or written
inline constexpr OSStatus errSecNotAvailable = -25291;  // the Secret Service did not answer
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;  // the keyring is locked

// The keychain stand-in: generic-password items, one secret (any bytes) per service and account.
// Implementations:
// - the Secret Service (GNOME Keyring, KWallet, KeePassXC) through libsecret; items carry the
//   attributes "service" and "account";
// - a file store where no Secret Service answers: a binary property list of mode 0600 in a folder
//   of mode 0700, written atomically (the secrets are protected by file permissions only);
// - a memory store for tests.
// All are safe to use from several threads.
//
// A call may wait on the user: a Secret Service whose keyring is locked, or not made yet, shows a
// prompt of its own and answers only once that prompt is answered or dismissed, which can take
// minutes. The application therefore never calls a store on the main thread: it hands its calls
// to queue() and takes the answers on the main queue (perform). The Secret Service store asserts
// that it is not called on the main thread.
class SecretStore {
 public:
  virtual ~SecretStore() = default;

  // errSecSuccess, with the secret when `password` is not null, or errSecItemNotFound.
  OSStatus findGenericPassword(const std::string& service, const std::string& account,
                               Data* password = nullptr);
  // Adds an item; errSecDuplicateItem (and no change) when the item exists.
  OSStatus addGenericPassword(const std::string& service, const std::string& account, const Data& password);
  // Replaces an item's secret; errSecItemNotFound when there is no such item.
  OSStatus updateGenericPassword(const std::string& service, const std::string& account,
                                 const Data& password);
  // Deletes an item; errSecItemNotFound when there is no such item.
  OSStatus deleteGenericPassword(const std::string& service, const std::string& account);
  // Deletes every item of the service; errSecItemNotFound when there was none.
  OSStatus deleteAllGenericPasswords(const std::string& service);

  // "Secret Service", "file" or "memory".
  virtual std::string storeKind() const = 0;

  // Why a call failed, in words that end a sentence such as "The value could not be kept in the
  // keyring: <description>".
  static std::string statusDescription(OSStatus status);

  // The serial queue on which the application calls its secret stores. Calls keep their order, so
  // a read queued after a write sees the write. Its tasks may wait on a prompt for a long time; the
  // queue is never torn down, so that ending the program never waits for a prompt.
  static std::shared_ptr<DispatchQueue> queue();
  // Runs `work` on queue() and hands what it answers to `completion` on the main queue. Without a
  // main queue (a tool without an event loop) both run at once on the calling thread.
  template <typename Work, typename Completion>
  static void perform(Work work, Completion completion) {
    if (!MainQueue::shared()) {
      completion(work());
      return;
    }
    queue()->async([work = std::move(work), completion = std::move(completion)]() mutable {
      auto answer = work();
      if (auto main = MainQueue::shared()) {
        main->post([completion = std::move(completion), answer = std::move(answer)]() mutable {
          completion(std::move(answer));
        });
      }
    });
  }

  // The application's store, made on first use: the Secret Service when one answers on the
  // session bus, else the file store at standardFilePath() (announced once in the log).
  static std::shared_ptr<SecretStore> shared();
  // Replaces the application's store (tests install a memory store; nullptr chooses again).
  static void setShared(std::shared_ptr<SecretStore> store);

  // The Secret Service on the session bus, or nullptr (with the reason) when none answers.
  static std::shared_ptr<SecretStore> secretServiceStore(Error* error = nullptr);
  static std::shared_ptr<SecretStore> fileStore(const std::filesystem::path& path);
  // $XDG_DATA_HOME/<bundle id>-secrets/secrets.plist: beside the application-support folder, so
  // that backups of that folder never carry secrets.
  static std::filesystem::path standardFilePath();
  static std::shared_ptr<SecretStore> memoryStore();

 protected:
  // The operations proper; arguments are checked before they are called.
  virtual OSStatus find(const std::string& service, const std::string& account, Data* password) = 0;
  virtual OSStatus add(const std::string& service, const std::string& account, const Data& password) = 0;
  virtual OSStatus update(const std::string& service, const std::string& account, const Data& password) = 0;
  virtual OSStatus remove(const std::string& service, const std::string& account) = 0;
  virtual OSStatus removeAll(const std::string& service) = 0;
};

}  // namespace platform
