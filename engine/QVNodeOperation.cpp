#include "engine/QVNodeOperation.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVJsonValues.h"
#include "engine/QVModuleLog.h"
#include "engine/QVModuleLogLine.h"
#include "engine/QVModuleResult.h"
#include "engine/QVNotificationCenter.h"
#include "engine/QVOutputLineBuffer.h"
#include "platform/Json.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/SecretStore.h"
#include "platform/UUID.h"
#include "platform/Utf8.h"

namespace fs = std::filesystem;

namespace {

void addLine(const std::shared_ptr<QVDashboardModule>& module, QVModuleLogLine::Pointer line) {
  if (!module) return;
  if (auto log = module->log()) log->addLogLine(std::move(line));
}

// Trims spaces and tabs only, as output lines are trimmed.
std::string_view trimSpacesAndTabs(std::string_view text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// Writes all of `text` to the descriptor.
bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

// What one attempt reads: the unfinished line of standard output and the unfinished character of
// standard error, carried from one read to the next. Touched only on the reactor thread.
struct QVNodeOperation::Attempt {
  QVOutputLineBuffer output;
  std::string errorTail;
};

QVNodeOperation::Pointer QVNodeOperation::operationWithModule(
    const std::shared_ptr<QVDashboardModule>& module) {
  return std::make_shared<QVNodeOperation>(module);
}

QVNodeOperation::QVNodeOperation(const std::shared_ptr<QVDashboardModule>& module) : module_(module) {}

QVNodeOperation::~QVNodeOperation() {
  // An operation dropped without finishing (its queue went away before it started) leaves no file.
  cleanup();
}

fs::path QVNodeOperation::argumentsDirectory() {
  fs::path folder = platform::paths::runtimeDirectory() / "Module Arguments";
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    platform::log("Cannot make the module arguments folder {}: {}", folder.string(), std::strerror(errno));
    return {};
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    platform::log("The module arguments folder {} is not a folder of this user", folder.string());
    return {};
  }
  if ((info.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
    platform::log("Cannot restrict the module arguments folder {}: {}", folder.string(),
                  std::strerror(errno));
    return {};
  }
  return folder;
}

std::shared_ptr<QVDashboardModule> QVNodeOperation::module() const { return module_.lock(); }

std::shared_ptr<ZKTaskHelper> QVNodeOperation::taskHelper() const {
  std::lock_guard lock(mutex_);
  return taskHelper_;
}

std::optional<std::string> QVNodeOperation::argumentsPath() const {
  std::lock_guard lock(mutex_);
  return argumentsPath_;
}

std::int64_t QVNodeOperation::retryCount() const {
  std::lock_guard lock(mutex_);
  return retryCount_;
}

bool QVNodeOperation::zkExecuting() const {
  std::lock_guard lock(mutex_);
  return zkExecuting_;
}

bool QVNodeOperation::completed() const {
  std::lock_guard lock(mutex_);
  return completed_;
}

bool QVNodeOperation::isStopped() const {
  std::lock_guard lock(mutex_);
  return stopped_ || completed_;
}

void QVNodeOperation::setNotificationCenter(std::shared_ptr<QVNotificationCenter> center) {
  std::lock_guard lock(mutex_);
  notificationCenter_ = std::move(center);
}

void QVNodeOperation::setTerminationGracePeriod(platform::Seconds period) {
  std::lock_guard lock(mutex_);
  gracePeriod_ = period;
}

void QVNodeOperation::setPipeDrainTimeout(platform::Seconds timeout) {
  std::lock_guard lock(mutex_);
  drainTimeout_ = timeout;
}

namespace {

std::mutex runTimeoutMutex;
std::optional<platform::Seconds> runTimeoutOverride;

}  // namespace

void QVNodeOperation::setRunTimeoutOverride(std::optional<platform::Seconds> timeout) {
  std::lock_guard lock(runTimeoutMutex);
  runTimeoutOverride = timeout;
}

platform::Seconds QVNodeOperation::runTimeout() const {
  {
    std::lock_guard lock(runTimeoutMutex);
    if (runTimeoutOverride) return *runTimeoutOverride;
  }
  double interval = 0;
  if (auto module = module_.lock()) interval = module->refreshInterval();
  return platform::Seconds(std::max(kMinimumRunTimeout, interval));
}

void QVNodeOperation::main() {
  // The queue may drop its reference while this runs.
  auto self = shared_from_this();
  {
    std::lock_guard lock(mutex_);
    ran_ = true;
  }
  setZkExecuting(true);
  if (isStopped() || !run()) {
    setCompleted(true);
    return;
  }
  scheduleOnMain(runTimeout(), &QVNodeOperation::timedOut, &QVNodeOperation::timeoutTimer_);
}

bool QVNodeOperation::scheduleOnMain(platform::Seconds delay, void (QVNodeOperation::*action)(),
                                     std::shared_ptr<platform::TimerHandle> QVNodeOperation::*slot) {
  auto queue = platform::MainQueue::shared();
  if (!queue) return false;
  std::weak_ptr<QVNodeOperation> weak = std::static_pointer_cast<QVNodeOperation>(shared_from_this());
  auto timer = queue->postAfter(delay, [weak, action] {
    if (auto operation = weak.lock()) ((*operation).*action)();
  });
  std::lock_guard lock(mutex_);
  if (stopped_ || completed_) {
    timer->cancel();
  } else {
    this->*slot = std::move(timer);
  }
  return true;
}

void QVNodeOperation::timedOut() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || completed_) return;
    timeoutTimer_ = nullptr;
  }
  const double seconds = runTimeout().count();
  addLine(module_.lock(), QVModuleLogLine::errorLogWithString(
                              fmt::format("Module timed out after {:g} seconds and was stopped", seconds)));
  // Stops the process group, ends the run and leaves no retry.
  cancelSilently(true);
}

