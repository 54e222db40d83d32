#include "engine/QVDashboardGroup.h"

#include <fmt/format.h>

#include <algorithm>

#include "engine/QVArchiveReading.h"
#include "engine/QVEmojiSource.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVNotifications.h"
#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"
#include "platform/NotificationCenter.h"

void QVRegisterArchivedClasses(platform::ClassRegistry& registry) {
  registry.registerClass<QVDashboardGroup>(QVDashboardGroup::kClassName);
  registry.registerClass<QVDashboardModule>(QVDashboardModule::kClassName);
  registry.registerClass<QVDMUserOption>(QVDMUserOption::kClassName);
}

namespace {

void registerSharedClassesOnce() {
  static std::once_flag once;
  std::call_once(once, [] { QVRegisterArchivedClasses(platform::ClassRegistry::shared()); });
}

}  // namespace

QVDashboardGroup::Pointer QVDashboardGroup::init() {
  auto group = std::make_shared<QVDashboardGroup>();
  group->color_ = platform::Color::clearColor();
  group->emoji_ = QVEmojiSource::shared()->randomEmoji();
  return group;
}

QVDashboardGroup::Pointer QVDashboardGroup::groupWithName(std::optional<std::string> name) {
  auto group = init();
  group->setName(std::move(name));
  return group;
}

QVDashboardGroup::Pointer QVDashboardGroup::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto group = std::make_shared<QVDashboardGroup>();
  // Values of another kind than the key's read as absent.
  platform::ArchiveObject name = QVDecodeLeafObject(coder, "name");
  if (name.asString()) group->name_ = *name.asString();
  platform::ArchiveObject emoji = QVDecodeLeafObject(coder, "emoji");
  if (emoji.asString()) group->emoji_ = *emoji.asString();
  std::optional<double> expanded = QVDecodeLeafDouble(coder, "isExpanded");
  group->isExpanded_ = expanded ? *expanded != 0 : true;
  platform::ArchiveObject color = QVDecodeLeafObject(coder, "color");
  if (color.asColor()) group->color_ = *color.asColor();

  Modules modules;
  platform::ArchiveObject stored = coder.decodeObjectForKey("modules");
  if (const auto* array = stored.asArray()) {
    for (const auto& item : *array) {
      auto module = item.asObjectOfClass<QVDashboardModule>();
      if (module && !module->isInvalid()) modules.push_back(std::move(module));
    }
  }
  group->updateModules(modules);
  return group;
}

void QVDashboardGroup::encodeWithCoder(platform::KeyedArchiver& coder) const {
  std::optional<std::string> name, emoji;
  std::optional<platform::Color> color;
  bool expanded;
  Modules modules;
  {
    std::lock_guard lock(mutex_);
    name = name_;
    emoji = emoji_;
    color = color_;
    expanded = isExpanded_;
    modules = workingModules_;
  }
  coder.encodeObject(name, "name");
  coder.encodeObject(emoji.value_or(""), "emoji");
  coder.encodeObject(expanded, "isExpanded");
  coder.encodeObject(modules, "modules");
  if (color) coder.encodeObject(*color, "color");
}

std::optional<std::vector<QVDashboardGroup::Pointer>> QVDashboardGroup::groupsWithArchiveData(
    const platform::Data& data, platform::Error* error) {
  std::vector<Pointer> groups;
  if (data.empty()) return groups;
  registerSharedClassesOnce();
  platform::ArchiveObject root = platform::KeyedUnarchiver::unarchiveTopLevelObjectWithData(data, error);
  const auto* array = root.asArray();
  if (!array) {
    if (!root.isNil()) {
      platform::fail(error,
                     platform::Error::make("NSCocoaErrorDomain", 4864, "The groups archive is not an array"));
    }
    return std::nullopt;
  }
  for (const auto& item : *array) {
    if (auto group = item.asObjectOfClass<QVDashboardGroup>()) groups.push_back(std::move(group));
  }
  return groups;
}

platform::Data QVDashboardGroup::archivedDataWithGroups(const std::vector<Pointer>& groups) {
  return platform::KeyedArchiver::archivedDataWithRootObject(platform::ArchiveObject(groups));
}

std::optional<std::string> QVDashboardGroup::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void QVDashboardGroup::setName(std::optional<std::string> name) {
  {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
  }
  nameDidChange.emit();
  postDidChange();
}

std::optional<std::string> QVDashboardGroup::emoji() const {
  std::lock_guard lock(mutex_);
  return emoji_;
}

void QVDashboardGroup::setEmoji(std::optional<std::string> emoji) {
  {
    std::lock_guard lock(mutex_);
    emoji_ = std::move(emoji);
  }
  emojiDidChange.emit();
  postDidChange();
}

std::optional<platform::Color> QVDashboardGroup::color() const {
  std::lock_guard lock(mutex_);
  return color_;
}

void QVDashboardGroup::setColor(std::optional<platform::Color> color) {
  std::lock_guard lock(mutex_);
  color_ = color;
}

bool QVDashboardGroup::isExpanded() const {
  std::lock_guard lock(mutex_);
  return isExpanded_;
}

void QVDashboardGroup::setIsExpanded(bool expanded) {
  std::lock_guard lock(mutex_);
  isExpanded_ = expanded;
}

QVDashboardGroup::Modules QVDashboardGroup::modules() const {
  std::lock_guard lock(mutex_);
  return workingModules_;
}

QVDashboardGroup::Modules QVDashboardGroup::configuredModules() const {
  Modules configured;
  for (const auto& module : modules()) {
    if (module->hasAllRequiredFields()) configured.push_back(module);
  }
  return configured;
}

template <typename Change>
void QVDashboardGroup::changeModules(Change change) {
  Modules old = modules();
  modulesDidChange.emit(true, old);
  {
    std::lock_guard lock(mutex_);
    change(workingModules_);
  }
  modulesDidChange.emit(false, old);
  postDidChange();
}

void QVDashboardGroup::addModule(const QVDashboardModule::Pointer& given, bool shouldCopy) {
  if (!given) return;
  QVDashboardModule::Pointer module = shouldCopy ? given->copy() : given;
  if (!module) return;
  module->setGroup(shared_from_this());
  if (module->hasAllRequiredFields()) QVEngineEnvironment::runModule(module);
  changeModules([&](Modules& modules) { modules.push_back(module); });
}

void QVDashboardGroup::removeModule(const QVDashboardModule::Pointer& module, bool removeFiles) {
  if (!module) return;
  module->setGroup(nullptr);
  if (removeFiles) module->moduleWillBeRemoved();
  changeModules([&](Modules& modules) { std::erase(modules, module); });
}

void QVDashboardGroup::removeModules(const Modules& modules) {
  for (const auto& module : modules) removeModule(module);
}

void QVDashboardGroup::updateModules(const Modules& given) {
  Modules modules;
  for (const auto& module : given) {
    if (module) modules.push_back(module);
  }
  auto self = shared_from_this();
  for (const auto& module : modules) module->setGroup(self);
  changeModules([&](Modules& working) { working = modules; });
}

void QVDashboardGroup::willBeRemoved() { removeModules(modules()); }

void QVDashboardGroup::postDidChange() {
  platform::NotificationCenter::defaultCenter().postNotificationName(QVModuleDidChangeNotification, this,
                                                                     weak_from_this().lock());
}

std::string QVDashboardGroup::description() const {
  auto name = this->name();
  return fmt::format("<QVDashboardGroup: {} name={}>", static_cast<const void*>(this),
                     name ? *name : "(null)");
}
