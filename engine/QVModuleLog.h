#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/QVModuleLogLine.h"

class ZKTimer;

// A module's log: its newest lines in order, oldest first, kept in a file of JSON lines that is written
// a tenth of a second after the last change. Lines may be added from any thread (a run's output
// arrives on its pipe thread); saving is scheduled and done on the main queue.
class QVModuleLog : public std::enable_shared_from_this<QVModuleLog> {
 public:
  // After each addition the log holds at most this many lines.
  static constexpr std::size_t kMaximumLines = 999;
  // Only the last this-many bytes of a log file are read, and at most kMaximumLoadedLines lines of it:
  // the log writes far less, and a damaged or foreign file must not exhaust memory.
  static constexpr std::uint64_t kMaximumFileBytes = 16u << 20;
  static constexpr std::size_t kMaximumLoadedLines = 10000;

  // "<application support>/Logs/<bundleID>_<uid>.log", creating the folder. Empty when the names
  // would reach outside that folder (a "/" or NUL in either, a bundle id starting with ".").
  static std::filesystem::path logFilePath(const std::string& bundleID, const std::string& uid);

  // The log of the module with that bundle id and uid, loaded from its file at once. An empty uid
  // is logged as "No uid" and gives a file name with an empty uid part.
  static std::shared_ptr<QVModuleLog> logForModule(const std::string& bundleID, const std::string& uid);
  // A log kept in the given file, loaded at once; an empty path keeps the lines in memory only.
  static std::shared_ptr<QVModuleLog> logWithPath(std::filesystem::path path);

  // A save still pending when the log goes is done at once, so no line is lost.
  ~QVModuleLog();
  QVModuleLog(const QVModuleLog&) = delete;
  QVModuleLog& operator=(const QVModuleLog&) = delete;

  // Appends the line (nullptr is ignored), drops the oldest line when there are 1000, tells the
  // observers before and after (on the calling thread) and schedules a save.
  void addLogLine(QVModuleLogLine::Pointer line);
  // A copy of the lines, oldest first.
  std::vector<QVModuleLogLine::Pointer> logLines() const;
  // The log file; it may not exist yet.
  const std::filesystem::path& path() const { return path_; }

  // Asks for a write 0.1 s after the last request (on the main queue; a burst gives one write).
  void save();
  // Writes every line now, atomically; an empty log leaves the file as it is. Failures are silent.
  void actuallySave();
  // Replaces the lines with what the file holds (a missing or unreadable file gives an empty log).
  void loadLogIfNeeded();
  // Deletes the log file, and any pending save with it: the module is being removed with its files, so
  // from now on the log is kept in memory only and never writes the file again.
  void willBeRemoved();
  // True while a save is asked for and not yet written. Main thread.
  bool hasPendingSave() const;

  // Observers of the key "logLines": called with prior = true before a change and false after it.
  using LogLinesObserver = std::function<void(const QVModuleLog& log, bool prior)>;
  std::uint64_t addLogLinesObserver(LogLinesObserver observer);
  void removeLogLinesObserver(std::uint64_t token);

 private:
  explicit QVModuleLog(std::filesystem::path path);
  // Main thread: replaces the pending save timer with a new one.
  void scheduleSave();
  void announce(bool prior);

  const std::filesystem::path path_;
  mutable std::mutex linesMutex_;
  std::deque<QVModuleLogLine::Pointer> lines_;
  // Main thread only.
  std::shared_ptr<ZKTimer> saveDelayTimer_;
  // Set by each save request, cleared when a write starts: tells the destructor whether lines may
  // still be unwritten.
  std::atomic<bool> unsaved_{false};
  std::atomic<bool> removed_{false};

  mutable std::mutex observersMutex_;
  std::map<std::uint64_t, LogLinesObserver> observers_;
  std::uint64_t nextToken_ = 1;
};
