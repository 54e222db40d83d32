#include "shell/QVLoginItem.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/Bundle.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kApplicationName = "Quorvane Dashboard";
constexpr const char* kLoginItemErrorDomain = "QVLoginItemErrorDomain";

fs::path autostartFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  fs::path base =
      config && config[0] == '/' ? fs::path(config) : platform::paths::homeDirectory() / ".config";
  return base / "autostart";
}

}  // namespace

std::shared_ptr<QVAutostartEntry> QVAutostartEntry::applicationEntry() {
  auto entry = std::shared_ptr<QVAutostartEntry>(new QVAutostartEntry());
  entry->executable_ = platform::Bundle::executablePath();
  entry->name_ = kApplicationName;
  return entry;
}

QVAutostartEntry::QVAutostartEntry(fs::path file, fs::path executable, std::string name)
    : file_(std::move(file)), executable_(std::move(executable)), name_(std::move(name)) {}

fs::path QVAutostartEntry::file() const {
  if (!file_.empty()) return file_;
  return autostartFolder() / (platform::Bundle::bundleIdentifier() + ".desktop");
}

std::string QVAutostartEntry::execValue(const fs::path& executable) {
  // Inside double quotes the characters " ` $ \ take a backslash; the value as a whole is then a
  // desktop-entry string, where a backslash is written twice. A "%" would start a field code.
  std::string quoted = "\"";
  for (char c : executable.string()) {
    switch (c) {
      case '"':
      case '`':
      case '$':
        quoted += "\\\\";
        quoted += c;
        break;
      case '\\':
        quoted += "\\\\\\\\";
        break;
      case '%':
        quoted += "%%";
        break;
      default:
        quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

std::string QVAutostartEntry::desktopEntry(const fs::path& executable, const std::string& name) {
  const std::string path = executable.string();
  if (path.find_first_of("\r\n") != std::string::npos || name.find_first_of("\r\n") != std::string::npos) {
    return {};
  }
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=" +
         name +
         "\n"
         "Exec=" +
         execValue(executable) +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool QVAutostartEntry::setEnabled(bool enabled, platform::Error* error) {
  const fs::path path = file();
  if (!enabled) {
    std::error_code ec;
    if (fs::remove(path, ec) || !ec) return true;
    return platform::fail(error, platform::Error::fromErrno(ec.value(), "Could not remove " + path.string()));
  }
  const std::string text = desktopEntry(executable_, name_);
  if (text.empty()) {
    return platform::fail(error, platform::Error::make(kLoginItemErrorDomain, 1,
                                                       "The path of the program cannot be started from an "
                                                       "autostart entry: " +
                                                           executable_.string()));
  }
  return platform::files::createDirectory(path.parent_path(), error) &&
         platform::files::writeAtomically(path, text, error, 0644);
}

bool QVAutostartEntry::isEnabled() const { return platform::files::fileExists(file()); }
