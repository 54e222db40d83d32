// Whole crashes: the crash child arms the reporter with either handler type, crashes in each way the table
// lists, and the report it leaves is decoded and checked against what the child recorded about itself.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>

#include "CrashChildSupport.h"
#include "CrashTestSupport.h"
#include "testing/TreePaths.h"

using crash_test::ChildRun;

namespace {

enum class Address { Zero, Target, FaultPc, Any };

struct CrashKind {
  const char* mode;
  int exit_signal;
  // The report's signal and code, the same with signal handlers (type 0) and with the exception server
  // (type 1): both report the signal and code the kernel delivered. Null: not checked.
  const char* name;
  const char* code;
  Address address;
  // The Mach exception of type 1 (0: none, the signal path) and its first code (-1: not checked).
  std::uint64_t mach_type;
  std::int64_t mach_code0;
  bool leaf_chain;  // the crashed stack holds leaf → mid → outer
};

const CrashKind kKinds[] = {
    {"null_read", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Address::Zero, 1, 1, true},
    {"readonly_write", SIGSEGV, "SIGSEGV", "SEGV_ACCERR", Address::Target, 1, 2, true},
    // A general-protection fault: SI_KERNEL, no address.
    {"noncanonical", SIGSEGV, "SIGSEGV", "SEGV_NOOP", Address::Zero, 1, 2, true},
    // kill -SEGV: SI_USER, sent by a process, no fault address.
    {"kill_segv", SIGSEGV, "SIGSEGV", "SEGV_NOOP", Address::Zero, 1, 2, true},
    {"bus", SIGBUS, "SIGBUS", "BUS_ADRERR", Address::Target, 1, 10, true},
    {"ud2", SIGILL, "SIGILL", "ILL_ILLOPN", Address::FaultPc, 2, ILL_ILLOPN, true},
    {"div0", SIGFPE, "SIGFPE", "FPE_INTDIV", Address::FaultPc, 3, FPE_INTDIV, true},
    {"int3", SIGTRAP, "SIGTRAP", "TRAP_BRKPT", Address::Any, 6, -1, true},
    {"abort", SIGABRT, "SIGABRT", "#0", Address::Any, 0, -1, true},
    {"exception", SIGABRT, "SIGABRT", "#0", Address::Any, 0, -1, true},
    {"recursion", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Address::Zero, 1, 1, false},
    // Into the guard below the stack: SEGV_MAPERR or SEGV_ACCERR, by where the stack lies.
    {"overflow_main", SIGSEGV, "SIGSEGV", nullptr, Address::Any, 1, -1, false},
    {"overflow_worker", SIGSEGV, "SIGSEGV", nullptr, Address::Any, 1, -1, false},
    {"two_faults", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Address::Zero, 1, 1, false},
    {"plugin", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", Address::Zero, 1, 1, true},
};

void PrintTo(const CrashKind& kind, std::ostream* out) { *out << kind.mode; }

bool is_overflow(const CrashKind& kind) { return std::string(kind.mode).rfind("overflow", 0) == 0; }

std::uint64_t reg(const CRCrashReportThreadInfo& thread, const std::string& name) {
  for (const auto& r : thread.registers) {
    if (r->registerName == name) return r->registerValue;
  }
  return 0;
}

// The frame's pc as a call site: return addresses point past their call.
std::uint64_t site(const CRCrashReportThreadInfo& thread, std::size_t i) {
  std::uint64_t pc = thread.stackFrames[i]->instructionPointer;
  return i == 0 ? pc : pc - 1;
}

// Whether the stack holds first → second → third in consecutive frames.
bool has_chain(const ChildRun& run, const CRCrashReportThreadInfo& thread, const char* first,
               const char* second, const char* third) {
  for (std::size_t i = 0; i + 2 < thread.stackFrames.size(); ++i) {
    if (run.in(first, site(thread, i)) && run.in(second, site(thread, i + 1)) &&
        run.in(third, site(thread, i + 2)))
      return true;
  }
  return false;
}

std::string describe(const ChildRun& run, const CRCrashReportThreadInfo& thread) {
  std::string text =
      "thread " + std::to_string(thread.threadNumber) + (thread.crashed ? " (crashed)" : "") + ":";
  for (const auto& frame : thread.stackFrames) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, " %#llx",
                  static_cast<unsigned long long>(frame->instructionPointer));
    text += buffer;
    for (const auto& [name, r] : run.ranges) {
      if (frame->instructionPointer - 1 >= r.first && frame->instructionPointer - 1 < r.second)
        text += "(" + name + ")";
    }
  }
  return text;
}

using Row = std::tuple<CrashKind, int, bool>;

class CrashCapture : public qvtesting::SandboxTest, public ::testing::WithParamInterface<Row> {};

