#pragma once

#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

// Where a new group takes its emoji from. The application installs the emoji catalogue of its
// windows; the engine itself needs nothing but one random pick.
class QVEmojiSource {
 public:
  virtual ~QVEmojiSource() = default;
  // One emoji picked at random; may be empty when the source has none.
  virtual std::string randomEmoji() = 0;

  // The source new groups use: the installed one, else a catalogue source over an empty list.
  static std::shared_ptr<QVEmojiSource> shared();
  // Installs the source new groups use; nullptr goes back to the empty default.
  static void setShared(std::shared_ptr<QVEmojiSource> source);
};

// A source over a fixed list of emoji: a random member, or the empty string for an empty list (no
// group ever fails to be made for want of an emoji). Safe from any thread.
class QVEmojiCatalogueSource : public QVEmojiSource {
 public:
  explicit QVEmojiCatalogueSource(std::vector<std::string> emoji);
  std::string randomEmoji() override;

 private:
  std::vector<std::string> emoji_;
  std::mutex mutex_;
  std::minstd_rand random_;
};
