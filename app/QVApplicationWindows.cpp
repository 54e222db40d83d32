#include "app/QVApplicationWindows.h"

#include <QtCore/QPointer>

#include "app/AppDelegate.h"
#include "app/PMMainWindowController.h"
#include "app/QVPreferencesWindowHook.h"
#include "engine/QVEmojiSource.h"
#include "windows/QVEditorModuleViewController.h"
#include "windows/QVEmojiManager.h"
#include "windows/QVGroupDetailViewController.h"
#include "windows/QVUserModuleEditorViewController.h"

namespace {

// The preferences window as the delegate sees it. The controller owns its window; it is let go once
// the window closed, and the delegate drops this object then.
class PreferencesWindow : public QVPreferencesWindow {
 public:
  PreferencesWindow() : controller_(ZKWindowController::controller<PMMainWindowController>()) {
    QObject::connect(controller_, &PMMainWindowController::windowDidClose, controller_,
                     [controller = controller_] { controller->deleteLater(); });
  }
  ~PreferencesWindow() override {
    if (controller_) controller_->deleteLater();
  }
  QWidget* window() const override { return controller_ ? controller_->window() : nullptr; }
  void selectPaneAtRow(int row) override {
    if (controller_) controller_->selectModuleAtRow(row);
  }
  void actuallyShowWindow() override {
    if (controller_) controller_->actuallyShowWindow();
  }

 private:
  QPointer<PMMainWindowController> controller_;
};

// The emoji catalogue as new groups see it, read from the resources the first time a group needs an
// emoji (most starts make no group): its three property lists cost start-up time and memory.
class LazyEmojiSource : public QVEmojiSource {
 public:
  std::string randomEmoji() override { return QVEmojiManager::sharedManager()->randomEmoji(); }
};

}  // namespace

void QVInstallApplicationWindows() {
  QVEmojiSource::setShared(std::make_shared<LazyEmojiSource>());
  PMMainWindowController::setPaneFactory(PMMainWindowController::ModuleConfigRow, [](QObject* parent) {
    return ZKViewController::controller<QVEditorModuleViewController>(parent);
  });
  PMMainWindowController::setPaneFactory(PMMainWindowController::CustomModulesRow, [](QObject* parent) {
    return ZKViewController::controller<QVUserModuleEditorViewController>(parent);
  });
  AppDelegate::setPreferencesWindowFactory([] { return std::make_unique<PreferencesWindow>(); });
}
