#include "Telemetry/Internals/Storage/TLDBStorage.h"

#include <sqlite3.h>

#include <mutex>

#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/Escaping.h"

namespace {

// URI file names are switched on before the first connection of the process exists.
const int kSQLiteConfigurationResult = TLDBStorage::configureSQLite();

std::string errorText(int code) {
  const char* text = sqlite3_errstr(code);
  return text ? std::string(text) : std::to_string(code);
}

int bindAll(sqlite3_stmt* statement, const TLDBBindings& bindings) {
  int index = 1;
  for (const auto& value : bindings) {
    int result = SQLITE_OK;
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
      result = sqlite3_bind_int64(statement, index, *number);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
      result =
          sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    } else {
      result = sqlite3_bind_null(statement, index);
    }
    if (result != SQLITE_OK) return result;
    ++index;
  }
  return SQLITE_OK;
}

}  // namespace

int TLDBStorage::configureSQLite() { return sqlite3_config(SQLITE_CONFIG_URI, 1); }

std::string TLDBStorage::quoteIdentifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string TLDBStorage::fileURIForPath(const std::filesystem::path& path) {
  return "file:" + platform::percentEscaped(path.string(), "/");
}

TLDBStorage::TLDBStorage(std::optional<TLDBSchema> schema, std::uint32_t version, std::string filename)
    : schema_(std::move(schema)), version_(version), filename_(std::move(filename)) {}

void TLDBStorage::initialize() {
  static std::once_flag logged;
  std::call_once(logged, [] {
    if (kSQLiteConfigurationResult == SQLITE_OK) {
      TLLogDebug(kTLLogTag, "SQLite global configuration successfully updated.");
    } else {
      TLLogError(kTLLogTag, "Failed to update SQLite global configuration. Error: {}.",
                 errorText(kSQLiteConfigurationResult));
    }
  });
  int result = configureDatabase();
  if (isCorruption(result)) {
    dropDatabase();
    result = configureDatabase();
  }
  if (result != SQLITE_OK) TLLogError(kTLLogTag, "Failed to initialize database.");
}

int TLDBStorage::configureDatabase() {
  bool existed = TLUtility::fileExistsForPathComponent(filename_);
  auto url = TLUtility::createFileAtPathComponent(filename_, std::nullopt, false, false);
  dbFileURL_ = url ? *url : TLUtility::telemetryDirectoryURL() / filename_;
  maxSizeInBytes_ = kTLDefaultDatabaseSizeInBytes;
  int result = SQLITE_OK;
  sqlite3* db = openDatabaseAtFileURL(dbFileURL_, &result);
  if (!db) return result;
  pageSize_ = getPageSizeInOpenedDatabase(db);
  std::uint32_t version = versionInOpenedDatabase(db, &result);
  if (result != SQLITE_OK) {
    closeDatabase(db);
    return result;
  }
  if (schema_) {
    result = createTablesWithSchema(*schema_, db);
    if (result != SQLITE_OK) {
      TLLogError(kTLLogTag, "Failed to create tables with schema with error \"{}\".", result);
      closeDatabase(db);
      return result;
    }
  }
  if (existed) {
    if (version < version_) {
      TLLogInfo(kTLLogTag, "Migrating \"{}\" database from version {} to {}.", filename_, version, version_);
      migrateDatabase(db, version);
    }
  } else {
    TLLogInfo(kTLLogTag, "Created \"{}\" database with {} version.", filename_, version_);
    customizeDatabase(db);
  }
  enableAutoVacuumInOpenedDatabase(db);
  result = setVersion(version_, db);
  closeDatabase(db);
  return result;
}

int TLDBStorage::runOnce(const QueryBlock& block) {
  int result = SQLITE_OK;
  sqlite3* db = openDatabaseAtFileURL(dbFileURL_, &result);
  if (!db) return result;
  if (pageSize_ > 0) {
    result = setMaxPageCount(maxSizeInBytes_ / pageSize_, db);
    if (isCorruption(result)) {
      closeDatabase(db);
      return result;
    }
    if (result != SQLITE_OK)
      TLLogError(kTLLogTag, "Failed to open database with specified maximum size constraint.");
  }
  result = block(db);
  closeDatabase(db);
  return result;
}

