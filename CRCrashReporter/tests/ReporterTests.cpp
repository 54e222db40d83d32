// The reporter facade, the signal handler chain and the exception server in this process: live reports,
// arming rules, the server's answers to good and bad messages, forwarding to an earlier handler, the port
// stand-in's notifications and the stop handshake.

#include <crcrash.pb-c.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CRCrashReport.h"
#include "CRCrashReporter.h"
#include "CRCrashSignalHandler.h"
#include "CrashTestSupport.h"
#include "Platform/CRLoader.h"
#include "Platform/CRThreads.h"
#include "PortTestSupport.h"
#include "platform/NetlinkRouteMonitor.h"
#include "platform/Paths.h"
#include "platform/Task.h"
#include "testing/Sandbox.h"

namespace pc = platform::crash;
namespace fs = std::filesystem;
using crash_test::CapturedStderr;

namespace {

// A thread waiting on a futex until released; `tid` is its thread id.
class WaitingThread {
 public:
  explicit WaitingThread(bool block_all_signals = false) {
    thread_ = std::thread([this, block_all_signals] {
      if (block_all_signals) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
      }
      tid_.store(pc::mach_thread_self());
      while (release_.load() == 0) syscall(SYS_futex, &release_, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    });
    while (tid_.load() == 0) std::this_thread::yield();
  }
  ~WaitingThread() {
    release_.store(1);
    syscall(SYS_futex, &release_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    thread_.join();
  }
  thread_t tid() const { return tid_.load(); }

 private:
  std::atomic<std::uint32_t> release_{0};
  std::atomic<thread_t> tid_{0};
  std::thread thread_;
};

bool user_requested(const platform::Data& data) {
  if (data.size() < 8) return false;
  Crcrash__CrashReport* message = crcrash__crash_report__unpack(nullptr, data.size() - 8, data.data() + 8);
  if (message == nullptr) return false;
  const bool requested = message->report_info != nullptr && message->report_info->user_requested;
  crcrash__crash_report__free_unpacked(message, nullptr);
  return requested;
}

class CrashReporterFacade : public qvtesting::SandboxTest {
 protected:
  std::shared_ptr<CRCrashReporter> reporter(std::uint64_t type = 2, std::uint64_t strategy = 1) {
    return CRCrashReporter::initWithApplicationIdentifier(
        "com.quorvane/tests", "9", "1.0",
        CRCrashReporterConfig::initWithSignalHandlerType(type, strategy, false));
  }
};

TEST_F(CrashReporterFacade, PathsLieUnderTheCachesFolderWithSlashesReplaced) {
  auto r = reporter();
  EXPECT_EQ(r->crashReportDirectory(),
            platform::paths::cachesDirectory() / "com.crashengine.reporter.data" / "com.quorvane_tests");
  EXPECT_EQ(r->crashReportPath().filename(), "live_report.crcrash");
  EXPECT_EQ(r->queuedCrashReportDirectory().filename(), "queued_reports");
  ASSERT_TRUE(r->populateCrashReportDirectory());
  EXPECT_EQ(fs::status(r->crashReportDirectory()).permissions() & fs::perms::all, fs::perms(0755));
  EXPECT_TRUE(fs::is_directory(r->queuedCrashReportDirectory()));
}

TEST_F(CrashReporterFacade, PendingReportIsLoadedAndPurged) {
  auto r = reporter();
  ASSERT_TRUE(r->populateCrashReportDirectory());
  EXPECT_FALSE(r->hasPendingCrashReport());
  platform::Error error;
  EXPECT_FALSE(r->loadPendingCrashReportData(&error).has_value());
  EXPECT_EQ(error.domain, platform::kPOSIXErrorDomain);
  std::ofstream(r->crashReportPath(), std::ios::binary) << "crcrash\x01";
  EXPECT_TRUE(r->hasPendingCrashReport());
  auto data = r->loadPendingCrashReportData(&error);
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(data->size(), 8u);
  EXPECT_TRUE(r->purgePendingCrashReport(&error));
  EXPECT_FALSE(r->hasPendingCrashReport());
  EXPECT_FALSE(r->purgePendingCrashReport(&error));
}

// A file larger than any report is refused before it is read.
TEST_F(CrashReporterFacade, OversizedPendingFileIsRefusedUnread) {
  auto r = reporter();
  ASSERT_TRUE(r->populateCrashReportDirectory());
  fs::resize_file((std::ofstream(r->crashReportPath()), r->crashReportPath()), CRCrashReportMaximumSize + 1);
  platform::Error error;
  EXPECT_FALSE(r->loadPendingCrashReportData(&error).has_value());
  EXPECT_EQ(error.domain, CRCrashReporterErrorDomain);
  EXPECT_EQ(error.code, CRCrashReporterErrorCrashReportInvalid);
  fs::resize_file(r->crashReportPath(), CRCrashReportMaximumSize);
  EXPECT_TRUE(r->loadPendingCrashReportData(&error).has_value());
}

TEST_F(CrashReporterFacade, LiveReportsOfThisAndAnotherThread) {
  auto r = reporter();
  CapturedStderr quiet;
  WaitingThread other;
  for (thread_t thread : {pc::mach_thread_self(), other.tid()}) {
    platform::Error error;
    auto data = r->generateLiveReportWithThread(thread, &error);
    ASSERT_TRUE(data.has_value()) << error.description;
    auto report = CRCrashReport::initWithData(*data, &error);
    ASSERT_NE(report, nullptr) << error.description;
    EXPECT_TRUE(user_requested(*data));
    EXPECT_EQ(report->signalInfo()->name, "SIGTRAP");
    EXPECT_EQ(report->signalInfo()->code, "TRAP_TRACE");
    EXPECT_EQ(report->applicationInfo()->applicationIdentifier, "com.quorvane/tests");
    int crashed = 0;
    for (const auto& t : report->threads()) {
      if (!t->crashed) continue;
      ++crashed;
      EXPECT_GE(t->stackFrames.size(), 3u);
    }
    EXPECT_EQ(crashed, 1);
  }
  // The scratch files are gone.
  EXPECT_TRUE(fs::is_empty(platform::paths::temporaryDirectory()));
}

// A thread that blocks every signal cannot be stopped: the report leaves it out and is written in time.
TEST_F(CrashReporterFacade, ThreadBlockingEverySignalIsLeftOut) {
  auto r = reporter();
  CapturedStderr quiet;
  WaitingThread blocking(true);
  const auto start = std::chrono::steady_clock::now();
  auto data = r->generateLiveReport();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ASSERT_TRUE(data.has_value());
  platform::Error error;
  auto report = CRCrashReport::initWithData(*data, &error);
  ASSERT_NE(report, nullptr);
  std::size_t threads = 0;
  pc::task_threads(nullptr, 0, &threads);
  thread_t ids[256];
  pc::task_threads(ids, 256, &threads);
  EXPECT_EQ(report->threads().size(), threads - 1);
}

// The platform's own background threads (the task reaper, the route monitors) keep the process's
// signals away from themselves but take the stop signal: a report holds every thread the process has.
TEST_F(CrashReporterFacade, ThePlatformsBackgroundThreadsAreStoppedAndReported) {
  auto r = reporter();
  CapturedStderr quiet;
  // One route monitor started before the stop signal is chosen and one after.
  auto early = platform::NetlinkRouteMonitor::make();
  ASSERT_TRUE(early->start([](const platform::NetlinkRouteTable&) {}));
  ASSERT_NE(r->generateLiveReport(), std::nullopt);
  auto late = platform::NetlinkRouteMonitor::make();
  ASSERT_TRUE(late->start([](const platform::NetlinkRouteTable&) {}));
  auto task = platform::Task::make();
  task->setLaunchPath("/bin/sleep");
  task->setArguments({"30"});
  ASSERT_TRUE(task->launch());

  auto data = r->generateLiveReport();
  ASSERT_TRUE(data.has_value());
  platform::Error error;
  auto report = CRCrashReport::initWithData(*data, &error);
  ASSERT_NE(report, nullptr) << error.description;
  thread_t ids[256];
  std::size_t threads = 0;
  pc::task_threads(ids, 256, &threads);
  EXPECT_EQ(report->threads().size(), threads);
  EXPECT_EQ(quiet.text().find("thread state failed"), std::string::npos) << quiet.text();
  task->terminate();
  early->stop();
  late->stop();
}

// Type 2 arms nothing; the process enables once; callbacks cannot change afterwards; strategy 7 is 3.
TEST_F(CrashReporterFacade, EnablesOncePerProcess) {
  struct sigaction before;
  sigaction(SIGSEGV, nullptr, &before);
  auto r = reporter(2, 7);
  CapturedStderr quiet;
  platform::Error error;
  ASSERT_TRUE(r->enableCrashReporter(&error)) << error.description;
  EXPECT_TRUE(r->isEnabled());
  struct sigaction after;
  sigaction(SIGSEGV, nullptr, &after);
  EXPECT_EQ(after.sa_sigaction, before.sa_sigaction);
  EXPECT_EQ(CRCrashReporter::handlerState().report.writer.symbol_strategy, 3u);
  EXPECT_EQ(CRCrashReporter::mapToAsyncSymbolicationStrategy(7), 3u);
  auto ports = CRCrashMachExceptionPort::exceptionPortsForTask(pc::mach_task_self(), 0x3FFE, &error);
  ASSERT_NE(ports, nullptr);
  for (const auto& port : *ports) EXPECT_FALSE(pc::MACH_PORT_VALID(port->server_port()));

  CRCrashReporterCallbacks callbacks;
  EXPECT_THROW(r->setCrashCallbacks(&callbacks), CRCrashReporterException);
  for (auto& again : {r, reporter(0, 0)}) {
    platform::Error busy;
    EXPECT_FALSE(again->enableCrashReporter(&busy));
    EXPECT_EQ(busy.domain, CRCrashReporterErrorDomain);
    EXPECT_EQ(busy.code, CRCrashReporterErrorResourceBusy);
  }
}

// ---- Signal handler chain ----

std::atomic<int> g_chain_calls{0};
bool counting_callback(int, siginfo_t*, ucontext_t*, void* context, crcrash_signal_handler_callback_t* next) {
  g_chain_calls += *static_cast<int*>(context);
  return false || crcrash_signal_handler_forward(next, SIGURG, nullptr, nullptr);
}

TEST(CrashSignalHandler, ChainAndPreviousActions) {
  // SIGURG was ignored before: the chain's previous-action link counts it handled, nothing is raised.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGURG, &ignore, nullptr);
  CRCrashSignalHandler& handler = CRCrashSignalHandler::sharedHandler();
  int weight = 1;
  platform::Error error;
  ASSERT_TRUE(handler.registerHandlerForSignal(SIGURG, counting_callback, &weight, &error));
  ASSERT_TRUE(handler.registerHandlerForSignal(SIGURG, counting_callback, &weight, &error));
  struct sigaction installed;
  sigaction(SIGURG, nullptr, &installed);
  EXPECT_EQ(installed.sa_flags & (SA_ONSTACK | SA_SIGINFO), SA_ONSTACK | SA_SIGINFO);
  raise(SIGURG);
  EXPECT_EQ(g_chain_calls.load(), 2);  // both entries ran, then the old action took it

  // With every entry reset, a signal whose old action is the default is raised again with that action
  // (here: SIGURG's default ignores it) instead of coming back into the dispatcher.
  CRCrashSignalHandler::resetHandlers();
  raise(SIGURG);
  EXPECT_EQ(g_chain_calls.load(), 2);
  sigaction(SIGURG, nullptr, &installed);
  EXPECT_EQ(installed.sa_handler, SIG_DFL);
}

TEST(CrashSignalHandler, FailingAlternateStackIsReported) {
  CRCrashSignalHandler::setSigaltstackFunctionForTesting([](const stack_t*, stack_t*) {
    errno = ENOMEM;
    return -1;
  });
  platform::Error error;
  EXPECT_FALSE(CRCrashSignalHandler::sharedHandler().registerHandlerWithSignal(SIGWINCH, &error));
  EXPECT_EQ(error.description, "Could not initialize alternative signal stack");
  EXPECT_EQ(error.code, CRCrashReporterErrorOperatingSystem);
  EXPECT_EQ(error.userInfo["NSUnderlyingError"]["code"], ENOMEM);
  CRCrashSignalHandler::setSigaltstackFunctionForTesting(nullptr);
  // The registration lock was given back.
  EXPECT_TRUE(CRCrashSignalHandler::sharedHandler().registerHandlerWithSignal(SIGWINCH, &error));
}

// Threads started after the wrapper is in place have a 64 KiB alternate stack above a guard page.
TEST(CrashSignalHandler, NewThreadsHaveAnAlternateStack) {
  stack_t seen{};
  std::thread([&] {
    sigaltstack(nullptr, &seen);
    EXPECT_EQ(seen.ss_sp, pc::thread_alt_stack().ss_sp);
  }).join();
  EXPECT_EQ(seen.ss_size, pc::kThreadAltStackSize);
  EXPECT_EQ(seen.ss_flags & SS_DISABLE, 0);
}

// ---- Exception server ----

void reporter_add_image(std::uint64_t header_addr, std::intptr_t, const char* name, void* context) {
  crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(context), header_addr, name);
}
void reporter_remove_image(std::uint64_t header_addr, std::intptr_t, const char*, void* context) {
  crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(context), header_addr);
}

