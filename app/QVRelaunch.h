#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Starting the application again after a backup import, in a process of its own. The new process
// gets the old one's id as "--wait-for-pid <pid>" and waits for that process to end before it takes
// the single-instance lock, so that the two never run side by side.
namespace QVRelaunch {

inline constexpr const char* kWaitForPidArgument = "--wait-for-pid";

// Starts the new process and ends this one at once with status 0, without the application's
// termination sequence. Tests replace it with setHandler.
void relaunch();
// Replaces what relaunch does (tests); an empty handler brings back the real relaunch.
void setHandler(std::function<void()> handler);

// The arguments the new process is started with: the executable, then "--wait-for-pid" and `pid`.
std::vector<std::string> relaunchArguments(const std::string& executable, pid_t pid);
// The pid that follows "--wait-for-pid" in a command line; 0 when there is none or it is not a
// positive number.
pid_t pidToWaitFor(int argc, const char* const* argv);
// Waits until the process `pid` has ended (it may be no child of this one), at most `timeoutSeconds`;
// true when it is gone. A pid of 0 or below is gone at once.
bool waitForProcessToEnd(pid_t pid, double timeoutSeconds);

}  // namespace QVRelaunch
