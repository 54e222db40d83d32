#pragma once

#include <QtCore/QString>
#include <QtCore/QUrl>
#include <memory>

// What the application asks of the desktop besides windows: opening an address with the user's
// default handler (browser, mail client) and showing a file in the file manager. Every such request
// goes through the shared instance, so tests install a recording one instead of starting a browser.
class QVDesktopServices {
 public:
  virtual ~QVDesktopServices() = default;

  // Opens the address with the desktop's default handler; false when the desktop refused it.
  virtual bool openURL(const QUrl& url) = 0;
  // Shows the file (or folder) in the file manager.
  virtual bool revealFile(const QString& path) = 0;

  // The desktop's own services unless a test installed others.
  static QVDesktopServices& shared();
  // Installs services; nullptr brings back the desktop's own.
  static void setShared(std::shared_ptr<QVDesktopServices> services);
};

// The desktop's services through QDesktopServices.
class QVSystemDesktopServices : public QVDesktopServices {
 public:
  bool openURL(const QUrl& url) override;
  bool revealFile(const QString& path) override;
};
