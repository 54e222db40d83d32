#include "platform/desktop/testing/FakeSoundPlayer.h"

#include <stdlib.h>

#include <QtCore/QFile>
#include <fstream>

namespace qvtesting {

namespace fs = std::filesystem;

FakeSoundPlayer::FakeSoundPlayer(const fs::path& folder)
    : folder_(folder / "bin"), record_(folder / "played") {
  fs::create_directories(folder_);
  std::ofstream(record_).flush();
  // One short write per run, appended: runs at the same time do not mix their lines.
  const std::string script = "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + record_.string() + "'\n";
  for (const char* name : {"paplay", "pw-play", "aplay"}) {
    const fs::path program = folder_ / name;
    std::ofstream(program) << script;
    fs::permissions(program, fs::perms::owner_all);
  }
  if (const char* path = ::getenv("PATH")) savedPath_ = path;
  const std::string path = folder_.string() + (savedPath_ ? ":" + *savedPath_ : std::string());
  ::setenv("PATH", path.c_str(), 1);
}

FakeSoundPlayer::~FakeSoundPlayer() {
  if (savedPath_) {
    ::setenv("PATH", savedPath_->c_str(), 1);
  } else {
    ::unsetenv("PATH");
  }
}

QStringList FakeSoundPlayer::played() const {
  QFile file(QString::fromStdString(record_.string()));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

}  // namespace qvtesting
