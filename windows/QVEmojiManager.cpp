#include "windows/QVEmojiManager.h"

#include <cstdio>
#include <mutex>
#include <random>

#include "platform/Log.h"
#include "uikit/NSArray+Utilities.h"

namespace {

std::optional<std::string> lookUp(const std::optional<platform::PropertyList::Dictionary>& table,
                                  const std::string& key) {
  if (!table) return std::nullopt;
  const auto found = table->find(key);
  if (found == table->end() || !found->second.asString()) return std::nullopt;
  return *found->second.asString();
}

std::string describe(const std::optional<std::string>& value) { return value ? *value : "(null)"; }

}  // namespace

std::string QVEmojiItem::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return "<QVEmojiItem: " + std::string(address) + " emoji=" + describe(emoji) + " name=" + describe(name) +
         " searchKeys=" + describe(searchKeys) + ">";
}

std::shared_ptr<QVEmojiManager> QVEmojiManager::sharedManager() {
  static const std::shared_ptr<QVEmojiManager> manager =
      std::make_shared<QVEmojiManager>(platform::Bundle::main());
  return manager;
}

QVEmojiManager::QVEmojiManager(const platform::Bundle& bundle) { loadData(bundle); }

void QVEmojiManager::loadData(const platform::Bundle& bundle) {
  const auto sections = zk_arrayFromPropertyListWithName("Emojis", bundle);
  const auto search = zk_dictionaryFromPropertyListWithName("Emoji-Search", bundle);
  const auto names = zk_dictionaryFromPropertyListWithName("Emoji-Names", bundle);
  std::vector<Entry> data;
  std::vector<QVEmojiItem> all;
  if (sections) {
    for (const auto& section : *sections) {
      const auto* title = section.find("title");
      const auto* emoji = section.find("data");
      if (!title || !title->asString()) continue;
      data.emplace_back(*title->asString());
      if (!emoji || !emoji->asString()) continue;
      std::vector<std::string> pieces;
      const std::string& text = *emoji->asString();
      for (std::size_t start = 0;;) {
        const auto comma = text.find(',', start);
        pieces.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      for (std::size_t first = 0; first < pieces.size(); first += kRowLength) {
        Row row;
        for (std::size_t i = first; i < std::min(pieces.size(), first + kRowLength); ++i) {
          QVEmojiItem item{pieces[i], lookUp(names, pieces[i]), lookUp(search, pieces[i])};
          row.push_back(item);
          all.push_back(item);
        }
        data.emplace_back(std::move(row));
      }
    }
  }
  dataArray_ = std::move(data);
  allEmojisArray_ = std::move(all);
}

std::string QVEmojiManager::randomEmoji() {
  if (allEmojisArray_.empty()) {
    platform::log("The emoji catalogue is empty; a new group has no emoji");
    return {};
  }
  static std::mutex mutex;
  static std::mt19937 random{std::random_device{}()};
  std::uint32_t number = 0;
  {
    std::lock_guard lock(mutex);
    number = static_cast<std::uint32_t>(random());
  }
  return allEmojisArray_[number % allEmojisArray_.size()].emoji.value_or("");
}

std::vector<QVEmojiManager::Entry> QVEmojiManager::emojisWithPredicate(
    const std::function<bool(const QVEmojiItem&)>& predicate) const {
  std::vector<Entry> rows;
  Row row;
  for (const auto& item : allEmojisArray_) {
    if (!predicate(item)) continue;
    row.push_back(item);
    if (row.size() == kRowLength) rows.emplace_back(std::exchange(row, {}));
  }
  if (!row.empty()) rows.emplace_back(std::move(row));
  return rows;
}
