#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "platform/ArchiveObject.h"
#include "platform/Color.h"
#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/Signal.h"

namespace platform {
class ClassRegistry;
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

// A named, ordered group of configured modules as the dashboard shows it: a title with an emoji, a
// colour, an expanded or collapsed state and the modules in display order. A group owns its modules;
// each module points back to its group weakly.
//
// Archived as "QVDashboardGroup" with "name" (absent when nil), "emoji" (the empty string when nil),
// "isExpanded" (a number object; missing reads as expanded), "modules" (always, maybe empty) and
// "color" (only when set).
//
// Groups are changed on the main thread; the HTTP server reads them from its own threads, so the
// fields are read and written under a lock (never held while calling out).
class QVDashboardGroup : public platform::Coding, public std::enable_shared_from_this<QVDashboardGroup> {
 public:
  using Pointer = std::shared_ptr<QVDashboardGroup>;
  using Modules = std::vector<QVDashboardModule::Pointer>;
  static constexpr const char* kClassName = "QVDashboardGroup";

  // A new group: expanded, no modules, the clear colour, a random emoji from the installed emoji
  // source (QVEmojiSource), no name.
  static Pointer init();
  static Pointer groupWithName(std::optional<std::string> name);
  // Restores an archived group, dropping modules whose package cannot be read. Posts
  // "QVModuleDidChange" once for the group.
  static Pointer initWithCoder(platform::KeyedUnarchiver& coder);
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }

  // The groups archive ("Modules.plist"): a keyed archive whose root is the array of groups.
  // Empty data gives no groups; data that is not such an archive gives nullopt and the error.
  // Elements of the root array that are not groups are dropped.
  static std::optional<std::vector<Pointer>> groupsWithArchiveData(const platform::Data& data,
                                                                   platform::Error* error = nullptr);
  static platform::Data archivedDataWithGroups(const std::vector<Pointer>& groups);

  std::optional<std::string> name() const;
  // Store and post "QVModuleDidChange" with the group.
  void setName(std::optional<std::string> name);
  std::optional<std::string> emoji() const;
  void setEmoji(std::optional<std::string> emoji);
  // nullopt for a restored group that was saved without a colour.
  std::optional<platform::Color> color() const;
  void setColor(std::optional<platform::Color> color);
  bool isExpanded() const;
  void setIsExpanded(bool expanded);

  // A copy of the modules in order.
  Modules modules() const;
  // The modules, in order, whose required options are all filled.
  Modules configuredModules() const;

  // Adds the module (a copy of it when asked) at the end; nullptr is ignored. The added module's
  // group becomes this group, and a module whose required options are filled is run at once.
  void addModule(const QVDashboardModule::Pointer& module, bool shouldCopy);
  void addModule(const QVDashboardModule::Pointer& module) { addModule(module, true); }
  // Clears the module's group, deletes its log and database files when asked, and removes it
  // (modules compare by identity).
  void removeModule(const QVDashboardModule::Pointer& module, bool removeFiles);
  void removeModule(const QVDashboardModule::Pointer& module) { removeModule(module, true); }
  void removeModules(const Modules& modules);
  // Replaces the module list (reordering, moving between groups); every module's group becomes this.
  void updateModules(const Modules& modules);
  // Called before the group leaves the group list: every module goes, with its files.
  void willBeRemoved();

  // "<QVDashboardGroup: 0x... name=...>"
  std::string description() const;

  // Observers of the key "modules": (prior, modules before the change), told before and after
  // every change on the changing thread. Observers of "name" and "emoji", told after the change.
  platform::Signal<bool, const Modules&> modulesDidChange;
  platform::Signal<> nameDidChange;
  platform::Signal<> emojiDidChange;

  // Use the factories; public for std::make_shared.
  QVDashboardGroup() = default;
  QVDashboardGroup(const QVDashboardGroup&) = delete;
  QVDashboardGroup& operator=(const QVDashboardGroup&) = delete;

 private:
  // Replaces the list with the "modules" change notifications and "QVModuleDidChange".
  template <typename Change>
  void changeModules(Change change);
  void postDidChange();

  mutable std::mutex mutex_;
  std::optional<std::string> name_;
  std::optional<std::string> emoji_;
  std::optional<platform::Color> color_;
  bool isExpanded_ = true;
  Modules workingModules_;
};

// Registers the archived engine classes ("QVDashboardGroup", "QVDashboardModule", "QVDMUserOption")
// with the registry; done once for the shared registry by groupsWithArchiveData.
void QVRegisterArchivedClasses(platform::ClassRegistry& registry);