void QVNodeOperation::markModuleUpdating() {
  {
    std::lock_guard lock(mutex_);
    marksUpdating_ = true;
  }
  if (auto module = module_.lock()) module->setIsUpdating(true);
}

void QVNodeOperation::releaseUpdatingMarkIfNeverRan() {
  {
    std::lock_guard lock(mutex_);
    if (!marksUpdating_ || ran_) return;
    marksUpdating_ = false;
  }
  if (auto module = module_.lock()) module->setIsUpdating(false);
}

bool QVNodeOperation::run() {
  if (!configureTaskHelper()) return false;
  auto helper = taskHelper();
  auto queue = platform::MainQueue::shared();
  if (!helper || !queue) {
    platform::log("Cannot launch a module run without a main queue");
    return false;
  }
  std::weak_ptr<QVNodeOperation> weak = std::static_pointer_cast<QVNodeOperation>(shared_from_this());
  queue->post([weak, helper] {
    if (auto self = weak.lock()) self->launchAttempt(helper);
  });
  return true;
}

void QVNodeOperation::launchAttempt(const std::shared_ptr<ZKTaskHelper>& helper) {
  std::lock_guard launchLock(launchMutex_);
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || completed_ || taskHelper_ != helper) return;
  }
  helper->launch();
}

std::optional<std::string> QVNodeOperation::moduleArgumentsPath(bool* failed) {
  if (failed) *failed = false;
  auto module = module_.lock();
  if (!module) return std::nullopt;
  auto options = module->userOptions();
  if (options.empty()) return std::nullopt;

  auto fail = [&](const std::string& why) -> std::optional<std::string> {
    platform::log("Cannot write the arguments file of module {}: {}", module->uid(), why);
    if (failed) *failed = true;
    return std::nullopt;
  };

  nlohmann::json arguments = nlohmann::json::object();
  for (const auto& option : options) {
    if (!option || !option->value()) continue;
    nlohmann::json value = option->value()->actualJsonValue();
    if (value.is_null()) continue;
    arguments[option->name()] = std::move(value);
  }
  std::string text = platform::json::dump(arguments, 2);

  fs::path folder = argumentsDirectory();
  if (folder.empty()) return fail("no safe folder");
  // The file is made inside the folder that was checked, whatever happens to its path meanwhile.
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folderFd < 0) return fail(std::strerror(errno));
  struct stat info {};
  if (::fstat(folderFd, &info) != 0 || info.st_uid != ::geteuid() || (info.st_mode & 07777) != 0700) {
    ::close(folderFd);
    return fail("the folder is not private");
  }
  std::string name = platform::makeUUIDString() + ".json";
  int fd = ::openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    ::close(folderFd);
    return fail(std::strerror(err));
  }
  bool written = ::fchmod(fd, 0600) == 0 && writeAll(fd, text);
  int err = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    err = errno;
  }
  if (!written) {
    ::unlinkat(folderFd, name.c_str(), 0);
    ::close(folderFd);
    return fail(std::strerror(err));
  }
  ::close(folderFd);
  return (folder / name).string();
}

