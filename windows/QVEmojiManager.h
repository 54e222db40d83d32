#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/QVEmojiSource.h"
#include "platform/Bundle.h"

// One emoji of the catalogue: the character sequence, its display name and the words it is found by.
struct QVEmojiItem {
  std::optional<std::string> emoji;
  std::optional<std::string> name;
  std::optional<std::string> searchKeys;
  // "<QVEmojiItem: 0x... emoji=... name=... searchKeys=...>"
  std::string description() const;
};

// The catalogue of emoji a group can take as its icon, read from the resources "Emojis",
// "Emoji-Names" and "Emoji-Search": titled sections of rows of at most eight emoji for the picker,
// every emoji in catalogue order, search by keywords and a random pick for new groups (installed as
// the engine's emoji source).
class QVEmojiManager : public QVEmojiSource {
 public:
  using Row = std::vector<QVEmojiItem>;
  // A section title or a row of emoji.
  using Entry = std::variant<std::string, Row>;
  static constexpr std::size_t kRowLength = 8;

  // The catalogue of the application's resources, made once (safe from any thread).
  static std::shared_ptr<QVEmojiManager> sharedManager();
  // A catalogue of the given bundle's resources.
  explicit QVEmojiManager(const platform::Bundle& bundle);

  void loadData(const platform::Bundle& bundle);
  const std::vector<Entry>& dataArray() const { return dataArray_; }
  const std::vector<QVEmojiItem>& allEmojisArray() const { return allEmojisArray_; }
  // One emoji at random; the empty string, with a log line, when the catalogue is empty.
  std::string randomEmoji() override;
  // The emoji satisfying the predicate, in rows of eight, without section titles.
  std::vector<Entry> emojisWithPredicate(const std::function<bool(const QVEmojiItem&)>& predicate) const;

 private:
  std::vector<Entry> dataArray_;
  std::vector<QVEmojiItem> allEmojisArray_;
};
