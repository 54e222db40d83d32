#include "engine/QVEmojiSource.h"

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<QVEmojiSource>& installed() {
  static std::shared_ptr<QVEmojiSource> source;
  return source;
}

}  // namespace

std::shared_ptr<QVEmojiSource> QVEmojiSource::shared() {
  std::lock_guard lock(sharedMutex());
  auto& source = installed();
  if (!source) source = std::make_shared<QVEmojiCatalogueSource>(std::vector<std::string>{});
  return source;
}

void QVEmojiSource::setShared(std::shared_ptr<QVEmojiSource> source) {
  std::lock_guard lock(sharedMutex());
  installed() = std::move(source);
}

QVEmojiCatalogueSource::QVEmojiCatalogueSource(std::vector<std::string> emoji)
    : emoji_(std::move(emoji)), random_(std::random_device{}()) {}

std::string QVEmojiCatalogueSource::randomEmoji() {
  if (emoji_.empty()) return {};
  std::lock_guard lock(mutex_);
  return emoji_[random_() % emoji_.size()];
}
