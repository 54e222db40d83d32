#include "Telemetry/Internals/Storage/TLLogDBStorage.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/Base64.h"
#include "platform/UUID.h"

namespace {

constexpr const char* kIdColumn = "id";
constexpr const char* kGroupIdColumn = "groupId";
constexpr const char* kLogColumn = "log";
constexpr const char* kTargetTokenColumn = "targetToken";
constexpr const char* kTargetKeyColumn = "targetKey";
constexpr const char* kPriorityColumn = "priority";
constexpr const char* kTimestampColumn = "timestamp";

std::string q(const char* name) { return TLDBStorage::quoteIdentifier(name); }

std::string placeholders(std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += i ? ",?" : "?";
  return out;
}

// Eviction candidates read at a time.
constexpr std::size_t kEvictionChunk = 64;

// A write that fails as full while the store's own limit leaves at least this many pages beyond
// what it needed failed on the disk: the file system (or the user's quota) has no room left.
constexpr std::int64_t kDiskFullMarginPages = 8;

// The bytes a row takes, as eviction weighs it.
std::string rowSizeExpression() {
  return "length(" + q(kLogColumn) + ") + ifnull(length(" + q(kTargetTokenColumn) + "), 0) + ifnull(length(" +
         q(kTargetKeyColumn) + "), 0) + length(" + q(kGroupIdColumn) + ") + 64";
}

// Rows that a log of the bound priority may replace.
std::string evictableRows() {
  return " FROM " + q(kTLLogsTableName) + " WHERE " + q(kPriorityColumn) + " <= ?";
}

// The next chunk of them: id and size, lowest priority first, oldest first.
std::string evictionChunkQuery() {
  return "SELECT " + q(kIdColumn) + ", " + rowSizeExpression() + evictableRows() + " ORDER BY " +
         q(kPriorityColumn) + " ASC, " + q(kIdColumn) + " ASC LIMIT " + std::to_string(kEvictionChunk);
}

std::int64_t milliseconds(const platform::Date& date) {
  return static_cast<std::int64_t>(std::trunc(date.timeIntervalSince1970() * 1000.0));
}

std::string joined(const std::vector<TLDBValue>& values, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += separator;
    if (const auto* n = std::get_if<std::int64_t>(&values[i])) {
      out += std::to_string(*n);
    } else if (const auto* s = std::get_if<std::string>(&values[i])) {
      out += *s;
    }
  }
  return out;
}

// Ignores characters outside the Base64 alphabet, as the stored text may carry line breaks.
std::optional<platform::Data> decodeLenient(const std::string& text) {
  std::string clean;
  clean.reserve(text.size());
  for (char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
        c == '=')
      clean += c;
  }
  return platform::base64Decode(clean);
}

}  // namespace

TLDBSchema TLLogDBStorage::logsSchema() {
  return {{kTLLogsTableName,
           {{kIdColumn, {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}},
            {kGroupIdColumn, {"TEXT", "NOT NULL"}},
            {kLogColumn, {"TEXT", "NOT NULL"}},
            {kTargetTokenColumn, {"TEXT"}},
            {kTargetKeyColumn, {"TEXT"}},
            {kPriorityColumn, {"INTEGER"}},
            {kTimestampColumn, {"INTEGER"}}}}};
}

TLLogDBStorage::TLLogDBStorage(std::shared_ptr<TLEncrypter> encrypter, std::string filename)
    : TLDBStorage(logsSchema(), kTLLogsDBVersion, std::move(filename)),
      targetTokenEncrypter_(encrypter ? std::move(encrypter) : std::make_shared<TLEncrypter>()) {
  initialize();
  auto indexes = columnsIndexes(logsSchema())[kTLLogsTableName];
  idColumnIndex_ = indexes[kIdColumn];
  groupIdColumnIndex_ = indexes[kGroupIdColumn];
  logColumnIndex_ = indexes[kLogColumn];
  targetTokenColumnIndex_ = indexes[kTargetTokenColumn];
}

