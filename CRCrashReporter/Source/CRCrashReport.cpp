#include "CRCrashReport.h"

#include <crcrash.pb-c.h>

#include <cstring>

#include "platform/Utf8.h"

namespace {

// Thrown inside the reader only, caught in initWithData.
struct ReportFailure {
  std::string message;
};

[[noreturn]] void fail(std::string message) { throw ReportFailure{std::move(message)}; }

// Strings of the file are UTF-8 C strings; anything ill-formed is replaced so that later consumers
// (JSON serialisation among them) never choke.
std::string text(const char* s) { return platform::utf8::sanitized(s); }
std::optional<std::string> optional_text(const char* s) {
  if (s == nullptr) return std::nullopt;
  return text(s);
}

std::shared_ptr<const CRCrashReportProcessorInfo> processor(const Crcrash__CrashReport__Processor* p) {
  if (p == nullptr) fail("Crash report is missing processor info section");
  auto info = std::make_shared<CRCrashReportProcessorInfo>();
  info->typeEncoding = p->encoding;
  info->type = p->type;
  info->subtype = p->subtype;
  return info;
}

std::shared_ptr<const CRCrashReportStackFrameInfo> frame(const Crcrash__CrashReport__Thread__StackFrame* f) {
  if (f == nullptr) fail("Crash report is missing stack frame information");
  auto info = std::make_shared<CRCrashReportStackFrameInfo>();
  info->instructionPointer = f->pc;
  if (f->symbol != nullptr) {
    if (f->symbol->name == nullptr) fail("Crash report is missing symbol information");
    auto symbol = std::make_shared<CRCrashReportSymbolInfo>();
    symbol->symbolName = text(f->symbol->name);
    symbol->startAddress = f->symbol->start_address;
    symbol->endAddress = f->symbol->has_end_address ? f->symbol->end_address : 0;
    info->symbolInfo = symbol;
  }
  return info;
}

std::string hex(const std::uint8_t* bytes, std::size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0xF];
  }
  return out;
}

struct Unpacked {
  Crcrash__CrashReport* message = nullptr;
  ~Unpacked() {
    if (message != nullptr) crcrash__crash_report__free_unpacked(message, nullptr);
  }
};

}  // namespace

