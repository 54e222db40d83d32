#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "engine/QVModuleLogLine.h"
#include "engine/tests/NodeRunTestSupport.h"
#include "platform/Paths.h"
#include "testing/GatedSecretStore.h"
#include "testing/TreePaths.h"

using namespace enginetest;
using LineType = QVModuleLogLineType;

namespace {

const std::string kErrorPrefix = "Module failed because of error: ";
const std::string kCancelled =
    "Module execution was cancelled. Try increasing the refresh interval if this module continues to get "
    "cancelled";
const std::string kOverlong = "Module output line dropped because it is longer than 1048576 bytes";
const std::string kIgnoredNotification =
    "Ignored notification because hasNotifications is not set or is false in the package.json";

std::string hex(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) out += fmt::format("{:02x}", c);
  return out;
}

// The steps that print `text` in two writes 50 ms apart, cut at byte `cut`.
json splitWrite(const std::string& text, std::size_t cut) {
  return json::array(
      {{{"writeHex", hex(text.substr(0, cut))}}, {{"sleep", 50}}, {{"writeHex", hex(text.substr(cut))}}});
}

struct ExpectedLine {
  LineType type;
  std::optional<std::string> text;  // nullopt: any text
};

using NodeOperationTest = NodeRunTest;

TEST_F(NodeOperationTest, OutputLinesBecomeLogLinesResultsAndRetries) {
  const std::string euro = "caf\xC3\xA9 \xE2\x82\xAC";
  const std::string euroLine = finishedLine(euro).dump() + "\n";
  const std::string splitLine = finishedLine("split").dump() + "\n";
  const std::string finishedText = finishedLine("done").dump();
  struct Case {
    std::string name;
    json steps;
    std::vector<ExpectedLine> lines;  // in order; standard error lines are checked by errorText
    std::optional<std::string> result;
    bool success = true;
    std::size_t launches = 1;
    std::string errorText;  // what standard error said, over all its lines
  };
  const std::vector<Case> cases = {
      {"every line type",
       json::array(
           {{{"line", logLine("log", json::array({"a", 1}))}},
            {{"line", logLine("info", json::array({"i"}))}},
            {{"line", logLine("warn", json::array({"w"}))}},
            {{"line", logLine("error", json::array({"e"}))}},
            {{"line", logLine("notification", json::array({{{"id", "n1"}, {"message", "m"}}}))}},
            {{"line", logLine("custom", json::array({"c"}))}},
            {{"line",
              {{"type", "finished"},
               {"options", {{"result", "done"}, {"success", true}, {"options", {{"color", "#FF0000"}}}}}}}}}),
       {{LineType::log, "a 1"},
        {LineType::info, "i"},
        {LineType::warning, "w"},
        {LineType::error, "e"},
        {LineType::notification, std::nullopt},
        {LineType::warning, kIgnoredNotification},
        {LineType::other, "c"},
        {LineType::finishedSuccess, "done"}},
       "done",
       true,
       1,
       ""},
      {"junk text and JSON arrays produce nothing",
       json::array({{{"write", "hello world\n[1,2,3]\n[" + logLine("log", json::array({"x"})).dump() +
                                   "]\nnull\n42\n\"text\"\n{\"type\":\"log\"}\n{not json\n"}},
                    {{"writeHex", "fffe0a"}},
                    {{"line", finishedLine("done")}}}),
       {{LineType::finishedSuccess, "done"}},
       "done",
       true,
       1,
       ""},
      {"blank lines, spaces, tabs and CR separators",
       json::array({{{"write", "\n\n  \t" + logLine("log", json::array({"a"})).dump() + "\t \r" +
                                   logLine("info", json::array({"b"})).dump() + "\r\n\r\n\n" + finishedText +
                                   "\r"}}}),
       {{LineType::log, "a"}, {LineType::info, "b"}, {LineType::finishedSuccess, "done"}},
       "done",
       true,
       1,
       ""},
      {"other newline characters",
       json::array({{{"write", logLine("log", json::array({"a"})).dump() + "\xC2\x85" +
                                   logLine("log", json::array({"b"})).dump() + "\xE2\x80\xA8" + finishedText +
                                   "\xE2\x80\xA9"}}}),
       {{LineType::log, "a"}, {LineType::log, "b"}, {LineType::finishedSuccess, "done"}},
       "done",
       true,
       1,
       ""},
      {"a line split over two writes 50 ms apart",
       splitWrite(splitLine, 20),
       {{LineType::finishedSuccess, "split"}},
       "split",
       true,
       1,
       ""},
      {"a UTF-8 character split over two writes",
       splitWrite(euroLine, euroLine.find("\xE2\x82\xAC") + 2),
       {{LineType::finishedSuccess, euro}},
       euro,
       true,
       1,
       ""},
      {"a finished line over 64 KiB and an immediate exit",
       json::array({{{"finishedOfSize", 100000}}, {{"exit", 0}}}),
       {{LineType::finishedSuccess, std::string(100000, 'x')}},
       std::string(100000, 'x'),
       true,
       1,
       ""},
      {"a 900 KiB result written by Node itself just before process.exit",
       json::array({{{"finishedAsyncOfSize", 900 * 1024}}, {{"exit", 0}}}),
       {{LineType::finishedSuccess, std::string(900 * 1024, 'x')}},
       std::string(900 * 1024, 'x'),
       true,
       1,
       ""},
      {"the last line without a newline",
       json::array({{{"write", finishedText}}}),
       {{LineType::finishedSuccess, "done"}},
       "done",
       true,
       1,
       ""},
      {"a line over 1 MiB is dropped and reading goes on",
       json::array({{{"junkOfSize", 1100000}}, {{"line", finishedLine("after")}}}),
       {{LineType::error, kOverlong}, {LineType::finishedSuccess, "after"}},
       "after",
       true,
       1,
       ""},
      {"a finished line over 1 MiB is dropped too",
       json::array({{{"finishedOfSize", 1100000}},
                    {{"line", logLine("log", json::array({"next"}))}},
                    {{"line", finishedLine("after")}}}),
       {{LineType::error, kOverlong}, {LineType::log, "next"}, {LineType::finishedSuccess, "after"}},
       "after",
       true,
       1,
       ""},
      {"standard error is logged and the run goes on",
       json::array({{{"error", "oops"}}, {{"line", finishedLine("done")}}}),
       {{LineType::finishedSuccess, "done"}},
       "done",
       true,
       1,
       "oops"},
      {"a UTF-8 character split on standard error",
       json::array({{{"errorHex", "636166c3"}},
                    {{"sleep", 50}},
                    {{"errorHex", "a921"}},
                    {{"line", finishedLine("done")}}}),
       {{LineType::finishedSuccess, "done"}},
       "done",
       true,
       1,
       "caf\xC3\xA9!"},
      {"a failed result ends the run without retry",
       json::array({{{"line", finishedLine("broken", false)}}}),
       {{LineType::finishedFailure, "broken"}},
       "broken",
       false,
       1,
       ""},
      {"no output at all: three retries",
       json::array(),
       {{LineType::warning, "Module finished with no result, retry attempt 1"},
        {LineType::warning, "Module finished with no result, retry attempt 2"},
        {LineType::warning, "Module finished with no result, retry attempt 3"}},
       std::nullopt,
       false,
       4,
       ""},
      {"only standard error: three retries",
       json::array({{{"error", "bad"}}}),
       {{LineType::warning, "Module finished with no result, retry attempt 1"},
        {LineType::warning, "Module finished with no result, retry attempt 2"},
        {LineType::warning, "Module finished with no result, retry attempt 3"}},
       std::nullopt,
       false,
       4,
       "badbadbadbad"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto module = makeModule(c.steps);
    ASSERT_TRUE(module);
    auto operation = runModule(module);
    EXPECT_TRUE(operation->completed());
    EXPECT_FALSE(module->isUpdating());

    std::vector<ExpectedLine> actual;
    std::string errorText;
    for (const auto& line : logLines(*module)) {
      const std::string text = line->logString().value_or("<none>");
      if (line->type() == LineType::error && text.rfind(kErrorPrefix, 0) == 0) {
        errorText += text.substr(kErrorPrefix.size());
        continue;
      }
      actual.push_back({line->type(), text});
    }
    ASSERT_EQ(actual.size(), c.lines.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(actual[i].type, c.lines[i].type);
      if (c.lines[i].text) {
        EXPECT_EQ(actual[i].text, c.lines[i].text);
      }
    }
    EXPECT_EQ(errorText, c.errorText);

    auto result = module->lastResult();
    ASSERT_EQ(result != nullptr, c.result.has_value());
    if (result) {
      EXPECT_EQ(result->resultString(), c.result);
      EXPECT_EQ(result->success(), c.success);
    }
    EXPECT_EQ(launches(*module).size(), c.launches);
  }
}

TEST_F(NodeOperationTest, LaunchesWithTheProtocolsArgumentsEnvironmentAndFolder) {
  struct Case {
    std::string name;
    json extras;
    bool argumentsFile;
    bool databasePath;
  };
  const std::vector<Case> cases = {
      {"with options", json::object(), true, true},
      {"without options", {{"user_options", json::array()}}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto module = makeModule(json::array({{{"echo", true}}, {{"line", finishedLine("echo")}}}), c.extras);
    ASSERT_TRUE(module);
    auto operation = runModule(module);
    ASSERT_TRUE(module->lastResult());
    json echo;
    for (const auto& line : logLines(*module)) {
      if (line->type() == LineType::log) echo = json::parse(line->logString().value_or("null"));
    }
    ASSERT_TRUE(echo.is_object());

    std::vector<std::string> argv = echo["argv"];
    std::vector<std::string> expected{module->scriptPath()};
    if (c.argumentsFile) {
      ASSERT_GE(argv.size(), 3u);
      fs::path arguments = argv[2];
      expected.push_back("--arguments");
      expected.push_back(arguments.string());
      EXPECT_EQ(arguments.parent_path(), platform::paths::runtimeDirectory() / "Module Arguments");
      EXPECT_EQ(echo["argumentsMode"], 0600);
      EXPECT_EQ(echo["argumentsFolderMode"], 0700);
      // Deleted when the run was cleaned up.
      EXPECT_FALSE(fs::exists(arguments));
      EXPECT_FALSE(operation->argumentsPath());
    }
    expected.push_back("--uid");
    expected.push_back(module->uid());
    if (c.databasePath) {
      expected.push_back("--dbPath");
      expected.push_back(module->jsonDatabasePath());
    }
    EXPECT_EQ(argv, expected);

    fs::path nodeModules =
        QVEngineEnvironment::resourceBundle().resourcePath() / "node" / "app" / "node_modules";
    EXPECT_EQ(echo["env"], json({{"NODE_PATH", nodeModules.string()}}));
    EXPECT_EQ(fs::path(echo["cwd"].get<std::string>()),
              fs::canonical(fs::path(module->scriptPath()).parent_path()));
  }
}

TEST_F(NodeOperationTest, ArgumentsFileHoldsTheOptionValuesButNoNulls) {
  json extras = {
      {"user_options", json::array({{{"name", "steps"}, {"type", "string"}},
                                    {{"name", "launchLog"}, {"type", "string"}},
                                    {{"name", "city"}, {"type", "string"}, {"default", "Oslo"}},
                                    {{"name", "apiKey"}, {"type", "string"}, {"options", {{"secure", true}}}},
                                    {{"name", "since"}, {"type", "date"}},
                                    {{"name", "token"}, {"type", "string"}, {"options", {{"secure", true}}}},
                                    {{"name", "count"}, {"type", "number"}, {"default", 3}},
                                    {{"name", "feelsLike"}, {"type", "boolean"}, {"default", true}}})}};
  auto module = makeModule(json::array({{{"echo", true}}, {{"line", finishedLine("echo")}}}), extras);
  ASSERT_TRUE(module);
  setOption(*module, "apiKey", "secret-key");
  runModule(module);
  json echo;
  for (const auto& line : logLines(*module)) {
    if (line->type() == LineType::log) echo = json::parse(line->logString().value_or("null"));
  }
  ASSERT_TRUE(echo.is_object());
  json arguments = json::parse(echo["argumentsText"].get<std::string>());
  EXPECT_EQ(arguments["city"], "Oslo");
  EXPECT_EQ(arguments["apiKey"], "secret-key");
  EXPECT_EQ(arguments["count"], 3);
  EXPECT_EQ(arguments["feelsLike"], true);
  // A date without value and a secure text without value are null, and left out.
  EXPECT_FALSE(arguments.contains("since"));
  EXPECT_FALSE(arguments.contains("token"));
  // Pretty-printed.
  EXPECT_NE(echo["argumentsText"].get<std::string>().find("\n  \""), std::string::npos);
}

// A module restored at start keeps its secret in the keychain, which may be waiting on the user (its
// prompt) when the first run starts: the run waits for the text on its own thread and runs with it;
// a stopped run gives up; a keychain that cannot give the text is told in the module's log.
TEST_F(NodeOperationTest, ARunWaitsOffTheMainThreadForASecretStillInTheKeychain) {
  auto store = std::make_shared<qvtesting::GatedSecretStore>();
  platform::SecretStore::setShared(store);
  json extras = {{"user_options", json::array({{{"name", "steps"}, {"type", "string"}},
                                               {{"name", "launchLog"}, {"type", "string"}},
                                               {{"name", "apiKey"},
                                                {"type", "string"},
                                                {"title", "API key"},
                                                {"options", {{"secure", true}}}}})}};
  const std::string couldNotRead =
      "The value of option \"API key\" could not be read from the keyring: the keyring is locked";
  struct Case {
    const char* what;
    bool stop;                               // the run is stopped while it waits
    platform::OSStatus readAnswer;           // what the keychain answers
    std::optional<std::string> expectedKey;  // in the arguments file; nullopt: no launch
  };
  const Case cases[] = {
      {"the keychain answers", false, platform::errSecSuccess, "secret-key"},
      {"the run is stopped meanwhile", true, platform::errSecSuccess, std::nullopt},
      {"the keychain stays locked", false, platform::errSecInteractionNotAllowed, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto module = makeModule(json::array({{{"echo", true}}, {{"line", finishedLine("echo")}}}), extras);
    ASSERT_TRUE(module);
    setOption(*module, "apiKey", "secret-key");
    settleKeychain();
    // As restored from the groups archive: the text is in the keychain only.
    for (const auto& option : module->userOptions()) {
      if (option->name() == "apiKey")
        option->setValue(QVDMOptionValue::valueWithObject(nullptr, QVDMOptionType::string, {{"secure", true}},
                                                          option->uid()));
    }

    store->hold();
    store->failReads(c.readAnswer);
    auto operation = makeOperation(module);
    queue_->addOperation(operation);
    int ticks = 0;
    auto timer = mainQueue().scheduleTimer(platform::Seconds(0.02), true, [&] { ++ticks; });
    runUntil([] { return false; }, 0.4);
    timer->cancel();
    EXPECT_GE(ticks, 10) << "the main queue stood still";
    EXPECT_TRUE(launches(*module).empty()) << "the run did not wait for the keychain";
    if (c.stop) operation->cancel();
    store->release();
    ASSERT_TRUE(runUntil([&] { return operation->isFinished(); }, 30)) << "the run did not finish";
    store->failReads(platform::errSecSuccess);

    EXPECT_EQ(launches(*module).size(), c.expectedKey ? 1u : 0u);
    EXPECT_EQ(hasLine(*module, LineType::warning, couldNotRead), c.readAnswer != platform::errSecSuccess);
    if (!c.expectedKey) continue;
    json echo;
    for (const auto& line : logLines(*module)) {
      if (line->type() == LineType::log) echo = json::parse(line->logString().value_or("null"));
    }
    ASSERT_TRUE(echo.is_object());
    json arguments = json::parse(echo["argumentsText"].get<std::string>());
    EXPECT_EQ(arguments.value("apiKey", ""), *c.expectedKey);
  }
}

TEST_F(NodeOperationTest, AttemptsThatCannotBePreparedEndTheRun) {
  struct Case {
    std::string name;
    json extras;
    std::function<void(const fs::path& root, QVDashboardModule&)> setUp;
    LineType lineType;
    std::string lineText;
    std::optional<std::string> result;
  };
  const std::string tooOld =
      fmt::format("This module requires Quorvane Dashboard version 999.0. You're running version: {}",
                  QVEngineEnvironment::appShortVersion());
  const std::vector<Case> cases = {
      {"the application is too old",
       {{"minAppVersion", "999.0"}},
       [](const fs::path&, QVDashboardModule&) {},
       LineType::warning,
       tooOld,
       tooOld},
      {"the script is missing", json::object(),
       [](const fs::path&, QVDashboardModule& module) { fs::remove(module.scriptPath()); }, LineType::system,
       "Execution failed because the file script file doesn't exist", std::nullopt},
      {"the runtime is missing", json::object(),
       [](const fs::path& root, QVDashboardModule&) {
         fs::create_directories(root / "no-resources");
         QVEngineEnvironment::setResourceFolder(root / "no-resources");
       },
       LineType::system, "Execution failed because the required executables are missing", std::nullopt},
      {"the arguments folder is a file", json::object(),
       [](const fs::path&, QVDashboardModule&) {
         std::ofstream(platform::paths::runtimeDirectory() / "Module Arguments") << "in the way";
       },
       LineType::system, "Execution failed because the arguments file could not be written", std::nullopt},
      {"the arguments folder is a link", json::object(),
       [](const fs::path& root, QVDashboardModule&) {
         fs::create_directories(root / "elsewhere");
         fs::permissions(root / "elsewhere", fs::perms::owner_all, fs::perm_options::replace);
         fs::create_directory_symlink(root / "elsewhere",
                                      platform::paths::runtimeDirectory() / "Module Arguments");
       },
       LineType::system, "Execution failed because the arguments file could not be written", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto module = makeModule(json::array({{{"line", finishedLine("ran")}}}), c.extras);
    ASSERT_TRUE(module);
    c.setUp(root(), *module);
    auto operation = runModule(module);
    QVEngineEnvironment::setResourceFolder(std::nullopt);
    auto lines = logLines(*module);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]->type(), c.lineType);
    EXPECT_EQ(lines[0]->logString(), c.lineText);
    auto result = module->lastResult();
    ASSERT_EQ(result != nullptr, c.result.has_value());
    if (result) {
      EXPECT_FALSE(result->success());
      EXPECT_EQ(result->resultString(), c.result);
    }
    EXPECT_TRUE(launches(*module).empty());
    EXPECT_FALSE(module->isUpdating());
    // Nothing is left in the arguments folder.
    fs::path folder = platform::paths::runtimeDirectory() / "Module Arguments";
    if (fs::is_directory(fs::symlink_status(folder))) {
      EXPECT_TRUE(fs::is_empty(folder));
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
}

TEST_F(NodeOperationTest, ArgumentsFolderIsMadePrivateAgain) {
  fs::path folder = platform::paths::runtimeDirectory() / "Module Arguments";
  fs::create_directories(folder);
  fs::permissions(folder,
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::replace);
  auto module = makeModule(json::array({{{"echo", true}}, {{"line", finishedLine("echo")}}}));
  runModule(module);
  ASSERT_TRUE(module->lastResult());
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(NodeOperationTest, CancelStopsTheWholeProcessGroupAndNeverRetries) {
  // The script ignores TERM and leaves a grandchild holding its pipes: only the KILL after the grace
  // period ends the script, and the group signals end the grandchild.
  auto module = makeModule(json::array({{{"ignoreTerm", true}},
                                        {{"grandchild", true}},
                                        {{"line", logLine("info", json::array({"ready"}))}},
                                        {{"hang", true}}}));
  auto operation = makeOperation(module);
  queue_->addOperation(operation);
  ASSERT_TRUE(runUntil([&] { return hasLine(*module, LineType::info, "ready"); }));
  EXPECT_TRUE(module->isUpdating());
  pid_t grandchild = 0;
  for (const auto& line : logLines(*module)) {
    auto text = line->logString().value_or("");
    if (text.rfind("grandchild ", 0) == 0) grandchild = std::stoi(text.substr(11));
  }
  ASSERT_GT(grandchild, 0);
  ASSERT_EQ(launches(*module).size(), 1u);
  pid_t child = launches(*module)[0];

  operation->cancel();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_FALSE(module->isUpdating());
  EXPECT_TRUE(hasLine(*module, LineType::error, kCancelled));
  EXPECT_TRUE(runUntil([&] { return processGone(child) && processEnded(grandchild); }));
  EXPECT_TRUE(runUntil([&] { return zombieChildren() == 0; }));
  EXPECT_EQ(launches(*module).size(), 1u);
  EXPECT_EQ(operation->retryCount(), 0);
  EXPECT_FALSE(module->lastResult());
}

TEST_F(NodeOperationTest, CancelDoesNotWaitForAnObserverThatWaitsForTheMainThread) {
  // An observer of the result asks the main thread for something while the main thread cancels the
  // run: neither may wait for the other.
  auto module = makeModule(json::array({{{"line", finishedLine("done")}}, {{"hang", true}}}));
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  std::atomic<bool> left{false};
  platform::ObserverToken token = platform::NotificationCenter::defaultCenter().addObserverForName(
      QVModuleResultDidChangeNotification, module.get(), [&](const platform::Notification&) {
        {
          std::lock_guard lock(mutex);
          entered = true;
        }
        changed.notify_all();
        platform::MainQueue::shared()->sync([] {});
        left = true;
      });
  auto operation = makeOperation(module);
  queue_->addOperation(operation);
  // Run the main queue just until the process is launched (the script needs far longer to start).
  ASSERT_TRUE(runUntil([&] {
    auto helper = operation->taskHelper();
    auto task = helper ? helper->task() : nullptr;
    return task && task->processIdentifier() != 0;
  }));
  {
    // The main queue is not run from here on, so the observer stays in its wait.
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return entered; }));
  }
  operation->cancel();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_TRUE(runUntil([&] { return left.load(); }));
  EXPECT_TRUE(runUntil([&] { return zombieChildren() == 0; }));
}

TEST_F(NodeOperationTest, GrandchildHoldingThePipeNeitherHoldsNorSpoilsTheRun) {
  auto module = makeModule(json::array({{{"grandchild", true}}, {{"line", finishedLine("done")}}}));
  auto operation = runModule(module);
  ASSERT_TRUE(module->lastResult());
  EXPECT_EQ(module->lastResult()->resultString(), "done");
  EXPECT_EQ(launches(*module).size(), 1u);
  pid_t grandchild = 0;
  for (const auto& line : logLines(*module)) {
    auto text = line->logString().value_or("");
    if (text.rfind("grandchild ", 0) == 0) grandchild = std::stoi(text.substr(11));
  }
  ASSERT_GT(grandchild, 0);
  // The run was given up on its pipes, so what it left behind is stopped.
  EXPECT_TRUE(runUntil([&] { return processEnded(grandchild) && zombieChildren() == 0; }));
}

TEST_F(NodeOperationTest, AFinishedRunLeavesNoProcessOfItsGroupBehind) {
  // A child started without the pipes and let go (spawn with stdio "ignore", unref) neither holds
  // the pipes nor ends with the script; what remains of the group is stopped once the run is read.
  // The second case ignores TERM as well: the KILL after the grace period ends it.
  for (bool ignoresTerm : {false, true}) {
    SCOPED_TRACE(ignoresTerm ? "the child ignores TERM" : "the child obeys TERM");
    json steps = json::array({{{"detachedChild", true}}, {{"line", finishedLine("done")}}});
    if (ignoresTerm) steps.insert(steps.begin(), {{"ignoreTerm", true}});
    auto module = makeModule(steps);
    auto operation = runModule(module);
    ASSERT_TRUE(module->lastResult());
    EXPECT_EQ(module->lastResult()->resultString(), "done");
    pid_t detached = 0;
    for (const auto& line : logLines(*module)) {
      auto text = line->logString().value_or("");
      if (text.rfind("detached ", 0) == 0) detached = std::stoi(text.substr(9));
    }
    ASSERT_GT(detached, 0);
    ASSERT_EQ(launches(*module).size(), 1u);
    const pid_t group = launches(*module)[0];
    EXPECT_TRUE(runUntil([&] {
      for (const auto& info : platform::processes::allProcesses()) {
        if (info.group == group && info.state != 'Z') return false;
      }
      return processEnded(detached);
    })) << "a process of the run's group is still running";
    EXPECT_TRUE(runUntil([&] { return zombieChildren() == 0; }));
  }
}

TEST_F(NodeOperationTest, StoppedOperationNeverLaunches) {
  enum class Moment { waitingInQueue, launchPosted, betweenAttempts };
  struct Case {
    std::string name;
    Moment moment;
    bool silent;
    std::size_t launches;
  };
  const std::vector<Case> cases = {
      {"waiting in its queue", Moment::waitingInQueue, false, 0},
      {"waiting in its queue, silently", Moment::waitingInQueue, true, 0},
      {"its launch posted to the main thread", Moment::launchPosted, false, 0},
      {"between two attempts", Moment::betweenAttempts, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Without a result every attempt would be followed by another.
    auto module = makeModule(json::array());
    auto operation = makeOperation(module);
    switch (c.moment) {
      case Moment::waitingInQueue:
        queue_->setMaxConcurrentOperationCount(0);
        queue_->addOperation(operation);
        operation->cancelSilently(c.silent);
        queue_->setMaxConcurrentOperationCount(3);
        ASSERT_TRUE(runUntil([&] { return operation->isFinished(); }));
        // It never ran: the module's updating state is left as it was.
        EXPECT_TRUE(module->isUpdating());
        EXPECT_FALSE(operation->zkExecuting());
        break;
      case Moment::launchPosted:
        // Started here, with the main queue not running: the launch waits on it.
        operation->start();
        ASSERT_TRUE(operation->taskHelper());
        operation->cancelSilently(c.silent);
        EXPECT_TRUE(operation->isFinished());
        EXPECT_FALSE(module->isUpdating());
        break;
      case Moment::betweenAttempts:
        queue_->addOperation(operation);
        ASSERT_TRUE(runUntil([&] {
          return hasLine(*module, LineType::warning, "Module finished with no result, retry attempt 1");
        }));
        operation->cancelSilently(c.silent);
        EXPECT_TRUE(operation->isFinished());
        EXPECT_FALSE(module->isUpdating());
        break;
    }
    // Let whatever was posted or scheduled run: the launch, the retry 0.1 s later.
    std::atomic<bool> drained{false};
    mainQueue().postAfter(platform::Seconds(0.3), [&] { drained = true; });
    ASSERT_TRUE(runUntil([&] { return drained.load(); }));
    EXPECT_EQ(launches(*module).size(), c.launches);
    EXPECT_EQ(hasLine(*module, LineType::error, kCancelled), !c.silent);
    EXPECT_FALSE(operation->argumentsPath());
    fs::path folder = platform::paths::runtimeDirectory() / "Module Arguments";
    EXPECT_TRUE(!fs::exists(folder) || fs::is_empty(folder));
  }
}

TEST_F(NodeOperationTest, NotificationLinesGoToTheCentreWhenThePackageAllowsThem) {
  const json notification = logLine("notification", json::array({{{"id", "n-1"},
                                                                  {"message", "Hello"},
                                                                  {"url", " https://example.org/x \n"},
                                                                  {"actionButtonTitle", "  Open "}},
                                                                 "ignored"}));
  const json steps = json::array({{{"line", notification}},
                                  {{"line", notification}},
                                  {{"line", logLine("notification", json::array({{{"id", "n-2"}}}))}},
                                  {{"line", finishedLine("done")}}});
  struct Case {
    std::string name;
    json extras;
    std::size_t delivered;
    std::size_t ignoredWarnings;
  };
  const std::vector<Case> cases = {
      {"allowed", {{"hasNotifications", true}}, 1, 0},
      {"not set", json::object(), 0, 3},
      {"false", {{"hasNotifications", false}}, 0, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto before = sink_->notifications().size();
    auto module = makeModule(steps, c.extras);
    runModule(module);
    auto notifications = sink_->notifications();
    ASSERT_EQ(notifications.size() - before, c.delivered);
    if (c.delivered) {
      const auto& shown = notifications.back();
      EXPECT_EQ(shown.title, module->displayName().value_or(""));
      EXPECT_EQ(shown.informativeText, "Hello");
      EXPECT_EQ(shown.userInfo, json({{"url", "https://example.org/x"}}));
      EXPECT_EQ(shown.actionButtonTitle, "Open");
    }
    std::size_t warnings = 0;
    std::size_t notificationLines = 0;
    for (const auto& line : logLines(*module)) {
      if (line->type() == LineType::warning && line->logString() == kIgnoredNotification) ++warnings;
      if (line->type() == LineType::notification) ++notificationLines;
    }
    EXPECT_EQ(warnings, c.ignoredWarnings);
    EXPECT_EQ(notificationLines, 3u);
  }
}

// The in-program help ("Writing Modules") shows the lines a module prints; run exactly those lines, so
// that the page cannot drift from what the engine reads.
TEST_F(NodeOperationTest, TheHelpPagesExampleOutputIsWhatTheEngineReads) {
  std::ifstream page(fs::path(QV_SOURCE_RESOURCES) / "Docs" / "README.html");
  ASSERT_TRUE(page);
  std::string html((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
  const std::string intro = "It prints one JSON object per line:</p>\n<pre>";
  auto begin = html.find(intro);
  ASSERT_NE(begin, std::string::npos);
  begin += intro.size();
  auto end = html.find("</pre>", begin);
  ASSERT_NE(end, std::string::npos);
  // A line that starts with a space continues the one before it.
  std::vector<std::string> lines;
  std::istringstream example(html.substr(begin, end - begin));
  for (std::string line; std::getline(example, line);) {
    if (!line.empty() && line.front() == ' ' && !lines.empty())
      lines.back() += line;
    else
      lines.push_back(line);
  }
  json steps = json::array();
  for (const auto& line : lines) {
    SCOPED_TRACE(line);
    json parsed = json::parse(line, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded());
    steps.push_back({{"line", parsed}});
  }
  auto before = sink_->notifications().size();
  auto module = makeModule(steps, {{"hasNotifications", true}});
  runModule(module);
  auto notifications = sink_->notifications();
  ASSERT_EQ(notifications.size() - before, 1u);
  EXPECT_EQ(notifications.back().informativeText, "All went well");
  EXPECT_EQ(notifications.back().userInfo, json({{"url", "https://example.org"}}));
  auto result = module->lastResult();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->resultString(), "12 °C");
  EXPECT_TRUE(result->success());
  ASSERT_TRUE(result->options());
  EXPECT_TRUE(result->options()->color());
  for (const auto& line : logLines(*module))
    EXPECT_NE(line->type(), LineType::warning) << line->logString().value_or("");
}

TEST_F(NodeOperationTest, ManyRunsAtOnceOnAQueueOfThree) {
  std::vector<std::shared_ptr<QVDashboardModule>> modules;
  std::vector<QVNodeOperation::Pointer> operations;
  for (int i = 0; i < 8; ++i) {
    auto module = makeModule(
        json::array({{{"line", logLine("log", json::array({"run", i}))}},
                     {{"line", logLine("notification", json::array({{{"id", i % 3}, {"message", "m"}}}))}},
                     {{"line", finishedLine(fmt::format("result {}", i))}}}),
        {{"hasNotifications", true}});
    modules.push_back(module);
    operations.push_back(makeOperation(module));
  }
  std::vector<std::shared_ptr<platform::Operation>> all(operations.begin(), operations.end());
  queue_->addOperations(all, false);
  ASSERT_TRUE(runUntil(
      [&] {
        for (const auto& operation : operations) {
          if (!operation->isFinished()) return false;
        }
        return true;
      },
      60));
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(modules[i]->lastResult());
    EXPECT_EQ(modules[i]->lastResult()->resultString(), fmt::format("result {}", i));
    EXPECT_EQ(launches(*modules[i]).size(), 1u);
  }
  // Three distinct ids among the eight runs.
  EXPECT_EQ(sink_->notifications().size(), 3u);
  EXPECT_EQ(center_->deliveredNotificationIDs().size(), 3u);
}

}  // namespace
