#include "crcrash_log_writer.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "CRCrashProcessInfo.h"
#include "Platform/CRTaskMemory.h"
#include "Platform/CRThreads.h"
#include "crframe_cursor.h"

namespace pc = platform::crash;

// ---- Signal names ----

namespace {

struct SignalName {
  int signo;
  const char* name;
};
const SignalName kSignalNames[] = {
    {1, "SIGHUP"},   {2, "SIGINT"},   {3, "SIGQUIT"},    {4, "SIGILL"},   {5, "SIGTRAP"},   {6, "SIGABRT"},
    {6, "SIGIOT"},   {7, "SIGEMT"},   {8, "SIGFPE"},     {9, "SIGKILL"},  {10, "SIGBUS"},   {11, "SIGSEGV"},
    {12, "SIGSYS"},  {13, "SIGPIPE"}, {14, "SIGALRM"},   {15, "SIGTERM"}, {16, "SIGURG"},   {17, "SIGSTOP"},
    {18, "SIGTSTP"}, {19, "SIGCONT"}, {20, "SIGCHLD"},   {21, "SIGTTIN"}, {22, "SIGTTOU"},  {23, "SIGIO"},
    {24, "SIGXCPU"}, {25, "SIGXFSZ"}, {26, "SIGVTALRM"}, {27, "SIGPROF"}, {28, "SIGWINCH"}, {29, "SIGINFO"},
    {30, "SIGUSR1"}, {31, "SIGUSR2"},
};

struct SignalCode {
  int signo;
  int code;
  const char* name;
};
const SignalCode kSignalCodes[] = {
    {4, 0, "ILL_NOOP"},     {4, 1, "ILL_ILLOPC"}, {4, 2, "ILL_ILLTRP"},  {4, 3, "ILL_PRVOPC"},
    {4, 4, "ILL_ILLOPN"},   {4, 5, "ILL_ILLADR"}, {4, 6, "ILL_PRVREG"},  {4, 7, "ILL_COPROC"},
    {4, 8, "ILL_BADSTK"},   {8, 0, "FPE_NOOP"},   {8, 1, "FPE_FLTDIV"},  {8, 2, "FPE_FLTOVF"},
    {8, 3, "FPE_FLTUND"},   {8, 4, "FPE_FLTRES"}, {8, 5, "FPE_FLTINV"},  {8, 6, "FPE_FLTSUB"},
    {8, 7, "FPE_INTDIV"},   {8, 8, "FPE_INTOVF"}, {11, 0, "SEGV_NOOP"},  {11, 1, "SEGV_MAPERR"},
    {11, 2, "SEGV_ACCERR"}, {10, 0, "BUS_NOOP"},  {10, 1, "BUS_ADRALN"}, {10, 2, "BUS_ADRERR"},
    {10, 3, "BUS_OBJERR"},  {5, 1, "TRAP_BRKPT"}, {5, 2, "TRAP_TRACE"},  {6, 0, "#0"},
};

}  // namespace

const char* crcrash_async_signal_signame(int signo) {
  for (const SignalName& row : kSignalNames) {
    if (row.signo == signo) return row.name;
  }
  return nullptr;
}

const char* crcrash_async_signal_sigcode(int signo, int code) {
  for (const SignalCode& row : kSignalCodes) {
    if (row.signo == signo && row.code == code) return row.name;
  }
  return nullptr;
}

void crcrash_async_signal_from_linux(int linux_signo, int linux_code, int trapno, int* signo, int* code) {
  // Linux numbers (x86) on the left, Darwin's on the right; the rest agree.
  switch (linux_signo) {
    case 7:  // SIGBUS
      *signo = 10;
      break;
    case 10:  // SIGUSR1
      *signo = 30;
      break;
    case 12:  // SIGUSR2
      *signo = 31;
      break;
    case 17:  // SIGCHLD
      *signo = 20;
      break;
    case 18:  // SIGCONT
      *signo = 19;
      break;
    case 19:  // SIGSTOP
      *signo = 17;
      break;
    case 20:  // SIGTSTP
      *signo = 18;
      break;
    case 23:  // SIGURG
      *signo = 16;
      break;
    case 29:  // SIGIO
      *signo = 23;
      break;
    case 31:  // SIGSYS
      *signo = 12;
      break;
    default:
      *signo = linux_signo;
      break;
  }
  // Codes sent by a process (si_code <= 0) and by the kernel itself carry no fault detail.
  constexpr int kSiKernel = 0x80;
  if (linux_code <= 0 || linux_code == kSiKernel) {
    *code = (*signo == 5 && linux_code == kSiKernel && trapno == 3) ? 1 : 0;  // int3 is a breakpoint
    return;
  }
  *code = linux_code;
  switch (*signo) {
    case 4: {  // SIGILL: ILLOPC ILLOPN ILLADR ILLTRP PRVOPC PRVREG COPROC BADSTK
      const int map[] = {0, 1, 4, 5, 2, 3, 6, 7, 8};
      if (linux_code >= 1 && linux_code <= 8) *code = map[linux_code];
      break;
    }
    case 8: {  // SIGFPE: INTDIV INTOVF FLTDIV FLTOVF FLTUND FLTRES FLTINV FLTSUB
      const int map[] = {0, 7, 8, 1, 2, 3, 4, 5, 6};
      if (linux_code >= 1 && linux_code <= 8) *code = map[linux_code];
      break;
    }
    default:
      break;  // SEGV, BUS and TRAP codes agree
  }
}

