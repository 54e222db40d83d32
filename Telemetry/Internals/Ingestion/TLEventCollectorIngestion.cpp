#include "Telemetry/Internals/Ingestion/TLEventCollectorIngestion.h"

#include <regex>
#include <set>

#include "Telemetry/Internals/Ingestion/TLTelemetryIngestion.h"
#include "Telemetry/Internals/Ingestion/TLTicketCache.h"
#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "Telemetry/Internals/Util/TLHttpUtil.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"

std::shared_ptr<TLEventCollectorIngestion> TLEventCollectorIngestion::initWithBaseUrl(
    const std::string& baseUrl) {
  return make(baseUrl, TL_Reachability::reachabilityForInternetConnection());
}

std::shared_ptr<TLEventCollectorIngestion> TLEventCollectorIngestion::make(
    const std::string& baseUrl, std::shared_ptr<TL_Reachability> reachability,
    std::vector<double> retryIntervals) {
  auto ingestion = std::make_shared<TLEventCollectorIngestion>(baseUrl, std::move(reachability),
                                                               std::move(retryIntervals));
  ingestion->startObservingReachability();
  return ingestion;
}

TLEventCollectorIngestion::TLEventCollectorIngestion(const std::string& baseUrl,
                                                     std::shared_ptr<TL_Reachability> reachability,
                                                     std::vector<double> retryIntervals)
    : TLHttpIngestion(baseUrl, std::string(kTLEventCollectorApiPath) + "/" + kTLEventCollectorApiVersion,
                      {{"Content-Type", "application/x-json-stream; charset=utf-8"},
                       {"Client-Version", "ACS-iOS-ObjectiveC-no-" + TLUtility::sdkVersion() + "-no"}},
                      {}, std::move(reachability), std::move(retryIntervals),
                      kTLEventCollectorMaxConnections) {}

void TLEventCollectorIngestion::sendAsync(const std::shared_ptr<TLLogContainer>& data,
                                          const std::optional<std::string>& authToken,
                                          TLSendAsyncCompletionHandler handler) {
  sendBatchAsync(data, authToken, std::move(handler));
}

std::optional<TLHttpRequest> TLEventCollectorIngestion::createRequest(
    const std::shared_ptr<TLLogContainer>& data, const std::optional<std::string>&,
    const std::optional<std::string>&) {
  TLHttpRequest request = postRequest();
  std::set<std::string> tokens;
  nlohmann::json tickets = nlohmann::json::object();
  std::string body;
  if (data) {
    auto cache = TLTicketCache::sharedInstance();
    for (const auto& log : data->logs()) {
      if (auto logTokens = log->transmissionTargetTokens()) {
        for (const auto& token : *logTokens)
          // A token that could break the header line is left out of it.
          if (isSafeHeaderValue(token) && token.find(',') == std::string::npos) tokens.insert(token);
      }
      if (auto schema = std::dynamic_pointer_cast<TLEventSchemaLog>(log)) {
        auto protocol = schema->ext() ? schema->ext()->protocolExt() : nullptr;
        if (protocol && protocol->ticketKeys()) {
          for (const auto& key : *protocol->ticketKeys())
            if (auto ticket = cache->ticketFor(key)) tickets[key] = *ticket;
        }
      }
      body += log->serializeLogWithPrettyPrinting(false).value_or("{}");
      body += "\n";
    }
  }
  std::string apikey;
  for (const auto& token : tokens) apikey += (apikey.empty() ? "" : ",") + token;
  request.headers.emplace_back("apikey", apikey);
  request.headers.emplace_back("Upload-Time",
                               std::to_string(static_cast<long long>(TLUtility::nowInMilliseconds())));
  if (!tickets.empty()) request.headers.emplace_back("Tickets", tickets.dump());
  TLSetRequestBody(request, platform::dataFromString(body));
  logRequest(request);
  return request;
}

std::string TLEventCollectorIngestion::obfuscateHeaderValue(const std::string& value,
                                                            const std::string& key) const {
  if (key == "apikey") return obfuscateTargetTokens(value);
  if (key == "Tickets") return obfuscateTickets(value);
  return value;
}

std::string TLEventCollectorIngestion::obfuscateTargetTokens(const std::string& tokenString) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    auto comma = tokenString.find(',', start);
    out += TLHttpUtil::hideSecret(
        tokenString.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    out += ",";
    start = comma + 1;
  }
  return out;
}

std::string TLEventCollectorIngestion::obfuscateTickets(const std::string& ticketString) {
  static const std::regex pattern(":[^\"]+");
  return std::regex_replace(ticketString, pattern, ":***");
}
