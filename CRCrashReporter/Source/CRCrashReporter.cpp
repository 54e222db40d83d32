#include "CRCrashReporter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "CRCrashSignalHandler.h"
#include "Platform/CRLoader.h"
#include "crcrash_write_report.h"
#include "platform/Exception.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace pc = platform::crash;
namespace fs = std::filesystem;

namespace {

using HandlerState = crcrash_reporter_handler_state;

HandlerState& handler_state() {
  static auto* state = new HandlerState();
  return *state;
}

std::mutex g_enable_mutex;
bool g_enabled_once = false;
std::atomic<std::int32_t> g_uncaught_once{0};
std::atomic<std::int64_t> g_darwin_major_override{-1};

void add_image(std::uint64_t header_addr, std::intptr_t, const char* name, void* context) {
  crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(context), header_addr, name);
}
void remove_image(std::uint64_t header_addr, std::intptr_t, const char*, void* context) {
  crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(context), header_addr);
}

// The process's image list, fed by the loader from the first reporter on.
crcrash_async_image_list_t* shared_image_list() {
  static crcrash_async_image_list_t* list = [] {
    auto* images = new crcrash_async_image_list_t();
    crcrash_nasync_image_list_init(images, pc::mach_task_self());
    pc::dyld_register_image_callbacks(add_image, remove_image, images);
    return images;
  }();
  return list;
}

void uncaught_exception_handler(const platform::Exception& exception) {
  std::int32_t expected = 0;
  if (!g_uncaught_once.compare_exchange_strong(expected, 1)) return;
  std::vector<std::uint64_t> addresses = exception.callStackReturnAddresses();
  crcrash_log_writer_set_exception(&handler_state().report.writer, exception.name().c_str(),
                                   exception.reason().c_str(), addresses.data(), addresses.size());
  std::abort();
}

// Darwin signal numbers of the report back to Linux ones, for the siginfo handed to handleSignal.
int linux_signal(int darwin) {
  switch (darwin) {
    case 10:
      return SIGBUS;
    case 12:
      return SIGSYS;
    default:
      return darwin;
  }
}

struct MachWrite {
  HandlerState* state;
  thread_t thread;
  const crcrash_log_signal_info_t* info;
  crcrash_error_t result;
};

int write_from_server(crcrash_async_thread_state_t* state, void* context) {
  auto* request = static_cast<MachWrite*>(context);
  request->result = crcrash_write_report(&request->state->report, request->thread, state, request->info);
  return 0;
}

std::string localized(const char* text) { return text; }

}  // namespace

kern_return_t crcrash_mach_exception_callback(task_t task, thread_t thread, exception_type_t type,
                                              const mach_exception_data_type_t* codes,
                                              mach_msg_type_number_t count, void* context) {
  auto* state = static_cast<HandlerState*>(context);
  if (CRCrashMachExceptionForward(task, thread, type, codes, count, &state->previous_ports) ==
      pc::KERN_SUCCESS) {
    return pc::KERN_SUCCESS;
  }
  // A request the fault bridge raised for a Linux signal reports that signal as delivered; the exception
  // table serves requests that came from elsewhere. (The table would turn every SIGSEGV that is not
  // SEGV_MAPERR into SIGBUS, as the kernel it was made for does.)
  crcrash_log_bsd_signal_info_t bsd{};
  pc::fault_bridge_signal_t delivered{};
  const bool from_signal = pc::fault_bridge_signal(thread, type, codes, count, &delivered);
  if (from_signal) {
    crcrash_async_signal_from_linux(delivered.signo, delivered.code, delivered.trapno, &bsd.signo, &bsd.code);
    bsd.address = crcrash_async_signal_address(delivered.code, delivered.address);
  } else {
    std::uint64_t address = 0;
    if (!crcrash_async_mach_exception_get_siginfo(type, codes, count, &bsd.signo, &bsd.code, &address)) {
      CRCRASH_DEBUG("Unexpected error mapping Mach exception to a POSIX signal");
      return pc::KERN_FAILURE;
    }
    bsd.address = reinterpret_cast<void*>(address);
  }
  crcrash_log_mach_signal_info_t mach{static_cast<std::uint64_t>(type),
                                      reinterpret_cast<const std::uint64_t*>(codes), count};
  crcrash_log_signal_info_t info{&bsd, &mach};
  MachWrite request{state, thread, &info, CRCRASH_ERR_UNKNOWN};
  crcrash_async_thread_state_current(write_from_server, &request);
  if (request.result != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("Failed to write live report: %d", request.result);
    return pc::KERN_FAILURE;
  }
  if (crcrash_crash_callbacks.handleSignal != nullptr) {
    siginfo_t siginfo;
    std::memset(&siginfo, 0, sizeof siginfo);
    if (from_signal) {
      siginfo.si_signo = delivered.signo;
      siginfo.si_code = delivered.code;
      siginfo.si_addr = delivered.address;
    } else {
      siginfo.si_signo = linux_signal(bsd.signo);
      siginfo.si_code = bsd.code;
      siginfo.si_addr = bsd.address;
    }
    ucontext_t uap;
    std::memset(&uap, 0, sizeof uap);
    crcrash_crash_callbacks.handleSignal(&siginfo, &uap, crcrash_crash_callbacks.context);
  }
  return pc::KERN_FAILURE;
}

