#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "PipelineTestSupport.h"
#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Storage/TLLogDBStorage.h"
#include "platform/Base64.h"

extern char** environ;

using namespace tltesting;

namespace {

constexpr const char* kFullDiskFolderVariable = "QV_FULL_DISK_FOLDER";
// The inner test's exit status when the small file system could not be mounted.
constexpr int kNoSmallFileSystem = 77;

class LogStorageTest : public PipelineTest {
 protected:
  static std::string archived(const std::shared_ptr<TLLog>& log) {
    return platform::base64Encode(TLArchivedData(platform::ArchiveObject(log)));
  }
  static std::vector<std::string> services(const TLStorage::Logs& logs) {
    std::vector<std::string> out;
    for (const auto& log : logs) out.push_back(serviceOf(log));
    return out;
  }
  // Loads one batch of the group; its logs' service names.
  static std::vector<std::string> load(TLLogDBStorage& storage, const std::string& group,
                                       std::uint64_t limit = 50, bool* more = nullptr,
                                       std::optional<std::string>* batch = nullptr) {
    std::vector<std::string> names;
    bool result =
        storage.loadLogsWithGroupId(group, limit, {}, std::nullopt, std::nullopt,
                                    [&](const TLStorage::Logs& logs, const std::optional<std::string>& id) {
                                      names = services(logs);
                                      if (batch) *batch = id;
                                    });
    if (more) *more = result;
    return names;
  }
  static std::vector<std::string> columns() {
    std::vector<std::string> names;
    for (const auto& row : sql(logsFile(), "PRAGMA table_info(logs)")) names.push_back(row[1]);
    return names;
  }
};

const std::vector<std::string> kAllColumns{"id",        "groupId",  "log",      "targetToken",
                                           "targetKey", "priority", "timestamp"};

TEST_F(LogStorageTest, FreshFileHasSchemaVersionIndexAndAutoVacuum) {
  MessageRecorder messages;
  TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  TLLogDBStorage storage;
  EXPECT_EQ(columns(), kAllColumns);
  EXPECT_EQ(sqlValue(logsFile(), "PRAGMA user_version"), "4");
  EXPECT_EQ(sqlValue(logsFile(), "PRAGMA auto_vacuum"), "1");
  EXPECT_EQ(sqlValue(logsFile(), "SELECT name FROM sqlite_master WHERE type='index'"), "ix_logs_priority");
  auto infos = messages.texts(TLLogLevelInfo);
  EXPECT_NE(std::find(infos.begin(), infos.end(), "Created \"Logs.sqlite\" database with 4 version."),
            infos.end());
  EXPECT_EQ(storage.pageSize(), 4096);
  EXPECT_EQ(storage.maxSizeInBytes(), 10 * 1024 * 1024);
}

// Files of earlier versions gain the missing columns (old rows: priority 1, time 0) and the index; a
// newer file is left as it is and marked 4.
TEST_F(LogStorageTest, MigratesFilesOfEveryVersion) {
  const std::string v0 =
      "CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, groupId TEXT NOT NULL, log TEXT NOT NULL)";
  const std::vector<std::pair<int, std::string>> cases{
      {0, v0},
      {1, v0 + "; ALTER TABLE logs ADD COLUMN targetToken TEXT"},
      {2, v0 + "; ALTER TABLE logs ADD COLUMN targetToken TEXT; ALTER TABLE logs ADD COLUMN targetKey TEXT"},
      {3, v0 + "; ALTER TABLE logs ADD COLUMN targetToken TEXT; ALTER TABLE logs ADD COLUMN targetKey TEXT;"
               "ALTER TABLE logs ADD COLUMN priority INTEGER DEFAULT 1; CREATE INDEX ix_logs_priority ON "
               "logs (priority)"},
      {5, v0 + "; ALTER TABLE logs ADD COLUMN targetToken TEXT; ALTER TABLE logs ADD COLUMN targetKey TEXT;"
               "ALTER TABLE logs ADD COLUMN priority INTEGER DEFAULT 1; CREATE INDEX ix_logs_priority ON "
               "logs (priority);"
               "ALTER TABLE logs ADD COLUMN timestamp INTEGER DEFAULT 7"},
  };
  for (const auto& [version, schema] : cases) {
    SCOPED_TRACE(version);
    std::filesystem::remove(logsFile());
    sql(logsFile(), schema + "; INSERT INTO logs (groupId, log) VALUES ('G', '" + archived(testLog("old")) +
                        "'); PRAGMA user_version = " + std::to_string(version));
    TLLogDBStorage storage;
    EXPECT_EQ(columns(), kAllColumns);
    EXPECT_EQ(sqlValue(logsFile(), "PRAGMA user_version"), "4");
    EXPECT_EQ(sqlValue(logsFile(), "SELECT count(*) FROM sqlite_master WHERE name='ix_logs_priority'"), "1");
    EXPECT_EQ(sql(logsFile(), "SELECT priority, timestamp FROM logs"),
              (std::vector<std::vector<std::string>>{{"1", version == 5 ? "7" : "0"}}));
    EXPECT_EQ(load(storage, "G"), std::vector<std::string>{"old"});
  }
}

// A file that is not a database, or one cut short, is replaced by a working empty store.
TEST_F(LogStorageTest, GarbageAndTruncatedFilesAreRecreated) {
  {
    TLLogDBStorage storage;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(storage.saveLog(testLog("a", 3000), "G", 1));
  }
  auto full = std::filesystem::file_size(logsFile());
  ASSERT_GT(full, 8192u);
  for (const std::string kind : {"truncated", "garbage"}) {
    SCOPED_TRACE(kind);
    if (kind == "truncated") {
      std::filesystem::resize_file(logsFile(), 4096 + 100);
    } else {
      std::ofstream(logsFile(), std::ios::binary | std::ios::trunc) << std::string(10000, 'g');
    }
    TLLogDBStorage storage;
    EXPECT_TRUE(storage.saveLog(testLog("fresh"), "G", 1));
    EXPECT_EQ(load(storage, "G", 100).back(), "fresh");
    EXPECT_EQ(sqlValue(logsFile(), "PRAGMA user_version"), "4");
  }
}

// A file damaged while the store is in use is rebuilt and the operation done once more.
TEST_F(LogStorageTest, CorruptionAfterStartRebuildsAndRetries) {
  TLLogDBStorage storage;
  ASSERT_TRUE(storage.saveLog(testLog("before"), "G", 1));
  storage.setMaxStorageSize(81920, nullptr);
  std::ofstream(logsFile(), std::ios::binary | std::ios::trunc) << std::string(8192, '\x5a');
  EXPECT_TRUE(storage.saveLog(testLog("after"), "G", 1));
  EXPECT_EQ(storage.countLogs(), 1u);
  EXPECT_EQ(load(storage, "G"), std::vector<std::string>{"after"});
  // The size limit in force survives the rebuild.
  EXPECT_EQ(storage.maxSizeInBytes(), 81920);
}

// A store that cannot be opened answers errors, never counts of zero.
TEST_F(LogStorageTest, StoreErrorsAreNotZeroCounts) {
  TLLogDBStorage storage;
  ASSERT_EQ(storage.countLogs(), 0u);
  std::filesystem::remove(logsFile());
  std::filesystem::create_directory(logsFile());
  EXPECT_EQ(storage.countLogs(), std::nullopt);
  EXPECT_EQ(storage.countLogsWithGroupId("G"), std::nullopt);
  EXPECT_EQ(storage.countLogsBeforeDate(platform::Date::now()), std::nullopt);
  EXPECT_FALSE(storage.saveLog(testLog(), "G", 1));
  bool answered = false, answer = true;
  storage.setMaxStorageSize(1 << 20, [&](bool success) {
    answered = true;
    answer = success;
  });
  EXPECT_TRUE(answered);
  EXPECT_FALSE(answer);
}

TEST_F(LogStorageTest, LoadsByPriorityThenAgeWithLimitAndPendingBatches) {
  TLLogDBStorage storage;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(storage.saveLog(testLog("n" + std::to_string(i)), "G", 1));
  ASSERT_TRUE(storage.saveLog(testLog("critical"), "G", 2));
  ASSERT_TRUE(storage.saveLog(testLog("other"), "H", 0x101));  // only the low 8 bits are the priority
  EXPECT_EQ(sqlValue(logsFile(), "SELECT priority FROM logs WHERE groupId='H'"), "1");
  EXPECT_EQ(sqlValue(logsFile(), "SELECT timestamp FROM logs LIMIT 1"), "1700000000000");

  bool more = false;
  std::optional<std::string> batch;
  EXPECT_EQ(load(storage, "G", 3, &more, &batch), (std::vector<std::string>{"critical", "n0", "n1"}));
  EXPECT_TRUE(more);
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->size(), 36u);
  EXPECT_EQ(*batch, [&] {
    std::string upper = *batch;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
  }());
  // The rows in flight are skipped until their batch is deleted; exactly the limit means no more.
  EXPECT_EQ(load(storage, "G", 2, &more), (std::vector<std::string>{"n2", "n3"}));
  EXPECT_FALSE(more);
  std::optional<std::string> none = "unset";
  EXPECT_TRUE(load(storage, "G", 2, &more, &none).empty());
  EXPECT_EQ(none, std::nullopt);
  EXPECT_EQ(storage.pendingBatchCount(), 2u);
  storage.deleteLogsWithBatchId(*batch, "G");
  storage.deleteLogsWithBatchId("unknown", "G");
  EXPECT_EQ(storage.countLogsWithGroupId("G"), 2u);
  EXPECT_EQ(storage.countLogs(), 3u);
  // No limit at all.
  EXPECT_EQ(load(storage, "H", std::numeric_limits<std::uint64_t>::max(), &more),
            std::vector<std::string>{"other"});
  EXPECT_FALSE(more);
}

