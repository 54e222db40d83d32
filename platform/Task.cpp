// Child processes: posix_spawn in a process group of their own, pipes and exit watched on one
// process-wide reactor thread.
#include "platform/Task.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/Log.h"
#include "platform/ProcessTable.h"
#include "platform/ThreadSignals.h"

namespace platform {

namespace {

// The one thread that reads every task's pipes and watches every task's exit. It lives for the
// whole process and is never torn down: tasks may still be running when static destruction starts,
// and their state must stay valid until the process is gone.
class Reactor {
 public:
  static Reactor& shared() {
    static Reactor* reactor = new Reactor();
    return *reactor;
  }

  asio::io_context& context() { return context_; }
  bool isCurrent() const { return std::this_thread::get_id() == threadId_.load(); }

 private:
  Reactor() : work_(asio::make_work_guard(context_)) {
    // Signals sent to the process are handled by the application's threads, not by this one (which
    // still takes the crash reporter's stop signal).
    sigset_t previous;
    blockProcessSignals(&previous);
    std::thread thread([this] {
      pthread_setname_np(pthread_self(), "qv-tasks");
      threadId_.store(std::this_thread::get_id());
      for (;;) {
        try {
          context_.run();
          return;
        } catch (const std::exception& e) {
          log("Task reactor: unexpected exception: {}", e.what());
        }
      }
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    thread.detach();
  }

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<std::thread::id> threadId_{};
};

std::atomic<bool> forceExitPolling{false};

constexpr std::size_t kReadBufferSize = std::size_t{64} * 1024;

int pidfdSendSignal(int pidfd, int signal) {
#ifdef SYS_pidfd_send_signal
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
#else
  (void)pidfd;
  (void)signal;
  errno = ENOSYS;
  return -1;
#endif
}

int pidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

void closeQuietly(int fd) {
  if (fd >= 0) ::close(fd);
}

// Moves a descriptor above standard error, so that setting up the child's 0, 1 and 2 cannot
// overwrite it (this happens only when the parent runs with one of them closed).
bool liftAboveStandardDescriptors(int& fd) {
  if (fd > 2) return true;
  int lifted = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (lifted < 0) return false;
  ::close(fd);
  fd = lifted;
  return true;
}

// A pipe whose both ends are close-on-exec. Both stay blocking: the child's writing end must, and
// Asio makes the parent's reading end non-blocking itself (they are separate open files).
int makePipe(int& readEnd, int& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return errno;
  if (!liftAboveStandardDescriptors(fds[0]) || !liftAboveStandardDescriptors(fds[1])) {
    int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return err;
  }
  readEnd = fds[0];
  writeEnd = fds[1];
  return 0;
}

// True when a live process other than `leader` belongs to the process group `leader` (one that has
// ended and waits for its parent runs no more).
bool groupHasOtherMembers(pid_t leader) {
  for (const auto& info : processes::allProcesses()) {
    if (info.group == leader && info.pid != leader && info.state != 'Z') return true;
  }
  return false;
}

// The largest pipe an unprivileged process may ask for; 0 when it cannot be read.
std::size_t systemPipeMaximum() {
  static const std::size_t maximum = [] {
    std::size_t value = 0;
    if (FILE* file = std::fopen("/proc/sys/fs/pipe-max-size", "re")) {
      unsigned long long read = 0;
      if (std::fscanf(file, "%llu", &read) == 1) value = static_cast<std::size_t>(read);
      std::fclose(file);
    }
    return value;
  }();
  return maximum;
}

// Gives the pipe `bytes` of buffer (at most the system's maximum); a refusal is logged once per
// process, and the pipe keeps the size it has.
void enlargePipe(int fd, std::size_t bytes) {
  static std::atomic<bool> refusalLogged{false};
  const std::size_t maximum = systemPipeMaximum();
  const std::size_t wanted = maximum > 0 ? std::min(bytes, maximum) : bytes;
  if (fcntl(fd, F_SETPIPE_SZ, static_cast<int>(std::min<std::size_t>(wanted, INT32_MAX))) >= 0) return;
  const int err = errno;
  if (!refusalLogged.exchange(true)) {
    log("Task: the system refused a pipe of {} bytes ({}); output pipes keep the default size", wanted,
        std::strerror(err));
  }
}

}  // namespace

struct Task::State : std::enable_shared_from_this<Task::State> {
  enum Pipe { Output = 0, ErrorOutput = 1 };