struct ServerFixture : qvtesting::SandboxTest {
  crcrash_reporter_handler_state state{};
  crcrash_async_image_list_t images;
  int loader = 0;
  std::string path;
  std::unique_ptr<CapturedStderr> quiet;

  void SetUp() override {
    qvtesting::SandboxTest::SetUp();
    quiet = std::make_unique<CapturedStderr>();
    path = (root() / "report.crcrash").string();
    state.report.path = strdup(path.c_str());
    crcrash_log_writer_init(&state.report.writer, "com.quorvane.tests", "1", nullptr, 0, false);
    crcrash_nasync_image_list_init(&images, pc::mach_task_self());
    loader = pc::dyld_register_image_callbacks(reporter_add_image, reporter_remove_image, &images);
    state.report.image_list = &images;
  }
  void TearDown() override {
    pc::dyld_unregister_image_callbacks(loader);
    crcrash_nasync_image_list_free(&images);
    crcrash_log_writer_free(&state.report.writer);
    free(state.report.path);
    quiet.reset();
    qvtesting::SandboxTest::TearDown();
  }
  void previous(pc::mach_port_t port, exception_behavior_t behavior) {
    state.previous_ports = {};
    state.previous_ports.count = 1;
    state.previous_ports.masks[0] = pc::EXC_MASK_BAD_ACCESS;
    state.previous_ports.ports[0] = port;
    state.previous_ports.behaviors[0] = behavior;
    state.previous_ports.flavors[0] = pc::x86_THREAD_STATE;
  }
};

