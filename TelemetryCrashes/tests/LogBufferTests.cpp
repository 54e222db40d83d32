#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CrashesTestSupport.h"
#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "Telemetry/Internals/Channel/TLChannelUnitConfiguration.h"
#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Model/TLStartServiceLog.h"
#include "Telemetry/Internals/Storage/TLLogDBStorage.h"
#include "Telemetry/Internals/Util/TLEncrypter.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "Telemetry/tests/TelemetryTestSupport.h"
#include "TelemetryCrashes/Model/TLAppleErrorLog.h"
#include "TelemetryCrashes/Model/TLErrorAttachmentLog.h"
#include "TelemetryCrashes/Model/TLHandledErrorLog.h"
#include "platform/SecretStore.h"

namespace fs = std::filesystem;

namespace {

std::shared_ptr<TLHandledErrorLog> handledLog(const std::string& id) {
  auto log = TLHandledErrorLog::init();
  log->setTimestamp(platform::Date::now());
  log->setDevice(crtesting::validDevice());
  log->setErrorId(id);
  auto exception = TLException::init();
  exception->setType("E");
  log->setException(exception);
  return log;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class LogBuffer : public crtesting::CrashesTest {
 protected:
  void SetUp() override {
    CrashesTest::SetUp();
    platform::SecretStore::setShared(platform::SecretStore::memoryStore());
    directory = TLUtility::telemetryDirectoryURL() / TLCrashesUtil::logBufferDir();
    fs::create_directories(directory);
    TLCrashesLogBuffer::setupWithDirectory(directory.string());
    for (int i = 0; i < TLCrashesLogBuffer::kSlotCount; ++i) std::ofstream{bufferFile(i)};
  }
  void TearDown() override {
    platform::SecretStore::setShared(nullptr);
    CrashesTest::TearDown();
  }
  fs::path bufferFile(int i) const { return directory / (std::to_string(i) + ".tlcrasheslogbuffer"); }
  fs::path tokenFile(int i) const { return directory / (std::to_string(i) + ".targettoken"); }

  fs::path directory;
  TLEncrypter encrypter;
};

}  // namespace

TEST_F(LogBuffer, SixtyFirstLogOverwritesTheOldestSlotAndItsToken) {
  for (int i = 0; i < 61; ++i) {
    auto log = handledLog("e" + std::to_string(i));
    if (i == 0 || i == 60) log->addTransmissionTargetToken("token-" + std::to_string(i));
    TLCrashesLogBuffer::bufferLog(log, "id" + std::to_string(i), encrypter);
  }
  auto first = TLCrashesLogBuffer::slot(0);
  EXPECT_EQ(first.internalId, "id60");
  EXPECT_EQ(encrypter.decryptString(first.targetToken), "token-60");
  EXPECT_EQ(TLCrashesLogBuffer::slot(1).internalId, "id1");
  EXPECT_EQ(TLCrashesLogBuffer::slot(59).internalId, "id59");
  auto back = TLUnarchivedObject(first.buffer).asObjectOfClass<TLHandledErrorLog>();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->errorId(), "e60");
}

TEST_F(LogBuffer, CrashLogsAndAttachmentsAreNeverBuffered) {
  auto crash = TLAppleErrorLog::init();
  crash->setTimestamp(platform::Date::now());
  TLCrashesLogBuffer::bufferLog(crash, "a", encrypter);
  TLCrashesLogBuffer::bufferLog(TLErrorAttachmentLog::attachmentWithText("x", std::nullopt), "b", encrypter);
  TLCrashesLogBuffer::bufferLog(nullptr, "c", encrypter);
  for (int i = 0; i < TLCrashesLogBuffer::kSlotCount; ++i)
    EXPECT_TRUE(TLCrashesLogBuffer::slot(i).buffer.empty());
}