int TLDBStorage::executeQueryUsingBlock(const QueryBlock& block) {
  if (dbFileURL_.empty() || pageSize_ <= 0) {
    // Configuring failed at start; try again now rather than work on an unknown file.
    int result = configureDatabase();
    if (isCorruption(result)) {
      dropDatabase();
      result = configureDatabase();
    }
    if (result != SQLITE_OK) return result;
  }
  int result = runOnce(block);
  if (isCorruption(result)) {
    // The file went bad after start: rebuild it and try once more.
    TLLogError(kTLLogTag, "A database file is corrupted: {} - rebuilding it.", result);
    std::int64_t maxSize = maxSizeInBytes_;
    dropDatabase();
    result = configureDatabase();
    if (result != SQLITE_OK) return result;
    maxSizeInBytes_ = maxSize;
    result = runOnce(block);
  }
  return result;
}

int TLDBStorage::executeNonSelectionQuery(const std::string& query, const TLDBBindings& bindings) {
  return executeQueryUsingBlock([&](sqlite3* db) { return executeNonSelectionQuery(query, db, bindings); });
}

std::optional<TLDBRows> TLDBStorage::executeSelectionQuery(const std::string& query,
                                                           const TLDBBindings& bindings) {
  TLDBRows rows;
  int result = executeQueryUsingBlock([&](sqlite3* db) {
    int stepResult = SQLITE_OK;
    rows = executeSelectionQuery(query, db, bindings, &stepResult);
    return stepResult;
  });
  if (result != SQLITE_OK) return std::nullopt;
  return rows;
}

std::optional<std::uint64_t> TLDBStorage::countEntriesForTable(const std::string& table,
                                                               const std::string& condition,
                                                               const TLDBBindings& bindings) {
  std::string query = "SELECT COUNT(*) FROM " + quoteIdentifier(table) + " ";
  if (!condition.empty()) query += "WHERE " + condition;
  auto rows = executeSelectionQuery(query, bindings);
  if (!rows) return std::nullopt;
  if (rows->empty() || rows->front().empty()) return 0;
  const auto* count = std::get_if<std::int64_t>(&rows->front().front());
  return count ? static_cast<std::uint64_t>(*count) : 0;
}

bool TLDBStorage::createTable(const std::string& table, const TLDBColumnsSchema& columns,
                              const std::vector<std::string>& uniqueColumnsConstraint) {
  int result = executeQueryUsingBlock([&](sqlite3* db) {
    int existsResult = SQLITE_OK;
    if (tableExists(table, db, &existsResult)) return SQLITE_OK;
    if (existsResult != SQLITE_OK) return existsResult;
    std::string unique;
    if (!uniqueColumnsConstraint.empty()) {
      unique = ", UNIQUE(";
      for (std::size_t i = 0; i < uniqueColumnsConstraint.size(); ++i) {
        if (i) unique += ", ";
        unique += uniqueColumnsConstraint[i];
      }
      unique += ")";
    }
    int created = executeNonSelectionQuery("CREATE TABLE " + quoteIdentifier(table) + " (" +
                                               columnsQueryFromColumnsSchema(columns) + unique + ");",
                                           db);
    if (created == SQLITE_OK) {
      TLLogVerbose(kTLLogTag, "Table {} has been created", table);
    } else {
      TLLogError(kTLLogTag, "Failed to create table {}", table);
    }
    return created;
  });
  return result == SQLITE_OK;
}

bool TLDBStorage::dropTable(const std::string& table) {
  int result = executeQueryUsingBlock([&](sqlite3* db) {
    int existsResult = SQLITE_OK;
    if (!tableExists(table, db, &existsResult)) return existsResult;
    int dropped = executeNonSelectionQuery("DROP TABLE " + quoteIdentifier(table) + ";", db);
    if (dropped == SQLITE_OK) {
      TLLogVerbose(kTLLogTag, "Table {} has been deleted", table);
    } else {
      TLLogError(kTLLogTag, "Failed to delete table {}", table);
    }
    return dropped;
  });
  return result == SQLITE_OK;
}

void TLDBStorage::dropDatabase() {
  std::error_code error;
  bool removed = std::filesystem::remove(dbFileURL_, error) || !error;
  // The rollback journal of an interrupted transaction belongs to the old file.
  std::filesystem::remove(dbFileURL_.string() + "-journal", error);
  if (removed) {
    TLLogVerbose(kTLLogTag, "Database {} has been deleted.", fileURIForPath(dbFileURL_));
  } else {
    TLLogError(kTLLogTag, "Failed to delete database.");
  }
}