TEST_P(CrashCapture, LeavesOneWholeReport) {
  const auto& [kind, type, frame_pointers] = GetParam();
  if (crash_test::kSanitized && is_overflow(kind))
    GTEST_SKIP() << "the sanitizer's runtime needs the stack it overflows";
  ChildRun run = crash_test::run_child(root(), crash_test::child_path(frame_pointers), kind.mode, type,
                                       std::string(kind.mode) == "plugin" ? QV_CRASH_TEST_PLUGIN : "");
  ASSERT_TRUE(run.termination.has_value()) << "the child did not end";
  EXPECT_EQ(run.signal(), kind.exit_signal) << run.errors;
  ASSERT_NE(run.report, nullptr) << run.reportError.description << "\n" << run.errors;
  const CRCrashReport& report = *run.report;
  EXPECT_NE(run.output.find("handleSignal"), std::string::npos);
  EXPECT_EQ(run.output.find("handleSignal"), run.output.rfind("handleSignal"))
      << "handleSignal more than once";

  // Signal, code, address, and the exception part of the exception server.
  const bool mach = type == 1 && kind.mach_type != 0;
  ASSERT_NE(report.signalInfo(), nullptr);
  EXPECT_EQ(report.signalInfo()->name, kind.name);
  if (kind.code != nullptr) {
    EXPECT_EQ(report.signalInfo()->code, kind.code);
  }
  switch (kind.address) {
    case Address::Zero:
      EXPECT_EQ(report.signalInfo()->address, 0u);
      break;
    case Address::Target:
      EXPECT_EQ(report.signalInfo()->address, run.values["address"]);
      break;
    case Address::FaultPc:
      EXPECT_EQ(report.signalInfo()->address, run.values["fault"]);
      break;
    case Address::Any:
      break;
  }
  if (mach) {
    ASSERT_NE(report.machExceptionInfo(), nullptr);
    EXPECT_EQ(report.machExceptionInfo()->type, kind.mach_type);
    ASSERT_EQ(report.machExceptionInfo()->codes.size(), 2u);
    if (kind.mach_code0 >= 0) {
      EXPECT_EQ(report.machExceptionInfo()->codes[0], static_cast<std::uint64_t>(kind.mach_code0));
    }
    EXPECT_EQ(report.machExceptionInfo()->codes[1], report.signalInfo()->address);
  } else {
    EXPECT_EQ(report.machExceptionInfo(), nullptr);
  }

  // Threads: the 20 parked ones, the crashed one where it faulted, every stack to its end.
  std::string all;
  for (const auto& thread : report.threads()) all += describe(run, *thread) + "\n";
  int parked = 0, crashed = 0;
  std::shared_ptr<const CRCrashReportThreadInfo> crashed_thread;
  for (const auto& thread : report.threads()) {
    if (has_chain(run, *thread, "park_leaf", "park_mid", "park_outer")) ++parked;
    if (thread->crashed) {
      ++crashed;
      crashed_thread = thread;
    }
  }
  EXPECT_EQ(parked, 20) << all;
  ASSERT_EQ(crashed, 1) << all;
  ASSERT_FALSE(crashed_thread->stackFrames.empty());
  const bool cut = std::string(kind.mode) == "recursion" || is_overflow(kind);
  for (const auto& thread : report.threads()) {
    if (thread->crashed && cut) continue;
    ASSERT_FALSE(thread->stackFrames.empty()) << all;
    const std::uint64_t last = thread->stackFrames.back()->instructionPointer;
    EXPECT_NE(std::find(run.outer.begin(), run.outer.end(), last), run.outer.end())
        << "a stack does not end where the C++ runtime's unwinder ends it\n"
        << describe(run, *thread);
  }
  const std::uint64_t rip = crashed_thread->stackFrames[0]->instructionPointer;
  if (run.values.count("fault") && std::string(kind.mode) != "two_faults") {
    EXPECT_EQ(rip, run.values["fault"]) << all;
    EXPECT_EQ(reg(*crashed_thread, "rip"), run.values["fault"]);
  }
  if (kind.leaf_chain) {
    EXPECT_TRUE(has_chain(run, *crashed_thread, "leaf", "mid", "outer")) << all;
  }

  const std::string mode = kind.mode;
  if (mode == "recursion") {
    EXPECT_EQ(crashed_thread->stackFrames.size(), 512u);
    for (std::size_t i = 1; i < crashed_thread->stackFrames.size(); ++i)
      ASSERT_TRUE(run.in("recurse", site(*crashed_thread, i))) << all;
  }
  if (is_overflow(kind)) {
    EXPECT_TRUE(run.in("overflow", rip) || crashed_thread->stackFrames.size() > 1) << all;
    EXPECT_EQ(crashed_thread->stackFrames.size(), 512u) << all;
  }
  if (mode == "exception") {
    ASSERT_TRUE(report.hasExceptionInfo());
    EXPECT_EQ(report.exceptionInfo()->exceptionName, "QVChildException");
    EXPECT_EQ(report.exceptionInfo()->exceptionReason, "The crash child threw this on purpose");
    ASSERT_TRUE(report.exceptionInfo()->stackFrames.has_value());
    bool leaf = false;
    for (const auto& frame : *report.exceptionInfo()->stackFrames)
      leaf |= run.in("leaf", frame->instructionPointer - 1);
    EXPECT_TRUE(leaf) << "the exception's frames miss the function that threw";
  } else {
    EXPECT_FALSE(report.hasExceptionInfo());
  }
  if (mode == "two_faults") {
    // The report is whole, and both faulting threads show where they faulted.
    int at_fault = 0;
    for (const auto& thread : report.threads()) {
      const std::uint64_t pc = thread->stackFrames.empty() ? 0 : thread->stackFrames[0]->instructionPointer;
      if (pc == run.values["fault"] || pc == run.values["second_fault"] ||
          (!thread->crashed && (run.in("leaf", pc) || run.in("second", pc))))
        ++at_fault;
    }
    EXPECT_EQ(at_fault, 2) << all;
    EXPECT_TRUE(rip == run.values["fault"] || rip == run.values["second_fault"]) << all;
  }
  if (mode == "plugin") {
    EXPECT_TRUE(run.in("plugin_crash", rip)) << all;
    auto image = report.imageForAddress(rip);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->imageName, run.plugin);
    ASSERT_TRUE(image->imageUUID.has_value());
    const std::string notes = crash_test::run("readelf -n '" + run.plugin + "'");
    const auto at = notes.find("Build ID: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(notes.substr(at + 10, 32), *image->imageUUID);
  }
}

