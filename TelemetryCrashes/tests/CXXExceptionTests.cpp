#include <execinfo.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TelemetryCrashes/Internals/TLCrashesCXXExceptionHandler.h"
#include "testing/Sandbox.h"

namespace qvtest {
struct FancyError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
}  // namespace qvtest

namespace {

// The return address into throwKind's caller, as throwKind sees it.
void* g_throwKindCaller = nullptr;

// In the child: what the handler saw, one line per call. The handler runs on the stack that threw, so the
// record's frames are the outer end of the handler's own stack: "tail" says whether they are, frame for
// frame to the outermost, and "above" how many frames of the handler's stack lie above them.
// "caller" says whether the record's second frame is throwKind's caller, that is whether its first
// frame is throwKind itself (the throw site) and not the throw hook.
void printingHandler(const TLCrashesCXXExceptionInfo* info) {
  TLCrashesCXXExceptionWrapperException wrapper(info);
  void* now[256];
  const int depth = backtrace(now, 256);
  bool tail = info->frameCount > 0 && info->frameCount <= static_cast<std::uint32_t>(depth);
  for (std::uint32_t i = 0; tail && i < info->frameCount; ++i) {
    tail = info->frameAddresses[info->frameCount - 1 - i] ==
           reinterpret_cast<std::uint64_t>(now[depth - 1 - static_cast<int>(i)]);
  }
  const bool caller =
      info->frameCount >= 2 && info->frameAddresses[1] == reinterpret_cast<std::uint64_t>(g_throwKindCaller);
  std::fprintf(stderr,
               "HANDLER type=%s message=%s frames=%u name=[%s] reason=[%s] stack=%zu tail=%d above=%d "
               "caller=%d\n",
               info->typeName ? info->typeName : "(null)", info->messageText ? info->messageText : "(null)",
               info->frameCount, wrapper.name().c_str(), wrapper.reason().c_str(),
               wrapper.callStackReturnAddresses().size(), tail ? 1 : 0,
               depth - static_cast<int>(info->frameCount), caller ? 1 : 0);
  std::fflush(stderr);
}

void customTerminate() {
  std::fprintf(stderr, "CUSTOM TERMINATE\n");
  std::fflush(stderr);
  std::_Exit(3);
}

bool inChild() { return std::getenv("QV_CXX_CHILD") != nullptr; }

[[gnu::noinline]] void throwKind(const std::string& kind) {
  g_throwKindCaller = __builtin_return_address(0);
  asm volatile("" ::: "memory");
  if (kind == "fancy") throw qvtest::FancyError("fancy message");
  if (kind == "cstring") throw "c string message";
  if (kind == "string") throw std::string("string message");
  if (kind == "int") throw 42;
  if (kind == "library") {
    std::vector<int> empty;
    (void)empty.at(3);  // thrown inside the C++ library
  }
  throw std::runtime_error("plain");
}

}  // namespace

// ---- Child side: each test ends the process through an uncaught exception ----

// AddressSanitizer adds frames of its own (its interceptor of the throw) between the throw site and
// the runtime: the frame counts are pinned in the builds without it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kExactFrames = false;
#else
constexpr bool kExactFrames = true;
#endif

TEST(CXXCaptureChild, ThrowWithHandlers) {
  if (!inChild()) GTEST_SKIP();
  const std::string kind = std::getenv("QV_CXX_KIND");
  const int handlers = std::atoi(std::getenv("QV_CXX_HANDLERS"));
  if (std::getenv("QV_CXX_CUSTOM_TERMINATE")) std::set_terminate(customTerminate);
  for (int i = 0; i < handlers; ++i)
    TLCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(printingHandler);
  if (std::getenv("QV_CXX_REMOVE_ALL")) {
    for (int i = 0; i < handlers; ++i)
      TLCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(printingHandler);
  }
  std::fprintf(stderr, "COUNT %u\n", TLCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler());
  std::fflush(stderr);
  throwKind(kind);
}

// An exception thrown before any handler was added and rethrown afterwards: no throw site was recorded on
// this thread, so the terminate handler takes the frames of its own stack.
TEST(CXXCaptureChild, RethrowUnrecorded) {
  if (!inChild()) GTEST_SKIP();
  std::exception_ptr early;
  try {
    throwKind("plain");
  } catch (...) {
    early = std::current_exception();
  }
  TLCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(printingHandler);
  std::rethrow_exception(early);
}

// ---- Parent side ----

using CXXCapture = qvtesting::SandboxTest;