struct RaiseRequest {
  pc::mach_port_t port;
  mach_exception_data_type_t codes[2];
  kern_return_t result;
};

// Raises a bad access to `port` from this thread, parked as a faulting thread is.
int raise_parked(crcrash_async_thread_state_t* state, void* context) {
  auto* request = static_cast<RaiseRequest*>(context);
  pc::thread_park_state(&state->exception.ues.es64, &state->thread.uts.ts64);
  request->result = pc::exception_raise_to_port(
      request->port, pc::EXCEPTION_DEFAULT | pc::MACH_EXCEPTION_CODES, pc::x86_THREAD_STATE,
      pc::mach_thread_self(), pc::mach_task_self(), pc::EXC_BAD_ACCESS, request->codes, 2);
  pc::thread_unpark();
  return 0;
}

kern_return_t raise_to(pc::mach_port_t port, mach_exception_data_type_t code0 = 1,
                       mach_exception_data_type_t code1 = 0) {
  RaiseRequest request{port, {code0, code1}, -1};
  crcrash_async_thread_state_current(raise_parked, &request);
  return request.result;
}

struct Forwarding {
  exception_behavior_t behavior;
  kern_return_t earlier_answer;
  pc::mach_msg_id_t forwarded_id;  // 0: nothing forwarded
  bool report;
};

