#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <set>
#include <thread>

#include "PipelineTestSupport.h"
#include "Telemetry/Internals/Ingestion/TLEventCollectorIngestion.h"
#include "Telemetry/Internals/Ingestion/TLIngestionCall.h"
#include "Telemetry/Internals/Ingestion/TLTelemetryIngestion.h"
#include "Telemetry/Internals/Ingestion/TLTicketCache.h"
#include "Telemetry/Internals/Util/TLHttpUtil.h"
#include "platform/DynamicLibrary.h"
#include "testing/TelemetryIngestionServer.h"
#include "testing/TreePaths.h"

using namespace tltesting;
using qvtesting::ScriptedAnswer;

namespace {

// Retry intervals of 2 s: each retry waits exactly 1 s.
const std::vector<double> kFastRetries{2, 2, 2};

// What the handler and the delegates heard, in order.
class Journal : public TLIngestionDelegate {
 public:
  struct Answer {
    std::optional<std::string> callId;
    std::int64_t status = -1;
    std::optional<platform::Error> error;
    std::size_t bodySize = 0;
  };
  TLSendAsyncCompletionHandler handler() {
    return [this](const std::optional<std::string>& callId,
                  const std::shared_ptr<const TLHttpResponse>& response,
                  const std::optional<platform::Data>& data, const std::optional<platform::Error>& error) {
      std::lock_guard lock(mutex_);
      answers_.push_back({callId, response ? response->statusCode : -1, error, data ? data->size() : 0});
      events_.push_back("handler");
    };
  }
  void ingestionDidPause(TLIngestionProtocol&) override { add("pause"); }
  void ingestionDidResume(TLIngestionProtocol&) override { add("resume"); }
  void ingestionDidReceiveFatalError(TLIngestionProtocol&) override { add("fatal"); }
  std::vector<Answer> answers() const {
    std::lock_guard lock(mutex_);
    return answers_;
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  void add(const std::string& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  mutable std::mutex mutex_;
  std::vector<Answer> answers_;
  std::vector<std::string> events_;
};

std::shared_ptr<TLLogContainer> container(const std::string& batchId, std::size_t padding = 0,
                                          int count = 1) {
  TLLogContainer::Logs logs;
  for (int i = 0; i < count; ++i) logs.push_back(testLog("log" + std::to_string(i), padding));
  return TLLogContainer::initWithBatchId(batchId, logs);
}

// A batch of one log whose service name is the batch id, so the service tells batches apart.
std::shared_ptr<TLLogContainer> named(const std::string& batchId) {
  return TLLogContainer::initWithBatchId(batchId, {testLog(batchId)});
}

class IngestionTest : public PipelineTest {
 protected:
  // The service names of the logs the service received, in order.
  std::vector<std::string> sentNames() const {
    std::vector<std::string> names;
    for (const auto& log : server.allLogs()) names.push_back(log["services"][0].get<std::string>());
    return names;
  }
  void SetUp() override {
    PipelineTest::SetUp();
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    ASSERT_TRUE(server.start());
    reference = std::make_shared<TestReachabilityReference>();
    reachability = TL_Reachability::reachabilityWithReference(reference);
    journal = std::make_shared<Journal>();
  }
  void TearDown() override {
    telemetry.reset();
    collector.reset();
    PipelineTest::TearDown();
  }
  std::shared_ptr<TLTelemetryIngestion> makeTelemetry(const std::string& url,
                                                      std::vector<double> retries = kFastRetries) {
    telemetry =
        TLTelemetryIngestion::make(url, "00000000-0000-0000-0000-0000000000AB", reachability, retries);
    telemetry->setAppSecret("app-secret-0123456789abcdefghijkl");
    telemetry->addDelegate(journal);
    return telemetry;
  }

  qvtesting::TelemetryIngestionServer server;
  std::shared_ptr<TestReachabilityReference> reference;
  std::shared_ptr<TL_Reachability> reachability;
  std::shared_ptr<Journal> journal;
  std::shared_ptr<TLTelemetryIngestion> telemetry;
  std::shared_ptr<TLEventCollectorIngestion> collector;
};

// ---- Answers and transport failures: one case per outcome, run side by side ----

struct OutcomeCase {
  std::string name;
  // What the service does; "refused" sends to a closed port, "https" speaks TLS to the plain server.
  std::vector<ScriptedAnswer> answers;
  std::string transport = "plain";
  std::size_t requests;                // how many attempts reach the service
  std::optional<std::int64_t> status;  // the status the handler sees (none: no response)
  std::int64_t errorCode;              // 0: no error
  std::optional<std::int64_t> httpCode;
  bool enabledAfter;
  bool fatal;
};

std::ostream& operator<<(std::ostream& out, const OutcomeCase& c) { return out << c.name; }

ScriptedAnswer status(int code) { return ScriptedAnswer{code, "", 0, false}; }
ScriptedAnswer dropped() { return ScriptedAnswer{200, "", 0, true}; }

class IngestionOutcomeTest : public IngestionTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(IngestionOutcomeTest, AnswerDecidesRetriesHandlerAndState) {
  const auto& c = GetParam();
  server.script(c.answers);
  std::string url = server.baseURL();
  if (c.transport == "refused") {
    qvtesting::TelemetryIngestionServer closed;
    ASSERT_TRUE(closed.start());
    url = closed.baseURL();
  } else if (c.transport == "https") {
    url = "https://127.0.0.1:" + std::to_string(server.port());
  }
  makeTelemetry(url);
  ASSERT_TRUE(waitFor([&] { return !telemetry->isPaused(); }));
  telemetry->sendAsync(container("batch-1"), std::nullopt, journal->handler());
  ASSERT_TRUE(waitFor([&] { return !journal->answers().empty(); })) << c.name;
  auto answer = journal->answers().front();
  EXPECT_EQ(answer.callId, "batch-1");
  EXPECT_EQ(server.requestCount(), c.requests);
  EXPECT_EQ(answer.status, c.status.value_or(-1));
  EXPECT_EQ(answer.error ? answer.error->code : 0, c.errorCode);
  if (c.httpCode) {
    ASSERT_TRUE(answer.error);
    EXPECT_EQ(answer.error->domain, kTLTelemetryErrorDomain);
    EXPECT_EQ(answer.error->userInfo.value(kTLConnectionHttpCodeKey, -1), *c.httpCode);
    EXPECT_EQ(answer.error->description, "An HTTP error occured.");
  }
  EXPECT_TRUE(waitFor([&] { return telemetry->pendingCallCount() == 0; }));
  EXPECT_EQ(telemetry->isEnabled(), c.enabledAfter);
  EXPECT_EQ(telemetry->isPaused(), !c.enabledAfter);
  auto events = journal->events();
  std::vector<std::string> expected{"handler"};
  if (!c.enabledAfter) expected.push_back("pause");
  if (c.fatal) expected.push_back("fatal");
  EXPECT_EQ(events, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, IngestionOutcomeTest,
    ::testing::Values(
        OutcomeCase{"ok", {status(200)}, "plain", 1, 200, 0, std::nullopt, true, false},
        OutcomeCase{"noContent", {status(204)}, "plain", 1, 204, 101, 204, false, true},
        OutcomeCase{"badRequest", {status(400)}, "plain", 1, 400, 101, 400, false, true},
        OutcomeCase{"timeout408",
                    {status(408), status(408), status(408), status(408)},
                    "plain",
                    4,
                    408,
                    101,
                    408,
                    false,
                    false},
        OutcomeCase{"tooMany429",
                    {status(429), status(429), status(429), status(200)},
                    "plain",
                    4,
                    200,
                    0,
                    std::nullopt,
                    true,
                    false},
        OutcomeCase{"server500",
                    {status(500), status(500), status(500), status(500)},
                    "plain",
                    4,
                    500,
                    101,
                    500,
                    false,
                    false},
        OutcomeCase{"unavailable503",
                    {status(503), status(503), status(503), status(503)},
                    "plain",
                    4,
                    503,
                    101,
                    503,
                    false,
                    false},
        OutcomeCase{"dropped",
                    {dropped(), dropped(), dropped(), dropped()},
                    "plain",
                    4,
                    std::nullopt,
                    -1005,
                    std::nullopt,
                    false,
                    false},
        OutcomeCase{"refused", {}, "refused", 0, std::nullopt, -1004, std::nullopt, false, false},
        OutcomeCase{"httpsToPlain", {}, "https", 0, std::nullopt, -1200, std::nullopt, false, false}),
    [](const auto& info) { return info.param.name; });

// Where libcurl is not installed, a call fails like a connection that cannot be made: nothing
// reaches the service, the call is retried, and the pipeline then pauses without a fatal error,
// keeping its logs for a later send.
TEST_F(IngestionTest, WithoutLibcurlCallsFailAndTheLogsWait) {
  server.script({status(200), status(200), status(200), status(200)});
  makeTelemetry(server.baseURL());
  ASSERT_TRUE(waitFor([&] { return !telemetry->isPaused(); }));
  platform::DynamicLibrarySubstitution absent("libcurl.so.4", "libqv-absent-curl.so.4");
  telemetry->sendAsync(container("batch-1"), std::nullopt, journal->handler());
  ASSERT_TRUE(waitFor([&] { return !journal->answers().empty(); }));
  auto answer = journal->answers().front();
  EXPECT_EQ(answer.callId, "batch-1");
  EXPECT_EQ(answer.status, -1);
  ASSERT_TRUE(answer.error);
  EXPECT_EQ(answer.error->domain, kTLURLErrorDomain);
  EXPECT_EQ(answer.error->code, -1);
  EXPECT_NE(answer.error->description.find("Could not load libqv-absent-curl.so.4"), std::string::npos)
      << answer.error->description;
  EXPECT_TRUE(waitFor([&] { return telemetry->pendingCallCount() == 0; }));
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_FALSE(telemetry->isEnabled());
  EXPECT_TRUE(telemetry->isPaused());
  EXPECT_EQ(journal->events(), (std::vector<std::string>{"handler", "pause"}));
}

// The first request of a process opens libcurl (with its TLS stack and more), which can take a
// good part of a second on a busy machine. The caller, the pipeline's logs queue, never waits for
// that: logs made meanwhile are stored as usual.
TEST_F(IngestionTest, ASendReturnsWhileLibcurlIsStillLoading) {
  makeTelemetry(server.baseURL());
  ASSERT_TRUE(waitFor([&] { return !telemetry->isPaused(); }));
  int release[2];
  ASSERT_EQ(::pipe(release), 0);
  setenv("QV_SLOW_LIBRARY_FD", std::to_string(release[0]).c_str(), 1);
  platform::DynamicLibrarySubstitution slow("libcurl.so.4", QV_SLOW_LOADING_LIBRARY);
  std::promise<void> returned;
  std::thread caller([&] {
    telemetry->sendAsync(container("batch-1"), std::nullopt, journal->handler());
    returned.set_value();
  });
  const bool waited = returned.get_future().wait_for(std::chrono::seconds(10)) != std::future_status::ready;
  // Lets the loading end; the stand-in has none of libcurl's functions, so the call fails.
  ASSERT_EQ(::write(release[1], "x", 1), 1);
  caller.join();
  ::close(release[0]);
  ::close(release[1]);
  unsetenv("QV_SLOW_LIBRARY_FD");
  EXPECT_FALSE(waited) << "the send waited for libcurl to load";
  ASSERT_TRUE(waitFor([&] { return !journal->answers().empty(); }));
  ASSERT_TRUE(journal->answers().front().error);
  EXPECT_NE(journal->answers().front().error->description.find("slow_loading_library"), std::string::npos)
      << journal->answers().front().error->description;
  EXPECT_EQ(server.requestCount(), 0u);
}

// ---- Retries and fatal answers ----

// Each retry waits half its interval and a random whole number of seconds below that half; after
// the last interval there is no retry delay at all.
TEST(IngestionCallTest, RetryDelaysAreWholeSecondsInTheUpperHalfOfEachInterval) {
  const std::vector<std::vector<double>> tables = {{10, 300, 1200}, {2, 3, 11}, {1, 4, 7, 60}};
  for (const auto& intervals : tables) {
    auto call = TLIngestionCall::initWithRetryIntervals(intervals);
    for (std::uint64_t retry = 0; retry < intervals.size() + 3; ++retry) {
      SCOPED_TRACE("intervals " + std::to_string(intervals.size()) + " from " + std::to_string(intervals[0]) +
                   ", retry " + std::to_string(retry));
      if (retry >= intervals.size()) {
        EXPECT_EQ(call->delayForRetryCount(retry), 0.0);
        continue;
      }
      const auto interval = static_cast<std::uint32_t>(intervals[retry]);
      const std::uint32_t half = interval / 2;
      // Whole seconds from half the interval up to twice that half less one (the interval less one
      // for an even interval); an interval of one second gives none.
      const double lowest = half;
      const double highest = half == 0 ? 0 : 2 * half - 1;
      std::set<double> seen;
      for (int draw = 0; draw < 4000; ++draw) {
        const double delay = call->delayForRetryCount(retry);
        ASSERT_EQ(delay, std::floor(delay));
        ASSERT_GE(delay, lowest);
        ASSERT_LE(delay, highest);
        seen.insert(delay);
      }
      // Both ends come up (the window is drawn from, not a fixed point in it).
      EXPECT_TRUE(seen.count(lowest));
      EXPECT_TRUE(seen.count(highest));
    }
  }
}

// A fatal answer (401 or 403) ends every call of the sender: calls waiting for a retry are dropped
// with it, and once the sender is enabled again only what is sent from then on goes out.
TEST_F(IngestionTest, AFatalAnswerDropsEveryPendingCallForGood) {
  for (int fatalStatus : {401, 403}) {
    SCOPED_TRACE(fatalStatus);
    server.clear();
    journal = std::make_shared<Journal>();
    server.script({status(503), status(503), status(fatalStatus)});
    makeTelemetry(server.baseURL(), {6, 6, 6});
    ASSERT_TRUE(waitFor([&] { return !telemetry->isPaused(); }));
    // Two calls wait for their retries (3 to 5 s away), then the third meets the fatal answer.
    telemetry->sendAsync(named("waiting-1"), std::nullopt, journal->handler());
    ASSERT_TRUE(waitFor([&] { return telemetry->retryCountForCall("waiting-1") == 1u; }));
    telemetry->sendAsync(named("waiting-2"), std::nullopt, journal->handler());
    ASSERT_TRUE(waitFor([&] { return telemetry->retryCountForCall("waiting-2") == 1u; }));
    telemetry->sendAsync(named("fatal"), std::nullopt, journal->handler());
    ASSERT_TRUE(waitFor([&] {
      auto events = journal->events();
      return std::find(events.begin(), events.end(), "fatal") != events.end();
    }));
    EXPECT_EQ(telemetry->pendingCallCount(), 0u);
    EXPECT_FALSE(telemetry->isEnabled());

    // Enabled again, past the time the retries were due: only the new call reaches the service.
    telemetry->setEnabled(true, false);
    telemetry->resume();
    telemetry->sendAsync(named("after"), std::nullopt, journal->handler());
    ASSERT_TRUE(waitFor([&] { return sentNames().size() >= 4; })) << sentNames().size();
    runFor(5);
    EXPECT_EQ(sentNames(), (std::vector<std::string>{"waiting-1", "waiting-2", "fatal", "after"}));
    EXPECT_EQ(telemetry->pendingCallCount(), 0u);
    telemetry.reset();
  }
}

// ---- Requests ----

TEST_F(IngestionTest, TelemetryRequestCarriesPathQueryHeadersAndBatch) {
  MessageRecorder messages;
  TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  makeTelemetry(server.baseURL());
  EXPECT_EQ(telemetry->sendURL(), server.baseURL() + "/logs?api-version=1.0.0");
  telemetry->sendAsync(container("b", 0, 2), std::string("token-value"), journal->handler());
  ASSERT_TRUE(server.waitForRequests(1));
  auto request = server.requests().front();
  EXPECT_EQ(request.url, server.baseURL() + "/logs?api-version=1.0.0");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Install-ID"), "00000000-0000-0000-0000-0000000000AB");
  EXPECT_EQ(request.header("App-Secret"), "app-secret-0123456789abcdefghijkl");
  EXPECT_EQ(request.header("Authorization"), "Bearer token-value");
  EXPECT_EQ(request.header("Expect"), std::nullopt);
  EXPECT_EQ(request.header("Cookie"), std::nullopt);
  ASSERT_EQ(request.logs.size(), 2u);
  EXPECT_EQ(request.logs[1]["services"][0], "log1");
  ASSERT_TRUE(waitFor([&] { return !journal->answers().empty(); }));
  auto verbose = messages.texts(TLLogLevelVerbose);
  auto headers = std::find_if(verbose.begin(), verbose.end(),
                              [](const std::string& t) { return t.rfind("Headers: ", 0) == 0; });
  ASSERT_NE(headers, verbose.end());
  EXPECT_NE(headers->find("App-Secret = " + TLHttpUtil::hideSecret("app-secret-0123456789abcdefghijkl")),
            std::string::npos)
      << *headers;
  EXPECT_NE(headers->find("*efghijkl"), std::string::npos) << *headers;
  EXPECT_NE(headers->find("Authorization = Bearer ***"), std::string::npos) << *headers;
  EXPECT_EQ(headers->find("token-value"), std::string::npos);

  // An empty token adds no header.
  telemetry->sendAsync(container("c"), std::string(""), journal->handler());
  ASSERT_TRUE(server.waitForRequests(2));
  EXPECT_EQ(server.requests()[1].header("Authorization"), std::nullopt);
}

// Bodies of 1,400 bytes and more go gzip-compressed, on both endpoints.
TEST_F(IngestionTest, BodiesFrom1400BytesAreCompressed) {
  makeTelemetry(server.baseURL());
  collector = TLEventCollectorIngestion::make(server.baseURL(), reachability, kFastRetries);
  auto sized = [](std::size_t size, bool lines) {
    for (std::size_t padding = 0; padding < 2000; ++padding) {
      auto batch = container("x" + std::to_string(size), padding);
      std::size_t length = lines ? batch->logs()[0]->serializeLogWithPrettyPrinting(false)->size() + 1
                                 : batch->serializeLog()->size();
      if (length == size) return batch;
    }
    ADD_FAILURE() << size;
    return container("none");
  };
  telemetry->sendAsync(sized(1399, false), std::nullopt, journal->handler());
  telemetry->sendAsync(sized(1400, false), std::nullopt, journal->handler());
  collector->sendAsync(sized(1399, true), std::nullopt, journal->handler());
  collector->sendAsync(sized(1400, true), std::nullopt, journal->handler());
  ASSERT_TRUE(server.waitForRequests(4));
  for (const auto& request : server.requests()) {
    bool large = request.body.size() == 1400;
    SCOPED_TRACE(request.path + " " + std::to_string(request.body.size()));
    EXPECT_TRUE(request.body.size() == 1399 || large);
    EXPECT_EQ(request.header("Content-Encoding"), large ? std::optional<std::string>("gzip") : std::nullopt);
    EXPECT_EQ(request.raw.size() < request.body.size(), large);
    EXPECT_EQ(request.logs.size(), 1u);
  }
}

TEST_F(IngestionTest, EventCollectorRequestCarriesLinesKeysAndTickets) {
  MessageRecorder messages;
  TLLogger::setCurrentLogLevel(TLLogLevelVerbose);
  collector = TLEventCollectorIngestion::make(server.baseURL(), reachability, kFastRetries);
  EXPECT_EQ(collector->sendURL(), server.baseURL() + "/EventCollector/1.0");
  TLTicketCache::sharedInstance()->setTicket("p:ticket-secret", "ticket-key");
  auto a = testLog("a"), b = testLog("b"), c = testLog("c");
  a->addTransmissionTargetToken("AAAA-token-number-one");
  b->addTransmissionTargetToken("AAAA-token-number-one");
  b->addTransmissionTargetToken("BBBB-token-number-two");
  auto schema = TLEventSchemaLog::init();
  schema->setTimestamp(platform::Date::fromTimeIntervalSince1970(1000));
  schema->setVer("3.0");
  schema->setName("event.name");
  schema->setExt(TLCSExtensions::init());
  schema->ext()->setProtocolExt(TLProtocolExtension::init());
  schema->ext()->protocolExt()->setTicketKeys(std::vector<std::string>{"ticket-key", "missing"});
  collector->sendAsync(TLLogContainer::initWithBatchId("ec", {a, b, c, schema}), std::nullopt,
                       journal->handler());
  ASSERT_TRUE(server.waitForRequests(1));
  TLTicketCache::sharedInstance()->clearCache();
  auto request = server.requests().front();
  EXPECT_EQ(request.url, server.baseURL() + "/EventCollector/1.0");
  EXPECT_TRUE(request.isJsonLines);
  EXPECT_EQ(request.logs.size(), 4u);
  EXPECT_EQ(request.body.back(), '\n');
  EXPECT_EQ(request.header("Content-Type"), "application/x-json-stream; charset=utf-8");
  EXPECT_EQ(request.header("Client-Version"), "ACS-iOS-ObjectiveC-no-2.5.0-no");
  EXPECT_EQ(request.header("apikey"), "AAAA-token-number-one,BBBB-token-number-two");
  EXPECT_EQ(request.header("Tickets"), R"({"ticket-key":"p:ticket-secret"})");
  auto uploaded = std::stoll(request.header("Upload-Time").value_or("0"));
  EXPECT_NEAR(static_cast<double>(uploaded), TLUtility::nowInMilliseconds(), 60000);
  ASSERT_TRUE(waitFor([&] { return !journal->answers().empty(); }));
  auto verbose = messages.texts(TLLogLevelVerbose);
  auto headers = std::find_if(verbose.begin(), verbose.end(),
                              [](const std::string& t) { return t.rfind("Headers: ", 0) == 0; });
  ASSERT_NE(headers, verbose.end());
  EXPECT_NE(headers->find("apikey = *************mber-one,*************mber-two"), std::string::npos)
      << *headers;
  EXPECT_NE(headers->find(R"(Tickets = {"ticket-key":"p:***"})"), std::string::npos) << *headers;
}

TEST_F(IngestionTest, InvalidContainerFailsAtOnceWithoutTraffic) {
  makeTelemetry(server.baseURL());
  collector = TLEventCollectorIngestion::make(server.baseURL(), reachability, kFastRetries);
  telemetry->sendAsync(nullptr, std::nullopt, journal->handler());
  collector->sendAsync(TLLogContainer::initWithBatchId("empty", {}), std::nullopt, journal->handler());
  auto answers = journal->answers();
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].callId, std::nullopt);
  EXPECT_EQ(answers[1].callId, "empty");
  for (const auto& answer : answers) {
    ASSERT_TRUE(answer.error);
    EXPECT_EQ(answer.error->code, 1);
    EXPECT_EQ(answer.error->description, "Invalid log container.");
  }
  EXPECT_EQ(telemetry->pendingCallCount() + collector->pendingCallCount(), 0u);
}

// Without a secret, or with one that could break a header, nothing is sent and the call waits.
TEST_F(IngestionTest, SecretsThatCannotTravelKeepTheCallWaiting) {
  makeTelemetry(server.baseURL());
  telemetry->setAppSecret(std::nullopt);
  EXPECT_FALSE(telemetry->isReadyToSend());
  telemetry->sendAsync(container("no-secret"), std::nullopt, journal->handler());
  telemetry->setAppSecret(std::string("secret\r\nX-Injected: yes"));
  EXPECT_TRUE(telemetry->isReadyToSend());
  telemetry->sendAsync(container("crlf"), std::nullopt, journal->handler());
  telemetry->setAppSecret(std::string("good-secret"));
  telemetry->sendAsync(container("bad-token"), std::string("token\nX-Injected: yes"), journal->handler());
  telemetry->sendAsync(container("nul-token"), std::string("tok\0en", 6), journal->handler());
  EXPECT_EQ(telemetry->pendingCallCount(), 4u);
  // The calls with a clean secret and no token go out on the next resume; the bad tokens never do.
  reference->setReachable(false);
  ASSERT_TRUE(waitFor([&] { return telemetry->isPaused(); }));
  reference->setReachable(true);
  ASSERT_TRUE(server.waitForRequests(2));
  ASSERT_TRUE(waitFor([&] { return journal->answers().size() == 2; }));
  for (const auto& request : server.requests()) {
    EXPECT_EQ(request.header("X-Injected"), std::nullopt);
    EXPECT_EQ(request.header("App-Secret"), "good-secret");
  }
  EXPECT_EQ(telemetry->pendingCallCount(), 2u);
}

// Offline: calls wait without counting; back online they go out at once.
TEST_F(IngestionTest, OfflineCallsWaitAndGoOutWhenTheNetworkReturns) {
  makeTelemetry(server.baseURL());
  reference->setReachable(false);
  ASSERT_TRUE(waitFor([&] { return telemetry->isPaused(); }));
  telemetry->sendAsync(container("held"), std::nullopt, journal->handler());
  EXPECT_EQ(telemetry->pendingCallCount(), 1u);
  EXPECT_EQ(server.requestCount(), 0u);
  reference->setReachable(true);
  ASSERT_TRUE(server.waitForRequests(1));
  ASSERT_TRUE(waitFor([&] { return journal->answers().size() == 1; }));
  EXPECT_EQ(journal->events(), (std::vector<std::string>{"pause", "resume", "handler"}));
}

// Twins: a second send of a pending id reuses the call and never sends it twice.
TEST_F(IngestionTest, ASubmittedCallIsNeverSentTwice) {
  server.script({ScriptedAnswer{200, "", 1.0, false}});
  makeTelemetry(server.baseURL());
  telemetry->sendAsync(container("twin"), std::nullopt, journal->handler());
  telemetry->sendAsync(container("twin"), std::nullopt, journal->handler());
  EXPECT_EQ(telemetry->pendingCallCount(), 1u);
  // A resume while the request is on the wire does not send it again.
  telemetry->pause();
  telemetry->resume();
  ASSERT_TRUE(waitFor([&] { return journal->answers().size() == 1; }));
  EXPECT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(telemetry->pendingCallCount(), 0u);
}

// Our own cancellation is final: the handler hears -999, nothing is retried.
TEST_F(IngestionTest, DisablingWithDeletionCancelsRequestsAndTimers) {
  server.script({ScriptedAnswer{200, "", 30.0, false}, status(500)});
  // Retries 10 s apart, so the timer is surely pending when the sender is disabled.
  makeTelemetry(server.baseURL(), {20, 20, 20});
  telemetry->sendAsync(container("on-the-wire"), std::nullopt, journal->handler());
  ASSERT_TRUE(server.waitForRequests(1));
  telemetry->sendAsync(container("retrying"), std::nullopt, journal->handler());
  ASSERT_TRUE(server.waitForRequests(2));
  ASSERT_TRUE(waitFor([&] { return telemetry->retryCountForCall("retrying") == 1u; }));
  telemetry->setEnabled(false, true);
  EXPECT_EQ(telemetry->pendingCallCount(), 0u);
  ASSERT_TRUE(waitFor([&] { return journal->answers().size() == 1; }));
  auto answer = journal->answers().front();
  EXPECT_EQ(answer.callId, "on-the-wire");
  ASSERT_TRUE(answer.error);
  EXPECT_EQ(answer.error->code, -999);
  runFor(1.5);
  EXPECT_EQ(server.requestCount(), 2u);
  EXPECT_EQ(journal->answers().size(), 1u);
  EXPECT_FALSE(telemetry->isEnabled());
}

// Answers are read up to 1 MiB.
TEST_F(IngestionTest, ResponseBodiesAreCappedAtOneMebibyte) {
  server.script({ScriptedAnswer{200, std::string(3 * 1024 * 1024, 'a'), 0, false}});
  makeTelemetry(server.baseURL());
  telemetry->sendAsync(container("large"), std::nullopt, journal->handler());
  ASSERT_TRUE(waitFor([&] { return journal->answers().size() == 1; }));
  EXPECT_EQ(journal->answers().front().status, 200);
  EXPECT_EQ(journal->answers().front().bodySize, 1024u * 1024u);
}

TEST_F(IngestionTest, BaseURLChangesKeepPathAndQuery) {
  makeTelemetry("https://example.invalid:8443");
  telemetry->setBaseURL(server.baseURL());
  EXPECT_EQ(telemetry->sendURL(), server.baseURL() + "/logs?api-version=1.0.0");
  telemetry->sendAsync(container("moved"), std::nullopt, journal->handler());
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_EQ(server.requests().front().url, server.baseURL() + "/logs?api-version=1.0.0");
  EXPECT_EQ(TLHttpClient::urlErrorCodeForCurlCode(6, true), -1009);
  EXPECT_EQ(TLHttpClient::urlErrorCodeForCurlCode(6, false), -1003);
  EXPECT_EQ(TLHttpClient::urlErrorCodeForCurlCode(7, true), -1009);
  EXPECT_EQ(TLHttpClient::urlErrorCodeForCurlCode(28, false), -1001);
  EXPECT_EQ(TLHttpClient::urlErrorCodeForCurlCode(52, false), -1005);
  EXPECT_EQ(TLHttpClient::urlErrorCodeForCurlCode(60, false), -1202);
}

}  // namespace
