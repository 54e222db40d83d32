#include "engine/QVModuleLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "engine/ZKTimer.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

// Values nested deeper than this are dropped while a stored line is parsed: a log line is flat, and
// deep nesting only costs stack further on.
constexpr std::size_t kMaximumParseDepth = 64;

bool safeFileNamePart(const std::string& part) {
  return part.find('/') == std::string::npos && part.find('\0') == std::string::npos;
}

// The last `limit` bytes of the file (all of it when smaller), starting at a line boundary when cut.
std::optional<std::string> readTail(const fs::path& path, std::uint64_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  auto size = static_cast<std::uint64_t>(info.st_size);
  std::uint64_t start = size > limit ? size - limit : 0;
  std::string text;
  text.resize(static_cast<std::size_t>(size - start));
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t got = ::pread(fd, text.data() + done, text.size() - done, static_cast<off_t>(start + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // a file that shrank meanwhile ends early
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  text.resize(done);
  if (start > 0) {
    // The first piece is the end of a line cut in two.
    auto newline = text.find('\n');
    text.erase(0, newline == std::string::npos ? text.size() : newline + 1);
  }
  return text;
}

std::optional<nlohmann::json> parseStoredLine(const std::string& piece) {
  auto callback = [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    if (event == nlohmann::json::parse_event_t::object_start ||
        event == nlohmann::json::parse_event_t::array_start) {
      return static_cast<std::size_t>(depth) < kMaximumParseDepth;
    }
    return true;
  };
  auto value = nlohmann::json::parse(piece, callback, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

}  // namespace

fs::path QVModuleLog::logFilePath(const std::string& bundleID, const std::string& uid) {
  if (!safeFileNamePart(bundleID) || !safeFileNamePart(uid) ||
      (!bundleID.empty() && bundleID.front() == '.')) {
    return {};
  }
  fs::path folder = platform::paths::applicationSupportDirectory() / "Logs";
  platform::files::createDirectory(folder);
  return folder / (bundleID + "_" + uid + ".log");
}

std::shared_ptr<QVModuleLog> QVModuleLog::logForModule(const std::string& bundleID, const std::string& uid) {
  if (uid.empty()) platform::log("No uid");
  fs::path path = logFilePath(bundleID, uid);
  if (path.empty())
    platform::log("Not keeping a log file for the module \"{}\": its name is not a file name", bundleID);
  return logWithPath(std::move(path));
}

std::shared_ptr<QVModuleLog> QVModuleLog::logWithPath(fs::path path) {
  std::shared_ptr<QVModuleLog> log(new QVModuleLog(std::move(path)));
  log->loadLogIfNeeded();
  return log;
}

QVModuleLog::QVModuleLog(fs::path path) : path_(std::move(path)) {}

QVModuleLog::~QVModuleLog() {
  if (saveDelayTimer_) saveDelayTimer_->invalidate();
  if (unsaved_.load()) actuallySave();
}

void QVModuleLog::addLogLine(QVModuleLogLine::Pointer line) {
  if (!line) return;
  announce(true);
  {
    std::lock_guard lock(linesMutex_);
    lines_.push_back(std::move(line));
    if (lines_.size() >= kMaximumLines + 1) lines_.pop_front();
  }
  announce(false);
  save();
}

std::vector<QVModuleLogLine::Pointer> QVModuleLog::logLines() const {
  std::lock_guard lock(linesMutex_);
  return {lines_.begin(), lines_.end()};
}

void QVModuleLog::save() {
  unsaved_.store(true);
  auto queue = platform::MainQueue::shared();
  if (!queue) {
    // Headless use without a main queue: nothing could fire a timer, so write at once.
    actuallySave();
    return;
  }
  if (queue->isCurrent()) {
    scheduleSave();
    return;
  }
  queue->post([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->scheduleSave();
  });
}

void QVModuleLog::scheduleSave() {
  if (saveDelayTimer_) saveDelayTimer_->invalidate();
  saveDelayTimer_ = ZKTimer::timerWithInterval(0.1, false, shared_from_this(),
                                               [](QVModuleLog& log) { log.actuallySave(); });
}

bool QVModuleLog::hasPendingSave() const { return unsaved_.load(); }

void QVModuleLog::actuallySave() {
  unsaved_.store(false);
  if (path_.empty() || removed_.load()) return;
  std::string text;
  {
    std::lock_guard lock(linesMutex_);
    for (const auto& line : lines_) {
      std::string stored = line->jsonString();
      if (stored.empty()) continue;
      text += stored;
      text += '\n';
    }
  }
  if (text.empty()) return;
  platform::files::createDirectory(path_.parent_path());
  platform::files::writeAtomically(path_, text);
}

void QVModuleLog::loadLogIfNeeded() {
  std::deque<QVModuleLogLine::Pointer> loaded;
  if (!path_.empty()) {
    if (auto text = readTail(path_, kMaximumFileBytes)) {
      for (const auto& piece : platform::json::splitByNewlines(*text)) {
        if (piece.find_first_not_of(" \t") == std::string::npos) continue;
        auto value = parseStoredLine(piece);
        if (!value || !value->is_object()) continue;
        loaded.push_back(QVModuleLogLine::lineWithLogDict(*value));
        if (loaded.size() > kMaximumLoadedLines) loaded.pop_front();
      }
    }
  }
  std::lock_guard lock(linesMutex_);
  lines_ = std::move(loaded);
}

void QVModuleLog::willBeRemoved() {
  removed_.store(true);
  if (saveDelayTimer_) saveDelayTimer_->invalidate();
  unsaved_.store(false);
  if (path_.empty()) return;
  std::error_code ec;
  if (fs::symlink_status(path_, ec).type() != fs::file_type::not_found) platform::files::removeItem(path_);
}

std::uint64_t QVModuleLog::addLogLinesObserver(LogLinesObserver observer) {
  std::lock_guard lock(observersMutex_);
  std::uint64_t token = nextToken_++;
  observers_.emplace(token, std::move(observer));
  return token;
}

void QVModuleLog::removeLogLinesObserver(std::uint64_t token) {
  std::lock_guard lock(observersMutex_);
  observers_.erase(token);
}

void QVModuleLog::announce(bool prior) {
  std::vector<LogLinesObserver> observers;
  {
    std::lock_guard lock(observersMutex_);
    for (const auto& [token, observer] : observers_) observers.push_back(observer);
  }
  for (const auto& observer : observers) observer(*this, prior);
}