TEST_F(ServerFixture, ForwardsToTheEarlierHandlerOrWritesTheReport) {
  const exception_behavior_t codes64 = pc::MACH_EXCEPTION_CODES;
  const Forwarding rows[] = {
      {pc::EXCEPTION_DEFAULT | codes64, pc::KERN_SUCCESS, 2405, false},
      {pc::EXCEPTION_DEFAULT, pc::KERN_SUCCESS, 2401, false},
      {pc::EXCEPTION_STATE | codes64, pc::KERN_SUCCESS, 2406, false},
      {pc::EXCEPTION_STATE_IDENTITY | codes64, pc::KERN_SUCCESS, 2407, false},
      {pc::EXCEPTION_STATE, pc::KERN_SUCCESS, 2402, false},
      {pc::EXCEPTION_STATE_IDENTITY, pc::KERN_SUCCESS, 2403, false},
      {pc::EXCEPTION_DEFAULT | codes64, pc::KERN_FAILURE, 2405, true},
      {4, pc::KERN_SUCCESS, 0, true},
  };
  for (const Forwarding& row : rows) {
    SCOPED_TRACE(row.behavior);
    fs::remove(path);
    crash_test::ExceptionPortServer earlier(row.earlier_answer);
    previous(earlier.port(), row.behavior);
    platform::Error error;
    auto server =
        CRCrashMachExceptionServer::initWithCallBack(crcrash_mach_exception_callback, &state, &error);
    ASSERT_NE(server, nullptr) << error.description;
    const kern_return_t answer = raise_to(server->serverPort());
    EXPECT_EQ(answer, row.report ? pc::KERN_FAILURE : pc::KERN_SUCCESS);
    std::vector<pc::mach_msg_id_t> ids = earlier.ids();
    if (row.forwarded_id != 0) {
      ASSERT_EQ(ids.size(), 1u);
      EXPECT_EQ(ids[0], row.forwarded_id);
    } else {
      EXPECT_TRUE(ids.empty());
    }
    EXPECT_EQ(fs::exists(path), row.report);
    if (row.report) {
      auto report = CRCrashReport::initWithData(crash_test::read_file(path), &error);
      ASSERT_NE(report, nullptr) << error.description;
      EXPECT_EQ(report->signalInfo()->name, "SIGSEGV");
      EXPECT_EQ(report->signalInfo()->code, "SEGV_MAPERR");
      ASSERT_NE(report->machExceptionInfo(), nullptr);
      EXPECT_EQ(report->machExceptionInfo()->type, 1u);
      EXPECT_EQ(report->machExceptionInfo()->codes, (std::vector<std::uint64_t>{1, 0}));
    }
  }
}

