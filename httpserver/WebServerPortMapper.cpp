#include "httpserver/WebServerPortMapper.h"

#include <arpa/inet.h>
#include <natpmp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "httpserver/WebServerFunctions.h"
#include "platform/DynamicLibrary.h"

namespace {

using Clock = std::chrono::steady_clock;

// A private address (RFC 1918, or the carrier-grade NAT range) as the gateway's "external" address
// means that another NAT lies beyond it.
bool isPrivateAddress(in_addr address) {
  std::uint32_t a = ntohl(address.s_addr);
  return (a >> 24) == 10 || (a >> 20) == (172u << 4 | 1) || (a >> 16) == (192u << 8 | 168) ||
         (a >> 22) == (100u << 2 | 1);
}

// The functions of libnatpmp that the mapper calls.
struct NATPMPFunctions {
  decltype(&::initnatpmp) initnatpmp = nullptr;
  decltype(&::closenatpmp) closenatpmp = nullptr;
  decltype(&::sendpublicaddressrequest) sendpublicaddressrequest = nullptr;
  decltype(&::sendnewportmappingrequest) sendnewportmappingrequest = nullptr;
  decltype(&::getnatpmprequesttimeout) getnatpmprequesttimeout = nullptr;
  decltype(&::readnatpmpresponseorretry) readnatpmpresponseorretry = nullptr;

  void bind(platform::DynamicLibrarySymbols& symbols) {
    symbols(initnatpmp, "initnatpmp");
    symbols(closenatpmp, "closenatpmp");
    symbols(sendpublicaddressrequest, "sendpublicaddressrequest");
    symbols(sendnewportmappingrequest, "sendnewportmappingrequest");
    symbols(getnatpmprequesttimeout, "getnatpmprequesttimeout");
    symbols(readnatpmpresponseorretry, "readnatpmpresponseorretry");
  }
};

platform::DynamicLibrary<NATPMPFunctions>& natpmpLibrary() {
  // Never destroyed (see DynamicLibrary): a mapper may outlive static destruction's turn for it.
  static auto& library = *new platform::DynamicLibrary<NATPMPFunctions>("libnatpmp.so.1");
  return library;
}

// Speaks NAT-PMP with the gateway on a thread of its own: asks for the external address, then for
// the mapping, then renews it at half its lifetime, and reports each outcome. A stop wakes the thread
// at once; the mapping is then removed.
class NATPMPPortMapper final : public WebServerPortMapper {
 public:
  explicit NATPMPPortMapper(NATPMPOptions options) : options_(std::move(options)) {}

  ~NATPMPPortMapper() override {
    if (!thread_.joinable()) return;
    stopping_ = true;
    std::uint64_t one = 1;
    ssize_t ignored = ::write(wake_, &one, sizeof one);
    (void)ignored;
    thread_.join();
    if (mapped_) {
      // Removing is best effort: the gateway drops the mapping at the end of its lifetime anyway.
      natpmpFunctions_->sendnewportmappingrequest(&natpmp_, NATPMP_PROTOCOL_TCP, port_, 0, 0);
    }
    natpmpFunctions_->closenatpmp(&natpmp_);
    ::close(wake_);
  }

  int start(std::uint16_t port, Callback callback) override {
    if (thread_.joinable() || !callback) return NATPMP_ERR_INVALIDARGS;
    int forced = 0;
    in_addr_t gateway = 0;
    if (options_.gateway) {
      in_addr address{};
      if (inet_pton(AF_INET, options_.gateway->c_str(), &address) != 1) return NATPMP_ERR_INVALIDARGS;
      forced = 1;
      gateway = address.s_addr;
    }
    // libnatpmp is opened by the first mapping, not at start.
    platform::Error loadError;
    natpmpFunctions_ = natpmpLibrary().functions(&loadError);
    if (!natpmpFunctions_) {
      WebServerLog(kWebServerLoggingLevel_Warning, "NAT port mapping is not available: {}",
                   loadError.description);
      return NATPMP_ERR_UNDEFINEDERROR;
    }
    int result = natpmpFunctions_->initnatpmp(&natpmp_, forced, gateway);
    if (result < 0) return result;
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
      natpmpFunctions_->closenatpmp(&natpmp_);
      return NATPMP_ERR_SOCKETERROR;
    }
    port_ = port;
    callback_ = std::move(callback);
    thread_ = std::thread([this] { run(); });
    return 0;
  }

