#pragma once

#include <QtCore/QPointer>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/QVDashboardModule.h"
#include "uikit/ZKWindowController.h"

class EngineBridge;
class QAbstractButton;
class QLabel;
class QVDashboardModuleManager;
class ZKViewController;

// The sheet in which the user edits one module: its package name and description, links to its
// website and support page, and tab buttons that switch between its preferences, log, files,
// notification options (only for modules with notifications) and help document (only when the
// package has one). Whoever opens it (the group detail pane) hands in the module, the manager that
// saves, the engine bridge the log follows, and a completion block for when it closes. Main thread
// only.
class QVEditModuleWindowController : public ZKWindowController {
  Q_OBJECT

 public:
  enum Tab : std::int64_t {
    preferencesTab = 0,
    logsTab = 1,
    filesTab = 2,
    notificationsTab = 3,
    helpTab = 4
  };
  static constexpr const char* kMissingDescription = "Missing Description";
  static constexpr double kFirstTabX = 15.0;
  static constexpr double kTabGap = 5.0;

  explicit QVEditModuleWindowController(QObject* parent = nullptr) : ZKWindowController(parent) {}

  // `manager` null: the shared manager saves; `bridge` null: the log tab follows a bridge of its own.
  static QVEditModuleWindowController* controllerWithModule(
      const QVDashboardModule::Pointer& module, std::shared_ptr<QVDashboardModuleManager> manager = nullptr,
      EngineBridge* bridge = nullptr, QObject* parent = nullptr);

  const QVDashboardModule::Pointer& module() const { return module_; }
  std::function<void()> completionBlock;
  std::int64_t selectedTab() const { return selectedTab_; }
  ZKViewController* currentViewController() const { return currentViewController_; }
  // The five tab buttons in tab order (a removed one stays in the list, without a parent).
  std::array<QAbstractButton*, 5> tabButtons() const;
  QWidget* tabContentView() const;
  QLabel* titleLabel() const;
  QLabel* descriptionLabel() const;
  QAbstractButton* websiteButton() const;
  QAbstractButton* helpButton() const;

  void zk_viewDidLoad() override;
  void updateMetaDataUI();
  void repositionTabs();
  void changeTab(QAbstractButton* sender);
  void openWebsite();
  void openHelp();
  // Ends any editing in progress, then 0.1 s later calls the completion block and ends the sheet.
  void close();
  void setCurrentViewController(ZKViewController* controller);

 private:
  ZKViewController* makeControllerForTab(std::int64_t tab);

  QVDashboardModule::Pointer module_;
  std::weak_ptr<QVDashboardModuleManager> manager_;
  QPointer<EngineBridge> bridge_;
  std::int64_t selectedTab_ = -1;
  QPointer<ZKViewController> currentViewController_;
};
