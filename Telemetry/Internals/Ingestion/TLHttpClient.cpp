#include "Telemetry/Internals/Ingestion/TLHttpClient.h"

#include <algorithm>
#include <cctype>

#include "Telemetry/Internals/Util/TLHttpUtil.h"
#include "platform/CurlLibrary.h"

namespace {

// Marks a transfer that we ended ourselves.
constexpr int kCancelledByUs = -1;

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  return text.substr(start);
}

}  // namespace

std::optional<std::string> TLHttpResponse::valueForHeader(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (equalsIgnoringCase(key, name)) return value;
  return std::nullopt;
}

std::optional<std::string> TLHttpRequest::valueForHeader(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (equalsIgnoringCase(key, name)) return value;
  return std::nullopt;
}

struct TLHttpClient::Transfer {
  const platform::CurlFunctions* curl = nullptr;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  TLHttpRequest request;
  Completion completion;
  std::shared_ptr<TLHttpResponse> response = std::make_shared<TLHttpResponse>();
  platform::Data body;

  ~Transfer() {
    if (!curl) return;
    if (easy) curl->curl_easy_cleanup(easy);
    curl->curl_slist_free_all(headerList);
  }

  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto* self = static_cast<Transfer*>(context);
    std::size_t length = size * count;
    // Answers are read whole but kept only up to the limit.
    std::size_t room = kMaxResponseBodySize - std::min(kMaxResponseBodySize, self->body.size());
    self->body.insert(self->body.end(), data, data + std::min(room, length));
    return length;
  }

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* context) {
    auto* self = static_cast<Transfer*>(context);
    std::size_t length = size * count;
    std::string line(data, length);
    if (line.rfind("HTTP/", 0) == 0) {
      // A new answer (after a redirect or an interim answer): only the last one counts.
      self->response->headers.clear();
    } else if (auto colon = line.find(':'); colon != std::string::npos) {
      self->response->headers.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    }
    return length;
  }
};

TLHttpClient::TLHttpClient(long maxConnectionsPerHost,
                           std::shared_ptr<platform::DispatchQueue> completionQueue,
                           std::function<bool()> isOffline)
    : maxConnectionsPerHost_(maxConnectionsPerHost),
      completionQueue_(std::move(completionQueue)),
      isOffline_(std::move(isOffline)) {}

TLHttpClient::~TLHttpClient() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (multi_) curl_->curl_multi_wakeup(static_cast<CURLM*>(multi_));
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

std::uint64_t TLHttpClient::wakeUps() const {
  std::lock_guard lock(mutex_);
  return wakeUps_;
}

void TLHttpClient::start(TLHttpRequest request, Completion completion) {
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->completion = std::move(completion);
  std::lock_guard lock(mutex_);
  incoming_.push_back(std::move(transfer));
  if (!worker_.joinable()) {
    // The worker opens libcurl: the caller (the logs queue) never waits for the library to load.
    worker_ = std::thread([this] { run(); });
  } else if (multi_) {
    curl_->curl_multi_wakeup(static_cast<CURLM*>(multi_));
  }
  wake_.notify_all();
}

void TLHttpClient::cancelAll() {
  std::lock_guard lock(mutex_);
  cancelRequested_ = true;
  if (multi_) curl_->curl_multi_wakeup(static_cast<CURLM*>(multi_));
  wake_.notify_all();
}

std::int64_t TLHttpClient::urlErrorCodeForCurlCode(int curlCode, bool offline) {
  switch (curlCode) {
    case kCancelledByUs:
      return kTLURLErrorCancelled;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return kTLURLErrorNetworkConnectionLost;
    case CURLE_COULDNT_RESOLVE_HOST:
      return offline ? kTLURLErrorNotConnectedToInternet : kTLURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return offline ? kTLURLErrorNotConnectedToInternet : kTLURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return kTLURLErrorTimedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
      return -1200;  // secure connection failed
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return -1202;  // server certificate untrusted
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return -1203;  // server certificate has an unknown root
    case CURLE_SSL_CERTPROBLEM:
      return -1205;  // client certificate rejected
    case CURLE_SSL_CLIENTCERT:
      return -1206;  // client certificate required
    case CURLE_TOO_MANY_REDIRECTS:
      return -1007;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return -1002;
    case CURLE_URL_MALFORMAT:
      return -1000;
    default:
      return -1;  // unknown
  }
}

void TLHttpClient::finish(Transfer* transfer, int curlCode) {
  std::shared_ptr<const TLHttpResponse> response;
  std::optional<platform::Data> body;
  std::optional<platform::Error> error;
  if (curlCode == CURLE_OK) {
    long status = 0;
    transfer->curl->curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    char* url = nullptr;
    transfer->curl->curl_easy_getinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &url);
    transfer->response->statusCode = status;
    transfer->response->url = url ? url : transfer->request.url;
    response = transfer->response;
    body = std::move(transfer->body);
  } else {
    bool offline = isOffline_ && isOffline_();
    std::string description = curlCode == kCancelledByUs
                                  ? "cancelled"
                                  : transfer->curl->curl_easy_strerror(static_cast<CURLcode>(curlCode));
    error = platform::Error::make(kTLURLErrorDomain, urlErrorCodeForCurlCode(curlCode, offline), description);
  }
  auto completion = std::move(transfer->completion);
  if (completion) {
    completionQueue_->async([completion = std::move(completion), response = std::move(response),
                             body = std::move(body),
                             error = std::move(error)] { completion(response, body, error); });
  }
}