  // Everything below up to the reactor part is guarded by `mutex`.
  mutable std::mutex mutex;
  std::condition_variable idle;  // signalled when no handler is running

  std::string launchPath;
  std::vector<std::string> arguments;
  std::map<std::string, std::string> environment;
  std::string currentDirectoryPath;
  Seconds gracePeriod{5.0};
  Seconds drainTimeout{2.0};

  DataHandler outputHandler;
  DataHandler errorHandler;
  TerminationHandler terminationHandler;
  int handlersRunning = 0;

  bool launched = false;
  pid_t pid = 0;
  bool running = false;
  bool suspended = false;
  bool reaped = false;  // once set the pid (and so the group id) may belong to someone else
  bool killScheduled = false;
  bool stopGroup = false;  // stop the rest of the group when the task is done
  std::size_t outputPipeSize = 0;
  bool killSent = false;   // the group was sent SIGKILL
  bool lingering = false;  // the child was reaped, the processes it left are being stopped
  std::optional<TaskTermination> termination;

  // The reactor part: touched only on the reactor thread.
  std::array<std::optional<asio::posix::stream_descriptor>, 2> pipes;
  std::array<bool, 2> endOfFile{false, false};
  std::array<std::unique_ptr<std::uint8_t[]>, 2> buffers;
  std::optional<asio::posix::stream_descriptor> exitWatch;  // the pidfd
  std::optional<asio::steady_timer> exitPoll;               // when there is no pidfd
  std::chrono::milliseconds pollDelay{1};
  std::optional<asio::steady_timer> drainTimer;
  std::optional<asio::steady_timer> killTimer;
  // Processes a child that ended by itself left running in its group (pidfds), while they are
  // being stopped: TERM at once, KILL once leftoverKillAt has passed.
  std::vector<int> leftovers;
  std::optional<asio::steady_timer> leftoverWatch;
  std::chrono::steady_clock::time_point leftoverKillAt;
  bool leftoverKillSent = false;
  bool exited = false;
  bool finished = false;
  // The end report is out but the child is kept unreaped until the group has been killed.
  bool holdingChild = false;

  asio::io_context& context() { return Reactor::shared().context(); }

  // Starts reading and watching, on the reactor thread, once the child runs.
  void start(int outputFd, int errorFd, int pidfd) {
    const int fds[2] = {outputFd, errorFd};
    for (int which : {Output, ErrorOutput}) {
      asio::error_code ec;
      pipes[which].emplace(context());
      pipes[which]->assign(fds[which], ec);
      if (ec) {
        log("Task: cannot watch a pipe of process {}: {}", pid, ec.message());
        pipes[which].reset();
        ::close(fds[which]);
        endOfFile[which] = true;
        continue;
      }
      buffers[which] = std::make_unique<std::uint8_t[]>(kReadBufferSize);
      readMore(static_cast<Pipe>(which));
    }
    if (pidfd >= 0) {
      asio::error_code ec;
      exitWatch.emplace(context());
      exitWatch->assign(pidfd, ec);
      if (ec) {
        exitWatch.reset();
        ::close(pidfd);
      }
    }
    if (exitWatch) {
      exitWatch->async_wait(asio::posix::stream_descriptor::wait_read,
                            [self = shared_from_this()](const asio::error_code& ec) {
                              if (ec == asio::error::operation_aborted) return;
                              self->processExited();
                            });
    } else {
      // Without a pidfd (kernels before 5.3, or no descriptor left) the exit is polled with
      // waitid(WNOWAIT), which leaves the child for the final reap and never touches other
      // children; the delay grows from 1 ms to 100 ms so that short runs end promptly and long
      // runs cost little.
      exitPoll.emplace(context());
      pollExit();
    }
  }

