#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "engine/ZKTaskHelper.h"
#include "engine/tests/NodeRunTestSupport.h"
#include "testing/Sandbox.h"

using namespace enginetest;

namespace {

// Records what the helper reports.
class Recorder : public ZKTaskHelperDelegate {
 public:
  void taskHelperDidReceiveOutput(ZKTaskHelper&, const platform::Data& bytes) override {
    std::lock_guard lock(mutex_);
    if (!ends_.empty()) afterEnd_ = true;
    output_ += platform::stringFromData(bytes);
  }
  void taskHelperDidReceiveError(ZKTaskHelper&, const platform::Data& bytes) override {
    std::lock_guard lock(mutex_);
    if (!ends_.empty()) afterEnd_ = true;
    error_ += platform::stringFromData(bytes);
  }
  void taskHelperDidFinish(ZKTaskHelper& helper, platform::TaskTerminationReason reason) override {
    std::lock_guard lock(mutex_);
    ends_.push_back(reason);
    // The end report comes before the helper lets its task go.
    taskAtEnd_ = helper.task() != nullptr;
  }

  std::string output() const {
    std::lock_guard lock(mutex_);
    return output_;
  }
  std::string error() const {
    std::lock_guard lock(mutex_);
    return error_;
  }
  std::vector<platform::TaskTerminationReason> ends() const {
    std::lock_guard lock(mutex_);
    return ends_;
  }
  bool afterEnd() const {
    std::lock_guard lock(mutex_);
    return afterEnd_;
  }
  bool taskAtEnd() const {
    std::lock_guard lock(mutex_);
    return taskAtEnd_;
  }

 private:
  mutable std::mutex mutex_;
  std::string output_;
  std::string error_;
  std::vector<platform::TaskTerminationReason> ends_;
  bool afterEnd_ = false;
  bool taskAtEnd_ = false;
};

class ZKTaskHelperTest : public qvtesting::SandboxTest {
 protected:
  std::shared_ptr<ZKTaskHelper> helperFor(const std::string& path, std::vector<std::string> arguments) {
    auto task = platform::Task::make();
    task->setLaunchPath(path);
    task->setArguments(std::move(arguments));
    auto helper = ZKTaskHelper::taskHelperWithTask(task);
    recorder_ = std::make_shared<Recorder>();
    helper->setDelegate(recorder_);
    return helper;
  }
  std::shared_ptr<Recorder> recorder_;
};

TEST_F(ZKTaskHelperTest, ReportsOutputErrorAndOneEnd) {
  struct Case {
    std::string name;
    std::string path;
    std::vector<std::string> arguments;
    std::string output;
    std::string error;
    platform::TaskTerminationReason reason;
    std::vector<std::string> logged;
  };
  const std::vector<Case> cases = {
      {"writes nothing", "/bin/sh", {"-c", "exit 0"}, "", "", platform::TaskTerminationReason::Exit, {}},
      {"writes both, then a last line just before exiting",
       "/bin/sh",
       {"-c", "echo out; echo err >&2; printf last"},
       "out\nlast",
       "err\n",
       platform::TaskTerminationReason::Exit,
       {}},
      {"killed by a signal",
       "/bin/sh",
       {"-c", "kill -KILL $$"},
       "",
       "",
       platform::TaskTerminationReason::UncaughtSignal,
       {}},
      {"no such executable",
       "/nonexistent/node",
       {},
       "",
       "",
       platform::TaskTerminationReason::UncaughtSignal,
       {"Task failed to launch because of exception", "/nonexistent/node"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qvtesting::LogCapture log;
    auto helper = helperFor(c.path, c.arguments);
    helper->launch();
    ASSERT_TRUE(runUntil([&] { return !recorder_->ends().empty(); }));
    runFor(0.05);
    EXPECT_EQ(recorder_->ends(), std::vector<platform::TaskTerminationReason>{c.reason});
    EXPECT_EQ(recorder_->output(), c.output);
    EXPECT_EQ(recorder_->error(), c.error);
    EXPECT_FALSE(recorder_->afterEnd());
    EXPECT_TRUE(recorder_->taskAtEnd());
    // Cleaned up after the end report.
    EXPECT_FALSE(helper->task());
    for (const auto& text : c.logged) EXPECT_TRUE(log.contains(text)) << text;
  }
}

TEST_F(ZKTaskHelperTest, LaunchAndCancelOnlyActWhenTheyCan) {
  // Cancel before launch does nothing: the task can still run.
  auto helper = helperFor("/bin/sh", {"-c", "echo ran"});
  helper->cancel();
  ASSERT_TRUE(helper->task());
  helper->launch();
  // A second launch does nothing either.
  helper->launch();
  ASSERT_TRUE(runUntil([&] { return !recorder_->ends().empty(); }));
  EXPECT_EQ(recorder_->output(), "ran\n");
  // Cancel after the end does nothing.
  helper->cancel();
  runFor(0.05);
  EXPECT_EQ(recorder_->ends().size(), 1u);
}

TEST_F(ZKTaskHelperTest, CancelStopsTheProcessAndReportsNothingMore) {
  auto helper = helperFor("/bin/sh", {"-c", "echo ready; exec sleep 60"});
  helper->launch();
  ASSERT_TRUE(runUntil([&] { return recorder_->output() == "ready\n"; }));
  pid_t child = helper->task()->processIdentifier();
  helper->cancel();
  EXPECT_FALSE(helper->task());
  EXPECT_TRUE(runUntil([&] { return processGone(child); }));
  runFor(0.05);
  EXPECT_TRUE(recorder_->ends().empty());
}

TEST_F(ZKTaskHelperTest, AGoneDelegateHearsNothing) {
  auto helper = helperFor("/bin/sh", {"-c", "echo out"});
  std::weak_ptr<Recorder> weak = recorder_;
  recorder_.reset();
  EXPECT_FALSE(helper->delegate());
  helper->launch();
  EXPECT_TRUE(runUntil([&] { return !helper->task(); }));
  EXPECT_TRUE(weak.expired());
}

}  // namespace