TEST_F(LogStorageTest, TimeBoundsAreInclusiveBelowAndExclusiveAbove) {
  TLLogDBStorage storage;
  for (double t : {100.0, 200.0, 300.0})
    ASSERT_TRUE(storage.saveLog(testLog(std::to_string(int(t)), 0, t), "G", 1));
  auto at = [](double t) { return platform::Date::fromTimeIntervalSince1970(t); };
  EXPECT_EQ(storage.countLogsBeforeDate(at(200)), 2u);
  std::vector<std::string> names;
  storage.loadLogsWithGroupId("G", 10, {}, at(200), at(300),
                              [&](const TLStorage::Logs& logs, const auto&) { names = services(logs); });
  EXPECT_EQ(names, std::vector<std::string>{"200"});
}

// Batches belong to their group: clearing "Analytics" keeps the rows and batches of "Analytics/one".
TEST_F(LogStorageTest, BatchesAreKeyedByGroupAndBatch) {
  TLLogDBStorage storage;
  ASSERT_TRUE(storage.saveLog(testLog("base"), "Analytics", 1));
  ASSERT_TRUE(storage.saveLog(testLog("twin"), "Analytics/one", 1));
  ASSERT_TRUE(storage.saveLog(testLog("twin2"), "Analytics/one", 1));
  std::optional<std::string> twinBatch;
  EXPECT_EQ(load(storage, "Analytics/one", 1, nullptr, &twinBatch), std::vector<std::string>{"twin"});
  EXPECT_EQ(load(storage, "Analytics"), std::vector<std::string>{"base"});
  EXPECT_EQ(services(storage.deleteLogsWithGroupId("Analytics")), std::vector<std::string>{"base"});
  EXPECT_EQ(storage.countLogsWithGroupId("Analytics/one"), 2u);
  EXPECT_EQ(load(storage, "Analytics/one"), std::vector<std::string>{"twin2"});
  storage.deleteLogsWithBatchId(*twinBatch, "Analytics/one");
  EXPECT_EQ(storage.countLogsWithGroupId("Analytics/one"), 1u);
}