TEST_F(LogBuffer, ClearByIdFreesEverySlotWithIt) {
  TLCrashesLogBuffer::bufferLog(handledLog("a"), "same", encrypter);
  TLCrashesLogBuffer::bufferLog(handledLog("b"), "other", encrypter);
  TLCrashesLogBuffer::bufferLog(handledLog("c"), "same", encrypter);
  TLCrashesLogBuffer::clearWithInternalId("same");
  TLCrashesLogBuffer::clearWithInternalId("");
  EXPECT_TRUE(TLCrashesLogBuffer::slot(0).buffer.empty());
  EXPECT_EQ(TLCrashesLogBuffer::slot(0).timestamp, 0);
  EXPECT_EQ(TLCrashesLogBuffer::slot(1).internalId, "other");
  EXPECT_TRUE(TLCrashesLogBuffer::slot(2).buffer.empty());
  // The next log takes the first free slot.
  TLCrashesLogBuffer::bufferLog(handledLog("d"), "next", encrypter);
  EXPECT_EQ(TLCrashesLogBuffer::slot(0).internalId, "next");
}

TEST_F(LogBuffer, WriterDumpsEverySlotAndTokens) {
  auto log = handledLog("a");
  log->addTransmissionTargetToken("secret-token");
  TLCrashesLogBuffer::bufferLog(log, "one", encrypter);
  std::ofstream(bufferFile(5)) << "stale content of an earlier run";
  TLCrashesLogBuffer::writeAtCrash();
  EXPECT_TRUE(TLCrashesLogBuffer::bufferWrittenAtCrash());
  const std::string archive = readFile(bufferFile(0));
  EXPECT_EQ(platform::Data(archive.begin(), archive.end()), TLCrashesLogBuffer::slot(0).buffer);
  EXPECT_EQ(encrypter.decryptString(readFile(tokenFile(0))), "secret-token");
  EXPECT_EQ(fs::file_size(bufferFile(5)), 0u);
  EXPECT_FALSE(fs::exists(tokenFile(1)));
  // After a crash-time write a completed log also loses its file, and the log says which log that was.
  log->setSid("session-7");
  tltesting::MessageRecorder recorder;
  TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  TLCrashesLogBuffer::clearWithInternalId("one", log);
  EXPECT_FALSE(fs::exists(bufferFile(0)));
  const auto lines = recorder.texts(TLLogLevelVerbose);
  const auto deleted =
      std::find(lines.begin(), lines.end(),
                "Deleted a log from Crashes Buffer (sid: session-7, type: " + *log->type() + ")");
  ASSERT_NE(deleted, lines.end()) << ::testing::PrintToString(lines);
  ASSERT_NE(deleted + 1, lines.end());
  EXPECT_EQ(*(deleted + 1), "Deleted crash buffer file: " + bufferFile(0).string() + ".");
}

