#pragma once

#include <QtCore/QString>
#include <QtCore/QUrl>
#include <memory>

namespace platform {

// What the windows ask of the desktop: open an address with the user's default handler (the browser
// for web addresses) and show a file in the file manager. Behind this small interface so that tests
// record the requests instead of starting programs.
class DesktopServices {
 public:
  virtual ~DesktopServices() = default;

  // The services in use: the real desktop unless a replacement was installed.
  static DesktopServices& shared();
  // Installs a replacement (tests); nullptr goes back to the real desktop.
  static void setShared(std::shared_ptr<DesktopServices> services);

  // Opens the address with its default handler; false when none would take it.
  virtual bool openURL(const QUrl& url);
  // Opens a file manager window with the file selected: org.freedesktop.FileManager1.ShowItems on the
  // session bus, or, when no file manager answers there, the file's folder with its default handler.
  virtual void revealFile(const QString& path);
};

}  // namespace platform