// ---- Making ----

std::shared_ptr<CRCrashReporter> CRCrashReporter::sharedReporter() {
  static std::mutex lock;
  static std::shared_ptr<CRCrashReporter> shared;
  std::lock_guard guard(lock);
  if (shared == nullptr)
    shared = initWithBundle(&platform::Bundle::main(), CRCrashReporterConfig::defaultConfiguration());
  return shared;
}

std::shared_ptr<CRCrashReporter> CRCrashReporter::init() {
  return initWithConfiguration(CRCrashReporterConfig::defaultConfiguration());
}

std::shared_ptr<CRCrashReporter> CRCrashReporter::initWithConfiguration(
    std::shared_ptr<const CRCrashReporterConfig> config) {
  return initWithBundle(&platform::Bundle::main(), std::move(config));
}

std::shared_ptr<CRCrashReporter> CRCrashReporter::initWithBundle(
    const platform::Bundle* bundle, std::shared_ptr<const CRCrashReporterConfig> config) {
  std::string identifier = bundle != nullptr ? platform::Bundle::bundleIdentifier() : std::string();
  std::string version = bundle != nullptr ? platform::Bundle::bundleVersion() : std::string();
  std::optional<std::string> marketing;
  if (bundle != nullptr) marketing = platform::Bundle::shortVersionString();
  if (identifier.empty()) {
    const char* name = program_invocation_short_name;
    if (name == nullptr || *name == 0) {
      throw CRCrashReporterException("Can not determine process identifier or process name");
    }
    platform::log("[CRCrashReporter] Warning -- bundle identifier, using process name {}", name);
    identifier = name;
  }
  if (version.empty()) platform::log("[CRCrashReporter] Warning -- bundle version unavailable");
  return initWithApplicationIdentifier(identifier, version, marketing, std::move(config));
}

std::shared_ptr<CRCrashReporter> CRCrashReporter::initWithApplicationIdentifier(
    std::string identifier, std::string version, std::optional<std::string> marketingVersion,
    std::shared_ptr<const CRCrashReporterConfig> config) {
  shared_image_list();
  std::shared_ptr<CRCrashReporter> reporter(new CRCrashReporter());
  reporter->config_ = config != nullptr ? std::move(config) : CRCrashReporterConfig::defaultConfiguration();
  std::string folder = identifier;
  for (char& c : folder) {
    if (c == '/') c = '_';
  }
  reporter->applicationIdentifier_ = std::move(identifier);
  reporter->applicationVersion_ = std::move(version);
  reporter->applicationMarketingVersion_ = std::move(marketingVersion);
  reporter->crashReportDirectory_ =
      platform::paths::cachesDirectory() / "com.crashengine.reporter.data" / folder;
  return reporter;
}

// ---- The pending report ----

bool CRCrashReporter::populateCrashReportDirectory(platform::Error* error) const {
  for (const fs::path& dir : {crashReportDirectory_, queuedCrashReportDirectory()}) {
    std::error_code ec;
    if (fs::is_directory(dir, ec)) continue;
    fs::create_directories(dir, ec);
    if (!ec) fs::permissions(dir, fs::perms(0755), ec);
    if (ec) {
      return platform::fail(error,
                            platform::Error::make(platform::kPOSIXErrorDomain, ec.value(),
                                                  "Could not create " + dir.string() + ": " + ec.message()));
    }
  }
  return true;
}

bool CRCrashReporter::hasPendingCrashReport() const {
  std::error_code ec;
  return fs::exists(crashReportPath(), ec);
}