TEST_F(CXXCapture, UncaughtExceptionsReachTheHandlers) {
  if (inChild()) GTEST_SKIP();
  struct Row {
    std::string kind;
    int handlers;
    std::string line;  // expected handler line, less the frame counts
    int calls;
  };
  const std::vector<Row> rows = {
      {"fancy", 1, "type=N6qvtest10FancyErrorE message=fancy message frames=", 1},
      {"cstring", 1, "type=PKc message=c string message frames=", 1},
      {"string", 1, "message=string message frames=", 1},
      {"int", 1, "type=i message=(null) frames=", 1},
      {"library", 1, "type=St12out_of_range message=vector::_M_range_check", 1},
      {"plain", 2, "type=St13runtime_error message=plain frames=", 2},
  };
  for (const auto& row : rows) {
    auto child = crtesting::runTestChild(
        "CXXCaptureChild.ThrowWithHandlers",
        {{"QV_CXX_CHILD", "1"}, {"QV_CXX_KIND", row.kind}, {"QV_CXX_HANDLERS", std::to_string(row.handlers)}},
        root());
    EXPECT_TRUE(child.signalled(SIGABRT)) << row.kind << "\n" << child.output;
    EXPECT_NE(child.output.find("COUNT " + std::to_string(row.handlers)), std::string::npos) << child.output;
    std::size_t calls = 0;
    for (std::size_t at = child.output.find("HANDLER "); at != std::string::npos;
         at = child.output.find("HANDLER ", at + 1)) {
      ++calls;
      const std::string line = child.output.substr(at, child.output.find('\n', at) - at);
      EXPECT_NE(line.find(row.line), std::string::npos) << row.kind << ": " << line;
      // Throw-site frames were recorded (never a wrapped count) and the wrapper carries them all: from the
      // throw site (not the throw hook) to the outermost frame, and not one more.
      const auto frames = std::stoul(line.substr(line.find("frames=") + 7));
      EXPECT_GT(frames, 1u) << line;
      EXPECT_LT(frames, 128u) << line;
      EXPECT_NE(line.find("stack=" + std::to_string(frames)), std::string::npos) << line;
      if (kExactFrames) {
        EXPECT_NE(line.find("tail=1"), std::string::npos) << line;
      }
      if (kExactFrames && row.kind != "library") {
        EXPECT_NE(line.find("caller=1"), std::string::npos) << line;
      }
    }
    EXPECT_EQ(calls, static_cast<std::size_t>(row.calls)) << row.kind << "\n" << child.output;
  }
}

// Without a recorded throw site the frames are the terminate handler's callers: the handler's stack less
// the handler and the terminate handler, down to the outermost frame.
TEST_F(CXXCapture, UnrecordedThrowTakesTheTerminateHandlersCallers) {
  if (inChild()) GTEST_SKIP();
  auto child = crtesting::runTestChild("CXXCaptureChild.RethrowUnrecorded", {{"QV_CXX_CHILD", "1"}}, root());
  EXPECT_TRUE(child.signalled(SIGABRT)) << child.output;
  const std::size_t at = child.output.find("HANDLER ");
  ASSERT_NE(at, std::string::npos) << child.output;
  const std::string line = child.output.substr(at, child.output.find('\n', at) - at);
  EXPECT_NE(line.find("type=St13runtime_error message=plain"), std::string::npos) << line;
  if (kExactFrames) {
    EXPECT_NE(line.find("tail=1 above=2 "), std::string::npos) << line;
  }
}

TEST_F(CXXCapture, WrapperNamesTheDemangledTypeAndItsMessage) {
  if (inChild()) GTEST_SKIP();
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"fancy", "name=[qvtest::FancyError] reason=[fancy message]"},
      {"int", "name=[int] reason=[]"},
      {"cstring", "name=[char const*] reason=[c string message]"},
  };
  for (const auto& [kind, text] : rows) {
    auto child = crtesting::runTestChild(
        "CXXCaptureChild.ThrowWithHandlers",
        {{"QV_CXX_CHILD", "1"}, {"QV_CXX_KIND", kind}, {"QV_CXX_HANDLERS", "1"}}, root());
    EXPECT_NE(child.output.find(text), std::string::npos) << kind << "\n" << child.output;
  }
}

TEST_F(CXXCapture, WithoutHandlersTheRuntimeBehaviourStays) {
  if (inChild()) GTEST_SKIP();
  auto child = crtesting::runTestChild(
      "CXXCaptureChild.ThrowWithHandlers",
      {{"QV_CXX_CHILD", "1"}, {"QV_CXX_KIND", "plain"}, {"QV_CXX_HANDLERS", "0"}}, root());
  EXPECT_TRUE(child.signalled(SIGABRT)) << child.output;
  EXPECT_EQ(child.output.find("HANDLER"), std::string::npos) << child.output;
  EXPECT_NE(child.output.find("terminate called after throwing an instance of 'std::runtime_error'"),
            std::string::npos)
      << child.output;
}

TEST_F(CXXCapture, PreviousTerminateHandlerIsCalledAndRestored) {
  if (inChild()) GTEST_SKIP();
  // Installed: the handlers run, then the previous terminate handler.
  auto child = crtesting::runTestChild("CXXCaptureChild.ThrowWithHandlers",
                                       {{"QV_CXX_CHILD", "1"},
                                        {"QV_CXX_KIND", "plain"},
                                        {"QV_CXX_HANDLERS", "1"},
                                        {"QV_CXX_CUSTOM_TERMINATE", "1"}},
                                       root());
  EXPECT_TRUE(child.exited(3)) << child.output;
  EXPECT_LT(child.output.find("HANDLER"), child.output.find("CUSTOM TERMINATE")) << child.output;
  // Removed again: only the previous handler is left.
  child = crtesting::runTestChild("CXXCaptureChild.ThrowWithHandlers",
                                  {{"QV_CXX_CHILD", "1"},
                                   {"QV_CXX_KIND", "plain"},
                                   {"QV_CXX_HANDLERS", "2"},
                                   {"QV_CXX_CUSTOM_TERMINATE", "1"},
                                   {"QV_CXX_REMOVE_ALL", "1"}},
                                  root());
  EXPECT_TRUE(child.exited(3)) << child.output;
  EXPECT_NE(child.output.find("COUNT 0"), std::string::npos) << child.output;
  EXPECT_EQ(child.output.find("HANDLER"), std::string::npos) << child.output;
}