int TLLogDBStorage::createPriorityIndex(sqlite3* db) {
  return executeNonSelectionQuery(
      "CREATE INDEX \"ix_logs_priority\" ON " + q(kTLLogsTableName) + " (" + q(kPriorityColumn) + ")", db);
}

void TLLogDBStorage::customizeDatabase(sqlite3* db) { createPriorityIndex(db); }

void TLLogDBStorage::migrateDatabase(sqlite3* db, std::uint32_t fromVersion) {
  const std::string table = q(kTLLogsTableName);
  switch (fromVersion) {
    case 0:
      executeNonSelectionQuery("ALTER TABLE " + table + " ADD COLUMN " + q(kTargetTokenColumn) + " TEXT", db);
      [[fallthrough]];
    case 1:
      executeNonSelectionQuery("ALTER TABLE " + table + " ADD COLUMN " + q(kTargetKeyColumn) + " TEXT", db);
      [[fallthrough]];
    case 2:
      executeNonSelectionQuery(
          "ALTER TABLE " + table + " ADD COLUMN " + q(kPriorityColumn) + " INTEGER DEFAULT 1", db);
      createPriorityIndex(db);
      [[fallthrough]];
    case 3:
      executeNonSelectionQuery(
          "ALTER TABLE " + table + " ADD COLUMN " + q(kTimestampColumn) + " INTEGER DEFAULT 0", db);
      break;
    default:
      break;
  }
}

// ---- Saving ----

TLLogDBStorage::PreparedRow TLLogDBStorage::prepareRow(const std::shared_ptr<TLLog>& log,
                                                       const std::string& groupId, std::uint64_t flags) {
  std::int64_t timestamp = log->timestamp() ? milliseconds(*log->timestamp()) : 0;
  std::string base64 = platform::base64Encode(TLArchivedData(platform::ArchiveObject(log)));
  auto priority = static_cast<std::int64_t>(flags & 0xFF);
  TLDBValue token;
  TLDBValue targetKey;
  if (std::dynamic_pointer_cast<TLEventSchemaLog>(log)) {
    auto tokens = log->transmissionTargetTokens();
    if (tokens && !tokens->empty()) {
      const std::string& plain = *tokens->begin();
      if (auto sealed = targetTokenEncrypter_->encryptString(plain)) {
        token = *sealed;
      } else {
        TLLogError(kTLLogTag, "Failed to encrypt the target token of a log.");
      }
      if (auto key = TLUtility::targetKeyFromTargetToken(plain)) targetKey = *key;
    }
  }
  std::size_t rowBytes = base64.size() + groupId.size() + 64;
  if (const auto* t = std::get_if<std::string>(&token)) rowBytes += t->size();
  if (const auto* k = std::get_if<std::string>(&targetKey)) rowBytes += k->size();
  return {TLDBBindings{groupId, std::move(base64), token, targetKey, priority, timestamp}, priority,
          rowBytes};
}

std::string TLLogDBStorage::insertQuery() {
  // Built per call, not kept in a static: the logs queue may still store while the process exits.
  return "INSERT INTO " + q(kTLLogsTableName) + " (" + q(kGroupIdColumn) + ", " + q(kLogColumn) + ", " +
         q(kTargetTokenColumn) + ", " + q(kTargetKeyColumn) + ", " + q(kPriorityColumn) + ", " +
         q(kTimestampColumn) + ") VALUES (?, ?, ?, ?, ?, ?)";
}

bool TLLogDBStorage::saveLog(const std::shared_ptr<TLLog>& log, const std::string& groupId,
                             std::uint64_t flags) {
  if (!log) return false;
  PreparedRow row = prepareRow(log, groupId, flags);
  std::int64_t newId = 0;
  bool diskFull = false;
  int result = executeQueryUsingBlock([&](sqlite3* db) {
    std::int64_t sizeInForce = getMaxPageCountInOpenedDatabase(db) * pageSize();
    const auto& text = std::get<std::string>(row.values[1]);
    if (static_cast<std::int64_t>(text.size()) >= sizeInForce) {
      TLLogError(
          kTLLogTag,
          "Log is too large ({} bytes) to store in database. Current maximum database size is {} bytes.",
          text.size(), sizeInForce);
      return SQLITE_ERROR;
    }
    int inserted = insertWithEviction(db, row.values, row.priority, row.rowBytes, &diskFull);
    if (inserted == SQLITE_OK) newId = sqlite3_last_insert_rowid(db);
    return inserted;
  });
  if (result == SQLITE_OK) TLLogVerbose(kTLLogTag, "Log is stored with id: '{}'", newId);
  if (result == SQLITE_OK || diskFull) noteDiskFull(diskFull);
  return result == SQLITE_OK;
}