std::shared_ptr<const CRCrashReport> CRCrashReport::initWithData(const platform::Data& data,
                                                                 platform::Error* error) {
  auto report_error = [error](const std::string& message) -> std::shared_ptr<const CRCrashReport> {
    platform::fail(error, platform::Error::make(CRCrashReporterErrorDomain, 2, message));
    return nullptr;
  };
  if (data.size() <= 8) return report_error("Could not decode truncated crash log");
  if (std::memcmp(data.data(), "crcrash", 7) != 0)
    return report_error("Could not decode invalid crash log header");
  if (data[7] != 1) {
    return report_error("Could not decode unsupported crash report version: " + std::to_string(data[7]));
  }
  // protobuf-c needs many times a report's size in memory; a report the writer cannot have made is
  // refused before unpacking.
  if (data.size() > CRCrashReportMaximumSize) return report_error("Could not decode oversized crash report");
  Unpacked unpacked;
  unpacked.message = crcrash__crash_report__unpack(nullptr, data.size() - 8, data.data() + 8);
  if (unpacked.message == nullptr) return report_error("An unknown error occured decoding the crash report");
  const Crcrash__CrashReport* m = unpacked.message;

  auto report = std::make_shared<CRCrashReport>();
  try {
    if (m->report_info != nullptr && m->report_info->has_uuid) {
      if (m->report_info->uuid.len != 16) fail("Report UUID value is not a standard 16 bytes");
      report->uuid_ = std::vector<std::uint8_t>(m->report_info->uuid.data, m->report_info->uuid.data + 16);
    }

    if (m->system_info == nullptr) fail("Crash report is missing System Information section");
    if (m->system_info->os_version == nullptr)
      fail("Crash report is missing System Information OS version field");
    auto system = std::make_shared<CRCrashReportSystemInfo>();
    system->operatingSystem = m->system_info->operating_system;
    system->operatingSystemVersion = text(m->system_info->os_version);
    system->operatingSystemBuild = optional_text(m->system_info->os_build);
    system->architecture = m->system_info->architecture;
    if (m->system_info->timestamp != 0) {
      system->timestamp =
          platform::Date::fromTimeIntervalSince1970(static_cast<double>(m->system_info->timestamp));
    }
    report->systemInfo_ = system;

    if (m->machine_info != nullptr) {
      auto machine = std::make_shared<CRCrashReportMachineInfo>();
      machine->modelName = optional_text(m->machine_info->model);
      if (m->machine_info->processor != nullptr)
        machine->processorInfo = processor(m->machine_info->processor);
      machine->processorCount = m->machine_info->processor_count;
      machine->logicalProcessorCount = m->machine_info->logical_processor_count;
      report->machineInfo_ = machine;
    }

    if (m->application_info == nullptr) fail("Crash report is missing Application Information section");
    if (m->application_info->identifier == nullptr) {
      fail("Crash report is missing Application Information app identifier field");
    }
    if (m->application_info->version == nullptr)
      fail("Crash report is missing Application Information app version field");
    auto application = std::make_shared<CRCrashReportApplicationInfo>();
    application->applicationIdentifier = text(m->application_info->identifier);
    application->applicationVersion = text(m->application_info->version);
    application->applicationMarketingVersion = optional_text(m->application_info->marketing_version);
    report->applicationInfo_ = application;

    if (m->process_info != nullptr) {
      auto process = std::make_shared<CRCrashReportProcessInfo>();
      process->processName = optional_text(m->process_info->process_name);
      process->processID = m->process_info->process_id;
      process->processPath = optional_text(m->process_info->process_path);
      if (m->process_info->has_start_time) {
        process->processStartTime =
            platform::Date::fromTimeIntervalSince1970(static_cast<double>(m->process_info->start_time));
      }
      process->parentProcessName = optional_text(m->process_info->parent_process_name);
      process->parentProcessID = m->process_info->parent_process_id;
      process->native = m->process_info->native != 0;
      report->processInfo_ = process;
    }

    if (m->signal == nullptr) fail("Crash report is missing Signal Information section");
    if (m->signal->name == nullptr) fail("Crash report is missing signal name field");
    if (m->signal->code == nullptr) fail("Crash report is missing signal code field");
    auto signal = std::make_shared<CRCrashReportSignalInfo>();
    signal->name = text(m->signal->name);
    signal->code = text(m->signal->code);
    signal->address = m->signal->address;
    report->signalInfo_ = signal;

    if (m->signal->mach_exception != nullptr) {
      if (m->signal->mach_exception->n_codes >= 256)
        fail("Crash report includes too many Mach Exception codes");
      auto mach = std::make_shared<CRCrashReportMachExceptionInfo>();
      mach->type = m->signal->mach_exception->type;
      mach->codes.assign(m->signal->mach_exception->codes,
                         m->signal->mach_exception->codes + m->signal->mach_exception->n_codes);
      report->machExceptionInfo_ = mach;
    }

    if (m->n_threads == 0) fail("Crash report is missing thread state information");
    for (std::size_t i = 0; i < m->n_threads; ++i) {
      const Crcrash__CrashReport__Thread* t = m->threads[i];
      auto thread = std::make_shared<CRCrashReportThreadInfo>();
      for (std::size_t f = 0; f < t->n_frames; ++f) thread->stackFrames.push_back(frame(t->frames[f]));
      for (std::size_t r = 0; r < t->n_registers; ++r) {
        if (t->registers[r]->name == nullptr) fail("Missing register name in register value");
        auto reg = std::make_shared<CRCrashReportRegisterInfo>();
        reg->registerName = text(t->registers[r]->name);
        reg->registerValue = t->registers[r]->value;
        thread->registers.push_back(reg);
      }
      thread->threadNumber = t->thread_number;
      thread->crashed = t->crashed != 0;
      report->threads_.push_back(thread);
    }

    if (m->n_binary_images == 0) fail("Crash report is missing binary image information");
    for (std::size_t i = 0; i < m->n_binary_images; ++i) {
      const Crcrash__CrashReport__BinaryImage* b = m->binary_images[i];
      if (b->name == nullptr) fail("Missing image name in image record");
      auto image = std::make_shared<CRCrashReportBinaryImageInfo>();
      if (b->has_uuid) {
        image->hasImageUUID = true;
        image->imageUUID = hex(b->uuid.data, b->uuid.len);
      }
      if (b->code_type != nullptr) image->codeType = processor(b->code_type);
      image->imageBaseAddress = b->base_address;
      image->imageSize = b->size;
      image->imageName = text(b->name);
      report->images_.push_back(image);
    }

    if (m->exception != nullptr) {
      if (m->exception->name == nullptr) fail("Crash report is missing exception name field");
      if (m->exception->reason == nullptr) fail("Crash report is missing exception reason field");
      auto exception = std::make_shared<CRCrashReportExceptionInfo>();
      exception->exceptionName = text(m->exception->name);
      exception->exceptionReason = text(m->exception->reason);
      if (m->exception->n_frames > 0) {
        exception->stackFrames.emplace();
        for (std::size_t f = 0; f < m->exception->n_frames; ++f) {
          exception->stackFrames->push_back(frame(m->exception->frames[f]));
        }
      }
      report->exceptionInfo_ = exception;
    }
  } catch (const ReportFailure& failure) {
    return report_error(failure.message);
  }
  return report;
}

std::shared_ptr<const CRCrashReportBinaryImageInfo> CRCrashReport::imageForAddress(
    std::uint64_t address) const {
  for (const auto& image : images_) {
    if (address >= image->imageBaseAddress && address - image->imageBaseAddress < image->imageSize)
      return image;
  }
  return nullptr;
}
