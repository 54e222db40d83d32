#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/ProcessTable.h"
#include "platform/Task.h"
#include "testing/Sandbox.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

// What a task reported, filled on the reactor thread and read by the test thread.
struct Recorder {
  mutable std::mutex mutex;
  Data output;
  Data error;
  std::size_t outputChunks = 0;
  bool emptyChunk = false;
  std::vector<TaskTermination> ends;
  bool outputAfterEnd = false;
  std::set<std::thread::id> threads;

  bool ended() const {
    std::lock_guard lock(mutex);
    return !ends.empty();
  }
  std::string outputText() const {
    std::lock_guard lock(mutex);
    return stringFromData(output);
  }
  std::string errorText() const {
    std::lock_guard lock(mutex);
    return stringFromData(error);
  }
  std::size_t endCount() const {
    std::lock_guard lock(mutex);
    return ends.size();
  }
  TaskTermination end() const {
    std::lock_guard lock(mutex);
    return ends.at(0);
  }
};

std::shared_ptr<Recorder> record(Task& task) {
  auto recorder = std::make_shared<Recorder>();
  auto onBytes = [recorder](Data& into, bool isOutput, Data bytes) {
    std::lock_guard lock(recorder->mutex);
    recorder->threads.insert(std::this_thread::get_id());
    if (bytes.empty()) recorder->emptyChunk = true;
    if (!recorder->ends.empty()) recorder->outputAfterEnd = true;
    if (isOutput) ++recorder->outputChunks;
    into.insert(into.end(), bytes.begin(), bytes.end());
  };
  task.setStandardOutputHandler(
      [recorder, onBytes](Data bytes) { onBytes(recorder->output, true, std::move(bytes)); });
  task.setStandardErrorHandler(
      [recorder, onBytes](Data bytes) { onBytes(recorder->error, false, std::move(bytes)); });
  task.setTerminationHandler([recorder](const TaskTermination& end) {
    std::lock_guard lock(recorder->mutex);
    recorder->threads.insert(std::this_thread::get_id());
    recorder->ends.push_back(end);
  });
  return recorder;
}

std::shared_ptr<Task> makeTask(const std::string& path, std::vector<std::string> arguments,
                               std::map<std::string, std::string> environment = {}) {
  auto task = Task::make();
  task->setLaunchPath(path);
  task->setArguments(std::move(arguments));
  task->setEnvironment(std::move(environment));
  return task;
}

