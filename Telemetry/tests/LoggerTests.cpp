#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Telemetry/Internals/Util/TLLogger.h"
#include "TelemetryTestSupport.h"
#include "testing/Sandbox.h"

namespace {

// Restores the logger's process-wide state after each test.
class LoggerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    TLLogger::resetLogHandler();
    TLLogger::setCurrentLogLevel(TLLogLevelAssert);
    TLLogger::setIsUserDefinedLogLevel(false);
  }
};

struct LevelCase {
  TLLogLevel current;
  TLLogLevel message;
  bool printed;
};

TEST_F(LoggerTest, DefaultHandlerPrintsByLevel) {
  const LevelCase cases[] = {
      {TLLogLevelAssert, TLLogLevelAssert, true},   {TLLogLevelAssert, TLLogLevelError, false},
      {TLLogLevelWarning, TLLogLevelWarning, true}, {TLLogLevelWarning, TLLogLevelInfo, false},
      {TLLogLevelWarning, TLLogLevelError, true},   {TLLogLevelVerbose, TLLogLevelVerbose, true},
      {TLLogLevelNone, TLLogLevelAssert, false},    {TLLogLevelVerbose, TLLogLevelNone, false},
      {TLLogLevelNone, TLLogLevelNone, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "current " << c.current << " message " << c.message);
    TLLogger::setCurrentLogLevel(c.current);
    qvtesting::LogCapture capture;
    int built = 0;
    TL_LOG_MESSAGE(c.message, "Telemetry", "text {}", ++built);
    EXPECT_EQ(capture.contains("text 1"), c.printed);
    // The text is built only for a printed message.
    EXPECT_EQ(built, c.printed ? 1 : 0);
  }
}

TEST_F(LoggerTest, InitialLevelPrintsOnlyAssert) {
  EXPECT_EQ(TLLogger::currentLogLevel(), TLLogLevelAssert);
  qvtesting::LogCapture capture;
  TLLogError(kTLLogTag, "an error");
  TLLogAssert(kTLLogTag, "an assert");
  EXPECT_FALSE(capture.contains("an error"));
  EXPECT_TRUE(capture.contains("an assert"));
}

struct Widget {
  void setMaxStorageSize(int line) { TLLogWarning(kTLLogTag, "size {}", line); }
};

TEST_F(LoggerTest, DefaultLineNamesTagLevelFunctionAndLine) {
  TLLogger::setCurrentLogLevel(TLLogLevelWarning);
  qvtesting::LogCapture capture;
  Widget().setMaxStorageSize(3);
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  // "[Telemetry] WARNING: Widget::setMaxStorageSize/<line> size 3"
  EXPECT_TRUE(lines[0].starts_with("[Telemetry] WARNING: {anonymous}::Widget::setMaxStorageSize/"))
      << lines[0];
  EXPECT_TRUE(lines[0].ends_with(" size 3")) << lines[0];
}

TEST_F(LoggerTest, UnknownLevelPrintsNullName) {
  TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  qvtesting::LogCapture capture;
  TL_LOG_MESSAGE(static_cast<TLLogLevel>(42), "Tag", "odd");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_TRUE(capture.lines()[0].starts_with("[Tag] (null): ")) << capture.lines()[0];
}

TEST_F(LoggerTest, CustomHandlerReceivesEveryMessageAndMarksLevelUserDefined) {
  EXPECT_FALSE(TLLogger::isUserDefinedLogLevel());
  tltesting::MessageRecorder recorder;
  EXPECT_TRUE(TLLogger::isUserDefinedLogLevel());
  EXPECT_EQ(TLLogger::currentLogLevel(), TLLogLevelAssert);
  TLLogVerbose("TelemetryAnalytics", "below the level {}", 1);
  TLLogDebug("TelemetryCrashes", "debug");
  TL_LOG_MESSAGE(TLLogLevelNone, "Telemetry", "none");
  auto messages = recorder.messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].level, TLLogLevelVerbose);
  EXPECT_EQ(messages[0].tag, "TelemetryAnalytics");
  EXPECT_EQ(messages[0].text, "below the level 1");
  EXPECT_EQ(
      messages[0].function,
      "{anonymous}::LoggerTest_CustomHandlerReceivesEveryMessageAndMarksLevelUserDefined_Test::TestBody");
  EXPECT_EQ(messages[2].level, TLLogLevelNone);
}

TEST_F(LoggerTest, EmptyHandlerSilencesEverything) {
  TLLogger::setLogHandler(nullptr);
  qvtesting::LogCapture capture;
  int built = 0;
  TLLogAssert(kTLLogTag, "gone {}", ++built);
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(built, 0);
}

TEST_F(LoggerTest, ShortFunctionNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"static void TLUtility::foo(int)", "TLUtility::foo"},
      {"std::optional<std::basic_string<char> > TLUtility::bar(const std::string&)", "TLUtility::bar"},
      {"void {anonymous}::f()", "{anonymous}::f"},
      {"TLLogContainer::serializeLog() const", "TLLogContainer::serializeLog"},
      {"main", "main"},
  };
  for (const auto& [pretty, expected] : cases)
    EXPECT_EQ(TLLogger::shortFunctionName(pretty), expected) << pretty;
}

// Level and handler change while other threads log: no torn state, no message lost by a handler
// being replaced mid-call (run under the sanitizers too).
TEST_F(LoggerTest, ChangesRaceFreeWithLoggingThreads) {
  std::atomic<int> received{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (int i = 0; i < 4; ++i) {
    loggers.emplace_back([&] {
      while (!stop) TLLogError(kTLLogTag, "m");
    });
  }
  for (int round = 0; round < 200; ++round) {
    TLLogger::setLogHandler([&](const TLLogMessageProvider&, TLLogLevel, const std::string&, const char*,
                                const char*, unsigned) { ++received; });
    TLLogger::setCurrentLogLevel(round % 2 ? TLLogLevelVerbose : TLLogLevelNone);
    TLLogger::setLogHandler(nullptr);
  }
  stop = true;
  for (auto& thread : loggers) thread.join();
  SUCCEED() << received.load() << " messages handled";
}

}  // namespace