const platform::CurlFunctions* TLHttpClient::openLibrary() {
  while (true) {
    platform::Error loadError;
    const platform::CurlFunctions* functions = platform::curl(&loadError);
    std::vector<std::unique_ptr<Transfer>> taken;
    bool cancelled = false;
    {
      std::unique_lock lock(mutex_);
      if (functions) {
        curl_ = functions;
        return functions;
      }
      wake_.wait(lock, [&] { return stopping_ || cancelRequested_ || !incoming_.empty(); });
      cancelled = stopping_ || cancelRequested_;
      cancelRequested_ = false;
      taken = std::move(incoming_);
      incoming_.clear();
    }
    // Without libcurl no request can go out. Each fails like a connection that cannot be made, so
    // the senders keep what they meant to send and try again later (when the library is asked for
    // once more).
    for (auto& transfer : taken) {
      if (cancelled) {
        finish(transfer.get(), kCancelledByUs);
      } else if (auto completion = std::move(transfer->completion)) {
        auto error = platform::Error::make(
            kTLURLErrorDomain, urlErrorCodeForCurlCode(CURLE_FAILED_INIT, false), loadError.description);
        completionQueue_->async([completion = std::move(completion), error = std::move(error)] {
          completion(nullptr, std::nullopt, error);
        });
      }
    }
    std::lock_guard lock(mutex_);
    if (stopping_) return nullptr;
  }
}

void TLHttpClient::run() {
  const platform::CurlFunctions* curlFunctions = openLibrary();
  if (!curlFunctions) return;
  const platform::CurlFunctions& curl = *curlFunctions;
  CURLM* multi = curl.curl_multi_init();
  curl.curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, maxConnectionsPerHost_);
  {
    std::lock_guard lock(mutex_);
    multi_ = multi;
  }
  std::map<CURL*, std::unique_ptr<Transfer>> running;
  while (true) {
    std::vector<std::unique_ptr<Transfer>> added;
    std::vector<std::unique_ptr<Transfer>> cancelled;
    bool stop = false;
    {
      std::unique_lock lock(mutex_);
      if (running.empty() && incoming_.empty() && !stopping_ && !cancelRequested_) {
        // Nothing to do: sleep without any timer until work arrives.
        wake_.wait(lock, [&] { return stopping_ || cancelRequested_ || !incoming_.empty(); });
        ++wakeUps_;
      }
      stop = stopping_;
      if (cancelRequested_ || stopping_) {
        cancelRequested_ = false;
        for (auto& transfer : incoming_) cancelled.push_back(std::move(transfer));
        incoming_.clear();
        for (auto& [easy, transfer] : running) {
          curl.curl_multi_remove_handle(multi, easy);
          cancelled.push_back(std::move(transfer));
        }
        running.clear();
      } else {
        added = std::move(incoming_);
        incoming_.clear();
      }
    }
    for (auto& transfer : cancelled) finish(transfer.get(), kCancelledByUs);
    cancelled.clear();
    if (stop) break;

    for (auto& transfer : added) {
      transfer->curl = &curl;
      // A header value must never break the request's framing.
      bool unsafe = false;
      CURL* easy = curl.curl_easy_init();
      transfer->easy = easy;
      for (const auto& [name, value] : transfer->request.headers) {
        if ((name + value).find_first_of("\r\n", 0) != std::string::npos ||
            (name + value).find('\0') != std::string::npos) {
          unsafe = true;
          break;
        }
        // "Name;" is how libcurl sends a header with an empty value ("Name:" would remove it).
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        transfer->headerList = curl.curl_slist_append(transfer->headerList, line.c_str());
      }
      transfer->headerList = curl.curl_slist_append(transfer->headerList, "Expect:");
      if (!easy || unsafe) {
        finish(transfer.get(), CURLE_URL_MALFORMAT);
        continue;
      }
      const auto& request = transfer->request;
      curl.curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
      if (request.method == "POST") {
        curl.curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl.curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                              static_cast<curl_off_t>(request.body.size()));
        curl.curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
      } else if (request.method != "GET") {
        curl.curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
      }
      curl.curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headerList);
      curl.curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
      curl.curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
      curl.curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
      curl.curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
      curl.curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
      curl.curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl.curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeSeconds);
      curl.curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
      curl.curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
      curl.curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
      curl.curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
      curl.curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
      curl.curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
      curl.curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
      curl.curl_multi_add_handle(multi, easy);
      running.emplace(easy, std::move(transfer));
    }
    added.clear();

    int stillRunning = 0;
    curl.curl_multi_perform(multi, &stillRunning);
    int queued = 0;
    while (CURLMsg* message = curl.curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      int result = message->data.result;
      curl.curl_multi_remove_handle(multi, easy);
      auto found = running.find(easy);
      if (found == running.end()) continue;
      auto transfer = std::move(found->second);
      running.erase(found);
      finish(transfer.get(), result);
    }
    if (!running.empty()) {
      curl.curl_multi_poll(multi, nullptr, 0, 60000, nullptr);
      std::lock_guard lock(mutex_);
      ++wakeUps_;
    }
  }
  {
    std::lock_guard lock(mutex_);
    multi_ = nullptr;
  }
  curl.curl_multi_cleanup(multi);
}