 private:
  void run() {
    while (!stopping_) {
      natpmpresp_t address{};
      int result = request([this] { return natpmpFunctions_->sendpublicaddressrequest(&natpmp_); }, &address);
      if (stopping_) return;
      double wait = kRetryAfterFailure;
      if (result == 0) {
        natpmpresp_t mapping{};
        result = request(
            [this] {
              return natpmpFunctions_->sendnewportmappingrequest(&natpmp_, NATPMP_PROTOCOL_TCP, port_, port_,
                                                                 options_.lifetime);
            },
            &mapping);
        if (stopping_) return;
        if (result == 0) {
          mapped_ = true;
          in_addr external = address.pnu.publicaddress.addr;
          char text[INET_ADDRSTRLEN] = {};
          inet_ntop(AF_INET, &external, text, sizeof text);
          callback_(isPrivateAddress(external) ? kWebServerDoubleNATError : 0, text,
                    mapping.pnu.newportmapping.mappedpublicport);
          wait = std::max(1.0, mapping.pnu.newportmapping.lifetime / 2.0);
        }
      }
      if (result != 0) callback_(result, std::string(), 0);
      if (!sleep(wait)) return;
    }
  }

  // Sends a request and waits for its answer, resending on the protocol's schedule; 0 with the
  // answer, or an error code (the gateway never answering counts as not supporting NAT-PMP).
  template <typename Send>
  int request(Send send, natpmpresp_t* response) {
    int result = send();
    if (result < 0) return result;
    auto deadline = options_.responseTimeout
                        ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(*options_.responseTimeout))
                        : Clock::time_point::max();
    while (!stopping_) {
      timeval timeout{};
      if (natpmpFunctions_->getnatpmprequesttimeout(&natpmp_, &timeout) < 0)
        return NATPMP_ERR_GETTIMEOFDAYERR;
      auto wait = std::chrono::seconds(timeout.tv_sec) + std::chrono::microseconds(timeout.tv_usec);
      auto now = Clock::now();
      if (now >= deadline) return NATPMP_ERR_NOGATEWAYSUPPORT;
      if (deadline != Clock::time_point::max()) {
        wait = std::min<std::chrono::microseconds>(
            wait, std::chrono::duration_cast<std::chrono::microseconds>(deadline - now));
      }
      pollfd descriptors[2] = {{natpmp_.s, POLLIN, 0}, {wake_, POLLIN, 0}};
      int ready =
          ::poll(descriptors, 2, static_cast<int>(std::max<std::int64_t>(0, (wait.count() + 999) / 1000)));
      if (stopping_) return NATPMP_ERR_NOPENDINGREQ;
      if (ready < 0 && errno != EINTR) return NATPMP_ERR_SOCKETERROR;
      // Reads the answer, or resends when the time for it has passed.
      result = natpmpFunctions_->readnatpmpresponseorretry(&natpmp_, response);
      if (result != NATPMP_TRYAGAIN) return result < 0 ? result : 0;
    }
    return NATPMP_ERR_NOPENDINGREQ;
  }

  // Waits for the time or a stop; false on a stop.
  bool sleep(double seconds) {
    pollfd descriptor{wake_, POLLIN, 0};
    auto until =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!stopping_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) return true;
      ::poll(&descriptor, 1, static_cast<int>(std::min<std::int64_t>(left, 60 * 1000)));
    }
    return false;
  }

  static constexpr double kRetryAfterFailure = 300.0;

  const NATPMPOptions options_;
  const NATPMPFunctions* natpmpFunctions_ = nullptr;
  natpmp_t natpmp_{};
  int wake_ = -1;
  std::uint16_t port_ = 0;
  Callback callback_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> mapped_{false};
};

}  // namespace

std::unique_ptr<WebServerPortMapper> WebServerPortMapper::makeNATPMPMapper(NATPMPOptions options) {
  return std::make_unique<NATPMPPortMapper>(std::move(options));
}
