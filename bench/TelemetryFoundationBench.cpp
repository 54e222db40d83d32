// Telemetry SDK foundation: the costs of a log's stored form, of a batch's request body and of a
// log call that is filtered out. Prints Google Benchmark figures; targets: archive + Base64 and
// back under 50 µs each, a 50-log container's text under 2 ms, its gzip through the SDK within
// 1.5 times the CPU time of bare zlib with the same parameters (BM_ContainerGzip against
// BM_BareZlibGzip), a filtered log call under 20 ns.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include "BenchScratch.h"
#include "Telemetry/Internals/Model/TLAbstractLog.h"
#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Model/TLLogContainer.h"
#include "Telemetry/Internals/Model/TLNoAutoAssignSessionIdLog.h"
#include "Telemetry/Internals/Util/TLCompression.h"
#include "Telemetry/Internals/Util/TLDeviceFacts.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/Base64.h"
#include "platform/UUID.h"

namespace {

// The shape of the analytics start-session log: the base fields only, with its own session id.
class BenchStartSessionLog : public TLAbstractLog, public TLNoAutoAssignSessionIdLog {
 public:
  BenchStartSessionLog() { setType("startSession"); }
};

std::shared_ptr<TLDevice> machineDevice() {
  TLDeviceFacts facts;
  auto device = TLDevice::init();
  device->setSdkName(TLUtility::sdkName());
  device->setSdkVersion(TLUtility::sdkVersion());
  device->setModel(facts.model());
  device->setOemName(facts.oemName());
  device->setOsName(facts.osName());
  device->setOsVersion(facts.osVersion());
  device->setOsBuild(facts.osBuild());
  device->setLocale(facts.locale());
  device->setTimeZoneOffset(TLDeviceFacts::timeZoneOffset());
  device->setScreenSize("1080x1920");
  device->setAppVersion(TLDeviceFacts::appVersion());
  device->setAppBuild(TLDeviceFacts::appBuild());
  device->setAppNamespace(TLDeviceFacts::appNamespace());
  return device;
}

std::shared_ptr<TLAbstractLog> startSessionLog(const std::shared_ptr<TLDevice>& device) {
  auto log = std::make_shared<BenchStartSessionLog>();
  log->setTimestamp(platform::Date::now());
  log->setSid(platform::makeUUIDString());
  log->setUserId("c:alice");
  log->setDevice(device);
  return log;
}

void BM_ArchiveAndBase64(benchmark::State& state) {
  auto log = startSessionLog(machineDevice());
  for (auto _ : state) {
    std::string text = platform::base64Encode(TLArchivedData(log));
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_ArchiveAndBase64)->Unit(benchmark::kMicrosecond);

void BM_Base64AndUnarchive(benchmark::State& state) {
  TLClassRegistry();
  std::string text = platform::base64Encode(TLArchivedData(startSessionLog(machineDevice())));
  state.counters["bytes"] = static_cast<double>(text.size());
  for (auto _ : state) {
    auto object = TLUnarchivedObject(*platform::base64Decode(text));
    if (!object.asObjectOfClass<TLAbstractLog>()) state.SkipWithError("did not decode");
    benchmark::DoNotOptimize(object);
  }
}
BENCHMARK(BM_Base64AndUnarchive)->Unit(benchmark::kMicrosecond);

std::shared_ptr<TLLogContainer> fiftyLogs() {
  auto device = machineDevice();
  TLLogContainer::Logs logs;
  for (int i = 0; i < 50; ++i) logs.push_back(startSessionLog(device));
  return TLLogContainer::initWithBatchId(platform::makeUUIDString(), std::move(logs));
}

void BM_ContainerText(benchmark::State& state) {
  auto container = fiftyLogs();
  for (auto _ : state) {
    auto text = container->serializeLog();
    benchmark::DoNotOptimize(text);
  }
  state.counters["bytes"] = static_cast<double>(container->serializeLog()->size());
}
BENCHMARK(BM_ContainerText)->Unit(benchmark::kMicrosecond);

void BM_ContainerGzip(benchmark::State& state) {
  auto body = platform::dataFromString(*fiftyLogs()->serializeLog());
  std::size_t compressedSize = 0;
  for (auto _ : state) {
    auto compressed = TLCompression::compressData(body);
    compressedSize = compressed->size();
    benchmark::DoNotOptimize(compressed);
  }
  state.counters["bytes"] = static_cast<double>(body.size());
  state.counters["gzip_bytes"] = static_cast<double>(compressedSize);
}
BENCHMARK(BM_ContainerGzip)->Unit(benchmark::kMicrosecond);

// zlib alone with the same parameters and buffer, for comparison with the figure above.
void BM_BareZlibGzip(benchmark::State& state) {
  auto body = platform::dataFromString(*fiftyLogs()->serializeLog());
  platform::Data output;
  for (auto _ : state) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    output.resize(deflateBound(&stream, body.size()));
    stream.next_in = body.data();
    stream.avail_in = static_cast<uInt>(body.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    benchmark::DoNotOptimize(output);
  }
}
BENCHMARK(BM_BareZlibGzip)->Unit(benchmark::kMicrosecond);

// At the initial level (ASSERT) a verbose message with arguments is dropped before any text or
// builder is made.
void BM_FilteredLogCall(benchmark::State& state) {
  std::string key = "pastDevicesKey";
  int count = 5;
  for (auto _ : state) {
    TLLogVerbose(kTLLogTag, "Settings:store[{}]={}", key, count);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FilteredLogCall)->Unit(benchmark::kNanosecond);

}  // namespace

int main(int argc, char** argv) {
  qvbench::ScratchHome scratch("tlfoundation");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
