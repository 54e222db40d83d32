#pragma once

#include <map>
#include <memory>
#include <utility>

#include "Telemetry/Internals/Storage/TLDBStorage.h"
#include "Telemetry/Internals/Storage/TLStorage.h"
#include "Telemetry/Internals/Util/TLEncrypter.h"

inline constexpr const char* kTLLogsDBFileName = "Logs.sqlite";
inline constexpr const char* kTLLogsTableName = "logs";
inline constexpr std::uint32_t kTLLogsDBVersion = 4;

// The log store "Logs.sqlite" (table "logs", version 4): logs archived and Base64-encoded, with
// their group, the encrypted target token of Event Schema logs, priority and time stamp. Makes room
// for a new log by evicting older logs of equal or lower priority, loads batches while remembering
// the rows in flight, and deletes by batch or group.
class TLLogDBStorage : public TLDBStorage, public TLStorage {
 public:
  // Over the SDK's storage folder; the encrypter seals target tokens (the default one when none).
  explicit TLLogDBStorage(std::shared_ptr<TLEncrypter> encrypter = nullptr,
                          std::string filename = kTLLogsDBFileName);

  bool saveLog(const std::shared_ptr<TLLog>& log, const std::string& groupId, std::uint64_t flags) override;
  // All rows in one transaction (one commit, one sync to disk); a log the transaction cannot take
  // (too large, the store full) goes through saveLog with its eviction afterwards.
  std::vector<bool> saveLogs(const std::vector<Item>& items, const std::string& groupId) override;
  std::optional<std::uint64_t> countLogs() override;
  std::optional<std::uint64_t> countLogsWithGroupId(const std::string& groupId) override;
  Logs deleteLogsWithGroupId(const std::string& groupId) override;
  void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) override;
  bool loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                           const std::vector<std::string>& excludedTargetKeys,
                           const std::optional<platform::Date>& afterDate,
                           const std::optional<platform::Date>& beforeDate,
                           const LoadCompletion& completion) override;
  std::optional<std::uint64_t> countLogsBeforeDate(const platform::Date& date) override;
  void setMaxStorageSize(std::int64_t sizeInBytes,
                         const std::function<void(bool)>& completionHandler) override {
    TLDBStorage::setMaxStorageSize(sizeInBytes, completionHandler);
  }
  Logs takeDiscardedLogsWithGroupId(const std::string& groupId) override;

  static TLDBSchema logsSchema();
  // Rows of the batches in flight (for diagnostics and tests).
  std::size_t pendingBatchCount() const { return batches_.size(); }

 protected:
  void customizeDatabase(sqlite3* db) override;
  void migrateDatabase(sqlite3* db, std::uint32_t fromVersion) override;

 private:
  struct LoadedRow {
    std::int64_t id;
    std::shared_ptr<TLLog> log;
  };
  // Rows matching the condition, decoded; rows that do not decode to a valid log are deleted.
  std::optional<std::vector<LoadedRow>> logsWithCondition(const std::string& condition,
                                                          const TLDBBindings& bindings,
                                                          std::size_t* rawCount = nullptr);
  int deleteLogsFromDBWithColumnValues(const std::vector<TLDBValue>& values, const std::string& columnName);
  static int deleteLogsFromDBWithColumnValues(const std::vector<TLDBValue>& values,
                                              const std::string& columnName, sqlite3* db);
  static int createPriorityIndex(sqlite3* db);
  // A log's row values (group, Base64 text, sealed token, target key, priority, time stamp) with
  // its priority and the bytes it needs.
  struct PreparedRow {
    TLDBBindings values;
    std::int64_t priority = 0;
    std::size_t rowBytes = 0;
  };
  PreparedRow prepareRow(const std::shared_ptr<TLLog>& log, const std::string& groupId, std::uint64_t flags);
  static std::string insertQuery();
  // Inserts the row, evicting older rows of equal or lower priority when the store is at its limit.
  // A failure because the disk itself is full sets `diskFull` and evicts nothing.
  int insertWithEviction(sqlite3* db, const TLDBBindings& values, std::int64_t priority, std::size_t rowBytes,
                         bool* diskFull);
  // Eviction candidates of one priority read inside a transaction and used up in order by the rows
  // saved there, so a full store costs one read per chunk of evicted rows.
  struct EvictionCandidates {
    std::int64_t priority = -1;
    TLDBRows rows;
    std::size_t next = 0;
    // Every row that may go was read (fewer than a chunk).
    bool complete = false;
  };
  // Deletes rows of equal or lower priority, lowest first and oldest first, inside the open
  // transaction until `needed` bytes are free. SQLITE_OK when the room is there; SQLITE_FULL, with
  // nothing deleted, when the rows that may go are not enough; another code on failure (the caller
  // rolls back to its savepoint).
  int makeRoomInTransaction(sqlite3* db, std::int64_t priority, std::int64_t needed,
                            EvictionCandidates& candidates, std::size_t& deleted);
  std::int64_t freeRoomInOpenedDatabase(sqlite3* db) const;
  // After a write failed as full: whether the disk ran out of room, not the store's own limit.
  bool filledTheDisk(sqlite3* db, std::size_t rowBytes) const;
  // Tells that the disk is full once, and again only after a log was stored in between.
  void noteDiskFull(bool full);

  std::shared_ptr<TLEncrypter> targetTokenEncrypter_;
  std::size_t idColumnIndex_ = 0;
  std::size_t groupIdColumnIndex_ = 1;
  std::size_t logColumnIndex_ = 2;
  std::size_t targetTokenColumnIndex_ = 3;
  // (group id, batch id) → row ids of the batch in flight.
  std::map<std::pair<std::string, std::string>, std::vector<std::int64_t>> batches_;
  std::map<std::string, Logs> discarded_;
  bool diskFull_ = false;
};