bool QVNodeOperation::configureTaskHelper() {
  auto module = module_.lock();
  if (!module) return false;

  if (!module->canBeInstalled()) {
    std::string message =
        fmt::format("This module requires Quorvane Dashboard version {}. You're running version: {}",
                    module->minAppVersion().value_or(""), QVEngineEnvironment::appShortVersion());
    addLine(module, QVModuleLogLine::warningLogWithString(message));
    module->setLastResult(QVModuleResult::resultWithDictionary(
        {{"type", "finished"},
         {"options", {{"result", message}, {"success", false}, {"options", nlohmann::json::object()}}}}));
    return false;
  }

  std::error_code ec;
  const std::string& script = module->scriptPath();
  if (script.empty() || !fs::exists(script, ec)) {
    addLine(module, QVModuleLogLine::systemLogWithString(
                        "Execution failed because the file script file doesn't exist"));
    return false;
  }

  platform::Bundle resources = QVEngineEnvironment::resourceBundle();
  auto node = resources.pathForResource("node", "", "node");
  auto nodeModules = resources.pathForResource("node_modules", "", "node/app");
  if (!node || !nodeModules) {
    addLine(module, QVModuleLogLine::systemLogWithString(
                        "Execution failed because the required executables are missing"));
    return false;
  }

  // Secret options restored from the keychain and not read yet: the keychain may be waiting on the
  // user (a prompt), so the run waits for their texts here, on its own thread, and gives up when it
  // is stopped meanwhile. A retry runs on the main thread, which never waits: it goes without them.
  for (const auto& option : module->userOptions()) {
    auto value = option ? option->value() : nullptr;
    if (!value) continue;
    if (value->isSecureTextPending() && !value->waitForSecureText([this] { return isStopped(); })) {
      if (isStopped()) return false;
      addLine(module,
              QVModuleLogLine::warningLogWithString(fmt::format(
                  "The value of option \"{}\" is still being read from the keyring; running without it",
                  option->displayName())));
    } else if (value->secureReadStatus() != platform::errSecSuccess) {
      addLine(module,
              QVModuleLogLine::warningLogWithString(fmt::format(
                  "The value of option \"{}\" could not be read from the keyring: {}", option->displayName(),
                  platform::SecretStore::statusDescription(value->secureReadStatus()))));
    }
  }

  // Written last, once nothing else can stop the attempt, so that secure values sit on disk only
  // while they are needed.
  bool argumentsFailed = false;
  std::optional<std::string> arguments = moduleArgumentsPath(&argumentsFailed);
  if (argumentsFailed) {
    addLine(module, QVModuleLogLine::systemLogWithString(
                        "Execution failed because the arguments file could not be written"));
    return false;
  }

  std::vector<std::string> argv{script};
  if (arguments) {
    argv.push_back("--arguments");
    argv.push_back(*arguments);
  }
  argv.push_back("--uid");
  argv.push_back(module->uid());
  std::string database = module->jsonDatabasePath();
  if (!database.empty()) {
    argv.push_back("--dbPath");
    argv.push_back(database);
  }

  auto task = platform::Task::make();
  task->setLaunchPath(node->string());
  task->setArguments(std::move(argv));
  task->setEnvironment({{"NODE_PATH", nodeModules->string()}});
  task->setCurrentDirectoryPath(fs::path(script).parent_path().string());
  // Node.js writes to a pipe asynchronously and drops what the pipe cannot hold when the script
  // exits at once: the pipe holds as much as the longest line that is read.
  task->setOutputPipeBufferSize(QVOutputLineBuffer::kMaximumLineLength);
  auto helper = ZKTaskHelper::taskHelperWithTask(task);
  helper->setDelegate(std::static_pointer_cast<QVNodeOperation>(shared_from_this()));

  std::lock_guard lock(mutex_);
  if (stopped_ || completed_) {
    if (arguments) ::unlink(arguments->c_str());
    return false;
  }
  task->setTerminationGracePeriod(gracePeriod_);
  task->setPipeDrainTimeout(drainTimeout_);
  taskHelper_ = std::move(helper);
  attempt_ = std::make_shared<Attempt>();
  argumentsPath_ = std::move(arguments);
  return true;
}

