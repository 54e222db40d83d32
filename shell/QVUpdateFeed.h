#pragma once

#include <cstddef>
#include <optional>
#include <string>

// The newest version an update feed offers.
struct QVUpdateItem {
  std::string version;      // dotted numbers, "1.4.2"
  std::string downloadURL;  // the page that tells how to get it; may be empty
  std::string notes;        // what is new; may be empty
};

// What one update check found.
struct QVUpdateCheckResult {
  enum class Status { UpdateAvailable, UpToDate, Failed };
  Status status = Status::UpToDate;
  std::optional<QVUpdateItem> item;  // the feed's offer when it could be read
  std::string error;                 // why the check failed (Failed only)
};

// Reads the update feed: a JSON object {"version": "1.4.2", "downloadURL": "...", "notes": "..."}
// served over HTTP(S). The feed is untrusted input: at most kMaximumFeedSize bytes are read, and a
// feed that is too large, not JSON, or without a version made of dotted numbers counts as "no
// update" (with a log line), never as an update.
class QVUpdateFeed {
 public:
  static constexpr std::size_t kMaximumFeedSize = 1024 * 1024;

  // The offer of a feed body; nullopt with the reason in `error` when it cannot be read.
  static std::optional<QVUpdateItem> parseFeed(const std::string& body, std::string* error = nullptr);
  // Compares dotted version numbers part by part (missing parts count 0): <0, 0 or >0. A version that
  // is not made of dotted numbers compares as nullopt.
  static std::optional<int> compareVersions(const std::string& a, const std::string& b);
  // What a feed body means for the version running now.
  static QVUpdateCheckResult evaluate(const std::string& body, const std::string& currentVersion);
  // Reads the feed at `url` (blocking; run it off the GUI thread) and evaluates it. A transport error
  // or an HTTP status other than 200 fails the check.
  static QVUpdateCheckResult check(const std::string& url, const std::string& currentVersion,
                                   double timeoutSeconds = 20.0);
};