bool TLLogDBStorage::filledTheDisk(sqlite3* db, std::size_t rowBytes) const {
  return freeRoomInOpenedDatabase(db) >=
         static_cast<std::int64_t>(rowBytes) + kDiskFullMarginPages * pageSize();
}

void TLLogDBStorage::noteDiskFull(bool full) {
  if (full == diskFull_) return;
  diskFull_ = full;
  if (full) {
    TLLogError(kTLLogTag, "The disk is full; logs are discarded until it has room again.");
  } else {
    TLLogInfo(kTLLogTag, "The disk has room again; logs are stored again.");
  }
}

std::vector<bool> TLLogDBStorage::saveLogs(const std::vector<Item>& items, const std::string& groupId) {
  std::vector<bool> stored(items.size(), false);
  if (items.size() < 2) {
    for (std::size_t i = 0; i < items.size(); ++i) stored[i] = saveLog(items[i].log, groupId, items[i].flags);
    return stored;
  }
  std::vector<std::optional<PreparedRow>> rows;
  rows.reserve(items.size());
  for (const auto& item : items) {
    if (item.log) {
      rows.push_back(prepareRow(item.log, groupId, item.flags));
    } else {
      rows.emplace_back();
    }
  }
  std::vector<std::int64_t> ids(items.size(), 0);
  const std::string insert = insertQuery();
  // Rows from here on were not stored by the shared transaction and are saved one by one.
  std::size_t alone = 0;
  // The disk had no room for the transaction: the rows it did not store are not tried one by one.
  bool diskFull = false;
  int result = executeQueryUsingBlock([&](sqlite3* db) {
    std::fill(stored.begin(), stored.end(), false);
    alone = 0;
    diskFull = false;
    if (executeNonSelectionQuery("BEGIN IMMEDIATE", db) != SQLITE_OK) return SQLITE_OK;
    std::int64_t sizeInForce = getMaxPageCountInOpenedDatabase(db) * pageSize();
    // When the rows might not fit in the room left, each row checks the room before its insert and
    // makes room by eviction inside this transaction (undone alone, to a savepoint, when it cannot),
    // so a full store costs no commit per log. The insert is tried only once the room is there: SQLite
    // may undo a whole transaction on a full database.
    std::int64_t batchBytes = 0;
    for (const auto& row : rows)
      if (row) batchBytes += static_cast<std::int64_t>(row->rowBytes);
    const bool mayFill = freeRoomInOpenedDatabase(db) < 2 * batchBytes + 4 * pageSize();
    EvictionCandidates candidates;
    std::size_t next = 0;
    for (; next < rows.size(); ++next) {
      if (!rows[next]) continue;
      const auto& text = std::get<std::string>(rows[next]->values[1]);
      if (static_cast<std::int64_t>(text.size()) >= sizeInForce) {
        TLLogError(
            kTLLogTag,
            "Log is too large ({} bytes) to store in database. Current maximum database size is {} bytes.",
            text.size(), sizeInForce);
        rows[next].reset();
        continue;
      }
      const std::int64_t priority = rows[next]->priority;
      bool savepoint = false;
      std::size_t evicted = 0;
      if (mayFill) {
        const std::int64_t needed = static_cast<std::int64_t>(rows[next]->rowBytes) + 2 * pageSize();
        if (freeRoomInOpenedDatabase(db) < needed) {
          if (executeNonSelectionQuery("SAVEPOINT \"eviction\"", db) != SQLITE_OK) break;
          savepoint = true;
          int made = makeRoomInTransaction(db, priority, needed, candidates, evicted);
          if (made != SQLITE_OK) {
            if (!sqlite3_get_autocommit(db)) {
              executeNonSelectionQuery("ROLLBACK TO \"eviction\"", db);
              executeNonSelectionQuery("RELEASE \"eviction\"", db);
            }
            // The rows read may be back.
            candidates = {};
            if (isCorruption(made)) {
              if (!sqlite3_get_autocommit(db)) executeNonSelectionQuery("ROLLBACK", db);
              return made;
            }
            if (made == SQLITE_FULL && !sqlite3_get_autocommit(db)) {
              TLLogError(
                  kTLLogTag,
                  "Storage is full and no logs with equal or lower priority exist; discarding the log.");
              rows[next].reset();
              continue;
            }
            break;
          }
        }
      }
      int inserted = executeNonSelectionQuery(insert, db, rows[next]->values);
      if (inserted == SQLITE_FULL && filledTheDisk(db, rows[next]->rowBytes)) diskFull = true;
      if (inserted != SQLITE_OK) {
        if (savepoint && !sqlite3_get_autocommit(db)) {
          executeNonSelectionQuery("ROLLBACK TO \"eviction\"", db);
          executeNonSelectionQuery("RELEASE \"eviction\"", db);
        }
        if (isCorruption(inserted)) {
          if (!sqlite3_get_autocommit(db)) executeNonSelectionQuery("ROLLBACK", db);
          return inserted;
        }
        // Full, or another failure: what was inserted so far is committed, the rest is saved alone
        // (with eviction when the store is full).
        break;
      }
      if (savepoint) {
        executeNonSelectionQuery("RELEASE \"eviction\"", db);
        TLLogDebug(kTLLogTag,
                   "Log storage was over capacity, {} oldest log(s) with equal or lower priority deleted.",
                   evicted);
      }
      // The new row may now be a candidate ahead of the ones read: they are read again.
      if (priority < candidates.priority || (priority == candidates.priority && candidates.complete))
        candidates = {};
      stored[next] = true;
      ids[next] = sqlite3_last_insert_rowid(db);
    }
    alone = next;
    if (sqlite3_get_autocommit(db)) {
      // SQLite undid the whole transaction (it may on a full database): nothing of it is stored.
      std::fill(stored.begin(), stored.end(), false);
      alone = 0;
      return SQLITE_OK;
    }
    int committed = executeNonSelectionQuery("COMMIT", db);
    if (committed == SQLITE_FULL && filledTheDisk(db, static_cast<std::size_t>(batchBytes))) diskFull = true;
    if (committed != SQLITE_OK) {
      if (!sqlite3_get_autocommit(db)) executeNonSelectionQuery("ROLLBACK", db);
      std::fill(stored.begin(), stored.end(), false);
      alone = 0;
      return isCorruption(committed) ? committed : SQLITE_OK;
    }
    return SQLITE_OK;
  });
  if (result != SQLITE_OK) {
    std::fill(stored.begin(), stored.end(), false);
    alone = 0;
  }
  for (std::size_t i = 0; i < alone; ++i)
    if (stored[i]) TLLogVerbose(kTLLogTag, "Log is stored with id: '{}'", ids[i]);
  if (std::find(stored.begin(), stored.end(), true) != stored.end() || diskFull) noteDiskFull(diskFull);
  if (diskFull) return stored;
  for (std::size_t i = alone; i < items.size(); ++i)
    if (rows[i]) stored[i] = saveLog(items[i].log, groupId, items[i].flags);
  return stored;
}