// Rows that cannot be read back never block their batch: undecodable and invalid logs are deleted
// (invalid ones handed back for reporting), a token that does not decrypt leaves its log tokenless.
// Values with quotes are data, never SQL.
TEST_F(LogStorageTest, BadRowsAreDeletedAndNeverBlockTheirBatch) {
  MessageRecorder messages;
  TLLogDBStorage storage;
  auto invalid = testLog("invalid");
  invalid->setDevice(nullptr);
  const std::string group = "it's \"quoted\"'); DROP TABLE logs; --";
  auto insert = [&](const std::string& log, const std::string& token) {
    sql(logsFile(), "INSERT INTO logs (groupId, log, targetToken, priority, timestamp) VALUES ('" +
                        std::string("G") + "', '" + log + "', " + token + ", 1, 0)");
  };
  insert("!!!not base64 at all", "NULL");
  insert(platform::base64Encode(platform::dataFromString("garbage, not an archive")), "NULL");
  insert(archived(testLog("undecryptable")), "'bm90IGEgc2VhbGVkIHRva2Vu'");
  insert(archived(invalid), "NULL");
  insert(archived(testLog("good")), "NULL");
  ASSERT_TRUE(storage.saveLog(testLog("quoted"), group, 1));

  bool more = true;
  EXPECT_EQ(load(storage, "G", 50, &more), (std::vector<std::string>{"undecryptable", "good"}));
  EXPECT_FALSE(more);
  EXPECT_EQ(storage.countLogsWithGroupId("G"), 2u);
  EXPECT_EQ(services(storage.takeDiscardedLogsWithGroupId("G")), std::vector<std::string>{"invalid"});
  EXPECT_TRUE(storage.takeDiscardedLogsWithGroupId("G").empty());
  auto errors = messages.texts(TLLogLevelError);
  EXPECT_NE(std::find(errors.begin(), errors.end(), "Failed to decrypt the target token for log with Id 3."),
            errors.end());

  EXPECT_EQ(load(storage, group), std::vector<std::string>{"quoted"});
  EXPECT_EQ(services(storage.deleteLogsWithGroupId(group)), std::vector<std::string>{"quoted"});
  EXPECT_EQ(storage.countLogs(), 2u);
}

