#pragma once

#include <QtCore/QString>
#include <QtCore/QUrl>
#include <vector>

#include "platform/desktop/DesktopServices.h"

namespace qvtesting {

// Desktop services that only record what was asked of them, so that tests never start a browser or a
// file manager. Install with platform::DesktopServices::setShared.
class RecordingDesktopServices : public platform::DesktopServices {
 public:
  bool openURL(const QUrl& url) override {
    openedURLs.push_back(url);
    return true;
  }
  void revealFile(const QString& path) override { revealedFiles.push_back(path); }

  std::vector<QUrl> openedURLs;
  std::vector<QString> revealedFiles;
};

}  // namespace qvtesting
