#pragma once

#include <crcrash.pb-c.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CRCrashReport.h"
#include "platform/Data.h"

namespace crtesting {

// Hand-built crash reports in the engine's file format (read back through the engine's own reader).
struct FrameSpec {
  std::uint64_t pc = 0;
  std::optional<std::string> symbol;
  std::uint64_t symbolStart = 0;
};
struct ThreadSpec {
  std::uint32_t number = 0;
  bool crashed = false;
  std::vector<FrameSpec> frames;
  std::vector<std::pair<std::string, std::uint64_t>> registers;
};
struct ImageSpec {
  std::uint64_t base = 0;
  std::uint64_t size = 0;
  std::string name;
  std::vector<std::uint8_t> uuid;
  bool machCodeType = true;
  std::uint64_t cpuType = 16777223;
  std::uint64_t cpuSubtype = 3;
};
struct ReportSpec {
  int operatingSystem = 0;
  int architecture = 1;
  std::int64_t timestamp = 1700000000;
  std::optional<std::string> processName = std::string("crashy");
  std::optional<std::string> processPath = std::string("/opt/quorvane/crashy");
  bool hasProcessInfo = true;
  std::uint32_t processId = 4321;
  std::uint64_t startTime = 1699999000;
  std::string signalName = "SIGSEGV";
  std::string signalCode = "SEGV_MAPERR";
  std::uint64_t signalAddress = 0;
  std::vector<ThreadSpec> threads;
  std::vector<ImageSpec> images;
  bool hasException = false;
  std::string exceptionName;
  std::string exceptionReason;
  std::vector<FrameSpec> exceptionFrames;
  std::vector<std::uint8_t> reportUuid = {0x8d, 0x3e, 0x7e, 0x4c, 0x7d, 0x4b, 0x4a, 0x9b,
                                          0x9a, 0x3f, 0x3a, 0x1c, 0x2b, 0x4d, 0x5e, 0x6f};
};

class ReportBuilder {
 public:
  static platform::Data bytes(const ReportSpec& spec) {
    ReportBuilder b;
    return b.build(spec);
  }
  static std::shared_ptr<const CRCrashReport> report(const ReportSpec& spec) {
    platform::Error error;
    return CRCrashReport::initWithData(bytes(spec), &error);
  }

