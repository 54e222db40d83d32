#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/QVModuleLog.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "testing/FileWriteCounter.h"
#include "testing/Sandbox.h"
#include "testing/TreePaths.h"

namespace {

namespace fs = std::filesystem;
using LineType = QVModuleLogLineType;

class QVModuleLogTest : public qvtesting::SandboxTest {
 protected:
  fs::path logsFolder() const { return root() / "data" / "com.quorvane.dashboard" / "Logs"; }

  // Runs the queue until the log's pending save is written, then past one more save delay, so that a
  // second, unwanted write would have happened by then.
  void settle(const QVModuleLog& log) {
    ASSERT_TRUE(runUntil([&] { return !log.hasPendingSave(); }));
    bool passed = false;
    auto marker = mainQueue().postAfter(platform::Seconds(0.25), [&] { passed = true; });
    ASSERT_TRUE(runUntil([&] { return passed; }));
  }

  static std::vector<std::string> fileLines(const fs::path& path) {
    auto text = platform::files::readTextFile(path);
    if (!text) return {};
    auto pieces = platform::json::splitByNewlines(*text);
    if (!pieces.empty() && pieces.back().empty()) pieces.pop_back();
    return pieces;
  }

  static std::string storedLines(int count, int first = 1) {
    std::string text;
    for (int i = first; i < first + count; ++i) {
      text += R"({"date":)" + std::to_string(1700000000 + i) + R"(.25,"type":0,"log":"line )" +
              std::to_string(i) + "\"}\n";
    }
    return text;
  }
};

TEST_F(QVModuleLogTest, FilePathAndUnsafeNames) {
  EXPECT_EQ(QVModuleLog::logFilePath("com.example.weather", "A1B2"),
            logsFolder() / "com.example.weather_A1B2.log");
  EXPECT_TRUE(fs::is_directory(logsFolder()));
  EXPECT_EQ(QVModuleLog::logFilePath("com.example.weather", ""), logsFolder() / "com.example.weather_.log");
  for (auto [bundleID, uid] :
       std::initializer_list<std::pair<std::string, std::string>>{{"../escape", "u"},
                                                                  {"a/b", "u"},
                                                                  {".hidden", "u"},
                                                                  {std::string("a\0b", 3), "u"},
                                                                  {"ok", "x/y"},
                                                                  {"ok", std::string("x\0", 2)}}) {
    EXPECT_TRUE(QVModuleLog::logFilePath(bundleID, uid).empty()) << bundleID << " " << uid;
  }
  // A log whose name is unsafe still works, in memory only.
  auto log = QVModuleLog::logForModule("../../outside", "uid");
  log->addLogLine(QVModuleLogLine::systemLogWithString("kept in memory"));
  settle(*log);
  EXPECT_EQ(log->logLines().size(), 1u);
  EXPECT_FALSE(fs::exists(root() / "data" / "outside_uid.log"));
}

TEST_F(QVModuleLogTest, NoUidIsLogged) {
  qvtesting::LogCapture capture;
  auto log = QVModuleLog::logForModule("com.example.weather", "");
  EXPECT_TRUE(capture.contains("No uid"));
  EXPECT_EQ(log->path(), logsFolder() / "com.example.weather_.log");
}

TEST_F(QVModuleLogTest, BurstKeepsTheNewest999AndSavesOnce) {
  auto log = QVModuleLog::logForModule("com.example.burst", "U1");
  // An atomic write renames onto the log file: count the renames.
  qvtesting::FileWriteCounter writes(log->path().parent_path(), log->path().filename().string(), IN_MOVED_TO);
  for (int i = 1; i <= 1500; ++i)
    log->addLogLine(QVModuleLogLine::systemLogWithString("line " + std::to_string(i)));
  auto lines = log->logLines();
  ASSERT_EQ(lines.size(), 999u);
  EXPECT_EQ(lines.front()->logString(), "line 502");
  EXPECT_EQ(lines.back()->logString(), "line 1500");
  EXPECT_EQ(writes.count(), 0);  // nothing is written before the delay

  settle(*log);
  EXPECT_EQ(writes.count(), 1);
  auto stored = fileLines(log->path());
  ASSERT_EQ(stored.size(), 999u);
  EXPECT_EQ(platform::json::parse(stored.back()).value()["log"], "line 1500");

  // A second burst, ten lines, is a second write.
  for (int i = 0; i < 10; ++i) log->addLogLine(QVModuleLogLine::warningLogWithString("again"));
  settle(*log);
  EXPECT_EQ(writes.count(), 2);
  EXPECT_EQ(fileLines(log->path()).size(), 999u);

  // The file reads back as the same lines.
  auto reloaded = QVModuleLog::logForModule("com.example.burst", "U1");
  auto again = reloaded->logLines();
  ASSERT_EQ(again.size(), 999u);
  auto current = log->logLines();
  for (std::size_t i = 0; i < again.size(); ++i) {
    EXPECT_EQ(again[i]->logString(), current[i]->logString());
    EXPECT_EQ(again[i]->type(), current[i]->type());
    EXPECT_EQ(again[i]->date(), current[i]->date());
  }
}