std::int64_t TLLogDBStorage::freeRoomInOpenedDatabase(sqlite3* db) const {
  return (querySingleValue("PRAGMA freelist_count;", db) +
          std::max<std::int64_t>(0, getMaxPageCountInOpenedDatabase(db) - getPageCountInOpenedDatabase(db))) *
         pageSize();
}

int TLLogDBStorage::makeRoomInTransaction(sqlite3* db, std::int64_t priority, std::int64_t needed,
                                          EvictionCandidates& candidates, std::size_t& deleted) {
  auto refill = [&] {
    int result = SQLITE_OK;
    candidates.rows = executeSelectionQuery(evictionChunkQuery(), db, {priority}, &result);
    candidates.priority = priority;
    candidates.next = 0;
    candidates.complete = candidates.rows.size() < kEvictionChunk;
    if (result != SQLITE_OK) candidates = {};
    return result;
  };
  if (candidates.priority != priority || candidates.next >= candidates.rows.size()) {
    if (int result = refill(); result != SQLITE_OK) return result;
  }
  std::int64_t room = freeRoomInOpenedDatabase(db);
  // Enough rows that may go? The chunk read first, every row that may go when that is not enough.
  std::int64_t available = 0;
  for (std::size_t i = candidates.next; i < candidates.rows.size(); ++i)
    available += std::get<std::int64_t>(candidates.rows[i][1]);
  if (available + room < needed && !candidates.complete) {
    int result = SQLITE_OK;
    auto sum = executeSelectionQuery("SELECT ifnull(sum(" + rowSizeExpression() + "), 0)" + evictableRows(),
                                     db, {priority}, &result);
    if (result != SQLITE_OK) return result;
    available = sum.empty() ? 0 : std::get<std::int64_t>(sum.front().front());
  }
  if (available + room < needed) return SQLITE_FULL;
  while (room < needed) {
    if (candidates.next >= candidates.rows.size()) {
      if (int result = refill(); result != SQLITE_OK) return result;
      if (candidates.rows.empty()) return SQLITE_FULL;
    }
    // The oldest run that covers the shortfall, in one statement.
    std::vector<TLDBValue> run;
    std::int64_t covered = 0;
    while (candidates.next < candidates.rows.size() && (run.empty() || covered < needed - room)) {
      run.push_back(candidates.rows[candidates.next][0]);
      covered += std::get<std::int64_t>(candidates.rows[candidates.next][1]);
      ++candidates.next;
    }
    if (int deletion = deleteLogsFromDBWithColumnValues(run, kIdColumn, db); deletion != SQLITE_OK)
      return deletion;
    deleted += run.size();
    for (const auto& id : run)
      TLLogDebug(kTLLogTag, "Deleted a log with id {} to store a new log.", std::get<std::int64_t>(id));
    room = freeRoomInOpenedDatabase(db);
  }
  return SQLITE_OK;
}