TEST_F(LogStorageTest, EventSchemaLogsKeepTheirSealedTokenAndKey) {
  TLLogDBStorage storage;
  auto log = TLEventSchemaLog::init();
  log->setTimestamp(platform::Date::fromTimeIntervalSince1970(1000));
  log->setVer("3.0");
  log->setName("event.name");
  log->setIKey("o:tenant");
  log->addTransmissionTargetToken("tenant-secret-token");
  ASSERT_TRUE(storage.saveLog(log, "Analytics/one", 1));
  EXPECT_EQ(sqlValue(logsFile(), "SELECT targetKey FROM logs"), "tenant");
  auto sealed = sqlValue(logsFile(), "SELECT targetToken FROM logs");
  EXPECT_EQ(sealed.find("secret"), std::string::npos);
  TLStorage::Logs logs;
  storage.loadLogsWithGroupId("Analytics/one", 10, {}, std::nullopt, std::nullopt,
                              [&](const TLStorage::Logs& loaded, const auto&) { logs = loaded; });
  ASSERT_EQ(logs.size(), 1u);
  ASSERT_TRUE(logs[0]->transmissionTargetTokens());
  EXPECT_EQ(*logs[0]->transmissionTargetTokens(), TLAbstractLog::TokenSet{"tenant-secret-token"});
  // A paused target key keeps its rows back.
  bool loaded = false;
  storage.loadLogsWithGroupId("Analytics/one", 10, {"tenant"}, std::nullopt, std::nullopt,
                              [&](const TLStorage::Logs& none, const auto&) { loaded = !none.empty(); });
  EXPECT_FALSE(loaded);
}

