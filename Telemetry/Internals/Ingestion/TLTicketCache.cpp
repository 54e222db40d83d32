#include "Telemetry/Internals/Ingestion/TLTicketCache.h"

std::shared_ptr<TLTicketCache> TLTicketCache::sharedInstance() {
  static const std::shared_ptr<TLTicketCache> instance = std::make_shared<TLTicketCache>();
  return instance;
}

std::optional<std::string> TLTicketCache::ticketFor(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto found = tickets_.find(key);
  return found == tickets_.end() ? std::nullopt : std::optional<std::string>(found->second);
}

void TLTicketCache::setTicket(const std::optional<std::string>& ticket, const std::string& key) {
  std::lock_guard lock(mutex_);
  if (ticket) {
    tickets_[key] = *ticket;
  } else {
    tickets_.erase(key);
  }
}

void TLTicketCache::clearCache() {
  std::lock_guard lock(mutex_);
  tickets_.clear();
}
