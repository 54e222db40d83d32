#include "shell/QVUpdateFeed.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/CurlLibrary.h"
#include "platform/Log.h"

namespace {

std::optional<std::vector<long>> versionParts(const std::string& version) {
  if (version.empty() || version.size() > 64) return std::nullopt;
  std::vector<long> parts;
  size_t start = 0;
  while (true) {
    const size_t dot = version.find('.', start);
    const std::string piece =
        version.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    long value = 0;
    const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (piece.empty() || error != std::errc() || end != piece.data() + piece.size() || value < 0)
      return std::nullopt;
    parts.push_back(value);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return parts;
}

struct Download {
  std::string body;
  bool tooLarge = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* download = static_cast<Download*>(user);
  const size_t bytes = size * count;
  if (download->body.size() + bytes > QVUpdateFeed::kMaximumFeedSize) {
    download->tooLarge = true;
    return 0;  // ends the transfer
  }
  download->body.append(data, bytes);
  return bytes;
}

}  // namespace

std::optional<int> QVUpdateFeed::compareVersions(const std::string& a, const std::string& b) {
  const auto left = versionParts(a);
  const auto right = versionParts(b);
  if (!left || !right) return std::nullopt;
  const size_t count = std::max(left->size(), right->size());
  for (size_t i = 0; i < count; ++i) {
    const long x = i < left->size() ? (*left)[i] : 0;
    const long y = i < right->size() ? (*right)[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

std::optional<QVUpdateItem> QVUpdateFeed::parseFeed(const std::string& body, std::string* error) {
  auto fail = [error](std::string reason) -> std::optional<QVUpdateItem> {
    if (error) *error = std::move(reason);
    return std::nullopt;
  };
  if (body.size() > kMaximumFeedSize) return fail("the feed is larger than 1 MiB");
  const nlohmann::json feed = nlohmann::json::parse(body, nullptr, false);
  if (feed.is_discarded()) return fail("the feed is not JSON");
  if (!feed.is_object()) return fail("the feed is not a JSON object");
  const auto version = feed.find("version");
  if (version == feed.end() || !version->is_string() || !versionParts(version->get<std::string>()))
    return fail("the feed has no version made of dotted numbers");
  QVUpdateItem item;
  item.version = version->get<std::string>();
  if (auto url = feed.find("downloadURL"); url != feed.end() && url->is_string())
    item.downloadURL = url->get<std::string>();
  if (auto notes = feed.find("notes"); notes != feed.end() && notes->is_string())
    item.notes = notes->get<std::string>();
  return item;
}

QVUpdateCheckResult QVUpdateFeed::evaluate(const std::string& body, const std::string& currentVersion) {
  QVUpdateCheckResult result;
  std::string error;
  auto item = parseFeed(body, &error);
  if (!item) {
    platform::log("Update feed could not be read: {}", error);
    return result;  // no update
  }
  const auto order = compareVersions(item->version, currentVersion);
  result.item = std::move(item);
  if (order && *order > 0) result.status = QVUpdateCheckResult::Status::UpdateAvailable;
  return result;
}

QVUpdateCheckResult QVUpdateFeed::check(const std::string& url, const std::string& currentVersion,
                                        double timeoutSeconds) {
  QVUpdateCheckResult failed;
  failed.status = QVUpdateCheckResult::Status::Failed;
  // libcurl is opened (and set up once) by the first check.
  platform::Error loadError;
  const platform::CurlFunctions* api = platform::curl(&loadError);
  if (!api) {
    failed.error = "The update check could not start (" + loadError.description + ").";
    return failed;
  }
  CURL* curl = api->curl_easy_init();
  if (!curl) {
    failed.error = "The update check could not start.";
    return failed;
  }
  Download download;
  api->curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  api->curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  api->curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  api->curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  api->curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  api->curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  api->curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(timeoutSeconds * 1000));
  api->curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(kMaximumFeedSize));
  api->curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  api->curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
  const CURLcode code = api->curl_easy_perform(curl);
  long status = 0;
  api->curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  api->curl_easy_cleanup(curl);
  if (download.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    platform::log("Update feed could not be read: the feed is larger than 1 MiB");
    return {};  // no update
  }
  if (code != CURLE_OK) {
    failed.error = api->curl_easy_strerror(code);
    return failed;
  }
  if (status != 200) {
    failed.error = "The update server answered with status " + std::to_string(status) + ".";
    return failed;
  }
  return evaluate(download.body, currentVersion);
}
