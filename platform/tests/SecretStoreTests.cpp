#include <fcntl.h>
#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Bundle.h"
#include "platform/DynamicLibrary.h"
#include "platform/Files.h"
#include "platform/MainQueue.h"
#include "platform/ProcessTable.h"
#include "platform/SecretStore.h"
#include "platform/Task.h"
#include "testing/Sandbox.h"
#include "testing/TreePaths.h"

extern char** environ;

using namespace platform;
namespace fs = std::filesystem;

namespace {

const Data kSecret{0x00, 's', 'e', 'c', 'r', 'e', 't', 0xFF, 0x00};

// What every implementation must do, in the keychain's terms.
void checkContract(SecretStore& store, const std::string& service) {
  const std::string other = service + ".other";
  Data out{42};
  EXPECT_EQ(store.findGenericPassword(service, "a", &out), errSecItemNotFound);
  EXPECT_EQ(out, Data{42}) << "a failed lookup leaves the output alone";
  EXPECT_EQ(store.updateGenericPassword(service, "a", kSecret), errSecItemNotFound);
  EXPECT_EQ(store.deleteGenericPassword(service, "a"), errSecItemNotFound);
  EXPECT_EQ(store.deleteAllGenericPasswords(service), errSecItemNotFound);

  EXPECT_EQ(store.addGenericPassword(service, "a", kSecret), errSecSuccess);
  EXPECT_EQ(store.findGenericPassword(service, "a"), errSecSuccess);
  EXPECT_EQ(store.findGenericPassword(service, "a", &out), errSecSuccess);
  EXPECT_EQ(out, kSecret);
  EXPECT_EQ(store.addGenericPassword(service, "a", dataFromString("second")), errSecDuplicateItem);
  EXPECT_EQ(store.findGenericPassword(service, "a", &out), errSecSuccess);
  EXPECT_EQ(out, kSecret) << "a refused add changes nothing";

  EXPECT_EQ(store.updateGenericPassword(service, "a", dataFromString("replaced")), errSecSuccess);
  EXPECT_EQ(store.findGenericPassword(service, "a", &out), errSecSuccess);
  EXPECT_EQ(out, dataFromString("replaced"));

  // Two accounts under one service, and one account under two services, are separate items.
  EXPECT_EQ(store.addGenericPassword(service, "b", Data{}), errSecSuccess);
  EXPECT_EQ(store.addGenericPassword(other, "a", dataFromString("elsewhere")), errSecSuccess);
  EXPECT_EQ(store.findGenericPassword(service, "b", &out), errSecSuccess);
  EXPECT_EQ(out, Data{});
  EXPECT_EQ(store.findGenericPassword(other, "a", &out), errSecSuccess);
  EXPECT_EQ(out, dataFromString("elsewhere"));

  // A replaced item is one item: deleting it once leaves nothing behind.
  EXPECT_EQ(store.deleteGenericPassword(service, "a"), errSecSuccess);
  EXPECT_EQ(store.findGenericPassword(service, "a"), errSecItemNotFound);
  EXPECT_EQ(store.deleteGenericPassword(service, "a"), errSecItemNotFound);
  EXPECT_EQ(store.findGenericPassword(service, "b"), errSecSuccess);

  EXPECT_EQ(store.addGenericPassword(service, "c", kSecret), errSecSuccess);
  EXPECT_EQ(store.deleteAllGenericPasswords(service), errSecSuccess);
  EXPECT_EQ(store.findGenericPassword(service, "b"), errSecItemNotFound);
  EXPECT_EQ(store.findGenericPassword(service, "c"), errSecItemNotFound);
  EXPECT_EQ(store.findGenericPassword(other, "a"), errSecSuccess);
  EXPECT_EQ(store.deleteAllGenericPasswords(service), errSecItemNotFound);
  EXPECT_EQ(store.deleteAllGenericPasswords(other), errSecSuccess);

  const std::string bad = "bad\xFF";
  const std::string nul("nul\0", 4);
  EXPECT_EQ(store.addGenericPassword(bad, "a", kSecret), errSecParam);
  EXPECT_EQ(store.findGenericPassword(service, bad), errSecParam);
  EXPECT_EQ(store.updateGenericPassword(nul, "a", kSecret), errSecParam);
  EXPECT_EQ(store.deleteGenericPassword(service, nul), errSecParam);
  EXPECT_EQ(store.deleteAllGenericPasswords(bad), errSecParam);
}

class SecretStoreTest : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    SecretStore::setShared(nullptr);
  }
  void TearDown() override {
    SecretStore::setShared(nullptr);
    SandboxTest::TearDown();
  }
  fs::path secretsPath() const { return root() / "data" / "secrets" / "secrets.plist"; }
};