void* crcrash_async_signal_address(int linux_code, void* fault_address) {
  return linux_code <= 0 ? nullptr : fault_address;
}

// ---- Field packer ----

namespace {

std::size_t emit(crcrash_async_file_t* file, const void* data, std::size_t length) {
  if (file != nullptr) crcrash_async_file_write(file, data, length);
  return length;
}

std::size_t pack_varint(crcrash_async_file_t* file, std::uint64_t value) {
  std::uint8_t buffer[10];
  std::size_t n = 0;
  do {
    std::uint8_t byte = value & 0x7F;
    value >>= 7;
    if (value != 0) byte |= 0x80;
    buffer[n++] = byte;
  } while (value != 0);
  return emit(file, buffer, n);
}

std::size_t log_writer_c_length(const char* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace

std::size_t crcrash_writer_pack(crcrash_async_file_t* file, std::uint32_t field_id, crcrash_pack_type_t type,
                                const void* value) {
  std::uint32_t wire;
  switch (type) {
    case CRCRASH_PACK_SFIXED32:
    case CRCRASH_PACK_FIXED32:
    case CRCRASH_PACK_FLOAT:
      wire = 5;
      break;
    case CRCRASH_PACK_SFIXED64:
    case CRCRASH_PACK_FIXED64:
    case CRCRASH_PACK_DOUBLE:
      wire = 1;
      break;
    case CRCRASH_PACK_STRING:
    case CRCRASH_PACK_BYTES:
    case CRCRASH_PACK_MESSAGE:
      wire = 2;
      break;
    case CRCRASH_PACK_INT32:
    case CRCRASH_PACK_SINT32:
    case CRCRASH_PACK_INT64:
    case CRCRASH_PACK_SINT64:
    case CRCRASH_PACK_UINT32:
    case CRCRASH_PACK_UINT64:
    case CRCRASH_PACK_BOOL:
    case CRCRASH_PACK_ENUM:
      wire = 0;
      break;
    default:
      CRCRASH_DEBUG("Unhandled field type %d", static_cast<int>(type));
      abort();
  }
  std::size_t size = pack_varint(file, (static_cast<std::uint64_t>(field_id) << 3) | wire);
  switch (type) {
    case CRCRASH_PACK_INT32: {
      std::int32_t v;
      std::memcpy(&v, value, sizeof v);
      return size + pack_varint(file, static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
    }
    case CRCRASH_PACK_SINT32: {
      std::int32_t v;
      std::memcpy(&v, value, sizeof v);
      return size +
             pack_varint(file, (static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31));
    }
    case CRCRASH_PACK_SFIXED32:
    case CRCRASH_PACK_FIXED32:
    case CRCRASH_PACK_FLOAT:
      return size + emit(file, value, 4);
    case CRCRASH_PACK_INT64:
    case CRCRASH_PACK_UINT64: {
      std::uint64_t v;
      std::memcpy(&v, value, sizeof v);
      return size + pack_varint(file, v);
    }
    case CRCRASH_PACK_SINT64: {
      std::int64_t v;
      std::memcpy(&v, value, sizeof v);
      return size +
             pack_varint(file, (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63));
    }
    case CRCRASH_PACK_SFIXED64:
    case CRCRASH_PACK_FIXED64:
    case CRCRASH_PACK_DOUBLE:
      return size + emit(file, value, 8);
    case CRCRASH_PACK_UINT32:
    case CRCRASH_PACK_ENUM: {
      std::uint32_t v;
      std::memcpy(&v, value, sizeof v);
      return size + pack_varint(file, v);
    }
    case CRCRASH_PACK_BOOL: {
      std::uint8_t v = *static_cast<const bool*>(value) ? 1 : 0;
      return size + emit(file, &v, 1);
    }
    case CRCRASH_PACK_STRING: {
      const char* s = static_cast<const char*>(value);
      std::size_t length = log_writer_c_length(s);
      size += pack_varint(file, length);
      return size + emit(file, s, length);
    }
    case CRCRASH_PACK_BYTES: {
      const auto* bytes = static_cast<const crcrash_pack_bytes_t*>(value);
      size += pack_varint(file, bytes->length);
      return size + emit(file, bytes->data, bytes->length);
    }
    case CRCRASH_PACK_MESSAGE: {
      std::uint32_t length;
      std::memcpy(&length, value, sizeof length);
      return size + pack_varint(file, length);
    }
    default:
      abort();
  }
}

// ---- Writer init ----

namespace {

char* dup_or_null(const char* s) { return s != nullptr ? strdup(s) : nullptr; }
char* dup_string(const std::string& s) { return strdup(s.c_str()); }
const char* or_unknown(const char* s) { return s != nullptr ? s : "unknown"; }

}  // namespace

crcrash_error_t crcrash_log_writer_init(crcrash_log_writer_t* writer, const char* app_identifier,
                                        const char* app_version, const char* app_marketing_version,
                                        std::uint32_t symbol_strategy, bool user_requested) {
  std::memset(writer, 0, sizeof *writer);
  writer->symbol_strategy = symbol_strategy;
  writer->user_requested = user_requested;
  if (getrandom(writer->report_uuid, sizeof writer->report_uuid, 0) != sizeof writer->report_uuid) {
    for (std::size_t i = 0; i < sizeof writer->report_uuid; ++i)
      writer->report_uuid[i] = static_cast<std::uint8_t>(std::rand());
  }
  writer->report_uuid[6] = static_cast<std::uint8_t>((writer->report_uuid[6] & 0x0F) | 0x40);
  writer->report_uuid[8] = static_cast<std::uint8_t>((writer->report_uuid[8] & 0x3F) | 0x80);
  writer->application_info.identifier = dup_or_null(app_identifier);
  writer->application_info.version = dup_or_null(app_version);
  writer->application_info.marketing_version = dup_or_null(app_marketing_version);
  // Stopping threads needs its signal chosen and its handler installed before any crash.
  pc::threads_arm();

  crcrash_error_t result = CRCRASH_ERR_NONE;
  auto process = CRCrashProcessInfo::currentProcessInfo();
  if (process == nullptr) {
    // The report still carries its host facts and required strings; this failure only costs the process
    // section's details.
    CRCRASH_DEBUG("Could not retreive process info for target");
    writer->process_info.process_id = static_cast<std::uint32_t>(getpid());
    writer->process_info.parent_process_id = static_cast<std::uint32_t>(getppid());
    result = CRCRASH_ERR_INVAL;
  } else {
    writer->process_info.process_id = static_cast<std::uint32_t>(process->processID());
    if (process->processName()) writer->process_info.process_name = dup_string(*process->processName());
    writer->process_info.start_time = process->startTime().tv_sec;
    writer->process_info.parent_process_id = static_cast<std::uint32_t>(process->parentProcessID());
    auto parent = CRCrashProcessInfo::initWithProcessID(process->parentProcessID());
    if (parent == nullptr) {
      CRCRASH_DEBUG("Could not retreive parent process name: %s", crcrash_async_errno_text(errno));
    } else if (parent->processName()) {
      writer->process_info.parent_process_name = dup_string(*parent->processName());
    }
  }
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) {
    path[n] = 0;
    writer->process_info.process_path = strdup(path);
  }
  writer->machine_info.model = crcrash_sysctl_string("hw.model");
  if (writer->machine_info.model == nullptr) {
    CRCRASH_DEBUG("Could not retrive hw.model: %s", crcrash_async_errno_text(errno));
  }
  int value = 0;
  if (crcrash_sysctl_int("hw.cputype", &value)) {
    writer->machine_info.cpu_type = static_cast<std::uint32_t>(value);
  } else {
    CRCRASH_DEBUG("Could not retrive hw.cputype: %s", crcrash_async_errno_text(errno));
  }
  if (crcrash_sysctl_int("hw.cpusubtype", &value)) {
    writer->machine_info.cpu_subtype = static_cast<std::uint32_t>(value);
  } else {
    CRCRASH_DEBUG("Could not retrive hw.cpusubtype: %s", crcrash_async_errno_text(errno));
  }
  if (crcrash_sysctl_int("hw.physicalcpu_max", &value)) {
    writer->machine_info.processor_count = static_cast<std::uint32_t>(value);
  } else {
    CRCRASH_DEBUG("Could not retrive hw.physicalcpu_max: %s", crcrash_async_errno_text(errno));
  }
  if (crcrash_sysctl_int("hw.logicalcpu_max", &value)) {
    writer->machine_info.logical_processor_count = static_cast<std::uint32_t>(value);
  } else {
    CRCRASH_DEBUG("Could not retrive hw.logicalcpu_max: %s", crcrash_async_errno_text(errno));
  }
  writer->process_info.native = !(crcrash_sysctl_int("sysctl.proc_native", &value) && value == 0);
  writer->system_info.os_build = crcrash_sysctl_string("kern.osversion");
  if (writer->system_info.os_build == nullptr) {
    CRCRASH_DEBUG("Could not retrive kern.osversion: %s", crcrash_async_errno_text(errno));
  }
  auto host = CRCrashHostInfo::currentHostInfo();
  if (host == nullptr) {
    CRCRASH_DEBUG("Could not retreive system major version with Gestalt");
    result = CRCRASH_ERR_INTERNAL;
  } else {
    CRCrashHostInfoVersion v = host->darwinVersion();
    writer->system_info.os_version = dup_string(std::to_string(v.major) + "." + std::to_string(v.minor) +
                                                "." + std::to_string(v.revision));
  }
  std::atomic_thread_fence(std::memory_order_seq_cst);
  return result;
}

void crcrash_log_writer_set_exception(crcrash_log_writer_t* writer, const char* name, const char* reason,
                                      const std::uint64_t* return_addresses, std::uint64_t count) {
  writer->uncaught_exception.has_exception = true;
  writer->uncaught_exception.name = strdup(or_unknown(name));
  writer->uncaught_exception.reason = strdup(or_unknown(reason));
  if (return_addresses != nullptr && count > 0) {
    writer->uncaught_exception.callstack =
        static_cast<std::uint64_t*>(std::malloc(count * sizeof(std::uint64_t)));
    if (writer->uncaught_exception.callstack != nullptr) {
      std::memcpy(writer->uncaught_exception.callstack, return_addresses, count * sizeof(std::uint64_t));
      writer->uncaught_exception.callstack_count = count;
    }
  }
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

crcrash_error_t crcrash_log_writer_close(crcrash_log_writer_t*) { return CRCRASH_ERR_NONE; }

void crcrash_log_writer_free(crcrash_log_writer_t* writer) {
  char* strings[] = {writer->system_info.os_version,
                     writer->system_info.os_build,
                     writer->machine_info.model,
                     writer->application_info.identifier,
                     writer->application_info.version,
                     writer->application_info.marketing_version,
                     writer->process_info.process_name,
                     writer->process_info.process_path,
                     writer->process_info.parent_process_name,
                     writer->uncaught_exception.name,
                     writer->uncaught_exception.reason};
  for (char* s : strings) std::free(s);
  std::free(writer->uncaught_exception.callstack);
  std::memset(writer, 0, sizeof *writer);
}

// ---- Sections ----

namespace {

struct Context {
  crcrash_log_writer_t* writer;
  crcrash_async_image_list_t* images;
  task_t task;
  crcrash_async_symbol_cache_t* symbols;
};

// Emits a message field whose body `body(file)` produces; with a null file only the size is returned.
template <typename Body>
std::size_t message(crcrash_async_file_t* file, std::uint32_t field, Body body) {
  auto length = static_cast<std::uint32_t>(body(nullptr));
  std::size_t size = crcrash_writer_pack(file, field, CRCRASH_PACK_MESSAGE, &length);
  if (file != nullptr) body(file);
  return size + length;
}

std::size_t pack_string(crcrash_async_file_t* file, std::uint32_t field, const char* s) {
  return crcrash_writer_pack(file, field, CRCRASH_PACK_STRING, s);
}
std::size_t pack_u64(crcrash_async_file_t* file, std::uint32_t field, std::uint64_t v) {
  return crcrash_writer_pack(file, field, CRCRASH_PACK_UINT64, &v);
}
std::size_t pack_u32(crcrash_async_file_t* file, std::uint32_t field, std::uint32_t v) {
  return crcrash_writer_pack(file, field, CRCRASH_PACK_UINT32, &v);
}
std::size_t pack_enum(crcrash_async_file_t* file, std::uint32_t field, std::uint32_t v) {
  return crcrash_writer_pack(file, field, CRCRASH_PACK_ENUM, &v);
}
std::size_t pack_bool(crcrash_async_file_t* file, std::uint32_t field, bool v) {
  return crcrash_writer_pack(file, field, CRCRASH_PACK_BOOL, &v);
}
std::size_t pack_bytes(crcrash_async_file_t* file, std::uint32_t field, const void* data,
                       std::uint64_t length) {
  crcrash_pack_bytes_t bytes{length, data};
  return crcrash_writer_pack(file, field, CRCRASH_PACK_BYTES, &bytes);
}

std::size_t processor(crcrash_async_file_t* file, std::uint64_t type, std::uint64_t subtype) {
  return pack_enum(file, 1, 1) + pack_u64(file, 2, type) + pack_u64(file, 3, subtype);
}

// A symbol as written: the lookup cuts its name to at most 255 bytes, before a partial UTF-8 character.
struct SymbolBuffer {
  bool found = false;
  std::uint64_t address = 0;
  char name[CRCRASH_SYMBOL_NAME_MAX + 1];
};
void keep_symbol(std::uint64_t address, const char* name, void* ctx) {
  auto* s = static_cast<SymbolBuffer*>(ctx);
  crcrash_async_symbol_copy_name(s->name, CRCRASH_SYMBOL_NAME_MAX, name);
  s->address = address;
  s->found = true;
}

std::size_t stack_frame(Context& ctx, crcrash_async_file_t* file, std::uint64_t pc) {
  std::size_t size = pack_u64(file, 3, pc);
  if (ctx.images == nullptr || ctx.writer->symbol_strategy == 0) return size;
  // One lookup into a stack buffer serves the size pass and the write.
  SymbolBuffer symbol;
  crcrash_nasync_image_list_set_reading(ctx.images, true);
  crcrash_async_macho_t* image = crcrash_nasync_image_containing_address(ctx.images, pc);
  if (image != nullptr) {
    crcrash_async_find_symbol(image, ctx.writer->symbol_strategy, ctx.symbols, pc, keep_symbol, &symbol);
  }
  crcrash_nasync_image_list_set_reading(ctx.images, false);
  if (!symbol.found) return size;
  return size + message(file, 6, [&](crcrash_async_file_t* f) {
           return pack_string(f, 1, symbol.name) + pack_u64(f, 2, symbol.address);
         });
}

// One Thread body. `max_frames` keeps the innermost frames of a stack too large for the room left.
std::size_t thread_body(Context& ctx, crcrash_async_file_t* file, std::uint32_t number, bool crashed,
                        const crcrash_async_thread_state_t* state, std::uint32_t max_frames) {
  std::size_t size = pack_u32(file, 1, number) + pack_bool(file, 3, crashed);
  crframe_cursor_t cursor;
  crframe_error_t err = crframe_cursor_init(&cursor, ctx.task, state, ctx.images);
  if (err != CRFRAME_ERR_NONE) {
    if (file != nullptr)
      CRCRASH_DEBUG("An error occured initializing the frame cursor: %s", crframe_strerror(err));
    return size;
  }
  if (ctx.images != nullptr) crcrash_nasync_image_list_set_reading(ctx.images, true);
  std::uint32_t frames = 0;
  for (;;) {
    err = crframe_cursor_next(&cursor);
    if (err != CRFRAME_ERR_NONE) break;
    if (frames == 0 && crashed) {
      for (std::size_t r = 0; r < crframe_cursor_get_regcount(&cursor); ++r) {
        std::uint64_t value = 0;
        crframe_error_t reg_err = crframe_cursor_get_reg(&cursor, static_cast<crcrash_regnum_t>(r), &value);
        if (reg_err != CRFRAME_ERR_NONE && file != nullptr) {
          CRCRASH_DEBUG("Could not fetch register %i value: %s", static_cast<int>(r),
                        crframe_strerror(reg_err));
        }
        const char* name = crframe_cursor_get_regname(&cursor, static_cast<crcrash_regnum_t>(r));
        size += message(file, 4, [&](crcrash_async_file_t* f) {
          return pack_string(f, 1, name) + pack_u64(f, 2, value);
        });
      }
    }
    std::uint64_t pc = 0;
    err = crframe_cursor_get_reg(&cursor, CRCRASH_REG_IP, &pc);
    if (err != CRFRAME_ERR_NONE) {
      if (file != nullptr) CRCRASH_DEBUG("Could not retrieve frame PC register: %s", crframe_strerror(err));
      break;
    }
    size += message(file, 2, [&](crcrash_async_file_t* f) { return stack_frame(ctx, f, pc); });
    if (++frames >= max_frames) {
      err = CRFRAME_ERR_NONE;
      break;
    }
  }
  if (ctx.images != nullptr) crcrash_nasync_image_list_set_reading(ctx.images, false);
  if (err != CRFRAME_ERR_NOFRAME && file != nullptr) {
    CRCRASH_DEBUG("Terminated stack walking early: %s", crframe_strerror(err));
  }
  crframe_cursor_free(&cursor);
  return size;
}

std::size_t thread_field(Context& ctx, crcrash_async_file_t* file, std::uint32_t number, bool crashed,
                         const crcrash_async_thread_state_t* state, std::uint32_t max_frames) {
  return message(file, 3, [&](crcrash_async_file_t* f) {
    return thread_body(ctx, f, number, crashed, state, max_frames);
  });
}

std::size_t binary_image(crcrash_async_file_t* file, crcrash_async_macho_t* image) {
  return message(file, 4, [&](crcrash_async_file_t* f) {
    std::size_t size = pack_u64(f, 2, image->text_size) + pack_u64(f, 1, image->header_addr) +
                       pack_string(f, 3, image->name != nullptr ? image->name : "");
    std::uint8_t uuid[16];
    if (crcrash_async_macho_uuid(image, uuid) == CRCRASH_ERR_NONE)
      size += pack_bytes(f, 4, uuid, sizeof uuid);
    auto type = static_cast<std::uint32_t>(crcrash_async_macho_cpu_type(image));
    auto subtype = static_cast<std::uint32_t>(crcrash_async_macho_cpu_subtype(image));
    return size + message(f, 5, [&](crcrash_async_file_t* g) { return processor(g, type, subtype); });
  });
}

std::size_t exception_field(Context& ctx, crcrash_async_file_t* file) {
  const auto& e = ctx.writer->uncaught_exception;
  return message(file, 5, [&](crcrash_async_file_t* f) {
    std::size_t size = pack_string(f, 1, or_unknown(e.name)) + pack_string(f, 2, or_unknown(e.reason));
    for (std::uint64_t i = 0; i < e.callstack_count && i < CRCRASH_MAX_FRAMES; ++i) {
      size += message(f, 3, [&](crcrash_async_file_t* g) { return stack_frame(ctx, g, e.callstack[i]); });
    }
    return size;
  });
}

std::size_t signal_field(crcrash_async_file_t* file, const crcrash_log_signal_info_t* info) {
  const crcrash_log_bsd_signal_info_t* bsd = info->bsd_info;
  char name_buffer[32], code_buffer[32];
  const char* name = crcrash_async_signal_signame(bsd->signo);
  if (name == nullptr) {
    if (file != nullptr)
      CRCRASH_DEBUG("Warning -- unhandled signal number (signo=%d). This is a bug.", bsd->signo);
    crcrash_async_snprintf(name_buffer, sizeof name_buffer, "#%d", bsd->signo);
    name = name_buffer;
  }
  const char* code = crcrash_async_signal_sigcode(bsd->signo, bsd->code);
  if (code == nullptr) {
    if (file != nullptr) {
      CRCRASH_DEBUG("Warning -- unhandled signal sicode (signo=%d, code=%d). This is a bug.", bsd->signo,
                    bsd->code);
    }
    crcrash_async_snprintf(code_buffer, sizeof code_buffer, "#%d", bsd->code);
    code = code_buffer;
  }
  return message(file, 6, [&](crcrash_async_file_t* f) {
    std::size_t size = pack_string(f, 1, name) + pack_string(f, 2, code) +
                       pack_u64(f, 3, reinterpret_cast<std::uint64_t>(bsd->address));
    if (info->mach_info != nullptr) {
      const crcrash_log_mach_signal_info_t* mach = info->mach_info;
      size += message(f, 4, [&](crcrash_async_file_t* g) {
        std::size_t s = pack_u64(g, 1, mach->type);
        // The reader refuses a report with more codes than this; the report matters more than the tail.
        std::uint32_t count = mach->code_count;
        if (count > CRCRASH_MAX_MACH_CODES) {
          if (g != nullptr)
            CRCRASH_DEBUG("Left out %u Mach exception codes past %u", count - CRCRASH_MAX_MACH_CODES,
                          CRCRASH_MAX_MACH_CODES);
          count = CRCRASH_MAX_MACH_CODES;
        }
        for (std::uint32_t i = 0; i < count; ++i) s += pack_u64(g, 2, mach->codes[i]);
        return s;
      });
    }
    return size;
  });
}

// The images a report cannot do without: the executable's, and those holding the crashed thread's frames
// and the uncaught exception's. Without them the frames name nothing and the reader refuses a report
// with no image at all. Kept by header address, at most kMaxNeeded, for the size reserve and the write.
struct NeededImages {
  static constexpr std::size_t kMaxNeeded = 64;
  std::uint64_t headers[kMaxNeeded];
  std::size_t count = 0;

  bool has(std::uint64_t header) const {
    for (std::size_t i = 0; i < count; ++i) {
      if (headers[i] == header) return true;
    }
    return false;
  }
  void add(const crcrash_async_macho_t* image) {
    if (image == nullptr || has(image->header_addr)) return;
    if (count == kMaxNeeded) {
      CRCRASH_DEBUG("More than %zu images hold the crashed thread's frames; the rest get no reserve",
                    kMaxNeeded);
      return;
    }
    headers[count++] = image->header_addr;
  }
  // The image holding `pc`, or the one before it for a return address at an image's very end.
  void add_pc(crcrash_async_image_list_t* images, std::uint64_t pc, bool return_address) {
    crcrash_async_macho_t* image = crcrash_nasync_image_containing_address(images, pc);
    if (image == nullptr && return_address && pc > 0)
      image = crcrash_nasync_image_containing_address(images, pc - 1);
    add(image);
  }
};

bool same_text(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

void collect_needed_images(Context& ctx, const crcrash_async_thread_state_t* crashed_state,
                           NeededImages* needed) {
  crcrash_async_image_list_t* images = ctx.images;
  crcrash_nasync_image_list_set_reading(images, true);
  for (crcrash_async_macho_t* image = crcrash_nasync_image_list_next(images, nullptr); image != nullptr;
       image = crcrash_nasync_image_list_next(images, image)) {
    if (same_text(image->name, ctx.writer->process_info.process_path)) needed->add(image);
  }
  if (crashed_state != nullptr) {
    crframe_cursor_t cursor;
    if (crframe_cursor_init(&cursor, ctx.task, crashed_state, images) == CRFRAME_ERR_NONE) {
      for (std::uint32_t frames = 0; frames < CRCRASH_MAX_FRAMES; ++frames) {
        std::uint64_t pc = 0;
        if (crframe_cursor_next(&cursor) != CRFRAME_ERR_NONE ||
            crframe_cursor_get_reg(&cursor, CRCRASH_REG_IP, &pc) != CRFRAME_ERR_NONE)
          break;
        needed->add_pc(images, pc, frames > 0);
      }
      crframe_cursor_free(&cursor);
    }
  }
  const auto& e = ctx.writer->uncaught_exception;
  if (e.has_exception) {
    for (std::uint64_t i = 0; i < e.callstack_count && i < CRCRASH_MAX_FRAMES; ++i)
      needed->add_pc(images, e.callstack[i], true);
  }
  crcrash_nasync_image_list_set_reading(images, false);
}

std::uint64_t needed_images_size(crcrash_async_image_list_t* images, const NeededImages& needed) {
  std::uint64_t size = 0;
  crcrash_nasync_image_list_set_reading(images, true);
  for (crcrash_async_macho_t* image = crcrash_nasync_image_list_next(images, nullptr); image != nullptr;
       image = crcrash_nasync_image_list_next(images, image)) {
    if (needed.has(image->header_addr)) size += binary_image(nullptr, image);
  }
  crcrash_nasync_image_list_set_reading(images, false);
  return size;
}

}  // namespace

crcrash_error_t crcrash_log_writer_write(crcrash_log_writer_t* writer, thread_t crashed_thread,
                                         crcrash_async_image_list_t* image_list, crcrash_async_file_t* file,
                                         const crcrash_log_signal_info_t* signal_info,
                                         const crcrash_async_thread_state_t* current_state) {
  crcrash_async_symbol_cache_t symbols;
  Context ctx{writer, image_list, pc::mach_task_self(), &symbols};
  const thread_t self = pc::mach_thread_self();

  // Stop every other thread, then bring the readable-region table up to date while nothing moves.
  thread_t threads[2048];
  std::size_t thread_count = 0;
  if (pc::task_threads(threads, sizeof threads / sizeof threads[0], &thread_count) == pc::KERN_FAILURE) {
    CRCRASH_DEBUG("Fetching thread list failed");
    thread_count = 0;
  }
  pc::threads_suspend(threads, thread_count);
  pc::region_table_refresh();
  crcrash_async_symbol_cache_init(&symbols);

  emit(file, "crcrash", 7);
  const std::uint8_t version = 1;
  emit(file, &version, 1);

  message(file, 9, [&](crcrash_async_file_t* f) {
    return pack_bool(f, 1, writer->user_requested) + pack_bytes(f, 2, writer->report_uuid, 16);
  });
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
    CRCRASH_DEBUG("Failed to fetch timestamp: %s", crcrash_async_errno_text(errno));
    now.tv_sec = 0;
  }
  message(file, 1, [&](crcrash_async_file_t* f) {
    std::size_t size = pack_enum(f, 1, 0) + pack_string(f, 2, or_unknown(writer->system_info.os_version));
    if (writer->system_info.os_build != nullptr) size += pack_string(f, 5, writer->system_info.os_build);
    std::int64_t timestamp = now.tv_sec;
    return size + pack_enum(f, 3, 1) + crcrash_writer_pack(f, 4, CRCRASH_PACK_INT64, &timestamp);
  });
  message(file, 8, [&](crcrash_async_file_t* f) {
    std::size_t size =
        writer->machine_info.model != nullptr ? pack_string(f, 1, writer->machine_info.model) : 0;
    size += message(f, 2, [&](crcrash_async_file_t* g) {
      return processor(g, writer->machine_info.cpu_type, writer->machine_info.cpu_subtype);
    });
    return size + pack_u32(f, 3, writer->machine_info.processor_count) +
           pack_u32(f, 4, writer->machine_info.logical_processor_count);
  });
  message(file, 2, [&](crcrash_async_file_t* f) {
    std::size_t size = pack_string(f, 1, or_unknown(writer->application_info.identifier)) +
                       pack_string(f, 2, or_unknown(writer->application_info.version));
    if (writer->application_info.marketing_version != nullptr) {
      size += pack_string(f, 3, writer->application_info.marketing_version);
    }
    return size;
  });
  message(file, 7, [&](crcrash_async_file_t* f) {
    const auto& p = writer->process_info;
    std::size_t size = p.process_name != nullptr ? pack_string(f, 1, p.process_name) : 0;
    size += pack_u32(f, 2, p.process_id);
    if (p.process_path != nullptr) size += pack_string(f, 3, p.process_path);
    if (p.parent_process_name != nullptr) size += pack_string(f, 4, p.parent_process_name);
    size += pack_u32(f, 5, p.parent_process_id) + pack_bool(f, 6, p.native);
    return size + pack_u64(f, 7, static_cast<std::uint64_t>(p.start_time));
  });

  // Room is kept for what comes last and matters most: the signal, the exception, the crashed thread and
  // the images its frames lie in. Threads and images that would pass the file's limit are left out whole,
  // so every byte written stays decodable.
  const std::uint64_t limit = file->limit;
  std::uint64_t tail_reserve = signal_field(nullptr, signal_info);
  if (writer->uncaught_exception.has_exception) tail_reserve += exception_field(ctx, nullptr);
  crcrash_async_thread_state_t crashed_state;
  bool have_crashed_state = false;
  for (std::size_t i = 0; i < thread_count && !have_crashed_state; ++i) {
    if (threads[i] != crashed_thread) continue;
    if (threads[i] == self) {
      if (current_state == nullptr) break;
      crcrash_async_thread_state_copy(&crashed_state, current_state);
      have_crashed_state = true;
    } else {
      have_crashed_state =
          crcrash_async_thread_state_mach_thread_init(&crashed_state, threads[i]) == CRCRASH_ERR_NONE;
    }
  }
  // The crashed thread's number is not known before it is reached; 5 bytes cover any number.
  std::uint64_t crashed_reserve =
      have_crashed_state ? thread_field(ctx, nullptr, 0xFFFFFFF, true, &crashed_state, CRCRASH_MAX_FRAMES)
                         : 0;
  // The images that name the crashed thread's frames come before other threads too.
  NeededImages needed;
  std::uint64_t image_reserve = 0;
  if (image_list != nullptr) {
    collect_needed_images(ctx, have_crashed_state ? &crashed_state : nullptr, &needed);
    image_reserve = needed_images_size(image_list, needed);
  }
  auto room = [&](std::uint64_t reserve) -> std::uint64_t {
    if (limit == 0) return ~0ull;
    return limit > file->total + reserve ? limit - file->total - reserve : 0;
  };

  std::uint32_t number = 0;
  for (std::size_t i = 0; i < thread_count; ++i) {
    const bool crashed = threads[i] == crashed_thread;
    crcrash_async_thread_state_t state;
    if (crashed) {
      if (!have_crashed_state) continue;
      crcrash_async_thread_state_copy(&state, &crashed_state);
    } else if (threads[i] == self) {
      if (current_state == nullptr) continue;
      crcrash_async_thread_state_copy(&state, current_state);
    } else if (crcrash_async_thread_state_mach_thread_init(&state, threads[i]) != CRCRASH_ERR_NONE) {
      continue;
    }
    if (crashed) crashed_reserve = 0;
    // The size pass of the body also decides whether the thread fits; the write then walks once more.
    std::uint32_t max_frames = CRCRASH_MAX_FRAMES;
    std::uint32_t body = 0;
    auto field_size = [&]() -> std::uint64_t {
      body = static_cast<std::uint32_t>(thread_body(ctx, nullptr, number, crashed, &state, max_frames));
      return crcrash_writer_pack(nullptr, 3, CRCRASH_PACK_MESSAGE, &body) + body;
    };
    std::uint64_t size = field_size();
    const std::uint64_t available = room(tail_reserve + crashed_reserve + image_reserve);
    if (size > available) {
      if (!crashed) {
        CRCRASH_DEBUG("Left out thread %u (%llu bytes): the report would pass its limit", threads[i],
                      static_cast<unsigned long long>(size));
        continue;
      }
      // The crashed thread stays; it loses outer frames until it fits.
      while (size > available && max_frames > 0) {
        std::uint64_t scaled = static_cast<std::uint64_t>(max_frames) * available / size;
        max_frames = static_cast<std::uint32_t>(scaled < max_frames ? scaled : max_frames - 1);
        size = field_size();
      }
      CRCRASH_DEBUG("Crashed thread cut to %u frames to fit the report", max_frames);
    }
    crcrash_writer_pack(file, 3, CRCRASH_PACK_MESSAGE, &body);
    thread_body(ctx, file, number, crashed, &state, max_frames);
    ++number;
  }

  if (image_list != nullptr) {
    crcrash_nasync_image_list_set_reading(image_list, true);
    for (crcrash_async_macho_t* image = crcrash_nasync_image_list_next(image_list, nullptr); image != nullptr;
         image = crcrash_nasync_image_list_next(image_list, image)) {
      std::uint64_t size = binary_image(nullptr, image);
      // A needed image takes the room kept for it; the others take what is left beyond that.
      if (needed.has(image->header_addr)) image_reserve = image_reserve > size ? image_reserve - size : 0;
      if (size > room(tail_reserve + image_reserve)) {
        CRCRASH_DEBUG("Left out image %s (%llu bytes): the report would pass its limit", image->name,
                      static_cast<unsigned long long>(size));
        continue;
      }
      binary_image(file, image);
    }
    crcrash_nasync_image_list_set_reading(image_list, false);
  }
  if (writer->uncaught_exception.has_exception) exception_field(ctx, file);
  signal_field(file, signal_info);

  crcrash_async_symbol_cache_free(&symbols);
  pc::threads_resume(threads, thread_count);
  // The report is whole: push it out, so that a failing descriptor (a full disk) fails the write itself
  // rather than leaving a cut report behind a success.
  crcrash_async_file_flush(file);
  return file->failed ? CRCRASH_ERR_OUTPUT : CRCRASH_ERR_NONE;
}