std::string nodePath() {
  for (const char* candidate : {"/usr/bin/node", "/usr/local/bin/node"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return "node";
}

// The state letter of /proc/<pid>/stat ('R', 'S', 'T', 'Z', ...), or 0 when there is no such process
// (also when it is reaped between opening the file and reading it).
char processState(pid_t pid) {
  auto info = platform::processes::processInfo(pid);
  return info ? info->state : 0;
}

bool processGone(pid_t pid) { return processState(pid) == 0; }

class TaskTest : public qvtesting::SandboxTest {
 protected:
  void TearDown() override {
    Task::setExitPollingForTesting(false);
    qvtesting::SandboxTest::TearDown();
  }

  // Launches and waits for the end report.
  std::shared_ptr<Recorder> run(Task& task, double timeout = 20.0) {
    auto recorder = record(task);
    Error error;
    EXPECT_TRUE(task.launch(&error)) << error.description;
    EXPECT_TRUE(runUntil([&] { return recorder->ended(); }, timeout)) << "no end report";
    return recorder;
  }
};

TEST_F(TaskTest, LargeOutputArrivesWholeAndInOrderOnBothPipes) {
  // 10 MB on standard output and 1 MB on standard error, interleaved, each a counting pattern
  // that shows any lost, doubled or reordered chunk.
  const char* script = R"(
    const out = Buffer.alloc(10 * 1024 * 1024), err = Buffer.alloc(1024 * 1024);
    for (let i = 0; i < out.length; i++) out[i] = i % 251;
    for (let i = 0; i < err.length; i++) err[i] = i % 241;
    const fs = require('fs');
    for (let o = 0, e = 0; o < out.length; o += 100000, e += 10000) {
      fs.writeSync(1, out.subarray(o, Math.min(o + 100000, out.length)));
      if (e < err.length) fs.writeSync(2, err.subarray(e, Math.min(e + 10000, err.length)));
    }
  )";
  auto task = makeTask(nodePath(), {"-e", script});
  auto recorder = run(*task, 60.0);
  ASSERT_TRUE(recorder->ended());
  std::lock_guard lock(recorder->mutex);
  EXPECT_EQ(recorder->ends.size(), 1u);
  EXPECT_EQ(recorder->ends[0].reason, TaskTerminationReason::Exit);
  EXPECT_EQ(recorder->ends[0].status, 0);
  ASSERT_EQ(recorder->output.size(), 10u * 1024 * 1024);
  ASSERT_EQ(recorder->error.size(), 1024u * 1024);
  for (std::size_t i = 0; i < recorder->output.size(); ++i) {
    ASSERT_EQ(recorder->output[i], i % 251) << "output byte " << i;
  }
  for (std::size_t i = 0; i < recorder->error.size(); ++i) {
    ASSERT_EQ(recorder->error[i], i % 241) << "error byte " << i;
  }
  EXPECT_GT(recorder->outputChunks, 1u);
  EXPECT_FALSE(recorder->emptyChunk);
  EXPECT_FALSE(recorder->outputAfterEnd);
  // Every handler ran on the one reactor thread, not on the test's main thread.
  EXPECT_EQ(recorder->threads.size(), 1u);
  EXPECT_EQ(recorder->threads.count(std::this_thread::get_id()), 0u);
}

TEST_F(TaskTest, ReportsOutputErrorAndHowTheProcessEnded) {
  struct Case {
    std::string name;
    std::string path;
    std::vector<std::string> arguments;
    std::string output;
    std::string error;
    TaskTerminationReason reason;
    int status;
  };
  const std::vector<Case> cases = {
      {"exit code",
       "/bin/sh",
       {"-c", "printf out; printf err >&2; exit 3"},
       "out",
       "err",
       TaskTerminationReason::Exit,
       3},
      {"silent success", "/bin/true", {}, "", "", TaskTerminationReason::Exit, 0},
      {"only errors",
       "/bin/sh",
       {"-c", "echo oops >&2; exit 1"},
       "",
       "oops\n",
       TaskTerminationReason::Exit,
       1},
      {"killed by TERM",
       "/bin/sh",
       {"-c", "echo before; kill -TERM $$; echo after"},
       "before\n",
       "",
       TaskTerminationReason::UncaughtSignal,
       SIGTERM},
      {"node killed by KILL",
       nodePath(),
       {"-e", "process.stderr.write('x'); process.kill(process.pid, 'SIGKILL')"},
       "",
       "x",
       TaskTerminationReason::UncaughtSignal,
       SIGKILL},
      {"node exit code",
       nodePath(),
       {"-e", "console.log('hi'); process.exit(42)"},
       "hi\n",
       "",
       TaskTerminationReason::Exit,
       42},
  };
  // Both ways of watching the exit: the pidfd, and the polling used where there is none.
  for (bool polling : {false, true}) {
    Task::setExitPollingForTesting(polling);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name + (polling ? " (polling)" : " (pidfd)"));
      auto task = makeTask(c.path, c.arguments);
      auto recorder = run(*task);
      ASSERT_TRUE(recorder->ended());
      EXPECT_EQ(recorder->outputText(), c.output);
      EXPECT_EQ(recorder->errorText(), c.error);
      EXPECT_EQ(recorder->endCount(), 1u);
      auto end = recorder->end();
      EXPECT_FALSE(end.launchFailed());
      EXPECT_EQ(end.reason, c.reason);
      EXPECT_EQ(end.status, c.status);
      EXPECT_EQ(task->terminationReason(), c.reason);
      EXPECT_EQ(task->terminationStatus(), c.status);
      EXPECT_FALSE(task->isRunning());
      EXPECT_GT(task->processIdentifier(), 0);
      EXPECT_TRUE(processGone(task->processIdentifier()));
      std::lock_guard lock(recorder->mutex);
      // A process that writes nothing causes no output reports at all, only the end report.
      if (c.output.empty()) {
        EXPECT_EQ(recorder->outputChunks, 0u);
      }
      EXPECT_FALSE(recorder->emptyChunk);
    }
  }
}