  void readMore(Pipe which) {
    pipes[which]->async_read_some(
        asio::buffer(buffers[which].get(), kReadBufferSize),
        [self = shared_from_this(), which](const asio::error_code& ec, std::size_t count) {
          self->didRead(which, ec, count);
        });
  }

  void didRead(Pipe which, const asio::error_code& ec, std::size_t count) {
    // After the pipes were closed (drain timeout or end) nothing more is reported.
    if (finished || endOfFile[which]) return;
    if (count > 0) {
      deliver(which, Data(buffers[which].get(), buffers[which].get() + count));
    }
    if (!ec) {
      if (!finished && !endOfFile[which]) readMore(which);
      return;
    }
    if (ec != asio::error::eof) log("Task: reading a pipe of process {} failed: {}", pid, ec.message());
    closePipe(which);
    finishWhenDone();
  }

  void closePipe(Pipe which) {
    endOfFile[which] = true;
    if (pipes[which]) {
      asio::error_code ignored;
      pipes[which]->close(ignored);
    }
  }

  void pollExit() {
    siginfo_t info{};
    int result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if ((result == 0 && info.si_pid != 0) || (result != 0 && errno == ECHILD)) {
      processExited();
      return;
    }
    exitPoll->expires_after(pollDelay);
    pollDelay = std::min(pollDelay * 2, std::chrono::milliseconds(100));
    exitPoll->async_wait([self = shared_from_this()](const asio::error_code& ec) {
      if (ec) return;
      self->pollExit();
    });
  }

  void processExited() {
    if (exited) return;
    exited = true;
    {
      std::lock_guard lock(mutex);
      running = false;
    }
    if (endOfFile[Output] && endOfFile[ErrorOutput]) {
      finish();
      return;
    }
    // Something the child started may hold the pipes open for ever; the report waits only so long.
    Seconds timeout;
    {
      std::lock_guard lock(mutex);
      timeout = drainTimeout;
    }
    drainTimer.emplace(context());
    drainTimer->expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout));
    drainTimer->async_wait([self = shared_from_this()](const asio::error_code& ec) {
      if (ec || self->finished) return;
      self->closePipe(Output);
      self->closePipe(ErrorOutput);
      self->finish(true);
    });
  }

  void finishWhenDone() {
    if (exited && endOfFile[Output] && endOfFile[ErrorOutput]) finish();
  }

  // Reaps the child and delivers the end report. `abandoned`: the pipes were given up at the drain
  // timeout while something else still held them.
  void finish(bool abandoned = false) {
    if (finished) return;
    finished = true;
    asio::error_code ignored;
    if (drainTimer) drainTimer->cancel();
    if (exitPoll) exitPoll->cancel();
    if (exitWatch) exitWatch->close(ignored);
    closePipe(Output);
    closePipe(ErrorOutput);

    bool stops = false;
    bool stopping = false;
    Seconds grace;
    {
      std::lock_guard lock(mutex);
      stops = stopGroup && !killSent;
      stopping = abandoned || killScheduled;
      grace = gracePeriod;
    }
    // A task that was terminated or given up: what it started is stopped while the child is held
    // unreaped (a zombie, so its id, the group id, is still ours to signal); a group that holds
    // nothing but the child needs no more signals.
    if (stops && stopping && groupHasOtherMembers(pid)) {
      {
        std::lock_guard lock(mutex);
        if (!killScheduled) {
          killpg(pid, SIGTERM);
          killScheduled = true;
        }
      }
      holdingChild = true;
      scheduleKill(grace);
      deliverTermination(exitStatusWithoutReaping());
      return;
    }
    if (killTimer) killTimer->cancel();
    TaskTermination report = reap();
    // A child that ended by itself: the group outlives it only when it left processes behind (a
    // background process that let go of the pipes). One signal tells, without reading the process
    // table on every run; the group exists while the answer is yes, so its id is not another's.
    if (stops && ::killpg(pid, 0) == 0) stopLeftovers(grace);
    deliverTermination(report);
  }