 private:
  template <typename T>
  T* make() {
    auto* p = new T;
    owned_.emplace_back(p, [](void* q) { delete static_cast<T*>(q); });
    return p;
  }
  char* text(const std::string& s) {
    strings_.push_back(s);
    return strings_.back().data();
  }
  template <typename T>
  T** array(std::vector<T*> items) {
    arrays_.emplace_back(items.begin(), items.end());
    return reinterpret_cast<T**>(arrays_.back().data());
  }
  Crcrash__CrashReport__Thread__StackFrame* frame(const FrameSpec& spec) {
    auto* f = make<Crcrash__CrashReport__Thread__StackFrame>();
    crcrash__crash_report__thread__stack_frame__init(f);
    f->pc = spec.pc;
    if (spec.symbol) {
      auto* s = make<Crcrash__CrashReport__Symbol>();
      crcrash__crash_report__symbol__init(s);
      s->name = text(*spec.symbol);
      s->start_address = spec.symbolStart;
      f->symbol = s;
    }
    return f;
  }
  platform::Data build(const ReportSpec& spec) {
    Crcrash__CrashReport report;
    crcrash__crash_report__init(&report);
    auto* system = make<Crcrash__CrashReport__SystemInfo>();
    crcrash__crash_report__system_info__init(system);
    system->has_operating_system = 1;
    system->operating_system =
        static_cast<Crcrash__CrashReport__SystemInfo__OperatingSystem>(spec.operatingSystem);
    system->os_version = text("6.1.0");
    system->architecture = static_cast<Crcrash__Architecture>(spec.architecture);
    system->timestamp = spec.timestamp;
    report.system_info = system;
    auto* app = make<Crcrash__CrashReport__ApplicationInfo>();
    crcrash__crash_report__application_info__init(app);
    app->identifier = text("com.quorvane.test");
    app->version = text("1");
    report.application_info = app;
    auto* signal = make<Crcrash__CrashReport__Signal>();
    crcrash__crash_report__signal__init(signal);
    signal->name = text(spec.signalName);
    signal->code = text(spec.signalCode);
    signal->address = spec.signalAddress;
    report.signal = signal;
    if (spec.hasProcessInfo) {
      auto* process = make<Crcrash__CrashReport__ProcessInfo>();
      crcrash__crash_report__process_info__init(process);
      if (spec.processName) process->process_name = text(*spec.processName);
      process->process_id = spec.processId;
      if (spec.processPath) process->process_path = text(*spec.processPath);
      process->parent_process_name = text("launcher");
      process->parent_process_id = 1;
      process->native = 1;
      process->has_start_time = 1;
      process->start_time = spec.startTime;
      report.process_info = process;
    }
    std::vector<Crcrash__CrashReport__Thread*> threads;
    for (const auto& t : spec.threads) {
      auto* thread = make<Crcrash__CrashReport__Thread>();
      crcrash__crash_report__thread__init(thread);
      thread->thread_number = t.number;
      thread->crashed = t.crashed;
      std::vector<Crcrash__CrashReport__Thread__StackFrame*> frames;
      for (const auto& f : t.frames) frames.push_back(frame(f));
      thread->n_frames = frames.size();
      thread->frames = array(frames);
      std::vector<Crcrash__CrashReport__Thread__RegisterValue*> registers;
      for (const auto& [name, value] : t.registers) {
        auto* r = make<Crcrash__CrashReport__Thread__RegisterValue>();
        crcrash__crash_report__thread__register_value__init(r);
        r->name = text(name);
        r->value = value;
        registers.push_back(r);
      }
      thread->n_registers = registers.size();
      thread->registers = array(registers);
      threads.push_back(thread);
    }
    report.n_threads = threads.size();
    report.threads = array(threads);
    std::vector<Crcrash__CrashReport__BinaryImage*> images;
    for (const auto& i : spec.images) {
      auto* image = make<Crcrash__CrashReport__BinaryImage>();
      crcrash__crash_report__binary_image__init(image);
      image->base_address = i.base;
      image->size = i.size;
      image->name = text(i.name);
      if (!i.uuid.empty()) {
        image->has_uuid = 1;
        bytes_.emplace_back(i.uuid);
        image->uuid.len = i.uuid.size();
        image->uuid.data = bytes_.back().data();
      }
      if (i.machCodeType) {
        auto* processor = make<Crcrash__CrashReport__Processor>();
        crcrash__crash_report__processor__init(processor);
        processor->has_encoding = 1;
        processor->encoding = CRCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
        processor->type = i.cpuType;
        processor->subtype = i.cpuSubtype;
        image->code_type = processor;
      }
      images.push_back(image);
    }
    report.n_binary_images = images.size();
    report.binary_images = array(images);
    if (spec.hasException) {
      auto* exception = make<Crcrash__CrashReport__Exception>();
      crcrash__crash_report__exception__init(exception);
      exception->name = text(spec.exceptionName);
      exception->reason = text(spec.exceptionReason);
      std::vector<Crcrash__CrashReport__Thread__StackFrame*> frames;
      for (const auto& f : spec.exceptionFrames) frames.push_back(frame(f));
      exception->n_frames = frames.size();
      exception->frames = array(frames);
      report.exception = exception;
    }
    if (!spec.reportUuid.empty()) {
      auto* info = make<Crcrash__CrashReport__ReportInfo>();
      crcrash__crash_report__report_info__init(info);
      info->has_uuid = 1;
      bytes_.emplace_back(spec.reportUuid);
      info->uuid.len = spec.reportUuid.size();
      info->uuid.data = bytes_.back().data();
      report.report_info = info;
    }
    platform::Data out = {'c', 'r', 'c', 'r', 'a', 's', 'h', 1};
    const std::size_t size = crcrash__crash_report__get_packed_size(&report);
    out.resize(8 + size);
    crcrash__crash_report__pack(&report, out.data() + 8);
    return out;
  }

  std::deque<std::unique_ptr<void, void (*)(void*)>> owned_;
  std::deque<std::string> strings_;
  std::deque<std::vector<void*>> arrays_;
  std::deque<std::vector<std::uint8_t>> bytes_;
};

}  // namespace crtesting