TEST_F(LogStorageTest, MaximumSizeRoundsUpToWholePages) {
  MessageRecorder messages;
  TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  TLLogDBStorage storage;
  struct Case {
    std::int64_t requested;
    bool success;
    std::int64_t inForce;
    std::string message;
  };
  const std::vector<Case> cases{
      {40961, true, 45056, "Changed maximum database size to 45056 bytes (next multiple of 4KiB)."},
      {40960, true, 40960, "Changed maximum database size to 40960 bytes."},
      {4096, false, 40960,
       "Cannot change database size to 4096 bytes as it would cause a loss of data. Maximum database size "
       "will not "
       "be changed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.requested);
    std::optional<bool> answer;
    storage.setMaxStorageSize(c.requested, [&](bool success) { answer = success; });
    EXPECT_EQ(answer, c.success);
    EXPECT_EQ(storage.maxSizeInBytes(), c.inForce);
    auto all = messages.messages();
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const auto& m) { return m.text == c.message; }));
  }
}

// A full store of 24,576 bytes: a new log first takes the room of the oldest logs of lower, then
// equal priority; it is refused, with every row kept, when only higher-priority logs could go.
TEST_F(LogStorageTest, EvictionMakesRoomOldestLowestFirstOrRefuses) {
  MessageRecorder messages;
  TLLogger::setCurrentLogLevel(TLLogLevelDebug);
  TLLogDBStorage storage;
  bool limited = false;
  storage.setMaxStorageSize(24576, [&](bool success) { limited = success; });
  ASSERT_TRUE(limited);
  auto ids = [] { return sql(logsFile(), "SELECT id, priority FROM logs ORDER BY id"); };
  // Fill with critical logs until the store stops growing.
  int saved = 0;
  while (saved < 100) {
    auto before = storage.countLogs();
    ASSERT_TRUE(storage.saveLog(testLog("c" + std::to_string(saved), 600), "G", 2));
    ++saved;
    if (storage.countLogs() != *before + 1) break;
  }
  ASSERT_LT(saved, 100);
  // Critical logs only: a normal log finds nothing it may replace.
  auto rows = ids();
  EXPECT_FALSE(storage.saveLog(testLog("normal", 600), "G", 1));
  EXPECT_EQ(ids(), rows);
  auto errors = messages.texts(TLLogLevelError);
  EXPECT_EQ(errors.back(),
            "Storage is full and no logs with equal or lower priority exist; discarding the log.");
  // A log larger than the whole store is refused at once.
  EXPECT_FALSE(storage.saveLog(testLog("huge", 30000), "G", 2));
  EXPECT_EQ(ids(), rows);

  // Mixed: a few normal logs among the critical ones; a new critical log takes the oldest normal
  // rows first.
  std::filesystem::remove(logsFile());
  TLLogDBStorage mixed;
  mixed.setMaxStorageSize(24576, nullptr);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(mixed.saveLog(testLog("n" + std::to_string(i), 600), "G", 1));
  for (int i = 0; i < 100; ++i) {
    auto before = mixed.countLogs();
    ASSERT_TRUE(mixed.saveLog(testLog("c" + std::to_string(i), 600), "G", 2));
    if (mixed.countLogs() != *before + 1) break;
  }
  auto remaining = ids();
  std::vector<std::string> normals;
  for (const auto& row : remaining)
    if (row[1] == "1") normals.push_back(row[0]);
  // The oldest normal logs went first; the newest ones may remain.
  ASSERT_LT(normals.size(), 3u);
  for (std::size_t i = 0; i < normals.size(); ++i)
    EXPECT_EQ(normals[i], std::to_string(3 - normals.size() + 1 + i));
  auto debug = messages.texts(TLLogLevelDebug);
  EXPECT_TRUE(std::any_of(debug.begin(), debug.end(), [](const std::string& text) {
    return text.find("oldest log(s) with equal or lower priority deleted.") != std::string::npos;
  }));
}