  // The processes the reaped child left in its group: TERM now, KILL after the grace period to those
  // still running. They are held by pidfds from here on, so that no signal can reach a process that
  // took over one of their ids.
  void stopLeftovers(Seconds grace) {
    killpg(pid, SIGTERM);
    for (const auto& info : processes::allProcesses()) {
      if (info.group != pid || info.state == 'Z') continue;
      const int fd = pidfdOpen(info.pid);
      if (fd < 0) continue;
      // The id may have passed to another process between the reading of the table and the open.
      auto again = processes::processInfo(info.pid);
      if (!again || again->group != pid) {
        ::close(fd);
        continue;
      }
      leftovers.push_back(fd);
    }
    if (leftovers.empty()) return;
    {
      std::lock_guard lock(mutex);
      lingering = true;
    }
    leftoverKillAt = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(grace);
    leftoverWatch.emplace(context());
    watchLeftovers(std::chrono::milliseconds(2));
  }

  // True once every leftover process has ended (its pidfd reads as ready).
  bool leftoversGone() {
    std::erase_if(leftovers, [](int fd) {
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, 0) == 0) return false;
      ::close(fd);
      return true;
    });
    return leftovers.empty();
  }

  void killLeftovers() {
    leftoverKillSent = true;
    for (int fd : leftovers) pidfdSendSignal(fd, SIGKILL);
  }

  void watchLeftovers(std::chrono::milliseconds delay) {
    leftoverWatch->expires_after(delay);
    leftoverWatch->async_wait([self = shared_from_this(), delay](const asio::error_code& ec) {
      if (ec) return;
      if (self->leftoversGone()) {
        std::lock_guard lock(self->mutex);
        self->lingering = false;
        return;
      }
      if (!self->leftoverKillSent && std::chrono::steady_clock::now() >= self->leftoverKillAt) {
        self->killLeftovers();
      }
      self->watchLeftovers(std::min(delay * 2, std::chrono::milliseconds(100)));
    });
  }

  // The exit status of the exited child, leaving it unreaped.
  TaskTermination exitStatusWithoutReaping() {
    TaskTermination report;
    siginfo_t info{};
    int result;
    do {
      result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result == 0 && info.si_pid == pid) {
      if (info.si_code == CLD_EXITED) {
        report.reason = TaskTerminationReason::Exit;
      } else {
        report.reason = TaskTerminationReason::UncaughtSignal;
      }
      report.status = info.si_status;
    } else {
      report.status = -1;
    }
    {
      std::lock_guard lock(mutex);
      running = false;
    }
    return report;
  }

  // Reaps the exited child and answers how it ended.
  TaskTermination reap() {
    TaskTermination report;
    {
      // The reap happens under the lock so that terminate() never signals a reused process id.
      std::lock_guard lock(mutex);
      int status = 0;
      pid_t result;
      do {
        result = waitpid(pid, &status, 0);
      } while (result < 0 && errno == EINTR);
      if (result == pid && WIFSIGNALED(status)) {
        report.reason = TaskTerminationReason::UncaughtSignal;
        report.status = WTERMSIG(status);
      } else if (result == pid) {
        report.reason = TaskTerminationReason::Exit;
        report.status = WEXITSTATUS(status);
      } else {
        // Someone else reaped the child (SIGCHLD ignored, or a waitpid(-1) elsewhere): the status
        // is lost.
        log("Task: process {} was reaped elsewhere; its exit status is unknown", pid);
        report.reason = TaskTerminationReason::Exit;
        report.status = -1;
      }
      reaped = true;
      running = false;
    }
    return report;
  }

  // The end report, then the handlers are dropped: what they hold (often their owner) is let go.
  void deliverTermination(const TaskTermination& report) {
    TerminationHandler handler;
    {
      std::lock_guard lock(mutex);
      termination = report;
      handler = terminationHandler;
      if (handler) ++handlersRunning;
    }
    if (handler) callOut(handler, report);
    buffers[Output].reset();
    buffers[ErrorOutput].reset();
    dropHandlers();
  }

  void deliver(Pipe which, Data bytes) {
    DataHandler handler;
    {
      std::lock_guard lock(mutex);
      handler = which == Output ? outputHandler : errorHandler;
      if (!handler) return;
      ++handlersRunning;
    }
    callOut(handler, std::move(bytes));
  }

  // Calls a handler (already counted as running) without holding the lock; a throwing handler is
  // logged and does not stop the reactor.
  template <typename Handler, typename Argument>
  void callOut(Handler& handler, Argument&& argument) {
    try {
      handler(std::forward<Argument>(argument));
    } catch (const std::exception& e) {
      log("Task: a handler of process {} threw: {}", pid, e.what());
    } catch (...) {
      log("Task: a handler of process {} threw", pid);
    }
    // What the handler captured may own a Task; let it go before taking the lock.
    handler = nullptr;
    std::lock_guard lock(mutex);
    if (--handlersRunning == 0) idle.notify_all();
  }

  // Drops the handlers; off the reactor thread, also waits until none is running.
  void dropHandlers() {
    DataHandler output;
    DataHandler error;
    TerminationHandler end;
    {
      std::unique_lock lock(mutex);
      output = std::move(outputHandler);
      error = std::move(errorHandler);
      end = std::move(terminationHandler);
      outputHandler = nullptr;
      errorHandler = nullptr;
      terminationHandler = nullptr;
      // Handlers run only on the reactor thread, which exists once a task was launched; there a
      // handler on the stack is the caller itself and waiting would never end.
      if (launched && !Reactor::shared().isCurrent()) {
        idle.wait(lock, [this] { return handlersRunning == 0; });
      }
    }
    // Destroyed here, outside the lock: their captures may reach back into this task.
  }

  // Arms the SIGKILL that follows a SIGTERM (once).
  void scheduleKill(Seconds grace) {
    if (killTimer || (finished && !holdingChild)) return;
    killTimer.emplace(context());
    killTimer->expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(grace));
    killTimer->async_wait([self = shared_from_this()](const asio::error_code& ec) {
      if (ec) return;
      {
        std::lock_guard lock(self->mutex);
        if (!self->reaped) {
          killpg(self->pid, SIGKILL);
          self->killSent = true;
        }
      }
      if (self->holdingChild) self->releaseHeldChild();
    });
  }

  void releaseHeldChild() {
    holdingChild = false;
    if (killTimer) killTimer->cancel();
    reap();
  }

  // SIGKILL now to what is left of the group (reactor thread).
  void killGroupNow() {
    if (!leftovers.empty()) killLeftovers();
    {
      std::lock_guard lock(mutex);
      if (reaped || pid <= 0) return;
      killpg(pid, SIGKILL);
      killSent = true;
    }
    if (holdingChild) releaseHeldChild();
  }

  // Nothing of the task runs any more: the child was reaped and what it left has ended.
  bool isDone() const {
    std::lock_guard lock(mutex);
    return reaped && !lingering;
  }
};