// Unsets an environment variable for the length of a scope.
class UnsetEnvironment {
 public:
  explicit UnsetEnvironment(const char* name) : name_(name) {
    if (const char* value = std::getenv(name)) saved_ = value;
    unsetenv(name);
  }
  ~UnsetEnvironment() {
    if (saved_) setenv(name_, saved_->c_str(), 1);
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

}  // namespace

TEST_F(SecretStoreTest, MemoryStoreKeepsTheContract) {
  auto store = SecretStore::memoryStore();
  EXPECT_EQ(store->storeKind(), "memory");
  checkContract(*store, "com.quorvane.dashboard");
}

TEST_F(SecretStoreTest, FileStoreKeepsTheContract) {
  auto store = SecretStore::fileStore(secretsPath());
  EXPECT_EQ(store->storeKind(), "file");
  checkContract(*store, "com.quorvane.dashboard");
}

TEST_F(SecretStoreTest, FileStoreKeepsItsSecretsPrivateAndPersistent) {
  auto store = SecretStore::fileStore(secretsPath());
  ASSERT_EQ(store->addGenericPassword("svc", "acct", kSecret), errSecSuccess);
  struct stat info {};
  ASSERT_EQ(::stat(secretsPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(secretsPath().parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  auto bytes = files::readFile(secretsPath());
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 8), "bplist00");

  // Another store of the same file (the next launch) finds the item.
  Data out;
  EXPECT_EQ(SecretStore::fileStore(secretsPath())->findGenericPassword("svc", "acct", &out), errSecSuccess);
  EXPECT_EQ(out, kSecret);
}

TEST_F(SecretStoreTest, AnUnreadableSecretsFileIsMovedAsideNotOverwritten) {
  writeFile("data/secrets/secrets.plist", "damaged");
  qvtesting::LogCapture log;
  auto store = SecretStore::fileStore(secretsPath());
  EXPECT_EQ(store->findGenericPassword("svc", "acct"), errSecItemNotFound);
  EXPECT_TRUE(log.contains("could not be read"));
  EXPECT_EQ(files::readTextFile(secretsPath().string() + ".corrupt"), "damaged");
  EXPECT_EQ(store->addGenericPassword("svc", "acct", kSecret), errSecSuccess);
}

TEST_F(SecretStoreTest, AnUnreadableSecretsFileThatCannotBeMovedStopsTheStore) {
  writeFile("data/secrets/secrets.plist", "damaged");
  writeFile("data/secrets/secrets.plist.corrupt", "");
  for (int n = 2; n <= 1000; ++n)
    writeFile("data/secrets/secrets.plist." + std::to_string(n) + ".corrupt", "");
  auto store = SecretStore::fileStore(secretsPath());
  EXPECT_EQ(store->addGenericPassword("svc", "acct", kSecret), errSecIO);
  EXPECT_EQ(store->findGenericPassword("svc", "acct"), errSecIO);
  EXPECT_EQ(files::readTextFile(secretsPath()), "damaged");
}

TEST_F(SecretStoreTest, WithoutASessionBusTheSharedStoreIsTheFileStoreAnnouncedOnce) {
  UnsetEnvironment address("DBUS_SESSION_BUS_ADDRESS");
  Error error;
  EXPECT_EQ(SecretStore::secretServiceStore(&error), nullptr);
  EXPECT_NE(error.description.find("no session bus"), std::string::npos);

  qvtesting::LogCapture log;
  auto store = SecretStore::shared();
  EXPECT_EQ(store->storeKind(), "file");
  EXPECT_EQ(SecretStore::shared(), store);
  ASSERT_EQ(store->addGenericPassword("svc", "acct", kSecret), errSecSuccess);
  EXPECT_TRUE(files::fileExists(SecretStore::standardFilePath()));
  EXPECT_EQ(SecretStore::standardFilePath().parent_path().parent_path(), root() / "data");
  SecretStore::setShared(nullptr);
  SecretStore::shared();
  int announcements = 0;
  for (const auto& line : log.lines())
    announcements += line.find("No Secret Service answers") != std::string::npos;
  EXPECT_LE(announcements, 1);
}

// Where libsecret is not installed (or lacks a function the store calls), there is no Secret Service
// to talk to even with a session bus: the reason names the library, and the shared store is the file
// store.
TEST_F(SecretStoreTest, WithoutLibsecretTheSharedStoreIsTheFileStore) {
  // An address that nothing answers at: the store gets as far as loading libsecret.
  const std::string address = "unix:path=" + (root() / "no-bus").string();
  const char* saved = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::optional<std::string> savedAddress = saved ? std::optional<std::string>(saved) : std::nullopt;
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  const struct {
    const char* replacement;
    const char* reason;
  } cases[] = {
      {"libqv-absent-secret.so.0", "Could not load libqv-absent-secret.so.0"},
      {"libz.so.1", "Could not find secret_service_get_sync in libz.so.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.replacement);
    DynamicLibrarySubstitution substitution("libsecret-1.so.0", c.replacement);
    Error error;
    EXPECT_EQ(SecretStore::secretServiceStore(&error), nullptr);
    EXPECT_EQ(error.code, errSecNotAvailable);
    EXPECT_NE(error.description.find(c.reason), std::string::npos) << error.description;

    SecretStore::setShared(nullptr);
    auto store = SecretStore::shared();
    EXPECT_EQ(store->storeKind(), "file");
    EXPECT_EQ(store->addGenericPassword("svc", "acct", kSecret), errSecSuccess);
    Data out;
    EXPECT_EQ(
        SecretStore::fileStore(SecretStore::standardFilePath())->findGenericPassword("svc", "acct", &out),
        errSecSuccess);
    EXPECT_EQ(out, kSecret);
    EXPECT_EQ(store->deleteGenericPassword("svc", "acct"), errSecSuccess);
  }
  if (savedAddress) {
    setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress->c_str(), 1);
  } else {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
}

TEST_F(SecretStoreTest, TheSharedStoreCanBeReplaced) {
  auto memory = SecretStore::memoryStore();
  SecretStore::setShared(memory);
  EXPECT_EQ(SecretStore::shared(), memory);
}

// ---------------------------------------------------------------------------------------------
// The Secret Service, for real: the outer test starts a private session bus with an unlocked
// GNOME Keyring and runs the inner test inside it, in a new process of this executable.

namespace {

std::optional<std::string> findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

struct ChildResult {
  int exitCode = -1;
  bool timedOut = false;
  std::string output;
};

// Our descendants left behind (the keyring daemon detaches from its parent); they are ours to end.
std::vector<pid_t> childrenOfThisProcess() {
  std::vector<pid_t> out;
  for (const auto& info : platform::processes::allProcesses()) {
    if (info.parent == ::getpid()) out.push_back(info.pid);
  }
  return out;
}

// Runs the command in a process group of its own with standard input closed, collecting its
// output, and reaps every process it leaves behind.
ChildResult runChild(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                     std::chrono::seconds timeout) {
  ChildResult result;
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<char*> argv, envp;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  for (const auto& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(fds[1]);
  if (spawned != 0) {
    ::close(fds[0]);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    result.output = "could not start " + args[0];
    return result;
  }

  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  bool exited = false;
  char buffer[4096];
  while (!exited) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n > 0) result.output.append(buffer, static_cast<std::size_t>(n));
    }
    exited = ::waitpid(pid, &status, WNOHANG) == pid;
    if (!exited && std::chrono::steady_clock::now() > deadline) {
      result.timedOut = true;
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      exited = true;
    }
  }
  // What is still in the pipe; daemons that inherited it may keep it open, so do not wait for
  // its end.
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, n);
  ::close(fds[0]);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

  // The keyring daemon ends when its bus goes away; reap it, and end it if it lingers.
  auto reapDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    pid_t reaped = ::waitpid(-1, nullptr, WNOHANG);
    if (reaped > 0) continue;
    if (reaped < 0) break;  // no children left
    if (std::chrono::steady_clock::now() > reapDeadline) {
      for (pid_t child : childrenOfThisProcess()) ::kill(child, SIGKILL);
      while (::waitpid(-1, nullptr, 0) > 0) {
      }
      break;
    }
    pollfd none{};
    ::poll(&none, 0, 20);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  return result;
}

constexpr const char* kInsideVariable = "QV_SECRET_SERVICE_INSIDE";
constexpr int kKeyringDidNotStart = 77;

}  // namespace

