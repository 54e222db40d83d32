#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/MainQueue.h"

namespace platform {

// Why a child process ended, with the platform's codes.
enum class TaskTerminationReason : int {
  Exit = 1,            // the process exited; the status is its exit code
  UncaughtSignal = 2,  // a signal ended the process; the status is the signal number
};

// The one end report of a task.
struct TaskTermination {
  // For a launch failure the reason is UncaughtSignal and the status 0, so that an owner that only
  // looks at the reason treats it like a process that died; `error` tells why the launch failed.
  TaskTerminationReason reason = TaskTerminationReason::Exit;
  int status = 0;
  std::optional<Error> error;

  bool launchFailed() const { return error.has_value(); }
};

// A child process: executable, arguments, an exact environment and a working folder, with standard
// input from /dev/null and standard output and standard error on two pipes.
//
// - The child is started with posix_spawn in a process group of its own (its process id is the group
//   id), so that terminate, suspend and resume reach the processes it starts as well. A child that
//   moves itself to another group or session escapes them.
// - Only the variables given with setEnvironment are passed on; an empty environment is empty.
// - Every descriptor this class opens is close-on-exec, and the child closes every descriptor above
//   standard error before it runs the executable, so nothing leaks into children.
// - Output is read on one process-wide reactor thread shared by all tasks. The bytes of each pipe
//   reach their handler in order, in chunks as read (never empty).
// - The end report comes exactly once: after the process exited and both pipes reached end of file,
//   or, when something else (a grandchild) keeps the pipes open, once the drain timeout after the
//   exit has passed; the pipes are then closed and what was not read is not reported. A launch
//   failure produces the end report as well (and launch() answers false).
// - Every child is reaped, also when the Task is destroyed before the child ends: the reactor keeps
//   what it needs until the child is reaped, reads (and drops) the rest of its output, and calls no
//   more handlers.
//
// Threads: the setters, launch(), terminate(), suspend(), resume() and the getters may be called from
// any thread. All three handlers run on the reactor thread, one at a time; a handler must not block
// waiting for the thread that destroys its Task or calls clearHandlers(). Once clearHandlers() or the
// destructor returns on another thread, no handler of this task is running or will run. The process
// must not set SIGCHLD to SIG_IGN (the kernel would then reap children before we can) nor reap
// children it did not start with waitpid(-1, ...).
class Task {
 public:
  using DataHandler = std::function<void(Data bytes)>;
  using TerminationHandler = std::function<void(const TaskTermination& termination)>;

  static std::shared_ptr<Task> make();
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // The process description; set before launch (later changes have no effect on a launched task).
  // A relative launch path is taken from the caller's working folder, not the child's.
  void setLaunchPath(std::string path);
  std::string launchPath() const;
  void setArguments(std::vector<std::string> arguments);
  std::vector<std::string> arguments() const;
  void setEnvironment(std::map<std::string, std::string> environment);
  std::map<std::string, std::string> environment() const;
  // Empty: the caller's working folder.
  void setCurrentDirectoryPath(std::string path);
  std::string currentDirectoryPath() const;

  // How long terminate() waits after SIGTERM before it sends SIGKILL (default 5 s).
  void setTerminationGracePeriod(Seconds period);
  // How long the end report waits for the pipes' end of file once the process exited (default 2 s).
  void setPipeDrainTimeout(Seconds timeout);
  // Off by default. When on, whatever is left of the task's process group when the task ends is
  // stopped: the processes it started get SIGTERM, and SIGKILL once the grace period has passed while
  // any of them is still there. When the task was terminated or its pipes were given up at the drain
  // timeout, the child stays unreaped (a zombie) until then, so that the group id cannot pass to
  // another process while it is signalled. When the child ended by itself, it is reaped at once; one
  // signal (killpg with 0) tells whether it left anything behind, and only then are those processes
  // looked up and held by pidfds until they are gone. The end report is not delayed by this. Such
  // tasks are also the ones stopAllProcessGroups() stops.
  void setStopsGroupWhenDone(bool stops);
  // Asks for a standard output pipe of this many bytes (F_SETPIPE_SZ), at most the system's
  // /proc/sys/fs/pipe-max-size; 0 (the default) keeps the system's size. A child that writes its
  // last output and exits at once (Node.js does so asynchronously) loses whatever the pipe cannot
  // hold. Where the system refuses the size, the task runs with the default one (logged once).
  void setOutputPipeBufferSize(std::size_t bytes);

  // Handlers may be set or replaced at any time; they run on the reactor thread.
  void setStandardOutputHandler(DataHandler handler);
  void setStandardErrorHandler(DataHandler handler);
  void setTerminationHandler(TerminationHandler handler);
  // Drops all three handlers; see the class comment for what it guarantees on return.
  void clearHandlers();

  // Starts the process. Answers false with the reason when it cannot start (the end report follows
  // then too) or when this task was launched before (no further end report then). A task launches
  // once.
  bool launch(Error* error = nullptr);

  // Sends SIGTERM to the process group, then SIGKILL after the grace period unless the task ended
  // by then. Does nothing before launch or after the end report.
  void terminate();
  // SIGSTOP and SIGCONT to the process group; false when the process is not running or the signal
  // could not be sent.
  bool suspend();
  bool resume();

  // The process id (also the process group id) once launched, else 0.
  pid_t processIdentifier() const;
  pid_t pid() const { return processIdentifier(); }
  // True from a successful launch until the process is seen to exit.
  bool isRunning() const;
  // The end report, once it was delivered.
  std::optional<TaskTermination> termination() const;
  // Shorthands of the end report; Exit and 0 before it.
  TaskTerminationReason terminationReason() const;
  int terminationStatus() const;

  // Stops the process groups of every launched task that stops its group when done and has not been
  // reaped yet (the module runs): SIGTERM at once, SIGKILL to those still there after `grace`, and
  // waits until all of them are reaped or `limit` (counted from the call) has passed. Answers true
  // when none is left. For the program's termination, when the reactor's own KILL timers would die
  // with the process. Any thread but the reactor's.
  static bool stopAllProcessGroups(Seconds grace, Seconds limit);
  // The same for the given tasks only.
  static bool stopProcessGroups(const std::vector<std::shared_ptr<Task>>& tasks, Seconds grace,
                                Seconds limit);

  // Exit watching falls back to polling when pidfd_open is unavailable; tests force the fallback.
  static void setExitPollingForTesting(bool polling);

  // Internal: what the reactor keeps of a task.
  struct State;

 private:
  Task();
  std::shared_ptr<State> state_;
};

}  // namespace platform