void QVNodeOperation::cancel() { cancelSilently(false); }

void QVNodeOperation::cancelSilently(bool silent) {
  // Whoever holds the operation may let it go while this runs.
  auto self = shared_from_this();
  bool first = false;
  bool executing = false;
  std::shared_ptr<ZKTaskHelper> helper;
  std::shared_ptr<platform::TimerHandle> retryTimer;
  std::shared_ptr<platform::TimerHandle> timeoutTimer;
  {
    std::lock_guard lock(mutex_);
    if (completed_) return;
    first = !stopped_;
    stopped_ = true;
    executing = zkExecuting_;
    helper = taskHelper_;
    retryTimer = std::move(retryTimer_);
    retryTimer_ = nullptr;
    timeoutTimer = std::move(timeoutTimer_);
    timeoutTimer_ = nullptr;
  }
  // A waiting operation is dropped by its queue without running.
  platform::Operation::cancel();
  if (retryTimer) retryTimer->cancel();
  if (timeoutTimer) timeoutTimer->cancel();
  if (helper) {
    // Waits for a launch under way, so the process it starts is stopped too.
    std::lock_guard launchLock(launchMutex_);
    helper->cancel();
  }
  if (!silent && first) {
    addLine(module_.lock(),
            QVModuleLogLine::errorLogWithString("Module execution was cancelled. Try increasing the refresh "
                                                "interval if this module continues to get cancelled"));
  }
  if (executing) setCompleted(true);
}

void QVNodeOperation::cleanup() {
  std::optional<std::string> path;
  {
    std::lock_guard lock(mutex_);
    path = std::exchange(argumentsPath_, std::nullopt);
  }
  if (path && ::unlink(path->c_str()) != 0 && errno != ENOENT) {
    platform::log("Cannot delete the arguments file {}: {}", *path, std::strerror(errno));
  }
}

void QVNodeOperation::setCompleted(bool completed) {
  if (!completed) {
    std::lock_guard lock(mutex_);
    completed_ = false;
    return;
  }
  auto self = shared_from_this();
  std::shared_ptr<platform::TimerHandle> retryTimer;
  std::shared_ptr<platform::TimerHandle> timeoutTimer;
  {
    std::lock_guard lock(mutex_);
    if (completed_) return;
    completed_ = true;
    retryTimer = std::move(retryTimer_);
    retryTimer_ = nullptr;
    timeoutTimer = std::move(timeoutTimer_);
    timeoutTimer_ = nullptr;
  }
  if (retryTimer) retryTimer->cancel();
  if (timeoutTimer) timeoutTimer->cancel();
  cleanup();
  setZkExecuting(false);
  markFinished();
}

void QVNodeOperation::setZkExecuting(bool executing) {
  {
    std::lock_guard lock(mutex_);
    zkExecuting_ = executing;
  }
  if (auto module = module_.lock()) module->setIsUpdating(executing);
}

std::shared_ptr<QVNodeOperation::Attempt> QVNodeOperation::attemptFor(const ZKTaskHelper& helper) const {
  std::lock_guard lock(mutex_);
  // Reports of an earlier attempt, or of one that was stopped, are not wanted.
  if (taskHelper_.get() != &helper || stopped_ || completed_) return nullptr;
  return attempt_;
}

