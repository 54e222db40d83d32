#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

struct sqlite3;

// One SQL value: NULL, a 64-bit integer or a text. Rows read back and values bound to statements
// use the same type.
using TLDBValue = std::variant<std::monostate, std::int64_t, std::string>;
using TLDBRow = std::vector<TLDBValue>;
using TLDBRows = std::vector<TLDBRow>;
using TLDBBindings = std::vector<TLDBValue>;

// A table's columns in order: each column's name with its SQL words (type first, then constraints).
using TLDBColumnsSchema = std::vector<std::pair<std::string, std::vector<std::string>>>;
// Tables in order of creation.
using TLDBSchema = std::vector<std::pair<std::string, TLDBColumnsSchema>>;
// Table name → column name → position.
using TLDBColumnsIndexes = std::map<std::string, std::map<std::string, std::size_t>>;

inline constexpr std::int64_t kTLDefaultDatabaseSizeInBytes = 10 * 1024 * 1024;

// A store over one SQLite file in the SDK's storage folder: creates its tables from a column
// description, keeps a schema version in "user_version" with hooks for migrating an older file
// and for customising a new one, keeps the file within a size through SQLite's page limit, and
// recreates a file that SQLite reports as corrupt or not a database. Every operation opens its own
// connection and closes it; callers serialise their use of one store.
class TLDBStorage {
 public:
  using QueryBlock = std::function<int(sqlite3* db)>;

  TLDBStorage(std::optional<TLDBSchema> schema, std::uint32_t version, std::string filename);
  virtual ~TLDBStorage() = default;
  TLDBStorage(const TLDBStorage&) = delete;
  // Creates or migrates the file and calls the hooks; subclasses call it at the end of their
  // constructor, once their own members exist. A corrupt file is deleted and made anew once.
  void initialize();
  TLDBStorage& operator=(const TLDBStorage&) = delete;

  // Runs the block on a fresh connection limited to the maximum size. A file found corrupt (or
  // not a database) on the way is rebuilt and the block run once more.
  int executeQueryUsingBlock(const QueryBlock& block);
  int executeNonSelectionQuery(const std::string& query, const TLDBBindings& bindings = {});
  // Rows, or nullopt when the query failed.
  std::optional<TLDBRows> executeSelectionQuery(const std::string& query, const TLDBBindings& bindings = {});
  // Rows of the table (matching the condition when it is not empty); nullopt when counting failed.
  std::optional<std::uint64_t> countEntriesForTable(const std::string& table,
                                                    const std::string& condition = {},
                                                    const TLDBBindings& bindings = {});
  bool createTable(const std::string& table, const TLDBColumnsSchema& columns,
                   const std::vector<std::string>& uniqueColumnsConstraint = {});
  bool dropTable(const std::string& table);
  void dropDatabase();
  // Sets the size limit (rounded up to whole pages); the completion (called before this returns)
  // gets true when the limit is in force, false when it could not be set or the store could not be
  // opened.
  void setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler);

  const std::filesystem::path& dbFileURL() const { return dbFileURL_; }
  std::int64_t maxSizeInBytes() const { return maxSizeInBytes_; }
  std::int64_t pageSize() const { return pageSize_; }

  // ---- On a connection the caller opened ----
  // The "file:" URI of a path, with every byte outside the unreserved set and "/" percent-encoded.
  static std::string fileURIForPath(const std::filesystem::path& path);
  static sqlite3* openDatabaseAtFileURL(const std::filesystem::path& path, int* result);
  static void closeDatabase(sqlite3* db);
  static int executeNonSelectionQuery(const std::string& query, sqlite3* db,
                                      const TLDBBindings& bindings = {});
  // Rows; the result of preparing, or of the step that failed, through `result`.
  static TLDBRows executeSelectionQuery(const std::string& query, sqlite3* db,
                                        const TLDBBindings& bindings = {}, int* result = nullptr);
  static bool tableExists(const std::string& table, sqlite3* db, int* result = nullptr);
  static std::uint32_t versionInOpenedDatabase(sqlite3* db, int* result);
  static int setVersion(std::uint32_t version, sqlite3* db);
  static void enableAutoVacuumInOpenedDatabase(sqlite3* db);
  static int createTablesWithSchema(const TLDBSchema& schema, sqlite3* db);
  static std::string columnsQueryFromColumnsSchema(const TLDBColumnsSchema& columns);
  static TLDBColumnsIndexes columnsIndexes(const TLDBSchema& schema);
  static std::int64_t getPageSizeInOpenedDatabase(sqlite3* db);
  static std::int64_t getPageCountInOpenedDatabase(sqlite3* db);
  static std::int64_t getMaxPageCountInOpenedDatabase(sqlite3* db);
  static std::int64_t querySingleValue(const std::string& query, sqlite3* db, int* result = nullptr);
  static int setMaxPageCount(std::int64_t count, sqlite3* db);
  // Turns URI file names on process-wide, before any connection exists; the result of that.
  static int configureSQLite();
  // An identifier inside double quotes, with inner quotes doubled.
  static std::string quoteIdentifier(const std::string& name);
  static bool isCorruption(int result) { return result == 11 || result == 26; }

 protected:
  // Called once for a newly created file.
  virtual void customizeDatabase(sqlite3* /*db*/) {}
  // Called when the file's version is lower than the requested one.
  virtual void migrateDatabase(sqlite3* /*db*/, std::uint32_t /*fromVersion*/) {}

 private:
  int configureDatabase();
  int runOnce(const QueryBlock& block);

  std::optional<TLDBSchema> schema_;
  std::uint32_t version_;
  std::string filename_;
  std::filesystem::path dbFileURL_;
  std::int64_t maxSizeInBytes_ = kTLDefaultDatabaseSizeInBytes;
  std::int64_t pageSize_ = 0;
};