TEST_F(QVModuleLogTest, LoadingAppliesNoBoundButTheNextLineDropsOne) {
  writeFile(logsFolder() / "com.example.long_U.log", storedLines(1500));
  auto log = QVModuleLog::logForModule("com.example.long", "U");
  ASSERT_EQ(log->logLines().size(), 1500u);
  EXPECT_EQ(log->logLines().front()->date().timeIntervalSince1970(), 1700000001.25);
  log->addLogLine(QVModuleLogLine::systemLogWithString("new"));
  auto lines = log->logLines();
  ASSERT_EQ(lines.size(), 1500u);
  EXPECT_EQ(lines.front()->logString(), "line 2");
  EXPECT_EQ(lines.back()->logString(), "new");
  settle(*log);
}

TEST_F(QVModuleLogTest, MalformedFilesLoadWhatCanBeRead) {
  struct Case {
    const char* fixture;
    std::vector<std::string> texts;
  } cases[] = {
      {"malformed.log",
       {"first", "second", "fourth as text fields", "<none>", R"({"a":[1,2]})", "an unknown code is kept",
        "last"}},
      {"binary.log", {}},
  };
  for (const auto& c : cases) {
    fs::path path = root() / c.fixture;
    fs::copy_file(fs::path(QV_ENGINE_FIXTURES) / "logs" / c.fixture, path);
    auto log = QVModuleLog::logWithPath(path);
    std::vector<std::string> texts;
    for (const auto& line : log->logLines()) texts.push_back(line->logString().value_or("<none>"));
    EXPECT_EQ(texts, c.texts) << c.fixture;
  }
  auto log = QVModuleLog::logWithPath(root() / "malformed.log");
  auto lines = log->logLines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0]->date().timeIntervalSince1970(), 1704467045.75);
  EXPECT_EQ(lines[1]->type(), LineType::error);
  EXPECT_EQ(lines[2]->date().timeIntervalSince1970(), 1704467048.5);
  EXPECT_EQ(lines[2]->type(), LineType::info);
  EXPECT_EQ(static_cast<int>(lines[5]->type()), 99);
}

TEST_F(QVModuleLogTest, HugeAndHostileFilesNeverCrash) {
  // Long lines: only the newest 16 MiB are read.
  std::string longText(1 << 20, 'x');
  {
    std::ofstream out(root() / "huge.log", std::ios::binary);
    for (int i = 0; i < 40; ++i) out << R"({"date":1,"type":0,"log":")" << longText << "\"}\n";
  }
  auto huge = QVModuleLog::logWithPath(root() / "huge.log");
  EXPECT_GE(huge->logLines().size(), 14u);
  EXPECT_LE(huge->logLines().size(), 16u);
  for (const auto& line : huge->logLines()) EXPECT_EQ(line->logString()->size(), longText.size());

  // Very many short lines: only the newest are kept.
  {
    std::ofstream out(root() / "many.log", std::ios::binary);
    out << storedLines(30000);
  }
  auto many = QVModuleLog::logWithPath(root() / "many.log");
  ASSERT_EQ(many->logLines().size(), QVModuleLog::kMaximumLoadedLines);
  EXPECT_EQ(many->logLines().back()->logString(), "line 30000");

  // Deep nesting in a stored value is dropped, not recursed into.
  {
    std::ofstream out(root() / "deep.log", std::ios::binary);
    out << R"({"date":2,"type":1,"log":)" << std::string(200000, '[') << std::string(200000, ']') << "}\n";
    out << std::string(100000, '{') << "\n";
    out << R"({"date":3,"type":2,"log":"after"})"
        << "\n";
  }
  auto deep = QVModuleLog::logWithPath(root() / "deep.log");
  ASSERT_EQ(deep->logLines().size(), 2u);
  EXPECT_EQ(deep->logLines()[0]->type(), LineType::warning);
  EXPECT_EQ(deep->logLines()[1]->logString(), "after");

  // Not a file at all, or no file.
  fs::create_directories(root() / "folder.log");
  EXPECT_TRUE(QVModuleLog::logWithPath(root() / "folder.log")->logLines().empty());
  EXPECT_TRUE(QVModuleLog::logWithPath(root() / "missing.log")->logLines().empty());
  EXPECT_TRUE(QVModuleLog::logWithPath(root() / "empty.log")->logLines().empty());
}

