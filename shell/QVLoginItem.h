#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/Error.h"

// Starting the application when the user logs in. The settings object turns the "startAtLogin"
// setting on and off through this interface; tests hand it one that fails.
class QVLoginItem {
 public:
  virtual ~QVLoginItem() = default;
  // Adds (true) or removes (false) the entry; false, with the error, when that failed.
  virtual bool setEnabled(bool enabled, platform::Error* error = nullptr) = 0;
  virtual bool isEnabled() const = 0;
  // What names the entry in log lines.
  virtual std::string identifier() const = 0;
};

// The login item of the freedesktop autostart standard: a desktop entry file
// "$XDG_CONFIG_HOME/autostart/<bundle id>.desktop" (~/.config when the variable is unset) that
// starts the executable. Written atomically, so a session never starts from a half-written file.
class QVAutostartEntry : public QVLoginItem {
 public:
  // The application's entry, starting this executable; the folder is looked up at each call.
  static std::shared_ptr<QVAutostartEntry> applicationEntry();
  // An entry at a given file that starts a given executable.
  QVAutostartEntry(std::filesystem::path file, std::filesystem::path executable, std::string name);

  bool setEnabled(bool enabled, platform::Error* error = nullptr) override;
  bool isEnabled() const override;
  std::string identifier() const override { return file().string(); }

  std::filesystem::path file() const;
  // The desktop entry's text for this executable; empty when the path or name holds a line break,
  // which no desktop entry can carry.
  static std::string desktopEntry(const std::filesystem::path& executable, const std::string& name);
  // The "Exec" value that starts exactly this path, quoted and escaped as desktop entries want it.
  static std::string execValue(const std::filesystem::path& executable);

 private:
  QVAutostartEntry() = default;
  std::filesystem::path file_;  // empty: the application's entry in the current XDG folder
  std::filesystem::path executable_;
  std::string name_;
};