std::optional<platform::Data> CRCrashReporter::loadPendingCrashReportData(platform::Error* error) const {
  const std::string path = crashReportPath().string();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    platform::fail(error, platform::Error::fromErrno(errno, "Could not open " + path));
    return std::nullopt;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    int e = errno;
    close(fd);
    platform::fail(error, platform::Error::fromErrno(e, "Could not read " + path));
    return std::nullopt;
  }
  // A report is far smaller; a larger file is not a report, and reading it would cost its size in memory.
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > CRCrashReportMaximumSize) {
    close(fd);
    platform::fail(error, crcrash_error(CRCrashReporterErrorCrashReportInvalid,
                                        "The pending crash report is larger than a crash report can be"));
    return std::nullopt;
  }
  platform::Data data(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = read(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      close(fd);
      platform::fail(error, platform::Error::fromErrno(e, "Could not read " + path));
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  close(fd);
  data.resize(done);
  return data;
}

bool CRCrashReporter::purgePendingCrashReport(platform::Error* error) const {
  if (unlink(crashReportPath().c_str()) != 0) {
    return platform::fail(
        error, platform::Error::fromErrno(errno, "Could not remove " + crashReportPath().string()));
  }
  return true;
}

// ---- Arming ----

void CRCrashReporter::setCrashCallbacks(const CRCrashReporterCallbacks* callbacks) {
  if (enabled_) throw CRCrashReporterException("The crash reporter has alread been enabled");
  if (callbacks == nullptr || callbacks->version != 0)
    throw CRCrashReporterException("Unsupported callbacks version");
  crcrash_crash_callbacks.context = callbacks->context;
  crcrash_crash_callbacks.handleSignal = callbacks->handleSignal;
}

platform::crash::exception_mask_t CRCrashReporter::machExceptionMaskForDarwinMajor(std::uint64_t major) {
  pc::exception_mask_t mask = pc::EXC_MASK_BAD_ACCESS | pc::EXC_MASK_BAD_INSTRUCTION |
                              pc::EXC_MASK_ARITHMETIC | pc::EXC_MASK_SOFTWARE | pc::EXC_MASK_BREAKPOINT;
  if (major >= 13) mask |= pc::EXC_MASK_GUARD;
  return mask;
}

void CRCrashReporter::setDarwinMajorVersionForTesting(std::optional<std::uint64_t> major) {
  g_darwin_major_override.store(major ? static_cast<std::int64_t>(*major) : -1);
}

const crcrash_reporter_handler_state& CRCrashReporter::handlerState() { return handler_state(); }

std::shared_ptr<CRCrashMachExceptionServer> CRCrashReporter::enableMachExceptionServerWithPreviousPortSet(
    std::shared_ptr<CRCrashMachExceptionPortSet>* previous, crcrash_exception_server_callback callback,
    void* context, platform::Error* error) {
  std::uint64_t major = 0;
  if (std::int64_t forced = g_darwin_major_override.load(); forced >= 0) {
    major = static_cast<std::uint64_t>(forced);
  } else if (auto host = CRCrashHostInfo::currentHostInfo()) {
    major = host->darwinVersion().major;
  }
  const pc::exception_mask_t mask = machExceptionMaskForDarwinMajor(major);
  platform::Error inner;
  auto server = CRCrashMachExceptionServer::initWithCallBack(callback, context, &inner);
  if (server == nullptr) {
    platform::fail(error, crcrash_error(1, "Failed to instantiate the Mach exception server.", inner));
    return nullptr;
  }
  auto port = server->exceptionPortWithMask(mask, &inner);
  if (port == nullptr) {
    platform::fail(error, crcrash_error(1, "Failed to instantiate the Mach exception port.", inner));
    return nullptr;
  }
  if (!port->registerForTask(pc::mach_task_self(), previous, &inner)) {
    platform::fail(error, crcrash_error(1, "Failed to set the target task's mach exception ports.", inner));
    return nullptr;
  }
  return server;
}

bool CRCrashReporter::enableCrashReporter(platform::Error* error) {
  {
    std::lock_guard lock(g_enable_mutex);
    if (g_enabled_once) {
      return platform::fail(error, crcrash_error(CRCrashReporterErrorResourceBusy,
                                                 "A CRCrashReporter instance has already been enabled"));
    }
    g_enabled_once = true;
  }
  if (enabled_) throw CRCrashReporterException("The crash reporter has alread been enabled");
  if (!populateCrashReportDirectory(error)) return false;

  HandlerState& state = handler_state();
  state.report.path = strdup(crashReportPath().c_str());
  state.report.image_list = shared_image_list();
  state.report.one_report = true;
  crcrash_log_writer_init(&state.report.writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                          applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                          mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), false);

  CRCrashSignalHandler& signals = CRCrashSignalHandler::sharedHandler();
  if (config_->signalHandlerType() == CRCrashSignalHandlerTypeBSD) {
    for (int signo : crcrash_armed_signals) {
      if (!signals.registerHandlerForSignal(signo, crcrash_signal_crash_callback, &state.report, error))
        return false;
    }
  } else if (config_->signalHandlerType() == CRCrashSignalHandlerTypeMach) {
    if (!signals.registerHandlerForSignal(SIGABRT, crcrash_signal_crash_callback, &state.report, error))
      return false;
    machServer_ = enableMachExceptionServerWithPreviousPortSet(
        &previousMachPorts_, crcrash_mach_exception_callback, &state, error);
    if (machServer_ == nullptr) return false;
    // An armed exception server is never stopped: the reporter keeps itself, and so its server, alive.
    static std::shared_ptr<CRCrashReporter> keep_alive;
    keep_alive = shared_from_this();
    if (previousMachPorts_ != nullptr) {
      state.previous_ports = previousMachPorts_->asyncSafeRepresentation();
    } else {
      std::memset(&state.previous_ports, 0, sizeof state.previous_ports);
    }
  }
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (config_->shouldRegisterUncaughtExceptionHandler())
    platform::setUncaughtExceptionHandler(uncaught_exception_handler);
  enabled_ = true;
  return true;
}

