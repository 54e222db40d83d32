#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/SecretStore.h"

namespace qvtesting {

// A memory secret store that behaves like a keyring a user has to answer: it can hold every call
// until the test lets it go (a prompt left open), refuse writes (a prompt dismissed) and fail reads.
// It counts the reads it answers.
class GatedSecretStore : public platform::SecretStore {
 public:
  std::atomic<int> reads{0};
  // Calls held at the gate now.
  std::atomic<int> waiting{0};

  std::string storeKind() const override { return "gated"; }

  // Holds every call from now until release().
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    released_.notify_all();
  }
  // The next writes answer these statuses, one each, in order (errSecSuccess: written).
  void refuseWrites(std::vector<platform::OSStatus> statuses) {
    std::lock_guard lock(mutex_);
    refusals_.assign(statuses.begin(), statuses.end());
  }
  // Reads of a secret answer this status instead (errSecSuccess: they work again).
  void failReads(platform::OSStatus status) { readFailure_ = status; }

 protected:
  platform::OSStatus find(const std::string& service, const std::string& account,
                          platform::Data* password) override {
    pass();
    ++reads;
    if (password && readFailure_ != platform::errSecSuccess) return readFailure_;
    return inner_->findGenericPassword(service, account, password);
  }
  platform::OSStatus add(const std::string& service, const std::string& account,
                         const platform::Data& password) override {
    pass();
    if (auto refusal = nextRefusal()) return *refusal;
    return inner_->addGenericPassword(service, account, password);
  }
  platform::OSStatus update(const std::string& service, const std::string& account,
                            const platform::Data& password) override {
    pass();
    if (auto refusal = nextRefusal()) return *refusal;
    return inner_->updateGenericPassword(service, account, password);
  }
  platform::OSStatus remove(const std::string& service, const std::string& account) override {
    pass();
    return inner_->deleteGenericPassword(service, account);
  }
  platform::OSStatus removeAll(const std::string& service) override {
    pass();
    return inner_->deleteAllGenericPasswords(service);
  }

 private:
  void pass() {
    std::unique_lock lock(mutex_);
    ++waiting;
    released_.wait(lock, [&] { return !held_; });
    --waiting;
  }

  // The refusal of the next write; none when it is to be written.
  std::optional<platform::OSStatus> nextRefusal() {
    std::lock_guard lock(mutex_);
    if (refusals_.empty()) return std::nullopt;
    auto status = refusals_.front();
    refusals_.pop_front();
    if (status == platform::errSecSuccess) return std::nullopt;
    return status;
  }

  std::shared_ptr<platform::SecretStore> inner_ = platform::SecretStore::memoryStore();
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  std::deque<platform::OSStatus> refusals_;
  std::atomic<platform::OSStatus> readFailure_{platform::errSecSuccess};
};

}  // namespace qvtesting