TEST_F(SecretStoreTest, SecretServiceUnderAPrivateSessionBus) {
  auto runSession = findProgram("dbus-run-session");
  auto keyring = findProgram("gnome-keyring-daemon");
  if (!runSession || !keyring) {
    GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is not installed (packages dbus-daemon and "
                    "gnome-keyring), so the Secret Service cannot be started for this test";
  }
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) {
    std::string text = *variable;
    if (text.rfind("DBUS_", 0) == 0 || text.rfind("GNOME_KEYRING", 0) == 0 || text.rfind("HOME=", 0) == 0)
      continue;
    environment.push_back(text);
  }
  environment.push_back("HOME=" + root().string());
  environment.push_back(std::string(kInsideVariable) + "=1");
  environment.push_back("QV_KEYRING_PASSWORD=quorvane-test-keyring");

  std::string script =
      "printf %s \"$QV_KEYRING_PASSWORD\" | \"$1\" --unlock --components=secrets >/dev/null 2>&1 || "
      "exit " +
      std::to_string(kKeyringDidNotStart) +
      "; exec \"$0\" --gtest_also_run_disabled_tests --gtest_filter=SecretServiceInside.*";
  ChildResult result =
      runChild({*runSession, "--", "/bin/sh", "-c", script, Bundle::executablePath().string(), *keyring},
               environment, std::chrono::seconds(120));
  if (result.exitCode == kKeyringDidNotStart) {
    GTEST_SKIP() << "gnome-keyring-daemon could not start under dbus-run-session:\n" << result.output;
  }
  ASSERT_FALSE(result.timedOut) << result.output;
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("[  PASSED  ] 1 test"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("SKIPPED"), std::string::npos) << result.output;
}