TEST_F(QVModuleLogTest, LinesFromAnotherThread) {
  auto log = QVModuleLog::logForModule("com.example.threads", "T");
  std::atomic<int> announcedElsewhere{0};
  std::thread::id worker;
  std::atomic<bool> started{false};
  log->addLogLinesObserver([&](const QVModuleLog&, bool prior) {
    if (!prior && started && std::this_thread::get_id() == worker) ++announcedElsewhere;
  });
  std::atomic<bool> done{false};
  std::thread thread([&] {
    // Wait until the test knows this thread's id, or early lines could not be told apart.
    while (!started) std::this_thread::yield();
    for (int i = 0; i < 500; ++i) log->addLogLine(QVModuleLogLine::systemLogWithString(std::to_string(i)));
    done = true;
  });
  worker = thread.get_id();
  started = true;
  ASSERT_TRUE(runUntil([&] { return done.load(); }));
  thread.join();
  ASSERT_TRUE(runUntil([&] { return fileLines(log->path()).size() == 500 && !log->hasPendingSave(); }));
  EXPECT_GT(announcedElsewhere.load(), 0);
  EXPECT_EQ(log->logLines().size(), 500u);
}

TEST_F(QVModuleLogTest, ObserversAreToldBeforeAndAfter) {
  auto log = QVModuleLog::logWithPath({});
  std::vector<std::pair<bool, std::size_t>> seen;
  auto token = log->addLogLinesObserver(
      [&](const QVModuleLog& changed, bool prior) { seen.emplace_back(prior, changed.logLines().size()); });
  log->addLogLine(QVModuleLogLine::systemLogWithString("one"));
  log->addLogLine(nullptr);  // ignored, no announcement
  EXPECT_EQ(seen, (std::vector<std::pair<bool, std::size_t>>{{true, 0}, {false, 1}}));
  log->removeLogLinesObserver(token);
  log->addLogLine(QVModuleLogLine::systemLogWithString("two"));
  EXPECT_EQ(seen.size(), 2u);
  settle(*log);
}

TEST_F(QVModuleLogTest, PendingSaveIsWrittenWhenTheLogGoes) {
  fs::path path;
  {
    auto log = QVModuleLog::logForModule("com.example.gone", "G");
    path = log->path();
    log->addLogLine(QVModuleLogLine::errorLogWithString("last words"));
    EXPECT_FALSE(fs::exists(path));
  }
  auto lines = fileLines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(platform::json::parse(lines[0]).value()["log"], "last words");
}

TEST_F(QVModuleLogTest, WillBeRemovedDeletesTheFileAndThePendingSave) {
  auto log = QVModuleLog::logForModule("com.example.removed", "R");
  log->addLogLine(QVModuleLogLine::systemLogWithString("saved"));
  settle(*log);
  ASSERT_TRUE(fs::exists(log->path()));
  log->addLogLine(QVModuleLogLine::systemLogWithString("pending"));
  log->willBeRemoved();
  EXPECT_FALSE(fs::exists(log->path()));
  settle(*log);
  EXPECT_FALSE(fs::exists(log->path()));
  log.reset();
  EXPECT_FALSE(fs::exists(logsFolder() / "com.example.removed_R.log"));
  // Removing a log that has no file is fine.
  QVModuleLog::logForModule("com.example.never", "N")->willBeRemoved();
}

TEST_F(QVModuleLogTest, EmptyLogLeavesTheFileAsItWas) {
  fs::path path = writeFile("keep.log", "not touched\n");
  auto log = QVModuleLog::logWithPath(path);
  ASSERT_TRUE(log->logLines().empty());
  log->save();
  settle(*log);
  EXPECT_EQ(platform::files::readTextFile(path), "not touched\n");
}

TEST_F(QVModuleLogTest, FailedWriteIsSilentAndTheNextOneSucceeds) {
  fs::path folder = root() / "locked";
  fs::create_directories(folder);
  auto log = QVModuleLog::logWithPath(folder / "module.log");
  fs::remove_all(folder);
  std::ofstream(root() / "locked") << "a file where the folder was";
  log->addLogLine(QVModuleLogLine::systemLogWithString("cannot be written"));
  settle(*log);
  EXPECT_EQ(log->logLines().size(), 1u);
  fs::remove(root() / "locked");
  log->addLogLine(QVModuleLogLine::systemLogWithString("written"));
  settle(*log);
  EXPECT_EQ(fileLines(folder / "module.log").size(), 2u);
}

}  // namespace
