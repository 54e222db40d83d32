#pragma once

#include <QtCore/QStringList>
#include <filesystem>
#include <optional>
#include <string>

namespace qvtesting {

// The desktop's sound players (paplay, pw-play, aplay) replaced by one small script that only notes
// each file it is asked to play. While the player lives, its folder comes first on PATH, so this
// process and the programs it starts find it; the old PATH comes back when it goes.
class FakeSoundPlayer {
 public:
  explicit FakeSoundPlayer(const std::filesystem::path& folder);
  ~FakeSoundPlayer();
  FakeSoundPlayer(const FakeSoundPlayer&) = delete;
  FakeSoundPlayer& operator=(const FakeSoundPlayer&) = delete;

  // The files played so far, one entry per run of a player, in the order the runs wrote them.
  QStringList played() const;

 private:
  std::filesystem::path folder_;
  std::filesystem::path record_;
  std::optional<std::string> savedPath_;
};

}  // namespace qvtesting