// The writer runs while other threads keep replacing slots: no block it reads may be freed under it.
TEST_F(LogBuffer, WriterNeverReadsFreedSlotsWhileThreadsUpdate) {
  std::vector<platform::Data> archives;
  for (int i = 0; i < 8; ++i) {
    platform::Data archive(4096 + i * 100, static_cast<std::uint8_t>('a' + i));
    archives.push_back(archive);
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> updaters;
  for (int t = 0; t < 4; ++t) {
    updaters.emplace_back([&, t] {
      for (int n = 0; !stop.load(); ++n) {
        const std::string id = "t" + std::to_string(t) + "-" + std::to_string(n % 90);
        TLCrashesLogBuffer::store(archives[(t + n) % archives.size()], n % 3 ? "" : "token", id,
                                  static_cast<double>(n));
        if (n % 5 == 0)
          TLCrashesLogBuffer::clearWithInternalId("t" + std::to_string(t) + "-" +
                                                  std::to_string((n + 45) % 90));
      }
    });
  }
  // Each round starts with the flag down, so the updaters free replaced blocks right up to the moment
  // the writer raises it; afterwards they keep them.
  for (int round = 0; round < 300; ++round) {
    TLCrashesLogBuffer::writeAtCrash();
    TLCrashesLogBuffer::lowerWrittenFlagForTesting();
  }
  TLCrashesLogBuffer::writeAtCrash();
  stop = true;
  for (auto& thread : updaters) thread.join();
  // Every file holds exactly one of the archives or nothing.
  for (int i = 0; i < TLCrashesLogBuffer::kSlotCount; ++i) {
    const std::string content = readFile(bufferFile(i));
    if (content.empty()) continue;
    bool known = false;
    for (const auto& archive : archives)
      known = known || platform::Data(content.begin(), content.end()) == archive;
    EXPECT_TRUE(known) << i;
  }
}

TEST_F(LogBuffer, NextStartReenqueuesGoodFilesAndEmptiesAll) {
  // Three buffered logs, one with a target token, written at "crash" time.
  auto withToken = handledLog("tok");
  withToken->addTransmissionTargetToken("target-abc");
  TLCrashesLogBuffer::bufferLog(withToken, "1", encrypter);
  TLCrashesLogBuffer::bufferLog(handledLog("b"), "2", encrypter);
  TLCrashesLogBuffer::bufferLog(handledLog("c"), "3", encrypter);
  TLCrashesLogBuffer::writeAtCrash();
  // Damaged files of every kind beside them.
  const std::string archive = readFile(bufferFile(1));
  std::ofstream(bufferFile(10)) << "not an archive";
  std::ofstream(bufferFile(11), std::ios::binary) << archive.substr(0, archive.size() / 2);
  auto notALog = TLArchivedData(platform::ArchiveObject(TLException::init()));
  std::ofstream(bufferFile(12), std::ios::binary)
      .write(reinterpret_cast<const char*>(notALog.data()), static_cast<std::streamsize>(notALog.size()));
  std::ofstream(bufferFile(13), std::ios::binary) << archive;
  std::ofstream(tokenFile(13)) << "not a cipher text";
  fs::resize_file(bufferFile(14), 0);
  std::ofstream(bufferFile(15), std::ios::binary) << std::string(5 * 1024 * 1024, 'x');

  // The unit's delegates see each log as it is enqueued.
  struct Recorder : TLChannelDelegate {
    std::vector<std::shared_ptr<TLLog>> logs;
    void channelDidPrepareLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log, const std::string&,
                              std::uint64_t flags) override {
      EXPECT_EQ(flags, 1u);
      logs.push_back(log);
    }
  };
  auto recorder = std::make_shared<Recorder>();
  auto group = TLChannelGroupDefault::initWithIngestion(nullptr, std::make_shared<TLLogDBStorage>());
  group->addDelegate(recorder);
  auto unit = group->addChannelUnitWithConfiguration(
      TLChannelUnitConfiguration::initWithGroupId("CrashesBuffer", 2, 1, 50, 1));
  TLCrashesLogBuffer::processLogBufferAfterCrash(TLCrashesUtil::logBufferDir(), unit, encrypter);
  const auto& logs = recorder->logs;
  EXPECT_EQ(logs.size(), 4u);
  std::map<std::string, std::shared_ptr<const TLAbstractLog::TokenSet>> tokens;
  for (const auto& log : logs) {
    auto handled = std::dynamic_pointer_cast<TLHandledErrorLog>(log);
    ASSERT_TRUE(handled);
    tokens[*handled->errorId()] = handled->transmissionTargetTokens();
  }
  EXPECT_EQ(tokens.size(), 3u);  // file 13 repeats log "b", without a token
  ASSERT_TRUE(tokens["tok"]);
  EXPECT_EQ(*tokens["tok"], TLAbstractLog::TokenSet{"target-abc"});
  for (int i = 0; i < TLCrashesLogBuffer::kSlotCount; ++i) {
    EXPECT_EQ(fs::file_size(bufferFile(i)), 0u) << i;
    EXPECT_FALSE(fs::exists(tokenFile(i))) << i;
  }
}

TEST_F(LogBuffer, EmptyingTouchesOnlyFilesWithContent) {
  std::ofstream(bufferFile(3)) << "x";
  std::ofstream(tokenFile(3)) << "t";
  const auto before = fs::last_write_time(bufferFile(4));
  TLCrashesLogBuffer::emptyLogBufferFiles(TLCrashesUtil::logBufferDir());
  EXPECT_EQ(fs::file_size(bufferFile(3)), 0u);
  EXPECT_TRUE(fs::exists(tokenFile(3)));
  EXPECT_EQ(fs::last_write_time(bufferFile(4)), before);
}