int TLLogDBStorage::insertWithEviction(sqlite3* db, const TLDBBindings& values, std::int64_t priority,
                                       std::size_t rowBytes, bool* diskFull) {
  const std::string insert = insertQuery();
  int result = executeNonSelectionQuery(insert, db, values);
  if (result != SQLITE_FULL) return result;
  // The disk has no room: deleting stored logs would not give it any, so they stay and this log is
  // discarded (the caller tells the cause once).
  if (filledTheDisk(db, rowBytes)) {
    *diskFull = true;
    return SQLITE_FULL;
  }

  // Full. What may go: rows of equal or lower priority, lowest first, oldest first. They are read a
  // chunk at a time (rows deleted inside the transaction drop out of the next read), so a full store
  // of many rows costs one short indexed read per save, not a read of every row.
  const std::string sizeExpression = rowSizeExpression();
  const std::string where = evictableRows();
  const std::string chunkQuery = evictionChunkQuery();
  int selectResult = SQLITE_OK;
  auto candidates = executeSelectionQuery(chunkQuery, db, {priority}, &selectResult);
  if (selectResult != SQLITE_OK) return selectResult;
  std::int64_t page = pageSize();
  std::int64_t freeBytes =
      (querySingleValue("PRAGMA freelist_count;", db) +
       std::max<std::int64_t>(0, getMaxPageCountInOpenedDatabase(db) - getPageCountInOpenedDatabase(db))) *
      page;
  std::int64_t candidateBytes = 0;
  for (const auto& row : candidates) candidateBytes += std::get<std::int64_t>(row[1]);
  if (candidates.size() == kEvictionChunk &&
      candidateBytes + freeBytes < static_cast<std::int64_t>(rowBytes)) {
    // The first chunk is not enough on its own: weigh every row that may go.
    int sumResult = SQLITE_OK;
    auto rowsWithSum = executeSelectionQuery("SELECT ifnull(sum(" + sizeExpression + "), 0)" + where, db,
                                             {priority}, &sumResult);
    candidateBytes = rowsWithSum.empty() ? 0 : std::get<std::int64_t>(rowsWithSum.front().front());
    if (sumResult != SQLITE_OK) return sumResult;
  }
  if (candidates.empty() || candidateBytes + freeBytes < static_cast<std::int64_t>(rowBytes)) {
    TLLogError(kTLLogTag,
               "Storage is full and no logs with equal or lower priority exist; discarding the log.");
    return SQLITE_FULL;
  }

  // Evict inside one transaction, so that a log that still does not fit leaves every row in place.
  // Rows go until the free pages hold the new row (SQLite may undo a whole transaction on a full
  // database, so the insert is tried only once the room is there): first the shortest oldest-first
  // run that covers the shortfall, then row by row.
  auto freeRoom = [&] { return freeRoomInOpenedDatabase(db); };
  std::size_t deleted = 0;
  // When SQLite undid the whole transaction on a full database, start again asking for more room.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (executeNonSelectionQuery("BEGIN IMMEDIATE", db) != SQLITE_OK) return SQLITE_FULL;
    const std::int64_t needed = static_cast<std::int64_t>(rowBytes) + attempt * 2 * page;
    candidates = executeSelectionQuery(chunkQuery, db, {priority}, &selectResult);
    std::size_t next = 0;
    deleted = 0;
    bool firstRun = true;
    result = SQLITE_FULL;
    while (!sqlite3_get_autocommit(db)) {
      std::int64_t room = freeRoom();
      if (next >= candidates.size()) {
        candidates = executeSelectionQuery(chunkQuery, db, {priority}, &selectResult);
        next = 0;
      }
      bool exhausted = selectResult != SQLITE_OK || candidates.empty();
      if (room >= needed || exhausted) {
        result = executeNonSelectionQuery(insert, db, values);
        if (result != SQLITE_FULL || exhausted) break;
      }
      std::vector<TLDBValue> run{candidates[next][0]};
      std::int64_t covered = std::get<std::int64_t>(candidates[next][1]);
      ++next;
      while (firstRun && next < candidates.size() && covered < needed - room) {
        run.push_back(candidates[next][0]);
        covered += std::get<std::int64_t>(candidates[next][1]);
        ++next;
      }
      firstRun = false;
      int deletion = deleteLogsFromDBWithColumnValues(run, kIdColumn, db);
      if (deletion != SQLITE_OK) {
        result = deletion;
        break;
      }
      deleted += run.size();
      for (const auto& id : run)
        TLLogDebug(kTLLogTag, "Deleted a log with id {} to store a new log.", std::get<std::int64_t>(id));
    }
    if (result != SQLITE_FULL || !sqlite3_get_autocommit(db)) break;
  }
  if (result == SQLITE_OK && !sqlite3_get_autocommit(db)) {
    result = executeNonSelectionQuery("COMMIT", db);
    if (result == SQLITE_OK) {
      TLLogDebug(kTLLogTag,
                 "Log storage was over capacity, {} oldest log(s) with equal or lower priority deleted.",
                 deleted);
      return SQLITE_OK;
    }
  }
  if (!sqlite3_get_autocommit(db)) executeNonSelectionQuery("ROLLBACK", db);
  if (result == SQLITE_FULL && filledTheDisk(db, rowBytes)) {
    // The disk filled up while room was being made.
    *diskFull = true;
    return SQLITE_FULL;
  }
  if (result == SQLITE_FULL || result == SQLITE_OK)
    TLLogError(kTLLogTag,
               "Storage is full and no logs with equal or lower priority exist; discarding the log.");
  return result == SQLITE_OK ? SQLITE_FULL : result;
}