// A request that no Linux signal stands behind (raised here, not by the fault bridge) is reported by the
// exception-to-signal table.
TEST_F(ServerFixture, RequestsNotFromASignalAreMappedByTheExceptionTable) {
  struct Row {
    mach_exception_data_type_t code0;
    const char* name;
    const char* code;
  };
  const Row rows[] = {
      {1, "SIGSEGV", "SEGV_MAPERR"}, {2, "SIGBUS", "BUS_ADRERR"}, {10, "SIGBUS", "BUS_ADRERR"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code0);
    fs::remove(path);
    platform::Error error;
    auto server =
        CRCrashMachExceptionServer::initWithCallBack(crcrash_mach_exception_callback, &state, &error);
    ASSERT_NE(server, nullptr) << error.description;
    EXPECT_EQ(raise_to(server->serverPort(), row.code0, 0x5000), pc::KERN_FAILURE);
    auto report = CRCrashReport::initWithData(crash_test::read_file(path), &error);
    ASSERT_NE(report, nullptr) << error.description;
    EXPECT_EQ(report->signalInfo()->name, row.name);
    EXPECT_EQ(report->signalInfo()->code, row.code);
    EXPECT_EQ(report->signalInfo()->address, 0x5000u);
  }
}

std::atomic<int> g_server_calls{0};
kern_return_t counting_server(task_t, thread_t, exception_type_t, const mach_exception_data_type_t*,
                              mach_msg_type_number_t, void*) {
  ++g_server_calls;
  return pc::KERN_SUCCESS;
}