TEST(SecretServiceInside, DISABLED_KeepsTheContractWithItemsTheKeyringCanSee) {
  if (!std::getenv(kInsideVariable)) {
    GTEST_SKIP()
        << "runs inside the private session bus of SecretStoreTest.SecretServiceUnderAPrivateSessionBus";
  }
  Error error;
  auto store = SecretStore::secretServiceStore(&error);
  ASSERT_TRUE(store) << error.description;
  EXPECT_EQ(store->storeKind(), "Secret Service");
  checkContract(*store, "com.quorvane.dashboard.test");

  // The item carries service and account attributes, as other keyring tools show them.
  ASSERT_EQ(store->addGenericPassword("com.quorvane.dashboard.Telemetry", "kTLEncryptionKeyTag", kSecret),
            errSecSuccess);
  GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(attributes, const_cast<char*>("service"),
                      const_cast<char*>("com.quorvane.dashboard.Telemetry"));
  g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>("kTLEncryptionKeyTag"));
  GError* gerror = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &gerror);
  ASSERT_TRUE(service);
  GList* items = secret_service_search_sync(
      service, nullptr, attributes,
      static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS),
      nullptr, &gerror);
  ASSERT_EQ(gerror, nullptr);
  ASSERT_EQ(g_list_length(items), 1u);
  SecretValue* value = secret_item_get_secret(SECRET_ITEM(items->data));
  ASSERT_TRUE(value);
  gsize length = 0;
  const gchar* bytes = secret_value_get(value, &length);
  EXPECT_EQ(Data(bytes, bytes + length), kSecret);
  secret_value_unref(value);
  g_list_free_full(items, g_object_unref);
  g_hash_table_unref(attributes);
  g_object_unref(service);

  // A new connection (the next launch) finds it, and the application's store is this one.
  store.reset();
  Data out;
  EXPECT_EQ(SecretStore::secretServiceStore()->findGenericPassword("com.quorvane.dashboard.Telemetry",
                                                                   "kTLEncryptionKeyTag", &out),
            errSecSuccess);
  EXPECT_EQ(out, kSecret);
  EXPECT_EQ(SecretStore::shared()->storeKind(), "Secret Service");
}