// A large log may need the room of more old rows than one read of candidates holds.
TEST_F(LogStorageTest, EvictionReachesPastTheFirstCandidates) {
  TLLogDBStorage storage;
  storage.setMaxStorageSize(409600, nullptr);
  int saved = 0;
  for (; saved < 2000; ++saved) {
    auto before = storage.countLogs();
    ASSERT_TRUE(storage.saveLog(testLog("s" + std::to_string(saved)), "G", 1));
    if (storage.countLogs() != *before + 1) break;
  }
  ASSERT_GT(saved, 150);
  auto before = *storage.countLogs();
  ASSERT_TRUE(storage.saveLog(testLog("large", 120000), "G", 1));
  auto after = *storage.countLogs();
  EXPECT_LT(after + 64, before);
  // The oldest went: what is left is the newest rows and the large log.
  auto oldest = sqlValue(logsFile(), "SELECT min(id) FROM logs");
  EXPECT_EQ(std::stoll(sqlValue(logsFile(), "SELECT max(id) FROM logs")) - std::stoll(oldest) + 1,
            static_cast<long long>(after));
}

// Logs saved together share one transaction: each answer says whether that log is stored, rows
// keep the logs' order and flags, and a log the shared write cannot take (none, too large, no room
// left) fails alone or is saved alone with eviction, never costing the others their place.
TEST_F(LogStorageTest, SavingSeveralLogsAtOnceAnswersForEachInOrder) {
  auto rows = [] { return sql(logsFile(), "SELECT priority FROM logs ORDER BY id"); };
  auto names = [](TLLogDBStorage& storage) {
    std::vector<std::string> out;
    storage.loadLogsWithGroupId("G", 1000, {}, std::nullopt, std::nullopt,
                                [&](const TLStorage::Logs& logs, const std::optional<std::string>&) {
                                  for (const auto& log : logs) {
                                    auto name = serviceOf(log);
                                    out.push_back(name.substr(0, name.find('x')));
                                  }
                                });
    return out;
  };
  {
    SCOPED_TRACE("a missing and a too large log among stored ones");
    TLLogDBStorage storage;
    storage.setMaxStorageSize(102400, nullptr);
    auto stored = storage.saveLogs({{testLog("a"), 1},
                                    {nullptr, 1},
                                    {testLog("b"), 0x102},
                                    {testLog("huge", 120000), 1},
                                    {testLog("c"), 1}},
                                   "G");
    EXPECT_EQ(stored, (std::vector<bool>{true, false, true, false, true}));
    EXPECT_EQ(rows(), (std::vector<std::vector<std::string>>{{"1"}, {"2"}, {"1"}}));
    EXPECT_EQ(names(storage), (std::vector<std::string>{"b", "a", "c"}));
  }
  std::filesystem::remove(logsFile());
  {
    SCOPED_TRACE("the store fills up in the middle of the write");
    TLLogDBStorage storage;
    storage.setMaxStorageSize(102400, nullptr);
    for (int i = 0; i < 100; ++i) {
      auto before = storage.countLogs();
      ASSERT_TRUE(storage.saveLog(testLog("n" + std::to_string(i), 600), "G", 1));
      if (storage.countLogs() != *before + 1) break;
    }
    std::vector<TLStorage::Item> critical;
    for (int i = 0; i < 6; ++i) critical.push_back({testLog("c" + std::to_string(i), 600), 2});
    EXPECT_EQ(storage.saveLogs(critical, "G"), std::vector<bool>(6, true));
    auto loaded = names(storage);
    ASSERT_GE(loaded.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(loaded.begin(), loaded.begin() + 6),
              (std::vector<std::string>{"c0", "c1", "c2", "c3", "c4", "c5"}));
    // Only critical logs left to take the room of: normal logs are refused, every row kept.
    for (int i = 0; i < 100 && rows().front().front() == "1"; ++i)
      ASSERT_TRUE(storage.saveLogs({{testLog("f" + std::to_string(i), 600), 2}, {testLog("g", 600), 2}},
                                   "G") == std::vector<bool>(2, true));
    auto before = rows();
    EXPECT_EQ(storage.saveLogs({{testLog("late1", 600), 1}, {testLog("late2", 600), 1}}, "G"),
              std::vector<bool>(2, false));
    EXPECT_EQ(rows(), before);
  }
}