std::string row_name(const ::testing::TestParamInfo<Row>& info) {
  const auto& [kind, type, frame_pointers] = info.param;
  return std::string(kind.mode) + "_type" + std::to_string(type) + (frame_pointers ? "_fp" : "_nofp");
}

INSTANTIATE_TEST_SUITE_P(Table, CrashCapture,
                         ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::Values(0, 1),
                                            ::testing::Values(false, true)),
                         row_name);

class CrashCaptureRuns : public qvtesting::SandboxTest, public ::testing::WithParamInterface<int> {};

// Two threads fault at once, many times over: the file is always one whole report.
TEST_P(CrashCaptureRuns, ConcurrentFaultsLeaveOneWholeReport) {
  int not_yet = 0;
  for (int i = 0; i < 50; ++i) {
    ChildRun run = crash_test::run_child(root(), crash_test::child_path(false), "two_faults", GetParam());
    ASSERT_EQ(run.signal(), SIGSEGV) << "run " << i << ": " << run.errors;
    ASSERT_NE(run.report, nullptr) << "run " << i << ": " << run.reportError.description;
    // The crashed thread is at its fault; the other one is at its own fault when it faulted before the
    // threads were stopped for writing (parked), or still on its way to it.
    int at_fault = 0;
    for (const auto& thread : run.report->threads()) {
      const std::uint64_t pc = thread->stackFrames.empty() ? 0 : thread->stackFrames[0]->instructionPointer;
      if (pc == run.values["fault"] || pc == run.values["second_fault"]) {
        ++at_fault;
      } else if (!thread->crashed && (run.in("leaf", pc) || run.in("second", pc))) {
        ++at_fault;
        ++not_yet;
      }
    }
    std::string others;
    for (const auto& thread : run.report->threads()) {
      if (!has_chain(run, *thread, "park_leaf", "park_mid", "park_outer"))
        others += describe(run, *thread) + "\n";
    }
    ASSERT_EQ(at_fault, 2) << "run " << i << "\n" << others;
  }
  std::printf("two faults: %d of 50 runs had the second thread stopped before its fault\n", not_yet);
}

// With every handler reset, a fault ends the process with the default action instead of coming back
// into the dispatcher for ever.
TEST_P(CrashCaptureRuns, ResetHandlersLetTheFaultEndTheProcess) {
  ChildRun run = crash_test::run_child(root(), crash_test::child_path(false), "reset", GetParam(), {}, 2.0);
  ASSERT_TRUE(run.termination.has_value()) << "the child still runs after 2 s";
  EXPECT_EQ(run.signal(), SIGSEGV);
  EXPECT_LT(run.elapsed, std::chrono::seconds(2));
}

INSTANTIATE_TEST_SUITE_P(Types, CrashCaptureRuns, ::testing::Values(0, 1));

}  // namespace