namespace {

// The launched tasks that stop their group when done, for stopAllProcessGroups().
std::mutex groupStoppingMutex;
std::vector<std::weak_ptr<Task::State>> groupStoppingTasks;

void registerGroupStopping(const std::shared_ptr<Task::State>& state) {
  std::lock_guard lock(groupStoppingMutex);
  std::erase_if(groupStoppingTasks, [](const std::weak_ptr<Task::State>& weak) {
    auto other = weak.lock();
    return !other || other->isDone();
  });
  groupStoppingTasks.push_back(state);
}

bool stopGroupsOf(const std::vector<std::shared_ptr<Task::State>>& states, Seconds grace, Seconds limit) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto killAt = start + std::chrono::duration_cast<Clock::duration>(grace);
  const auto giveUpAt = start + std::chrono::duration_cast<Clock::duration>(std::max(limit, grace));
  std::vector<std::shared_ptr<Task::State>> left;
  for (const auto& state : states) {
    std::lock_guard lock(state->mutex);
    if (!state->launched || state->pid <= 0 || (state->reaped && !state->lingering)) continue;
    // What a reaped child left behind has had its TERM; the KILL below reaches it by pidfd.
    if (state->reaped) {
      left.push_back(state);
      continue;
    }
    killpg(state->pid, SIGTERM);
    if (state->suspended) {
      killpg(state->pid, SIGCONT);
      state->suspended = false;
    }
    // The KILL comes from here; a held child is released by it.
    state->killScheduled = true;
    left.push_back(state);
  }
  bool killed = false;
  // Bounded: the reactor reaps each child once its group is gone, and this only looks.
  while (!left.empty()) {
    std::erase_if(left, [](const std::shared_ptr<Task::State>& state) { return state->isDone(); });
    if (left.empty()) break;
    const auto now = Clock::now();
    if (!killed && now >= killAt) {
      killed = true;
      for (const auto& state : left) {
        asio::post(Reactor::shared().context(), [state] { state->killGroupNow(); });
      }
    }
    if (now >= giveUpAt) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (const auto& state : left)
    log("Task: process group {} was still there when the wait ended", state->pid);
  return left.empty();
}

}  // namespace