// Bad messages are answered KERN_FAILURE without reaching the callback; a no-senders notification and a
// stop message nobody asked for leave the server serving; the stop handshake ends its thread.
TEST(CrashExceptionServer, BadMessagesAndTheStopHandshake) {
  CapturedStderr quiet;
  g_server_calls = 0;
  platform::Error error;
  auto server = CRCrashMachExceptionServer::initWithCallBack(counting_server, nullptr, &error);
  ASSERT_NE(server, nullptr) << error.description;
  const pc::mach_port_t port = server->serverPort();
  const thread_t self = pc::mach_thread_self();
  using crash_test::exception_request;
  using crash_test::send_raw;
  EXPECT_EQ(send_raw(port, exception_request(60, 2, self), pc::kMachExceptionRaiseId), pc::KERN_FAILURE);
  EXPECT_EQ(send_raw(port, exception_request(84, 2, self), 2406), pc::KERN_FAILURE);
  EXPECT_EQ(send_raw(port, exception_request(84, 1000, self), pc::kMachExceptionRaiseId), pc::KERN_FAILURE);
  EXPECT_EQ(send_raw(port, exception_request(76, 2, self), pc::kMachExceptionRaiseId), pc::KERN_FAILURE);
  EXPECT_EQ(send_raw(port, exception_request(24, 2, self), pc::kMachExceptionRaiseId), pc::KERN_FAILURE);
  // A large message that claims many codes and carries them all is received whole (the buffer grows).
  EXPECT_EQ(send_raw(port, exception_request(68 + 8 * 1000, 1000, self), pc::kMachExceptionRaiseId),
            pc::KERN_SUCCESS);
  EXPECT_EQ(g_server_calls.load(), 1);

  // A stop message without a stop request is ignored.
  pc::mach_msg_header_t stop{};
  stop.msgh_bits = pc::MACH_MSGH_BITS(pc::MACH_MSG_TYPE_COPY_SEND, 0);
  stop.msgh_remote_port = server->notifyPort();
  stop.msgh_id = kExceptionServerStopId;
  ASSERT_EQ(pc::mach_msg(&stop, pc::MACH_SEND_MSG, sizeof stop, 0, 0, 0, 0), pc::MACH_MSG_SUCCESS);
  // Dropping the last send right sends no-senders to the notify port, which the server ignores too.
  EXPECT_EQ(pc::mach_port_send_rights(port), 1);
  ASSERT_EQ(pc::mach_port_deallocate(pc::mach_task_self(), port), pc::KERN_SUCCESS);
  EXPECT_EQ(send_raw(port, exception_request(84, 2, self), pc::kMachExceptionRaiseId), pc::KERN_SUCCESS);
  EXPECT_EQ(g_server_calls.load(), 2);

  const thread_t server_thread = server->serverThread();
  const auto start = std::chrono::steady_clock::now();
  server.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_FALSE(pc::mach_port_is_live(port));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (fs::exists("/proc/self/task/" + std::to_string(server_thread)) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(fs::exists("/proc/self/task/" + std::to_string(server_thread)));
}

TEST(CrashMachPorts, NoSendersNotification) {
  const task_t task = pc::mach_task_self();
  pc::mach_port_t port = 0, notify = 0;
  ASSERT_EQ(pc::mach_port_allocate(task, pc::MACH_PORT_RIGHT_RECEIVE, &port), pc::KERN_SUCCESS);
  ASSERT_EQ(pc::mach_port_allocate(task, pc::MACH_PORT_RIGHT_RECEIVE, &notify), pc::KERN_SUCCESS);
  ASSERT_EQ(pc::mach_port_request_notification(task, port, pc::MACH_NOTIFY_NO_SENDERS, 1, notify,
                                               pc::MACH_MSG_TYPE_MAKE_SEND_ONCE, nullptr),
            pc::KERN_SUCCESS);
  pc::mach_port_insert_right(task, port, port, pc::MACH_MSG_TYPE_MAKE_SEND);
  pc::mach_port_insert_right(task, port, port, pc::MACH_MSG_TYPE_MAKE_SEND);
  pc::mach_msg_header_t received[4]{};
  pc::mach_port_deallocate(task, port);
  EXPECT_EQ(
      pc::mach_msg(received, pc::MACH_RCV_MSG | pc::MACH_RCV_TIMEOUT, 0, sizeof received, notify, 50, 0),
      pc::MACH_RCV_TIMED_OUT);
  pc::mach_port_deallocate(task, port);
  ASSERT_EQ(
      pc::mach_msg(received, pc::MACH_RCV_MSG | pc::MACH_RCV_TIMEOUT, 0, sizeof received, notify, 2000, 0),
      pc::MACH_MSG_SUCCESS);
  EXPECT_EQ(received[0].msgh_id, pc::MACH_NOTIFY_NO_SENDERS);
  EXPECT_EQ(received[0].msgh_local_port, notify);
  // A message larger than the buffer stays queued with MACH_RCV_LARGE and tells its size.
  std::vector<std::uint8_t> big(300);
  auto* header = reinterpret_cast<pc::mach_msg_header_t*>(big.data());
  header->msgh_remote_port = port;
  header->msgh_id = 7;
  ASSERT_EQ(pc::mach_msg(header, pc::MACH_SEND_MSG, 300, 0, 0, 0, 0), pc::MACH_MSG_SUCCESS);
  EXPECT_EQ(pc::mach_msg(received, pc::MACH_RCV_MSG | pc::MACH_RCV_LARGE, 0, sizeof received, port, 0, 0),
            pc::MACH_RCV_TOO_LARGE);
  EXPECT_EQ(received[0].msgh_size, 300u);
  std::vector<std::uint8_t> whole(300);
  EXPECT_EQ(pc::mach_msg(reinterpret_cast<pc::mach_msg_header_t*>(whole.data()), pc::MACH_RCV_MSG, 0, 300,
                         port, 0, 0),
            pc::MACH_MSG_SUCCESS);
  pc::mach_port_mod_refs(task, port, pc::MACH_PORT_RIGHT_RECEIVE, -1);
  pc::mach_port_mod_refs(task, notify, pc::MACH_PORT_RIGHT_RECEIVE, -1);
  EXPECT_EQ(pc::mach_msg(header, pc::MACH_SEND_MSG, 300, 0, 0, 0, 0), pc::MACH_SEND_INVALID_DEST);
}

// The registry: swap gives back what was there, grouped; get reads it; the mask follows the Darwin
// version.
TEST_F(ServerFixture, RegistryAndTheHostsMask) {
  for (auto [major, mask] : {std::pair<std::uint64_t, pc::exception_mask_t>{12, 0x6E}, {13, 0x106E}}) {
    CRCrashReporter::setDarwinMajorVersionForTesting(major);
    std::shared_ptr<CRCrashMachExceptionPortSet> before;
    platform::Error error;
    auto r = CRCrashReporter::initWithApplicationIdentifier("t", "1", std::nullopt, nullptr);
    auto server = r->enableMachExceptionServerWithPreviousPortSet(&before, counting_server, nullptr, &error);
    ASSERT_NE(server, nullptr) << error.description;
    auto now = CRCrashMachExceptionPort::exceptionPortsForTask(pc::mach_task_self(), 0x3FFE, &error);
    ASSERT_NE(now, nullptr);
    pc::exception_mask_t registered = 0;
    for (const auto& port : *now) {
      if (port->server_port() == server->serverPort()) {
        registered |= port->mask();
        EXPECT_EQ(static_cast<std::uint32_t>(port->behavior()), 0x80000001u);
        EXPECT_EQ(port->flavor(), 7);
      }
    }
    EXPECT_EQ(registered, mask);
    // Put back what was registered before.
    for (const auto& port : *before) {
      pc::task_set_exception_ports(pc::mach_task_self(), port->mask(), port->server_port(), port->behavior(),
                                   port->flavor());
    }
  }
  CRCrashReporter::setDarwinMajorVersionForTesting(std::nullopt);
}

}  // namespace