TEST_F(TaskTest, TerminateSendsTermThenKillAfterTheGracePeriod) {
  struct Case {
    std::string name;
    std::string script;
    int signal;
  };
  const std::vector<Case> cases = {
      // Ends at the TERM.
      {"obeys TERM", "echo ready; exec sleep 30", SIGTERM},
      // Notes the TERM, carries on, and is ended by the KILL after the grace period.
      {"ignores TERM", "trap 'echo got-term' TERM; echo ready; while :; do sleep 0.05; done", SIGKILL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto task = makeTask("/bin/sh", {"-c", c.script});
    task->setTerminationGracePeriod(Seconds(0.5));
    auto recorder = record(*task);
    ASSERT_TRUE(task->launch());
    ASSERT_TRUE(runUntil([&] { return recorder->outputText() == "ready\n"; }));
    EXPECT_TRUE(task->isRunning());
    task->terminate();
    ASSERT_TRUE(runUntil([&] { return recorder->ended(); }));
    auto end = recorder->end();
    EXPECT_EQ(end.reason, TaskTerminationReason::UncaughtSignal);
    EXPECT_EQ(end.status, c.signal);
    if (c.signal == SIGKILL) {
      EXPECT_EQ(recorder->outputText(), "ready\ngot-term\n");
    }
    // After the end, terminate does nothing (the process id may belong to someone else by now).
    task->terminate();
    runFor(0.05);
    EXPECT_EQ(recorder->endCount(), 1u);
  }
}

TEST_F(TaskTest, GrandchildHoldingThePipesCannotHoldTheEndReport) {
  // The grandchild inherits the pipes and outlives the child by far.
  auto task = makeTask("/bin/sh", {"-c", "sleep 60 & echo $!; exit 5"});
  task->setPipeDrainTimeout(Seconds(0.3));
  auto recorder = run(*task, 10.0);
  ASSERT_TRUE(recorder->ended());
  auto end = recorder->end();
  EXPECT_EQ(end.reason, TaskTerminationReason::Exit);
  EXPECT_EQ(end.status, 5);
  pid_t grandchild = std::stoi(recorder->outputText());
  pid_t group = task->processIdentifier();
  // The child itself is reaped; the grandchild lives on in the child's process group.
  EXPECT_TRUE(processGone(group));
  ASSERT_NE(processState(grandchild), 0);
  EXPECT_EQ(getpgid(grandchild), group);
  // The group stays reachable through its id while a member lives.
  ASSERT_EQ(killpg(group, SIGKILL), 0);
  EXPECT_TRUE(runUntil([&] {
    char state = processState(grandchild);
    return state == 0 || state == 'Z';
  }));
}

TEST_F(TaskTest, TerminateAfterTheExitStillReachesTheGroup) {
  // The child has exited, the grandchild keeps the pipes open, the report is waiting for them:
  // terminate ends the grandchild, the pipes close and the report comes at once.
  auto task = makeTask("/bin/sh", {"-c", "sleep 60 & echo $!"});
  task->setPipeDrainTimeout(Seconds(600));
  auto recorder = record(*task);
  ASSERT_TRUE(task->launch());
  ASSERT_TRUE(runUntil([&] { return !task->isRunning() && !recorder->outputText().empty(); }));
  pid_t grandchild = std::stoi(recorder->outputText());
  EXPECT_FALSE(recorder->ended());
  task->terminate();
  ASSERT_TRUE(runUntil([&] { return recorder->ended(); }));
  EXPECT_EQ(recorder->end().reason, TaskTerminationReason::Exit);
  EXPECT_EQ(recorder->end().status, 0);
  EXPECT_TRUE(runUntil([&] {
    char state = processState(grandchild);
    return state == 0 || state == 'Z';
  }));
}

TEST_F(TaskTest, StoppingTheGroupEndsWhatTheChildLeftBehind) {
  // Each grandchild ignores TERM and holds the pipes; only the KILL after the grace period ends it.
  struct Case {
    std::string name;
    std::string script;
    bool terminate;
    TaskTerminationReason reason;
    int status;
  };
  const std::string stubborn = "(trap '' TERM; exec sleep 60) & echo $!; ";
  const std::vector<Case> cases = {
      // The child exits by itself; the drain gives up on the pipes: the run is abandoned.
      {"abandoned", stubborn + "exit 5", false, TaskTerminationReason::Exit, 5},
      // The child exits by itself and the process it left let go of the pipes: the run ends at
      // once, and what is left of the group is stopped all the same.
      {"finished", "(trap '' TERM; exec sleep 60) </dev/null >/dev/null 2>&1 & echo $!; exit 5", false,
       TaskTerminationReason::Exit, 5},
      // The child is terminated while it runs.
      {"terminated", stubborn + "exec sleep 60", true, TaskTerminationReason::UncaughtSignal, SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto task = makeTask("/bin/sh", {"-c", c.script});
    task->setStopsGroupWhenDone(true);
    task->setPipeDrainTimeout(Seconds(0.2));
    task->setTerminationGracePeriod(Seconds(0.4));
    auto recorder = record(*task);
    ASSERT_TRUE(task->launch());
    ASSERT_TRUE(runUntil([&] { return !recorder->outputText().empty(); }));
    pid_t grandchild = std::stoi(recorder->outputText());
    pid_t group = task->processIdentifier();
    if (c.terminate) task->terminate();
    ASSERT_TRUE(runUntil([&] { return recorder->ended(); }));
    EXPECT_EQ(recorder->end().reason, c.reason);
    EXPECT_EQ(recorder->end().status, c.status);
    // The grandchild is killed and the child reaped: nothing of the group is left.
    EXPECT_TRUE(runUntil([&] {
      char state = processState(grandchild);
      return (state == 0 || state == 'Z') && processGone(group);
    }));
  }
}

TEST_F(TaskTest, AGroupThatObeysTheTermIsReapedBeforeTheGracePeriod) {
  // The background process ends on TERM: the child is reaped then, not at the end of the grace period.
  auto task = makeTask("/bin/sh", {"-c", "sleep 60 </dev/null >/dev/null 2>&1 & echo $!"});
  task->setStopsGroupWhenDone(true);
  task->setTerminationGracePeriod(Seconds(600));
  auto recorder = run(*task);
  pid_t background = std::stoi(recorder->outputText());
  pid_t child = task->processIdentifier();
  EXPECT_TRUE(runUntil([&] {
    char state = processState(background);
    return (state == 0 || state == 'Z') && processGone(child);
  }));
}

TEST_F(TaskTest, StopAllProcessGroupsWaitsUntilTheyAreGone) {
  // Each child ignores TERM and has a process of its own in its group that ignores it too; only a
  // KILL ends them. A task that does not stop its group is left alone.
  const std::string stubborn = "trap '' TERM; (trap '' TERM; exec sleep 60) & echo $!; exec sleep 60";
  std::vector<std::shared_ptr<Task>> stopping;
  std::vector<std::shared_ptr<Recorder>> recorders;
  for (int i = 0; i < 2; ++i) {
    auto task = makeTask("/bin/sh", {"-c", stubborn});
    task->setStopsGroupWhenDone(true);
    task->setTerminationGracePeriod(Seconds(600));
    recorders.push_back(record(*task));
    ASSERT_TRUE(task->launch());
    stopping.push_back(task);
  }
  auto other = makeTask("/bin/sh", {"-c", "echo ready; exec sleep 60"});
  auto otherRecorder = record(*other);
  ASSERT_TRUE(other->launch());
  ASSERT_TRUE(runUntil([&] {
    return otherRecorder->outputText() == "ready\n" && !recorders[0]->outputText().empty() &&
           !recorders[1]->outputText().empty();
  }));
  std::vector<pid_t> pids;
  for (std::size_t i = 0; i < stopping.size(); ++i) {
    pids.push_back(stopping[i]->processIdentifier());
    pids.push_back(std::stoi(recorders[i]->outputText()));
  }

  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Task::stopAllProcessGroups(Seconds(0.3), Seconds(1.5)));
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(took, 0.25) << "the KILL waits for the grace period";
  EXPECT_LT(took, 2.0);
  // Checked at once: gone (or ended, for the processes that are not our children).
  for (pid_t pid : pids) {
    char state = processState(pid);
    EXPECT_TRUE(state == 0 || state == 'Z') << pid;
  }
  EXPECT_TRUE(processGone(stopping[0]->processIdentifier()));
  EXPECT_TRUE(other->isRunning()) << "a task that does not stop its group is not stopped";
  other->terminate();
  EXPECT_TRUE(runUntil([&] { return otherRecorder->ended(); }));
  // Nothing left to stop: answers at once.
  EXPECT_TRUE(Task::stopAllProcessGroups(Seconds(0.3), Seconds(1.5)));
}

TEST_F(TaskTest, OutputPipeTakesTheSizeAskedForWithinTheSystemMaximum) {
  // F_GETPIPE_SZ (1032) seen from the child's standard output.
  std::size_t maximum = 0;
  std::ifstream("/proc/sys/fs/pipe-max-size") >> maximum;
  ASSERT_GT(maximum, 0u);
  struct Case {
    std::size_t asked;
    std::size_t expected;
  };
  const std::vector<Case> cases = {
      {0, 65536},
      {std::size_t{1} << 20, std::min<std::size_t>(std::size_t{1} << 20, maximum)},
      {maximum * 4, maximum},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    auto task = makeTask("/usr/bin/python3", {"-c", "import fcntl; print(fcntl.fcntl(1, 1032))"});
    task->setOutputPipeBufferSize(c.asked);
    auto recorder = run(*task);
    EXPECT_EQ(recorder->outputText(), std::to_string(c.expected) + "\n");
  }
}

TEST_F(TaskTest, StoppingTheGroupLeavesAChildAloneReapedAtOnce) {
  // Without other processes in the group, a terminated child is reaped as soon as it ends.
  auto task = makeTask("/bin/sh", {"-c", "echo ready; exec sleep 60"});
  task->setStopsGroupWhenDone(true);
  task->setTerminationGracePeriod(Seconds(600));
  auto recorder = record(*task);
  ASSERT_TRUE(task->launch());
  ASSERT_TRUE(runUntil([&] { return recorder->outputText() == "ready\n"; }));
  pid_t child = task->processIdentifier();
  task->terminate();
  ASSERT_TRUE(runUntil([&] { return recorder->ended() && processGone(child); }));
  EXPECT_EQ(recorder->end().status, SIGTERM);
}

TEST_F(TaskTest, LaunchFailuresGiveOneEndReportWithTheReason) {
  writeFile("not-executable.sh", "#!/bin/sh\necho never\n");
  writeFile("a-file", "");
  struct Case {
    std::string name;
    std::string path;
    std::string directory;
    std::map<std::string, std::string> environment;
    int code;
  };
  const std::vector<Case> cases = {
      {"missing executable", (root() / "no-such-program").string(), "", {}, ENOENT},
      {"not executable", (root() / "not-executable.sh").string(), "", {}, EACCES},
      {"missing working folder", "/bin/true", (root() / "no-such-folder").string(), {}, ENOENT},
      {"working folder is a file", "/bin/true", (root() / "a-file").string(), {}, ENOTDIR},
      {"no launch path", "", "", {}, EINVAL},
      {"bad variable name", "/bin/true", "", {{"A=B", "c"}}, EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto task = makeTask(c.path, {}, c.environment);
    task->setCurrentDirectoryPath(c.directory);
    auto recorder = record(*task);
    Error error;
    EXPECT_FALSE(task->launch(&error));
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
    EXPECT_EQ(error.code, c.code);
    EXPECT_NE(error.description.find(std::strerror(c.code)), std::string::npos) << error.description;
    ASSERT_TRUE(runUntil([&] { return recorder->ended(); }));
    auto end = recorder->end();
    EXPECT_TRUE(end.launchFailed());
    EXPECT_EQ(end.reason, TaskTerminationReason::UncaughtSignal);
    ASSERT_TRUE(end.error);
    EXPECT_EQ(end.error->code, c.code);
    EXPECT_EQ(end.error->description, error.description);
    EXPECT_FALSE(task->isRunning());
    EXPECT_EQ(task->processIdentifier(), 0);
    EXPECT_FALSE(task->suspend());
    task->terminate();  // nothing to terminate: must not signal anything
    // A second launch is refused and brings no second report.
    EXPECT_FALSE(task->launch());
    runFor(0.05);
    EXPECT_EQ(recorder->endCount(), 1u);
    EXPECT_TRUE(recorder->outputText().empty());
  }
}

TEST_F(TaskTest, SecondLaunchWhileRunningIsRefused) {
  auto task = makeTask("/bin/sh", {"-c", "echo once"});
  auto recorder = record(*task);
  ASSERT_TRUE(task->launch());
  Error error;
  EXPECT_FALSE(task->launch(&error));
  EXPECT_EQ(error.code, EALREADY);
  ASSERT_TRUE(runUntil([&] { return recorder->ended(); }));
  runFor(0.05);
  EXPECT_EQ(recorder->endCount(), 1u);
  EXPECT_EQ(recorder->outputText(), "once\n");
}

TEST_F(TaskTest, ChildSeesExactlyTheGivenEnvironment) {
  struct Case {
    std::string name;
    std::string path;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"empty", "/usr/bin/env", {}, {}, ""},
      {"two variables",
       "/usr/bin/env",
       {},
       {{"NODE_PATH", "/x/node_modules"}, {"B", "two words = 2"}},
       "B=two words = 2\nNODE_PATH=/x/node_modules\n"},
      {"empty value", "/usr/bin/env", {}, {{"EMPTY", ""}}, "EMPTY=\n"},
      {"node sees only NODE_PATH",
       nodePath(),
       {"-e", "process.stdout.write(JSON.stringify(process.env))"},
       {{"NODE_PATH", "/m"}},
       R"({"NODE_PATH":"/m"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto task = makeTask(c.path, c.arguments, c.environment);
    auto recorder = run(*task);
    EXPECT_EQ(recorder->outputText(), c.expected);
    EXPECT_EQ(recorder->end().status, 0) << recorder->errorText();
  }
}

TEST_F(TaskTest, RunsInTheWorkingFolderWithArgumentsAsGiven) {
  fs::create_directories(root() / "work dir");
  auto folder = fs::canonical(root() / "work dir");
  auto task = makeTask("/bin/sh", {"-c", "pwd; printf '[%s]' \"$@\"", "sh", "a b", "", "*"});
  task->setCurrentDirectoryPath(folder.string());
  auto recorder = run(*task);
  EXPECT_EQ(recorder->outputText(), folder.string() + "\n[a b][][*]");

  // A relative launch path is the caller's, not the child's working folder.
  auto cwd = fs::current_path();
  fs::current_path("/bin");
  auto relative = makeTask("./sh", {"-c", "pwd"});
  relative->setCurrentDirectoryPath(folder.string());
  auto relativeRecorder = run(*relative);
  fs::current_path(cwd);
  EXPECT_FALSE(relativeRecorder->end().launchFailed());
  EXPECT_EQ(relativeRecorder->outputText(), folder.string() + "\n");
}

TEST_F(TaskTest, NoDescriptorLeaksIntoTheChildOrStaysOpenInTheParent) {
  auto countOpen = [] {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
  };
  // Warm up the reactor, whose own descriptors live for the whole process.
  run(*makeTask("/bin/true", {}));
  std::size_t before = countOpen();

  // A descriptor opened without close-on-exec, as careless code elsewhere might, and another
  // task's pipes open at the same time.
  auto marker = writeFile("marker", "x");
  int careless = open(marker.c_str(), O_RDONLY);
  ASSERT_GE(careless, 0);
  auto other = makeTask("/bin/sleep", {"30"});
  auto otherRecorder = record(*other);
  ASSERT_TRUE(other->launch());

  auto task = makeTask("/bin/ls", {"-l", "/proc/self/fd"});
  auto recorder = run(*task);
  close(careless);
  other->terminate();
  ASSERT_TRUE(runUntil([&] { return otherRecorder->ended(); }));

  std::map<int, std::string> descriptors;
  std::istringstream lines(recorder->outputText());
  for (std::string line; std::getline(lines, line);) {
    auto arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    auto space = line.rfind(' ', arrow - 1);
    descriptors[std::stoi(line.substr(space + 1, arrow - space - 1))] = line.substr(arrow + 4);
  }
  ASSERT_GE(descriptors.size(), 3u) << recorder->outputText();
  EXPECT_EQ(descriptors[0], "/dev/null");
  EXPECT_EQ(descriptors[1].rfind("pipe:", 0), 0u);
  EXPECT_EQ(descriptors[2].rfind("pipe:", 0), 0u);
  EXPECT_NE(descriptors[1], descriptors[2]);
  for (const auto& [fd, target] : descriptors) {
    if (fd <= 2) continue;
    // Only what ls opens itself: the folder it lists.
    EXPECT_EQ(target.rfind("/proc/", 0), 0u) << "leaked descriptor " << fd << " -> " << target;
  }
  EXPECT_EQ(countOpen(), before);
}

TEST_F(TaskTest, DestroyedTaskStillReapsItsChildAndCallsNoHandler) {
  struct Case {
    std::string name;
    std::string script;
  };
  const std::vector<Case> cases = {
      {"writes late", "sleep 0.2; echo late"},
      // More than a pipe holds: the child ends only if its output is still read.
      {"writes much", "sleep 0.1; head -c 2000000 /dev/zero"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto task = makeTask("/bin/sh", {"-c", c.script});
    auto recorder = record(*task);
    ASSERT_TRUE(task->launch());
    pid_t pid = task->processIdentifier();
    ASSERT_GT(pid, 0);
    task.reset();
    // Gone, not a zombie: it was reaped.
    EXPECT_TRUE(runUntil([&] { return processGone(pid); }));
    EXPECT_TRUE(recorder->outputText().empty());
    EXPECT_FALSE(recorder->ended());
  }
}

TEST_F(TaskTest, ClearedHandlersHearNothingFromACancelledTask) {
  auto task = makeTask("/bin/sh", {"-c", "echo ready; exec sleep 30"});
  auto recorder = record(*task);
  ASSERT_TRUE(task->launch());
  ASSERT_TRUE(runUntil([&] { return recorder->outputText() == "ready\n"; }));
  pid_t pid = task->processIdentifier();
  task->clearHandlers();
  task->terminate();
  ASSERT_TRUE(runUntil([&] { return task->termination().has_value(); }));
  EXPECT_EQ(task->terminationStatus(), SIGTERM);
  EXPECT_TRUE(processGone(pid));
  EXPECT_FALSE(recorder->ended());
}

TEST_F(TaskTest, SuspendAndResumeStopAndContinueTheGroup) {
  auto task = makeTask("/bin/sleep", {"30"});
  EXPECT_FALSE(task->suspend());  // not launched
  auto recorder = record(*task);
  ASSERT_TRUE(task->launch());
  pid_t pid = task->processIdentifier();
  ASSERT_TRUE(task->suspend());
  EXPECT_TRUE(runUntil([&] { return processState(pid) == 'T'; }));
  ASSERT_TRUE(task->resume());
  EXPECT_TRUE(runUntil([&] { return processState(pid) == 'S'; }));
  // Terminating a suspended task works too: the TERM is followed by a continue.
  ASSERT_TRUE(task->suspend());
  EXPECT_TRUE(runUntil([&] { return processState(pid) == 'T'; }));
  task->terminate();
  ASSERT_TRUE(runUntil([&] { return recorder->ended(); }));
  EXPECT_EQ(recorder->end().reason, TaskTerminationReason::UncaughtSignal);
  EXPECT_EQ(recorder->end().status, SIGTERM);
  EXPECT_FALSE(task->suspend());
  EXPECT_FALSE(task->resume());
}

TEST_F(TaskTest, HandlersMayDropTheirOwnTask) {
  // The owner lets go of its task from inside the end report, as an owner that cleans up does.
  auto holder = std::make_shared<std::shared_ptr<Task>>(makeTask("/bin/sh", {"-c", "echo bye"}));
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::weak_ptr<Task> weak = *holder;
  (*holder)->setTerminationHandler([holder, done](const TaskTermination&) {
    holder->reset();
    done->store(true);
  });
  ASSERT_TRUE((*holder)->launch());
  holder.reset();
  ASSERT_TRUE(runUntil([&] { return done->load(); }));
  EXPECT_TRUE(runUntil([&] { return weak.expired(); }));
}

}  // namespace