void TLDBStorage::setMaxStorageSize(std::int64_t sizeInBytes,
                                    const std::function<void(bool)>& completionHandler) {
  int result = SQLITE_OK;
  sqlite3* db = dbFileURL_.empty() ? nullptr : openDatabaseAtFileURL(dbFileURL_, &result);
  if (!db || pageSize_ <= 0) {
    if (db) closeDatabase(db);
    if (completionHandler) completionHandler(false);
    return;
  }
  bool success = false;
  std::int64_t pageCount = getPageCountInOpenedDatabase(db);
  TLLogDebug(kTLLogTag, "Found {} pages in the database.", pageCount);
  std::int64_t requested = sizeInBytes / pageSize_ + (sizeInBytes % pageSize_ ? 1 : 0);
  if (pageCount > requested) {
    TLLogWarning(kTLLogTag,
                 "Cannot change database size to {} bytes as it would cause a loss of data. Maximum database "
                 "size will not be changed.",
                 sizeInBytes);
  } else {
    result = setMaxPageCount(requested, db);
    if (result != SQLITE_OK) {
      TLLogError(kTLLogTag, "Could not change maximum database size to {} bytes. SQLite error code: {}",
                 sizeInBytes, result);
    } else {
      std::int64_t maxPages = getMaxPageCountInOpenedDatabase(db);
      std::int64_t inForce = maxPages * pageSize_;
      if (maxPages != requested) {
        TLLogError(kTLLogTag,
                   "Could not change maximum database size to {} bytes, current maximum size is {} bytes.",
                   sizeInBytes, inForce);
      } else {
        if (inForce == sizeInBytes) {
          TLLogInfo(kTLLogTag, "Changed maximum database size to {} bytes.", sizeInBytes);
        } else {
          TLLogInfo(kTLLogTag, "Changed maximum database size to {} bytes (next multiple of 4KiB).", inForce);
        }
        maxSizeInBytes_ = inForce;
        success = true;
      }
    }
  }
  closeDatabase(db);
  if (completionHandler) completionHandler(success);
}

// ---- On an open connection ----

sqlite3* TLDBStorage::openDatabaseAtFileURL(const std::filesystem::path& path, int* result) {
  sqlite3* db = nullptr;
  int opened = sqlite3_open_v2(fileURIForPath(path).c_str(), &db,
                               SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
  if (result) *result = opened;
  if (opened != SQLITE_OK) {
    TLLogError(kTLLogTag, "Failed to open database with result: {}.", opened);
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

void TLDBStorage::closeDatabase(sqlite3* db) { sqlite3_close_v2(db); }

int TLDBStorage::executeNonSelectionQuery(const std::string& query, sqlite3* db,
                                          const TLDBBindings& bindings) {
  int result = SQLITE_OK;
  if (bindings.empty()) {
    char* message = nullptr;
    result = sqlite3_exec(db, query.c_str(), nullptr, nullptr, &message);
    std::string text = message ? message : "";
    sqlite3_free(message);
    if (result == SQLITE_FULL) {
      TLLogDebug(kTLLogTag, "Query failed with error: {} - {}", result, text);
    } else if (isCorruption(result)) {
      TLLogError(kTLLogTag, "A database file is corrupted: {} - {}", result, text);
    } else if (result != SQLITE_OK) {
      TLLogError(kTLLogTag, "Query \"{}\" failed with error: {} - {}", query, result, text);
    }
    return result;
  }
  sqlite3_stmt* statement = nullptr;
  result = sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr);
  if (result == SQLITE_OK) result = bindAll(statement, bindings);
  if (result == SQLITE_OK) {
    result = sqlite3_step(statement);
    if (result == SQLITE_DONE || result == SQLITE_ROW) result = SQLITE_OK;
  }
  if (result == SQLITE_FULL) {
    TLLogDebug(kTLLogTag, "Query failed with error: {} - {}", result, sqlite3_errmsg(db));
  } else if (isCorruption(result)) {
    TLLogError(kTLLogTag, "A database file is corrupted: {} - {}", result, sqlite3_errmsg(db));
  } else if (result != SQLITE_OK) {
    TLLogError(kTLLogTag, "Query \"{}\" failed with error: {} - {}", query, result, sqlite3_errmsg(db));
  }
  sqlite3_finalize(statement);
  return result;
}

TLDBRows TLDBStorage::executeSelectionQuery(const std::string& query, sqlite3* db,
                                            const TLDBBindings& bindings, int* result) {
  TLDBRows rows;
  sqlite3_stmt* statement = nullptr;
  int prepared = sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr);
  if (prepared == SQLITE_OK) prepared = bindAll(statement, bindings);
  if (result) *result = prepared;
  if (prepared != SQLITE_OK) {
    TLLogError(kTLLogTag, "Query \"{}\" failed with error: {} - {}", query, prepared, sqlite3_errmsg(db));
    sqlite3_finalize(statement);
    return rows;
  }
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    int count = sqlite3_column_count(statement);
    TLDBRow row;
    row.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      switch (sqlite3_column_type(statement, i)) {
        case SQLITE_TEXT: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
          row.emplace_back(
              std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(statement, i))));
          break;
        }
        case SQLITE_INTEGER:
          row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(statement, i)));
          break;
        default:
          row.emplace_back(std::monostate{});
      }
    }
    if (!row.empty()) rows.push_back(std::move(row));
  }
  // A step that fails ends the rows read so far; callers that care learn it from the result.
  if (step != SQLITE_DONE && result) *result = step;
  sqlite3_finalize(statement);
  return rows;
}

