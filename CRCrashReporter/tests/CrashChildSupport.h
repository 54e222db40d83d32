#pragma once
// Runs the crash child (testchild/CrashChild.cpp) through platform::Task in the test's sandbox and reads
// back what it left: its side file and its decoded report.

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CRCrashReport.h"
#include "platform/Task.h"
#include "testing/Sandbox.h"
#include "testing/TreePaths.h"

namespace crash_test {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

struct ChildRun {
  std::optional<platform::TaskTermination> termination;
  std::string output;
  std::string errors;
  std::chrono::steady_clock::duration elapsed{};
  // From the side file.
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> ranges;
  std::vector<std::uint64_t> outer;
  std::map<std::string, std::uint64_t> values;  // "fault", "address", "second_fault"
  std::string reportPath;
  std::string plugin;
  std::shared_ptr<const CRCrashReport> report;
  platform::Error reportError;

  bool in(const std::string& name, std::uint64_t pc) const {
    auto it = ranges.find(name);
    return it != ranges.end() && pc >= it->second.first && pc < it->second.second;
  }
  int signal() const {
    if (!termination || termination->reason != platform::TaskTerminationReason::UncaughtSignal) return 0;
    return termination->status;
  }
};

inline std::string child_path(bool frame_pointers) {
  return frame_pointers ? QV_CRASH_CHILD_FP : QV_CRASH_CHILD_NOFP;
}

// Runs `child MODE TYPE side-file [extra]` with the sandbox's folders; waits at most `deadline_s`.
inline ChildRun run_child(const std::filesystem::path& sandbox, const std::string& child,
                          const std::string& mode, int type, const std::string& extra = {},
                          double deadline_s = 20) {
  ChildRun run;
  static int counter = 0;
  const std::filesystem::path side = sandbox / ("side-" + mode + "-" + std::to_string(++counter) + ".txt");
  auto task = platform::Task::make();
  task->setLaunchPath(child);
  std::vector<std::string> arguments{mode, std::to_string(type), side.string()};
  if (!extra.empty()) arguments.push_back(extra);
  task->setArguments(arguments);
  std::map<std::string, std::string> environment;
  for (const char* name : {"XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "TMPDIR", "PATH"}) {
    if (const char* value = std::getenv(name)) environment[name] = value;
  }
  if (kSanitized) {
    // The sanitizer's own fault handlers stay out of the way of the ones under test.
    environment["ASAN_OPTIONS"] =
        "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0:allow_user_segv_"
        "handler=1:"
        "use_sigaltstack=0:detect_leaks=0";
  }
  task->setEnvironment(environment);
  auto mutex = std::make_shared<std::mutex>();
  auto out = std::make_shared<std::string>();
  auto err = std::make_shared<std::string>();
  task->setStandardOutputHandler([mutex, out](platform::Data bytes) {
    std::lock_guard lock(*mutex);
    out->append(bytes.begin(), bytes.end());
  });
  task->setStandardErrorHandler([mutex, err](platform::Data bytes) {
    std::lock_guard lock(*mutex);
    err->append(bytes.begin(), bytes.end());
  });
  const auto start = std::chrono::steady_clock::now();
  task->launch();
  qvtesting::runUntil([&] { return task->termination().has_value(); }, deadline_s);
  run.elapsed = std::chrono::steady_clock::now() - start;
  run.termination = task->termination();
  if (!run.termination) task->terminate();
  {
    std::lock_guard lock(*mutex);
    run.output = *out;
    run.errors = *err;
  }
  std::ifstream in(side);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "range") {
      std::string name, start_text, end_text;
      fields >> name >> start_text >> end_text;
      run.ranges[name] = {std::stoull(start_text, nullptr, 0), std::stoull(end_text, nullptr, 0)};
    } else if (key == "outer") {
      std::string value;
      fields >> value;
      if (std::uint64_t pc = std::stoull(value, nullptr, 0); pc != 0) run.outer.push_back(pc);
    } else if (key == "report") {
      fields >> run.reportPath;
    } else if (key == "plugin") {
      fields >> run.plugin;
    } else if (key == "fault" || key == "address" || key == "second_fault") {
      std::string value;
      fields >> value;
      run.values[key] = std::stoull(value, nullptr, 0);
    }
  }
  if (!run.reportPath.empty()) {
    std::ifstream file(run.reportPath, std::ios::binary);
    if (file) {
      platform::Data data((std::istreambuf_iterator<char>(file)), {});
      run.report = CRCrashReport::initWithData(data, &run.reportError);
    }
  }
  return run;
}

}  // namespace crash_test