Task::Task() : state_(std::make_shared<State>()) {}

Task::~Task() { state_->dropHandlers(); }

std::shared_ptr<Task> Task::make() { return std::shared_ptr<Task>(new Task()); }

void Task::setLaunchPath(std::string path) {
  std::lock_guard lock(state_->mutex);
  state_->launchPath = std::move(path);
}

std::string Task::launchPath() const {
  std::lock_guard lock(state_->mutex);
  return state_->launchPath;
}

void Task::setArguments(std::vector<std::string> arguments) {
  std::lock_guard lock(state_->mutex);
  state_->arguments = std::move(arguments);
}

std::vector<std::string> Task::arguments() const {
  std::lock_guard lock(state_->mutex);
  return state_->arguments;
}

void Task::setEnvironment(std::map<std::string, std::string> environment) {
  std::lock_guard lock(state_->mutex);
  state_->environment = std::move(environment);
}

std::map<std::string, std::string> Task::environment() const {
  std::lock_guard lock(state_->mutex);
  return state_->environment;
}

void Task::setCurrentDirectoryPath(std::string path) {
  std::lock_guard lock(state_->mutex);
  state_->currentDirectoryPath = std::move(path);
}

std::string Task::currentDirectoryPath() const {
  std::lock_guard lock(state_->mutex);
  return state_->currentDirectoryPath;
}

void Task::setTerminationGracePeriod(Seconds period) {
  std::lock_guard lock(state_->mutex);
  state_->gracePeriod = std::max(period, Seconds(0));
}

void Task::setPipeDrainTimeout(Seconds timeout) {
  std::lock_guard lock(state_->mutex);
  state_->drainTimeout = std::max(timeout, Seconds(0));
}

void Task::setStopsGroupWhenDone(bool stops) {
  std::lock_guard lock(state_->mutex);
  state_->stopGroup = stops;
}

void Task::setOutputPipeBufferSize(std::size_t bytes) {
  std::lock_guard lock(state_->mutex);
  state_->outputPipeSize = bytes;
}

bool Task::stopAllProcessGroups(Seconds grace, Seconds limit) {
  std::vector<std::shared_ptr<State>> states;
  {
    std::lock_guard lock(groupStoppingMutex);
    for (const auto& weak : groupStoppingTasks) {
      if (auto state = weak.lock()) states.push_back(std::move(state));
    }
  }
  return stopGroupsOf(states, grace, limit);
}

bool Task::stopProcessGroups(const std::vector<std::shared_ptr<Task>>& tasks, Seconds grace, Seconds limit) {
  std::vector<std::shared_ptr<State>> states;
  for (const auto& task : tasks) {
    if (task) states.push_back(task->state_);
  }
  return stopGroupsOf(states, grace, limit);
}

void Task::setStandardOutputHandler(DataHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->outputHandler = std::move(handler);
}

void Task::setStandardErrorHandler(DataHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->errorHandler = std::move(handler);
}

void Task::setTerminationHandler(TerminationHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->terminationHandler = std::move(handler);
}

void Task::clearHandlers() { state_->dropHandlers(); }