// ---- Live reports ----

namespace {

struct LiveWrite {
  crcrash_log_writer_t* writer;
  crcrash_async_file_t* file;
  const crcrash_log_signal_info_t* info;
  crcrash_error_t result;
};

int write_live(crcrash_async_thread_state_t* state, void* context) {
  auto* request = static_cast<LiveWrite*>(context);
  request->result = crcrash_log_writer_write(request->writer, pc::mach_thread_self(), shared_image_list(),
                                             request->file, request->info, state);
  return 0;
}

}  // namespace

std::optional<platform::Data> CRCrashReporter::generateLiveReport(platform::Error* error) {
  return generateLiveReportWithThread(pc::mach_thread_self(), error);
}

__attribute__((noinline)) std::optional<platform::Data> CRCrashReporter::generateLiveReportWithThread(
    thread_t thread, platform::Error* error) {
  std::string pattern = (platform::paths::temporaryDirectory() / "live_crash_report.XXXXXX").string();
  int fd = mkstemp(pattern.data());
  if (fd < 0) {
    platform::fail(error, crcrash_posix_error(localized("Failed to create temporary path"), errno));
    return std::nullopt;
  }
  crcrash_log_writer_t writer;
  crcrash_log_writer_init(&writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                          applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                          mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), true);
  crcrash_async_file_t file;
  crcrash_async_file_init(&file, fd, CRCRASH_REPORT_FILE_LIMIT);
  crcrash_log_bsd_signal_info_t bsd{SIGTRAP, 2, __builtin_return_address(0)};
  crcrash_log_signal_info_t info{&bsd, nullptr};
  LiveWrite request{&writer, &file, &info, CRCRASH_ERR_UNKNOWN};
  if (thread == pc::mach_thread_self()) {
    crcrash_async_thread_state_current(write_live, &request);
  } else {
    request.result = crcrash_log_writer_write(&writer, thread, shared_image_list(), &file, &info, nullptr);
  }
  crcrash_log_writer_close(&writer);
  const bool flushed = crcrash_async_file_flush(&file);
  crcrash_async_file_close(&file);
  std::optional<platform::Data> result;
  if (request.result != CRCRASH_ERR_NONE || !flushed) {
    platform::log("Write failed with error {}", crcrash_async_strerror(request.result));
    platform::fail(error, crcrash_error(0, "Failed to write the crash report to disk"));
  } else {
    std::ifstream in(pattern, std::ios::binary);
    if (!in) {
      platform::fail(error, crcrash_error(0, localized("Unable to open live crash report for reading")));
    } else {
      result = platform::Data(std::istreambuf_iterator<char>(in), {});
    }
  }
  crcrash_log_writer_free(&writer);
  if (unlink(pattern.c_str()) != 0) {
    platform::log("Failure occured deleting live crash report: {}", std::strerror(errno));
  }
  return result;
}