// ---- Reading ----

std::optional<std::vector<TLLogDBStorage::LoadedRow>> TLLogDBStorage::logsWithCondition(
    const std::string& condition, const TLDBBindings& bindings, std::size_t* rawCount) {
  std::string query = "SELECT * FROM " + q(kTLLogsTableName);
  if (!condition.empty()) query += " WHERE " + condition;
  auto rows = executeSelectionQuery(query, bindings);
  if (!rows) return std::nullopt;
  if (rawCount) *rawCount = rows->size();
  std::vector<LoadedRow> out;
  std::vector<TLDBValue> broken;
  for (const auto& row : *rows) {
    if (row.size() <= targetTokenColumnIndex_) continue;
    const auto* id = std::get_if<std::int64_t>(&row[idColumnIndex_]);
    if (!id) continue;
    std::shared_ptr<TLLog> log;
    std::string reason = "The log deserialized to NULL.";
    if (const auto* text = std::get_if<std::string>(&row[logColumnIndex_])) {
      if (auto data = decodeLenient(*text)) {
        try {
          log = TLUnarchivedObject(*data).asObjectOfClass<TLLog>();
        } catch (const std::exception& exception) {
          reason = exception.what();
        }
      }
    }
    if (log && !log->isValid()) {
      reason = "The log is not valid.";
      const auto* group = std::get_if<std::string>(&row[groupIdColumnIndex_]);
      if (group) discarded_[*group].push_back(log);
      log.reset();
    }
    if (!log) {
      TLLogError(kTLLogTag, "Deserialization failed for log with Id {}: {}", *id, reason);
      broken.emplace_back(*id);
      continue;
    }
    if (const auto* token = std::get_if<std::string>(&row[targetTokenColumnIndex_])) {
      if (token->empty()) {
        TLLogError(kTLLogTag, "Unexpected empty target token for log with Id {}.", *id);
      } else if (auto plain = targetTokenEncrypter_->decryptString(*token)) {
        log->addTransmissionTargetToken(*plain);
      } else {
        TLLogError(kTLLogTag, "Failed to decrypt the target token for log with Id {}.", *id);
      }
    }
    out.push_back({*id, std::move(log)});
  }
  if (!broken.empty()) deleteLogsFromDBWithColumnValues(broken, kIdColumn);
  return out;
}