// ---------------------------------------------------------------------------------------------
// A keyring that asks the user: the calls go to the secret store's queue and their answers come on
// the main queue, which keeps turning while a prompt waits. The outer test starts a private session
// bus for each case and runs the inner test inside it; the inner test serves the bus with
// qv_fake_secret_service, a Secret Service whose prompts stay open until the test answers them as the
// user would. (A process keeps talking to the keyring it first met, so each case has one of its own.)

namespace {

// Set to the index of the case the inner test runs.
constexpr const char* kQueueInsideVariable = "QV_SECRET_QUEUE_CASE";

struct KeyringCase {
  const char* what;
  std::vector<std::string> keyring;
  // Whether the user gives the password (else cancels the prompt); no prompt comes when unset.
  std::optional<bool> accept;
  OSStatus expected;
};

const std::vector<KeyringCase>& keyringCases() {
  static const std::vector<KeyringCase> cases = {
      {"a new account's first item: the keyring asks for a new password, the user cancels",
       {"--fresh"},
       false,
       errSecUserCanceled},
      {"a new account's first item: the user gives the new password", {"--fresh"}, true, errSecSuccess},
      {"a locked keyring: the user cancels the unlock prompt", {"--locked"}, false, errSecUserCanceled},
      {"a locked keyring: the user unlocks it", {"--locked"}, true, errSecSuccess},
      {"a keyring that takes its time to store", {"--delay", "CreateItem=1.5"}, std::nullopt, errSecSuccess},
  };
  return cases;
}

// The fake keyring, started for one case and ended with it.
class FakeKeyring {
 public:
  explicit FakeKeyring(const std::vector<std::string>& arguments) : task_(Task::make()) {
    std::map<std::string, std::string> environment;
    for (char** variable = environ; *variable; ++variable) {
      std::string text = *variable;
      auto equals = text.find('=');
      if (equals != std::string::npos) environment[text.substr(0, equals)] = text.substr(equals + 1);
    }
    task_->setLaunchPath(QV_FAKE_SECRET_SERVICE);
    task_->setArguments(arguments);
    task_->setEnvironment(environment);
    task_->setStandardOutputHandler([this](Data bytes) {
      std::lock_guard lock(mutex_);
      output_.append(bytes.begin(), bytes.end());
    });
    task_->launch();
  }
  ~FakeKeyring() {
    task_->terminate();
    qvtesting::runUntil([&] { return task_->termination().has_value(); }, 10);
  }

  // The lines it wrote, one per call it was asked ("Prompt /org/...").
  std::string output() const {
    std::lock_guard lock(mutex_);
    return output_;
  }
  bool said(const std::string& text) const { return output().find(text) != std::string::npos; }
  // Answers every open prompt as the user would: cancelled, or with the password given.
  void dismissPrompts() const { ::kill(task_->pid(), SIGUSR1); }
  void acceptPrompts() const { ::kill(task_->pid(), SIGUSR2); }

