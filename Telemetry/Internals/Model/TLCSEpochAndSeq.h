#pragma once

#include <cstdint>
#include <string>

// The epoch and running sequence number of one instrumentation key, kept in memory by the Event
// Collector delegate and stamped into each Event Schema log it prepares.
class TLCSEpochAndSeq {
 public:
  explicit TLCSEpochAndSeq(std::string epoch) : epoch_(std::move(epoch)) {}
  static TLCSEpochAndSeq initWithEpoch(std::string epoch) { return TLCSEpochAndSeq(std::move(epoch)); }

  const std::string& epoch() const { return epoch_; }
  void setEpoch(std::string epoch) { epoch_ = std::move(epoch); }
  // Unsigned here; the SDK extension carries it as a signed 64-bit number.
  std::uint64_t seq() const { return seq_; }
  void setSeq(std::uint64_t seq) { seq_ = seq; }

 private:
  std::string epoch_;
  std::uint64_t seq_ = 0;
};