bool TLLogDBStorage::loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                                         const std::vector<std::string>& excludedTargetKeys,
                                         const std::optional<platform::Date>& afterDate,
                                         const std::optional<platform::Date>& beforeDate,
                                         const LoadCompletion& completion) {
  std::vector<std::int64_t> pendingIds;
  for (const auto& [key, ids] : batches_)
    if (key.first == groupId) pendingIds.insert(pendingIds.end(), ids.begin(), ids.end());

  std::string condition = q(kGroupIdColumn) + " = ?";
  TLDBBindings bindings{groupId};
  if (!excludedTargetKeys.empty()) {
    condition += " AND " + q(kTargetKeyColumn) + " NOT IN (" + placeholders(excludedTargetKeys.size()) + ")";
    for (const auto& key : excludedTargetKeys) bindings.emplace_back(key);
  }
  if (!pendingIds.empty()) {
    condition += " AND " + q(kIdColumn) + " NOT IN (" + placeholders(pendingIds.size()) + ")";
    for (auto id : pendingIds) bindings.emplace_back(id);
  }
  if (afterDate) {
    condition += " AND " + q(kTimestampColumn) + " >= ?";
    bindings.emplace_back(milliseconds(*afterDate));
  }
  if (beforeDate) {
    condition += " AND " + q(kTimestampColumn) + " < ?";
    bindings.emplace_back(milliseconds(*beforeDate));
  }
  condition += " ORDER BY " + q(kPriorityColumn) + " DESC, " + q(kIdColumn) + " ASC LIMIT ?";
  bool unlimited = limit >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  bindings.emplace_back(unlimited ? std::int64_t{-1} : static_cast<std::int64_t>(limit + 1));

  std::size_t rawCount = 0;
  auto rows = logsWithCondition(condition, bindings, &rawCount);
  std::vector<LoadedRow> loaded = rows ? std::move(*rows) : std::vector<LoadedRow>{};
  bool more = false;
  if (!unlimited && loaded.size() > limit) {
    loaded.resize(limit);
    more = true;
  } else if (!unlimited && rawCount > limit) {
    // Rows deleted as undecodable made room in this batch; the rows behind them are still there.
    more = true;
  }
  Logs logs;
  std::vector<std::int64_t> ids;
  for (auto& row : loaded) {
    ids.push_back(row.id);
    logs.push_back(std::move(row.log));
  }
  std::optional<std::string> batchId;
  if (!logs.empty()) {
    std::string upper = platform::makeUUIDString();
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    batchId = upper;
    std::vector<TLDBValue> idValues(ids.begin(), ids.end());
    TLLogVerbose(kTLLogTag, "Load log(s) with id(s) '{}' as batch Id:{}", joined(idValues, "','"), *batchId);
    batches_[{groupId, *batchId}] = std::move(ids);
  }
  if (completion) completion(logs, batchId);
  return more;
}