 private:
  std::shared_ptr<Task> task_;
  mutable std::mutex mutex_;
  std::string output_;
};

class SecretStoreQueueInside : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    if (!std::getenv(kQueueInsideVariable)) {
      GTEST_SKIP() << "runs inside the private session bus of "
                      "SecretStoreTest.CallsThatWaitOnAPromptLeaveTheMainQueueTurning";
    }
    SandboxTest::SetUp();
  }

  // Runs the call on the secret store's queue with the Secret Service store; its answer is taken on
  // the main queue.
  void start(std::function<OSStatus(SecretStore&)> call) {
    answered_ = false;
    SecretStore::perform(
        [call] {
          // Made off the main thread too: finding the service is a round trip on the bus.
          Error error;
          auto store = SecretStore::secretServiceStore(&error);
          return store ? call(*store) : errSecNotAvailable;
        },
        [this](OSStatus status) {
          EXPECT_TRUE(MainQueue::isMainThread()) << "the answer came on another thread";
          status_ = status;
          answered_ = true;
        });
  }

  // How often a timer of the main queue, every 20 ms, fired while the main queue ran for `seconds`.
  int ticksDuring(double seconds) {
    int ticks = 0;
    auto timer = mainQueue().scheduleTimer(Seconds(0.02), true, [&] { ++ticks; });
    runUntil([] { return false; }, seconds);
    timer->cancel();
    return ticks;
  }

  bool answered_ = false;
  OSStatus status_ = errSecSuccess;
};

}  // namespace

TEST_F(SecretStoreTest, CallsThatWaitOnAPromptLeaveTheMainQueueTurning) {
  auto runSession = findProgram("dbus-run-session");
  if (!runSession) GTEST_SKIP() << "dbus-run-session is not installed (package dbus-daemon)";
  for (std::size_t index = 0; index < keyringCases().size(); ++index) {
    SCOPED_TRACE(keyringCases()[index].what);
    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable) {
      std::string text = *variable;
      if (text.rfind("DBUS_", 0) == 0 || text.rfind("HOME=", 0) == 0) continue;
      environment.push_back(text);
    }
    environment.push_back("HOME=" + root().string());
    environment.push_back(std::string(kQueueInsideVariable) + "=" + std::to_string(index));
    ChildResult result =
        runChild({*runSession, "--", Bundle::executablePath().string(), "--gtest_also_run_disabled_tests",
                  "--gtest_filter=SecretStoreQueueInside.*"},
                 environment, std::chrono::seconds(60));
    ASSERT_FALSE(result.timedOut) << result.output;
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("[  PASSED  ] 1 test"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("SKIPPED"), std::string::npos) << result.output;
  }
}

TEST_F(SecretStoreQueueInside, DISABLED_PromptsAndSlowAnswersWaitOffTheMainThread) {
  const auto& c = keyringCases().at(std::stoul(std::getenv(kQueueInsideVariable)));
  SCOPED_TRACE(c.what);
  const Data secret = dataFromString("token-1");
  FakeKeyring keyring(c.keyring);
  ASSERT_TRUE(runUntil([&] { return keyring.said("ready"); }, 10)) << keyring.output();

  start([secret](SecretStore& store) { return store.addGenericPassword("svc", "acct", secret); });
  // While the keyring waits (on the user, or on itself), the main queue goes on with its work.
  ASSERT_TRUE(runUntil([&] { return keyring.said(c.accept ? "Prompt " : "CreateItem "); }, 10))
      << keyring.output();
  EXPECT_GE(ticksDuring(0.5), 10) << "the main queue stood still";
  EXPECT_FALSE(answered_) << "answered before the keyring did";

  if (c.accept) (*c.accept ? keyring.acceptPrompts() : keyring.dismissPrompts());
  ASSERT_TRUE(runUntil([&] { return answered_; }, 10)) << "no answer came: " << keyring.output();
  EXPECT_EQ(status_, c.expected) << SecretStore::statusDescription(status_);
  if (c.expected == errSecSuccess) {
    start([secret](SecretStore& store) {
      Data out;
      OSStatus status = store.findGenericPassword("svc", "acct", &out);
      return status == errSecSuccess && out != secret ? errSecIO : status;
    });
    ASSERT_TRUE(runUntil([&] { return answered_; }, 10));
    EXPECT_EQ(status_, errSecSuccess) << "the item was not kept";
  }
}
