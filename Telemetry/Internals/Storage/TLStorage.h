#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Model/TLAbstractLog.h"
#include "platform/Date.h"

// The pipeline's persistent queue of logs, shared by every channel unit of a group. Called only
// from the group's serial queue.
class TLStorage {
 public:
  using Logs = std::vector<std::shared_ptr<TLLog>>;
  // The logs of a load (possibly none) and their new batch id (none for no logs).
  using LoadCompletion = std::function<void(const Logs& logs, const std::optional<std::string>& batchId)>;

  virtual ~TLStorage() = default;

  // True when the log is stored (YES means it is on disk).
  virtual bool saveLog(const std::shared_ptr<TLLog>& log, const std::string& groupId,
                       std::uint64_t flags) = 0;
  // One log of a save of several, with its flags.
  struct Item {
    std::shared_ptr<TLLog> log;
    std::uint64_t flags = 0;
  };
  // Stores the logs of one group in their order, in one write to disk where the store can; answers
  // for each log whether it is stored, as saveLog does (true means it is on disk). A log the shared
  // write cannot take is saved on its own, so one log never costs the others their place. Stores
  // them one by one unless the store knows better.
  virtual std::vector<bool> saveLogs(const std::vector<Item>& items, const std::string& groupId) {
    std::vector<bool> stored;
    stored.reserve(items.size());
    for (const auto& item : items) stored.push_back(saveLog(item.log, groupId, item.flags));
    return stored;
  }
  // Every stored row; nullopt when the store cannot be read.
  virtual std::optional<std::uint64_t> countLogs() = 0;
  // The group's stored rows; nullopt when the store cannot be read.
  virtual std::optional<std::uint64_t> countLogsWithGroupId(const std::string& groupId) = 0;
  // Deletes every row of the group (and forgets its batches); the logs as they were.
  virtual Logs deleteLogsWithGroupId(const std::string& groupId) = 0;
  virtual void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) = 0;
  // Loads at most `limit` logs of the group that are in no pending batch, highest priority first,
  // then oldest first; calls the completion before it returns. True when more matching logs remain.
  virtual bool loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                                   const std::vector<std::string>& excludedTargetKeys,
                                   const std::optional<platform::Date>& afterDate,
                                   const std::optional<platform::Date>& beforeDate,
                                   const LoadCompletion& completion) = 0;
  // Rows whose time stamp is at or before the date; nullopt when the store cannot be read.
  virtual std::optional<std::uint64_t> countLogsBeforeDate(const platform::Date& date) = 0;
  virtual void setMaxStorageSize(std::int64_t sizeInBytes,
                                 const std::function<void(bool)>& completionHandler) = 0;
  // Logs of the group that were read back invalid (their rows are deleted) since the last call, for
  // the owner to report as failed.
  virtual Logs takeDiscardedLogsWithGroupId(const std::string& groupId) = 0;
};