bool TLDBStorage::tableExists(const std::string& table, sqlite3* db, int* result) {
  int queryResult = SQLITE_OK;
  auto rows =
      executeSelectionQuery("SELECT COUNT(*) FROM \"sqlite_master\" WHERE \"type\"='table' AND \"name\"=?;",
                            db, {table}, &queryResult);
  if (result) *result = queryResult;
  if (queryResult != SQLITE_OK || rows.empty()) return false;
  const auto* value = std::get_if<std::int64_t>(&rows.front().front());
  return value && *value != 0;
}

std::uint32_t TLDBStorage::versionInOpenedDatabase(sqlite3* db, int* result) {
  return static_cast<std::uint32_t>(querySingleValue("PRAGMA user_version", db, result));
}

int TLDBStorage::setVersion(std::uint32_t version, sqlite3* db) {
  return executeNonSelectionQuery("PRAGMA user_version = " + std::to_string(version), db);
}

void TLDBStorage::enableAutoVacuumInOpenedDatabase(sqlite3* db) {
  auto rows = executeSelectionQuery("PRAGMA auto_vacuum", db);
  if (!rows.empty()) {
    const auto* mode = std::get_if<std::int64_t>(&rows.front().front());
    if (mode && *mode == 1) return;
  }
  TLLogDebug(kTLLogTag, "Vacuuming database and enabling auto_vacuum");
  executeNonSelectionQuery("PRAGMA auto_vacuum = FULL; VACUUM", db);
}

int TLDBStorage::createTablesWithSchema(const TLDBSchema& schema, sqlite3* db) {
  std::string statements;
  for (const auto& [table, columns] : schema) {
    int existsResult = SQLITE_OK;
    if (tableExists(table, db, &existsResult)) continue;
    if (existsResult != SQLITE_OK) return existsResult;
    if (!statements.empty()) statements += "; ";
    statements +=
        "CREATE TABLE " + quoteIdentifier(table) + " (" + columnsQueryFromColumnsSchema(columns) + ");";
  }
  if (statements.empty()) return SQLITE_OK;
  return executeNonSelectionQuery(statements, db);
}

std::string TLDBStorage::columnsQueryFromColumnsSchema(const TLDBColumnsSchema& columns) {
  std::string out;
  for (const auto& [name, words] : columns) {
    if (!out.empty()) out += ", ";
    out += quoteIdentifier(name) + " ";
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (i) out += " ";
      out += words[i];
    }
  }
  return out;
}

TLDBColumnsIndexes TLDBStorage::columnsIndexes(const TLDBSchema& schema) {
  TLDBColumnsIndexes indexes;
  for (const auto& [table, columns] : schema) {
    auto& map = indexes[table];
    for (std::size_t i = 0; i < columns.size(); ++i) map[columns[i].first] = i;
  }
  return indexes;
}

std::int64_t TLDBStorage::querySingleValue(const std::string& query, sqlite3* db, int* result) {
  auto rows = executeSelectionQuery(query, db, {}, result);
  if (rows.empty()) return 0;
  const auto* value = std::get_if<std::int64_t>(&rows.front().front());
  return value ? *value : 0;
}

std::int64_t TLDBStorage::getPageSizeInOpenedDatabase(sqlite3* db) {
  return querySingleValue("PRAGMA page_size;", db);
}
std::int64_t TLDBStorage::getPageCountInOpenedDatabase(sqlite3* db) {
  return querySingleValue("PRAGMA page_count;", db);
}
std::int64_t TLDBStorage::getMaxPageCountInOpenedDatabase(sqlite3* db) {
  return querySingleValue("PRAGMA max_page_count;", db);
}

int TLDBStorage::setMaxPageCount(std::int64_t count, sqlite3* db) {
  return executeNonSelectionQuery("PRAGMA max_page_count = " + std::to_string(count) + ";", db);
}