namespace {

// Checks the description and makes the launch error when it cannot be used.
std::optional<Error> invalidDescription(const std::string& launchPath,
                                        const std::vector<std::string>& arguments,
                                        const std::map<std::string, std::string>& environment,
                                        const std::string& directory) {
  auto invalid = [](const std::string& why) { return Error::fromErrno(EINVAL, why); };
  if (launchPath.empty()) return invalid("Could not launch a task without a launch path");
  if (hasNul(launchPath) || hasNul(directory))
    return invalid("Could not launch a task whose path holds a NUL");
  for (const auto& argument : arguments) {
    if (hasNul(argument)) return invalid("Could not launch \"" + launchPath + "\": an argument holds a NUL");
  }
  for (const auto& [name, value] : environment) {
    if (name.empty() || name.find('=') != std::string::npos || hasNul(name) || hasNul(value)) {
      return invalid("Could not launch \"" + launchPath + "\": invalid environment variable \"" + name +
                     "\"");
    }
  }
  return std::nullopt;
}

// Says why posix_spawn failed: the working folder when it is the culprit, else the executable.
Error spawnError(int err, const std::string& launchPath, const std::string& directory) {
  if (!directory.empty()) {
    struct stat info {};
    int folderError = 0;
    if (stat(directory.c_str(), &info) != 0 ||
        (S_ISDIR(info.st_mode) && access(directory.c_str(), X_OK) != 0)) {
      folderError = errno;
    } else if (!S_ISDIR(info.st_mode)) {
      folderError = ENOTDIR;
    }
    if (folderError != 0) {
      Error error = Error::fromErrno(
          folderError, "Could not launch \"" + launchPath + "\" in the working folder \"" + directory + "\"");
      error.userInfo["path"] = launchPath;
      error.userInfo["currentDirectoryPath"] = directory;
      return error;
    }
  }
  Error error = Error::fromErrno(err, "Could not launch \"" + launchPath + "\"");
  error.userInfo["path"] = launchPath;
  return error;
}

// Starts the child; answers 0 or the errno value of the failure.
int spawnChild(const std::string& launchPath, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment, const std::string& directory,
               int outputFd, int errorFd, pid_t* pid) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(launchPath.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> entries;
  entries.reserve(environment.size());
  for (const auto& [name, value] : environment) {
    std::string entry;
    entry.reserve(name.size() + value.size() + 1);
    entry.append(name).append(1, '=').append(value);
    entries.push_back(std::move(entry));
  }
  std::vector<char*> envp;
  envp.reserve(entries.size() + 1);
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (int err = posix_spawn_file_actions_init(&actions)) return err;
  if (int err = posix_spawnattr_init(&attributes)) {
    posix_spawn_file_actions_destroy(&actions);
    return err;
  }
  int err = 0;
  auto check = [&err](int result) {
    if (err == 0) err = result;
  };
  check(posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO));
  check(posix_spawn_file_actions_adddup2(&actions, errorFd, STDERR_FILENO));
  check(posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
  if (!directory.empty()) check(posix_spawn_file_actions_addchdir_np(&actions, directory.c_str()));
  // Whatever another thread opened without close-on-exec still stays out of the child.
  check(posix_spawn_file_actions_addclosefrom_np(&actions, 3));

  // A group of its own (group id = process id); a clean signal mask and default dispositions, so
  // that what this process blocks or ignores (SIGPIPE, say) does not reach the child.
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  check(posix_spawnattr_setflags(&attributes,
                                 POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  check(posix_spawnattr_setpgroup(&attributes, 0));
  check(posix_spawnattr_setsigmask(&attributes, &none));
  check(posix_spawnattr_setsigdefault(&attributes, &all));

  // A relative launch path means the caller's working folder, also when the child gets another one.
  std::string path = launchPath;
  if (err == 0 && !directory.empty() && path.front() != '/') {
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    if (!ec) path = absolute.string();
  }
  if (err == 0) err = posix_spawn(pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());

  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return err;
}

}  // namespace

bool Task::launch(Error* error) {
  State& state = *state_;
  std::unique_lock lock(state.mutex);
  if (state.launched) {
    return fail(error, Error::make(kPOSIXErrorDomain, EALREADY, "The task was launched before"));
  }
  state.launched = true;

  auto failLaunch = [&](Error why) {
    TaskTermination report;
    report.reason = TaskTerminationReason::UncaughtSignal;
    report.status = 0;
    report.error = why;
    lock.unlock();
    asio::post(Reactor::shared().context(), [self = state_, report] { self->deliverTermination(report); });
    return fail(error, std::move(why));
  };

  if (auto invalid = invalidDescription(state.launchPath, state.arguments, state.environment,
                                        state.currentDirectoryPath)) {
    return failLaunch(std::move(*invalid));
  }

  int outputRead = -1, outputWrite = -1, errorRead = -1, errorWrite = -1;
  if (int err = makePipe(outputRead, outputWrite)) {
    return failLaunch(Error::fromErrno(err, "Could not make a pipe for \"" + state.launchPath + "\""));
  }
  if (state.outputPipeSize > 0) enlargePipe(outputWrite, state.outputPipeSize);
  if (int err = makePipe(errorRead, errorWrite)) {
    closeQuietly(outputRead);
    closeQuietly(outputWrite);
    return failLaunch(Error::fromErrno(err, "Could not make a pipe for \"" + state.launchPath + "\""));
  }

  pid_t pid = 0;
  int err = spawnChild(state.launchPath, state.arguments, state.environment, state.currentDirectoryPath,
                       outputWrite, errorWrite, &pid);
  closeQuietly(outputWrite);
  closeQuietly(errorWrite);
  if (err != 0) {
    closeQuietly(outputRead);
    closeQuietly(errorRead);
    return failLaunch(spawnError(err, state.launchPath, state.currentDirectoryPath));
  }

  // The child cannot be reaped by anyone but us before this, so the pidfd is for the right process.
  int pidfd = forceExitPolling.load() ? -1 : pidfdOpen(pid);
  state.pid = pid;
  state.running = true;
  const bool stopsGroup = state.stopGroup;
  lock.unlock();
  if (stopsGroup) registerGroupStopping(state_);
  asio::post(Reactor::shared().context(),
             [self = state_, outputRead, errorRead, pidfd] { self->start(outputRead, errorRead, pidfd); });
  return true;
}

void Task::terminate() {
  Seconds grace;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->pid <= 0 || state_->reaped) return;
    killpg(state_->pid, SIGTERM);
    // A stopped group would only see the TERM once continued.
    if (state_->suspended) {
      killpg(state_->pid, SIGCONT);
      state_->suspended = false;
    }
    if (state_->killScheduled) return;
    state_->killScheduled = true;
    grace = state_->gracePeriod;
  }
  asio::post(Reactor::shared().context(), [self = state_, grace] { self->scheduleKill(grace); });
}

bool Task::suspend() {
  std::lock_guard lock(state_->mutex);
  if (!state_->running || killpg(state_->pid, SIGSTOP) != 0) return false;
  state_->suspended = true;
  return true;
}

bool Task::resume() {
  std::lock_guard lock(state_->mutex);
  if (!state_->running || killpg(state_->pid, SIGCONT) != 0) return false;
  state_->suspended = false;
  return true;
}

pid_t Task::processIdentifier() const {
  std::lock_guard lock(state_->mutex);
  return state_->pid;
}

bool Task::isRunning() const {
  std::lock_guard lock(state_->mutex);
  return state_->running;
}

std::optional<TaskTermination> Task::termination() const {
  std::lock_guard lock(state_->mutex);
  return state_->termination;
}

TaskTerminationReason Task::terminationReason() const {
  std::lock_guard lock(state_->mutex);
  return state_->termination ? state_->termination->reason : TaskTerminationReason::Exit;
}

int Task::terminationStatus() const {
  std::lock_guard lock(state_->mutex);
  return state_->termination ? state_->termination->status : 0;
}

void Task::setExitPollingForTesting(bool polling) { forceExitPolling.store(polling); }

}  // namespace platform