// ---- Deleting ----

int TLLogDBStorage::deleteLogsFromDBWithColumnValues(const std::vector<TLDBValue>& values,
                                                     const std::string& columnName, sqlite3* db) {
  if (values.empty()) return SQLITE_OK;
  std::string query = "DELETE FROM " + q(kTLLogsTableName) + " WHERE " + quoteIdentifier(columnName) +
                      " IN (" + placeholders(values.size()) + ")";
  return executeNonSelectionQuery(query, db, values);
}

int TLLogDBStorage::deleteLogsFromDBWithColumnValues(const std::vector<TLDBValue>& values,
                                                     const std::string& columnName) {
  int result = executeQueryUsingBlock(
      [&](sqlite3* db) { return deleteLogsFromDBWithColumnValues(values, columnName, db); });
  std::string trace =
      "Deletion of log(s) by " + columnName + " with value(s) '" + joined(values, "','") + "'";
  if (result == SQLITE_OK) {
    TLLogVerbose(kTLLogTag, "{} succeeded.", trace);
  } else {
    TLLogError(kTLLogTag, "{} failed.", trace);
  }
  return result;
}

void TLLogDBStorage::deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) {
  auto found = batches_.find({groupId, batchId});
  if (found == batches_.end()) return;
  std::vector<TLDBValue> ids(found->second.begin(), found->second.end());
  deleteLogsFromDBWithColumnValues(ids, kIdColumn);
  batches_.erase(found);
}

TLStorage::Logs TLLogDBStorage::deleteLogsWithGroupId(const std::string& groupId) {
  Logs logs;
  if (auto rows = logsWithCondition(q(kGroupIdColumn) + " = ?", {groupId})) {
    for (auto& row : *rows) logs.push_back(std::move(row.log));
  }
  deleteLogsFromDBWithColumnValues({groupId}, kGroupIdColumn);
  for (auto it = batches_.begin(); it != batches_.end();) {
    if (it->first.first == groupId) {
      it = batches_.erase(it);
    } else {
      ++it;
    }
  }
  return logs;
}

// ---- Counting ----

std::optional<std::uint64_t> TLLogDBStorage::countLogs() { return countEntriesForTable(kTLLogsTableName); }

std::optional<std::uint64_t> TLLogDBStorage::countLogsWithGroupId(const std::string& groupId) {
  return countEntriesForTable(kTLLogsTableName, q(kGroupIdColumn) + " = ?", {groupId});
}

std::optional<std::uint64_t> TLLogDBStorage::countLogsBeforeDate(const platform::Date& date) {
  return countEntriesForTable(kTLLogsTableName, q(kTimestampColumn) + " <= ?", {milliseconds(date)});
}

TLStorage::Logs TLLogDBStorage::takeDiscardedLogsWithGroupId(const std::string& groupId) {
  auto found = discarded_.find(groupId);
  if (found == discarded_.end()) return {};
  Logs logs = std::move(found->second);
  discarded_.erase(found);
  return logs;
}
