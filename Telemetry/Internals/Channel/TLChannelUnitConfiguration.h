#pragma once

#include <cstdint>
#include <memory>
#include <string>

// How one channel unit batches: its group id, declared priority, flush interval (whole seconds),
// most logs per batch and most batches in flight. Immutable.
class TLChannelUnitConfiguration {
 public:
  static constexpr std::uint64_t kDefaultFlushInterval = 3;
  static constexpr std::uint64_t kDefaultBatchSizeLimit = 50;
  static constexpr std::uint64_t kDefaultPendingBatchesLimit = 3;

  TLChannelUnitConfiguration(std::string groupId, std::int64_t priority, std::uint64_t flushInterval,
                             std::uint64_t batchSizeLimit, std::uint64_t pendingBatchesLimit)
      : groupId_(std::move(groupId)),
        priority_(priority),
        flushInterval_(flushInterval),
        batchSizeLimit_(batchSizeLimit),
        pendingBatchesLimit_(pendingBatchesLimit) {}

  static std::shared_ptr<TLChannelUnitConfiguration> initWithGroupId(std::string groupId,
                                                                     std::int64_t priority,
                                                                     std::uint64_t flushInterval,
                                                                     std::uint64_t batchSizeLimit,
                                                                     std::uint64_t pendingBatchesLimit) {
    return std::make_shared<TLChannelUnitConfiguration>(std::move(groupId), priority, flushInterval,
                                                        batchSizeLimit, pendingBatchesLimit);
  }
  static std::shared_ptr<TLChannelUnitConfiguration> initDefaultConfigurationWithGroupId(
      std::string groupId, std::uint64_t flushInterval = kDefaultFlushInterval) {
    return initWithGroupId(std::move(groupId), 1, flushInterval, kDefaultBatchSizeLimit,
                           kDefaultPendingBatchesLimit);
  }

  const std::string& groupId() const { return groupId_; }
  std::int64_t priority() const { return priority_; }
  std::uint64_t flushInterval() const { return flushInterval_; }
  std::uint64_t batchSizeLimit() const { return batchSizeLimit_; }
  std::uint64_t pendingBatchesLimit() const { return pendingBatchesLimit_; }

 private:
  const std::string groupId_;
  const std::int64_t priority_;
  const std::uint64_t flushInterval_;
  const std::uint64_t batchSizeLimit_;
  const std::uint64_t pendingBatchesLimit_;
};