// A batch larger than a full store, saved together: each log takes the room of the oldest rows
// (reaching its own batch's earlier logs once the older rows are gone), every log is stored in turn,
// what remains is the newest run of the batch in its order, and the file stays within its maximum.
TEST_F(LogStorageTest, AFullStoreTakesABatchLargerThanItselfEvictingTheOldest) {
  TLLogDBStorage storage;
  storage.setMaxStorageSize(102400, nullptr);
  for (int i = 0; i < 200; ++i) {
    auto before = storage.countLogs();
    ASSERT_TRUE(storage.saveLog(testLog("o" + std::to_string(i), 600), "G", 1));
    if (storage.countLogs() != *before + 1) break;
  }
  const auto full = *storage.countLogs();
  ASSERT_GT(full, 10u);
  constexpr int kBatch = 80;
  std::vector<TLStorage::Item> batch;
  for (int i = 0; i < kBatch; ++i) batch.push_back({testLog("b" + std::to_string(i) + "-", 600), 1});
  EXPECT_EQ(storage.saveLogs(batch, "G"), std::vector<bool>(kBatch, true));

  auto names = load(storage, "G", 1000);
  ASSERT_FALSE(names.empty());
  EXPECT_LE(names.size(), full + 2);
  const auto first = std::stoi(names.front().substr(1));
  for (std::size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(names[i].substr(0, names[i].find('x')),
              "b" + std::to_string(first + static_cast<int>(i)) + "-");
  EXPECT_EQ(first + static_cast<int>(names.size()), kBatch);
  EXPECT_LE(std::stoll(sqlValue(logsFile(), "PRAGMA page_count")) *
                std::stoll(sqlValue(logsFile(), "PRAGMA page_size")),
            102400);
  EXPECT_EQ(sqlValue(logsFile(), "PRAGMA integrity_check"), "ok");
}

// A home folder whose name holds URI characters opens the file it names, nowhere else.
TEST_F(LogStorageTest, FileURIIsPercentEncoded) {
  auto home = root() / "odd?name#with%25percent";
  std::filesystem::create_directories(home);
  setenv("XDG_DATA_HOME", home.c_str(), 1);
  auto expected = TLUtility::telemetryDirectoryURL() / "Logs.sqlite";
  ASSERT_EQ(expected.string().rfind(home.string(), 0), 0u);
  {
    TLLogDBStorage storage;
    ASSERT_TRUE(storage.saveLog(testLog("odd"), "G", 1));
    EXPECT_EQ(storage.dbFileURL(), expected);
  }
  EXPECT_EQ(sqlValue(expected, "SELECT count(*) FROM logs"), "1");
  EXPECT_FALSE(std::filesystem::exists(root() / "odd"));
  EXPECT_EQ(TLDBStorage::fileURIForPath("/a b/c?d#e%f"), "file:/a%20b/c%3Fd%23e%25f");
}

// A full disk is a real small file system, full: a tmpfs of 1 MiB mounted in a user and mount
// namespace of the test's own (no privilege needed where the kernel allows such namespaces).
TEST_F(LogStorageTest, AFullDiskIsLoggedAsSuchOnceAndAgainWhenItChanges) {
  const char* unshare = "/usr/bin/unshare";
  if (::access(unshare, X_OK) != 0) GTEST_SKIP() << "unshare (util-linux) is not installed";
  const auto folder = root() / "small-disk";
  std::filesystem::create_directories(folder);
  const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string script = "mount -t tmpfs -o size=1m tmpfs \"$1\" || exit " +
                       std::to_string(kNoSmallFileSystem) +
                       "; exec \"$0\" --gtest_also_run_disabled_tests --gtest_filter=FullDiskInside.*";
  std::vector<std::string> arguments = {unshare, "--user", "--map-root-user", "--mount", "/bin/sh", "-c",
                                        script,  self,     folder.string()};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  setenv(kFullDiskFolderVariable, folder.c_str(), 1);
  const auto output = root() / "inside.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, unshare, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  unsetenv(kFullDiskFolderVariable);
  ASSERT_EQ(spawned, 0);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream in(output);
  std::stringstream text;
  text << in.rdbuf();
  if (WIFEXITED(status) && WEXITSTATUS(status) == kNoSmallFileSystem) {
    GTEST_SKIP() << "a tmpfs cannot be mounted in a user namespace here:\n" << text.str();
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 1 && text.str().find("[ RUN      ]") == std::string::npos) {
    GTEST_SKIP() << "user namespaces are not available here:\n" << text.str();
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text.str();
  EXPECT_NE(text.str().find("[  PASSED  ] 1 test"), std::string::npos) << text.str();
}

class FullDiskInside : public PipelineTest {};

TEST_F(FullDiskInside, DISABLED_TheFullDiskIsLoggedOnceAndAgainWhenItChanges) {
  const char* folder = std::getenv(kFullDiskFolderVariable);
  if (!folder)
    GTEST_SKIP() << "runs inside LogStorageTest.AFullDiskIsLoggedAsSuchOnceAndAgainWhenItChanges only";
  setenv("XDG_DATA_HOME", folder, 1);
  MessageRecorder messages;
  TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  TLLogDBStorage storage;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(storage.saveLog(testLog("kept-" + std::to_string(i), 300), "G", 1));
  const auto filler = std::filesystem::path(folder) / "filler";
  auto fillTheDisk = [&] {
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_GE(fd, 0);
    std::vector<char> chunk(4096, 'x');
    while (::write(fd, chunk.data(), chunk.size()) > 0) {
    }
    ::close(fd);
  };
  auto errorsAbout = [&](const std::string& words) {
    std::size_t count = 0;
    for (const auto& text : messages.texts(TLLogLevelError))
      if (text.find(words) != std::string::npos) ++count;
    return count;
  };

  fillTheDisk();
  for (int i = 0; i < 20; ++i)
    EXPECT_FALSE(storage.saveLog(testLog("lost-" + std::to_string(i), 300), "G", 1));
  std::vector<TLStorage::Item> items;
  for (int i = 0; i < 10; ++i) items.push_back({testLog("lost-together-" + std::to_string(i), 300), 1});
  auto stored = storage.saveLogs(items, "G");
  EXPECT_EQ(std::count(stored.begin(), stored.end(), true), 0);
  // The logs already stored stay: removing them would not give the disk room.
  EXPECT_EQ(storage.countLogs(), 5u);
  EXPECT_EQ(errorsAbout("The disk is full"), 1u);
  EXPECT_EQ(errorsAbout("no logs with equal or lower priority exist"), 0u);

  // Room again: logs are stored, and a disk full once more is told once more.
  std::filesystem::remove(filler);
  EXPECT_TRUE(storage.saveLog(testLog("after"), "G", 1));
  fillTheDisk();
  for (int i = 0; i < 5; ++i)
    EXPECT_FALSE(storage.saveLog(testLog("lost-again-" + std::to_string(i), 300), "G", 1));
  EXPECT_EQ(errorsAbout("The disk is full"), 2u);
  EXPECT_EQ(errorsAbout("no logs with equal or lower priority exist"), 0u);
  std::filesystem::remove(filler);
  EXPECT_EQ(sqlValue(logsFile(), "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(storage.countLogs(), 6u);
}

}  // namespace