void QVNodeOperation::taskHelperDidReceiveOutput(ZKTaskHelper& helper, const platform::Data& bytes) {
  auto attempt = attemptFor(helper);
  if (!attempt) return;
  attempt->output.append(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
      [this](std::string_view line) { handleOutputLine(line); },
      [this] {
        addLine(module_.lock(), QVModuleLogLine::errorLogWithString(fmt::format(
                                    "Module output line dropped because it is longer than {} bytes",
                                    QVOutputLineBuffer::kMaximumLineLength)));
      });
}

void QVNodeOperation::handleOutputLine(std::string_view line) {
  // A line that is not UTF-8 is dropped whole, as is one that is not JSON.
  if (!platform::utf8::isValid(line)) return;
  std::string_view piece = trimSpacesAndTabs(line);
  if (piece.empty()) return;
  auto value = QVParseJSON(piece);
  if (!value || value->is_null()) return;
  auto module = module_.lock();
  if (!module) return;
  dispatchOutputValue(module, *value);
}

void QVNodeOperation::dispatchOutputValue(const std::shared_ptr<QVDashboardModule>& module,
                                          const nlohmann::json& value) {
  auto line = QVModuleLogLine::lineWithDictionary(value);
  addLine(module, line);
  if (!line) return;
  switch (line->type()) {
    case QVModuleLogLineType::notification: {
      if (!module->hasNotifications()) {
        addLine(
            module,
            QVModuleLogLine::warningLogWithString(
                "Ignored notification because hasNotifications is not set or is false in the package.json"));
        break;
      }
      std::shared_ptr<QVNotificationCenter> center;
      {
        std::lock_guard lock(mutex_);
        center = notificationCenter_;
      }
      if (!center) center = QVNotificationCenter::sharedInstance();
      center->deliverNotificationForModule(module, value);
      break;
    }
    case QVModuleLogLineType::finishedSuccess:
    case QVModuleLogLineType::finishedFailure:
      // A malformed "finished" line clears the previous result.
      module->setLastResult(QVModuleResult::resultWithDictionary(value));
      break;
    default:
      break;
  }
}

void QVNodeOperation::taskHelperDidReceiveError(ZKTaskHelper& helper, const platform::Data& bytes) {
  auto attempt = attemptFor(helper);
  if (!attempt) return;
  // A character cut by the end of the read waits for the rest of it.
  std::string text = std::move(attempt->errorTail);
  attempt->errorTail.clear();
  text.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::size_t unfinished = QVUnfinishedUTF8Length(text);
  attempt->errorTail = text.substr(text.size() - unfinished);
  text.resize(text.size() - unfinished);
  if (text.empty() || !platform::utf8::isValid(text)) return;
  addLine(module_.lock(),
          QVModuleLogLine::errorLogWithString(fmt::format("Module failed because of error: {}", text)));
}

void QVNodeOperation::taskHelperDidFinish(ZKTaskHelper& helper, platform::TaskTerminationReason /*reason*/) {
  auto attempt = attemptFor(helper);
  if (!attempt) return;
  auto self = shared_from_this();
  // The last line may lack its newline.
  attempt->output.finish([this](std::string_view line) { handleOutputLine(line); },
                         [this] {
                           addLine(module_.lock(),
                                   QVModuleLogLine::errorLogWithString(fmt::format(
                                       "Module output line dropped because it is longer than {} bytes",
                                       QVOutputLineBuffer::kMaximumLineLength)));
                         });

  auto module = module_.lock();
  if (!module || module->lastResult()) {
    setCompleted(true);
    return;
  }
  std::int64_t count;
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || completed_) return;
    count = retryCount_++;
  }
  if (count >= kMaximumRetries) {
    setCompleted(true);
    return;
  }
  addLine(module, QVModuleLogLine::warningLogWithString(
                      fmt::format("Module finished with no result, retry attempt {}", count + 1)));
  if (!scheduleOnMain(platform::Seconds(kRetryDelay), &QVNodeOperation::retry,
                      &QVNodeOperation::retryTimer_)) {
    setCompleted(true);
  }
}

void QVNodeOperation::retry() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || completed_) return;
    retryTimer_ = nullptr;
  }
  cleanup();
  if (!run()) setCompleted(true);
}
