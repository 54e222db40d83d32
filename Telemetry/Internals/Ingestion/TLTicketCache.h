#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// The process's authentication tickets by ticket key, from which the Event Collector's "Tickets"
// header is built. Locked: tickets may be written while requests are built.
class TLTicketCache {
 public:
  static std::shared_ptr<TLTicketCache> sharedInstance();

  std::optional<std::string> ticketFor(const std::string& key) const;
  // No ticket removes the key.
  void setTicket(const std::optional<std::string>& ticket, const std::string& key);
  void clearCache();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> tickets_;
};
