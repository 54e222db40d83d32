#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
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

// In the child: what the handler saw, one line per call.
void printingHandler(const TLCrashesCXXExceptionInfo* info) {
  TLCrashesCXXExceptionWrapperException wrapper(info);
  std::fprintf(stderr, "HANDLER type=%s message=%s frames=%u name=[%s] reason=[%s] stack=%zu\n",
               info->typeName ? info->typeName : "(null)", info->messageText ? info->messageText : "(null)",
               info->frameCount, wrapper.name().c_str(), wrapper.reason().c_str(),
               wrapper.callStackReturnAddresses().size());
  std::fflush(stderr);
}

void customTerminate() {
  std::fprintf(stderr, "CUSTOM TERMINATE\n");
  std::fflush(stderr);
  std::_Exit(3);
}

bool inChild() { return std::getenv("QV_CXX_CHILD") != nullptr; }

[[gnu::noinline]] void throwKind(const std::string& kind) {
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
      // Throw-site frames were recorded (never a wrapped count) and the wrapper carries them all.
      const auto frames = std::stoul(line.substr(line.find("frames=") + 7));
      EXPECT_GT(frames, 1u) << line;
      EXPECT_LT(frames, 128u) << line;
      EXPECT_NE(line.find("stack=" + std::to_string(frames)), std::string::npos) << line;
    }
    EXPECT_EQ(calls, static_cast<std::size_t>(row.calls)) << row.kind << "\n" << child.output;
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
