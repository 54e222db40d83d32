#include "windows/QVUserModuleEditorViewController.h"

#include <stdlib.h>

#include <QtCore/QFileInfo>
#include <QtCore/QMimeData>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtGui/QDragEnterEvent>
#include <QtGui/QDropEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableWidget>
#include <filesystem>

#include "engine/QVDashboardModuleManager.h"
#include "platform/DispatchQueue.h"
#include "platform/Paths.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"
#include "ui_QVUserModuleEditorViewController.h"
#include "uikit/NSTableView+Helpers.h"
#include "uikit/ZKAlert.h"
#include "windows/QVHelpWindowController.h"
#include "windows/QVModulePackageDialog.h"
#include "ziparchive/ZAZipArchive.h"

ZK_INTERFACE_FORM(QVUserModuleEditorViewController, QWidget);

namespace {

constexpr const char* kDisableWindowClosing = "Notification.disableWindowClosing";
constexpr const char* kEnableWindowClosing = "Notification.enableWindowClosing";

platform::NotificationCenter& center() { return platform::NotificationCenter::defaultCenter(); }

QString text(const std::optional<std::string>& value) { return platform::toQString(value.value_or("")); }

// Installs one chosen item: a package folder, or a zip file holding exactly one package folder at
// its top, unpacked into a private temporary folder first (the zip layer refuses names that leave
// it). Whatever is left of the unpacked folder is removed.
std::int64_t installItem(QVDashboardModuleManager& manager, const std::string& path) {
  namespace fs = std::filesystem;
  if (fs::path(path).extension() != ".zip") return manager.installUserModuleAtPath(path);
  std::error_code error;
  fs::path folder = platform::paths::temporaryDirectory() / "module-install-XXXXXX";
  std::string pattern = folder.string();
  if (!::mkdtemp(pattern.data())) return QVDashboardModuleManager::QVInstallResultCouldNotInstall;
  folder = pattern;
  std::int64_t result = QVDashboardModuleManager::QVInstallResultInvalidModule;
  if (ZAZipArchive::unzipFileAtPath(path, folder.string())) {
    std::vector<fs::path> packages;
    for (const auto& entry : fs::directory_iterator(folder, error))
      if (entry.path().extension() == ".quorvanemodule" && entry.is_directory() && !entry.is_symlink())
        packages.push_back(entry.path());
    if (packages.size() == 1) result = manager.installUserModuleAtPath(packages.front().string());
  }
  fs::remove_all(folder, error);
  return result;
}

}  // namespace

QVUserModuleEditorViewController::QVUserModuleEditorViewController(QObject* parent)
    : ZKModuleViewController(parent) {
  setModuleTitle(QStringLiteral("Custom Modules"));
  openPanel = [](QWidget* parent) {
    QVModulePackageDialog dialog(parent);
    return dialog.exec() == QDialog::Accepted ? dialog.chosenPackages() : QStringList();
  };
}

QVUserModuleEditorViewController* QVUserModuleEditorViewController::controllerWithManager(
    std::shared_ptr<QVDashboardModuleManager> manager, QObject* parent) {
  auto* pane = new QVUserModuleEditorViewController(parent);
  pane->manager_ = std::move(manager);
  pane->loadFromInterface();
  return pane;
}

QString QVUserModuleEditorViewController::installFailureText(std::int64_t code) {
  switch (code) {
    case QVDashboardModuleManager::QVInstallResultInvalidModule:
      return QStringLiteral("The module is not a valid Quorvane Dashboard module.");
    case QVDashboardModuleManager::QVInstallResultAlreadyInstalled:
      return QStringLiteral("A module with this name or bundle ID already exists.");
    case QVDashboardModuleManager::QVInstallResultCouldNotInstall:
      return QStringLiteral("Could not move the module.");
    default:
      return QStringLiteral("An error occurred while installing this module.");
  }
}

QTableWidget* QVUserModuleEditorViewController::tableView() const {
  return ui<Ui::QVUserModuleEditorViewController>()->tableView;
}

QAbstractButton* QVUserModuleEditorViewController::uninstallButtonAtRow(int row) const {
  return qobject_cast<QAbstractButton*>(tableView()->cellWidget(row, 1));
}

QVHelpWindowController* QVUserModuleEditorViewController::helpWindowController() const {
  return helpWindowController_;
}

void QVUserModuleEditorViewController::zk_viewDidLoad() {
  if (!manager_) manager_ = QVDashboardModuleManager::sharedInstance();
  auto* form = ui<Ui::QVUserModuleEditorViewController>();
  connect(form->installButton, &QAbstractButton::clicked, this, [this] { install(); });
  connect(form->showInFinderButton, &QAbstractButton::clicked, this, [this] { showInFinder(); });
  connect(form->refreshButton, &QAbstractButton::clicked, this, [this] { reloadData(); });
  connect(form->learnHowButton, &QAbstractButton::clicked, this, [this] { learnHow(); });
  connect(form->findMoreButton, &QAbstractButton::clicked, this, [this] { findMore(); });
  tableView()->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  tableView()->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  tableView()->viewport()->setAcceptDrops(true);
  tableView()->viewport()->installEventFilter(this);
  reloadData();
}

void QVUserModuleEditorViewController::zk_viewDidAppear() { reloadData(); }

void QVUserModuleEditorViewController::reloadData() {
  manager_->reloadUserModules();
  modules_ = manager_->userModules();
  auto* table = tableView();
  table->clearContents();
  table->setRowCount(static_cast<int>(modules_.size()));
  for (int row = 0; row < table->rowCount(); ++row) {
    const auto& module = modules_[static_cast<std::size_t>(row)];
    auto* detail = new QLabel(QStringLiteral("<b>%1</b><br><small>%2</small>")
                                  .arg(QStringLiteral("%1 by %2")
                                           .arg(text(module->moduleName()), text(module->authorName()))
                                           .toHtmlEscaped(),
                                       text(module->moduleDescription()).toHtmlEscaped()));
    detail->setContentsMargins(6, 0, 6, 0);
    detail->setAttribute(Qt::WA_TransparentForMouseEvents);
    table->setCellWidget(row, 0, detail);
    auto* uninstallButton = new QPushButton(QStringLiteral("Uninstall"));
    uninstallButton->setAccessibleName(QStringLiteral("Uninstall ") + text(module->moduleName()));
    connect(uninstallButton, &QPushButton::clicked, this, [this, row] { uninstall(row); });
    table->setCellWidget(row, 1, uninstallButton);
  }
}

void QVUserModuleEditorViewController::install() {
  const QStringList chosen = openPanel ? openPanel(parentWindow()) : QStringList();
  if (!chosen.isEmpty()) installModules(chosen);
}

void QVUserModuleEditorViewController::installModules(const QStringList& paths) {
  if (paths.isEmpty()) return;
  ++installing_;
  QPointer<QVUserModuleEditorViewController> self(this);
  std::weak_ptr<QVDashboardModuleManager> weakManager = manager_;
  std::vector<std::string> list;
  for (const auto& path : paths) list.push_back(platform::toStdString(path));
  // The manager's install reads the module lists as copies and changes nothing but the disk.
  platform::DispatchQueue::global()->async([self, weakManager, list] {
    for (const auto& path : list) {
      auto manager = weakManager.lock();
      if (!manager) break;
      const auto code = installItem(*manager, path);
      if (code == QVDashboardModuleManager::QVInstallResultInstalled) continue;
      QMetaObject::invokeMethod(qApp, [self, path, code] {
        if (self) self->reportInstallFailure(platform::toQString(path), code);
      });
    }
    QMetaObject::invokeMethod(qApp, [self] {
      if (!self) return;
      --self->installing_;
      self->reloadData();
    });
  });
}

void QVUserModuleEditorViewController::reportInstallFailure(const QString& path, std::int64_t code) {
  failures_.emplace_back(path, code);
  if (!showingFailure_) showNextFailure();
}

void QVUserModuleEditorViewController::showNextFailure() {
  if (failures_.empty()) {
    showingFailure_ = false;
    return;
  }
  showingFailure_ = true;
  const auto [path, code] = failures_.front();
  failures_.pop_front();
  center().postNotificationName(kDisableWindowClosing, this);
  auto alert = ZKAlert::alert();
  alert->messageText = QStringLiteral("Could not install '%1'").arg(QFileInfo(path).fileName());
  alert->informativeText = installFailureText(code);
  QPointer<QVUserModuleEditorViewController> self(this);
  zk_beginSheetModalForWindow(alert, parentWindow(), [self](ZKModalResponse) {
    center().postNotificationName(kEnableWindowClosing, self.data());
    if (self) QTimer::singleShot(0, self.data(), [self] { self->showNextFailure(); });
  });
}

void QVUserModuleEditorViewController::uninstall(int row) {
  if (row < 0 || row >= static_cast<int>(modules_.size())) return;
  std::weak_ptr<QVDashboardModule> doomed = modules_[static_cast<std::size_t>(row)];
  auto alert = ZKAlert::alert();
  alert->messageText = QStringLiteral("Are you sure you want to delete this user module?");
  alert->informativeText = QStringLiteral("This action cannot be undone.");
  alert->addButtonWithTitle(QStringLiteral("Delete"));
  alert->addButtonWithTitle(QStringLiteral("Cancel"));
  QPointer<QVUserModuleEditorViewController> self(this);
  zk_beginSheetModalForWindow(alert, parentWindow(), [self, doomed](ZKModalResponse response) {
    if (response != ZKAlertFirstButtonReturn) return;
    QTimer::singleShot(200, qApp, [self, doomed] {
      auto module = doomed.lock();
      if (!self || !module) return;
      // The groups' modules made from this package leave their groups (and stop) before it goes.
      bool changed = false;
      for (const auto& group : self->manager_->groups())
        for (const auto& member : group->modules())
          if (member->path() == module->path()) {
            group->removeModule(member, true);
            changed = true;
          }
      if (changed) self->manager_->save();
      if (!self->manager_->uninstallUserModule(module)) self->showDeletionErrorAlert();
      self->reloadData();
    });
  });
}

void QVUserModuleEditorViewController::showDeletionErrorAlert() {
  auto alert = ZKAlert::alert();
  alert->messageText = QStringLiteral("There was an error that occurred while removing this module.");
  alert->informativeText = QStringLiteral("Please try again.");
  zk_beginSheetModalForWindow(alert, parentWindow(), [](ZKModalResponse) {});
}

void QVUserModuleEditorViewController::showInFinder() {
  const auto rows = zk_selectedOrClickedIndexes(tableView());
  if (rows.empty() || rows.front() >= static_cast<int>(modules_.size())) return QApplication::beep();
  platform::DesktopServices::shared().revealFile(
      platform::toQString(modules_[static_cast<std::size_t>(rows.front())]->path()));
}

void QVUserModuleEditorViewController::learnHow() {
  if (helpWindowController_) return;
  auto* help = ZKWindowController::controller<QVHelpWindowController>(this);
  helpWindowController_ = help;
  QPointer<QVUserModuleEditorViewController> self(this);
  help->completionHandler = [self] {
    QTimer::singleShot(200, qApp, [self] {
      if (!self || !self->helpWindowController_) return;
      self->helpWindowController_->deleteLater();
      self->helpWindowController_ = nullptr;
    });
  };
  help->beginSheetInWindow(parentWindow());
}

void QVUserModuleEditorViewController::findMore() {
  platform::DesktopServices::shared().openURL(QUrl(QString::fromLatin1(kFindMoreURL)));
}

bool QVUserModuleEditorViewController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == tableView()->viewport()) {
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
      auto* drag = static_cast<QDropEvent*>(event);
      if (drag->mimeData()->hasUrls()) {
        drag->acceptProposedAction();
        return true;
      }
    } else if (event->type() == QEvent::Drop) {
      auto* drop = static_cast<QDropEvent*>(event);
      QStringList paths;
      for (const auto& url : drop->mimeData()->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
      drop->acceptProposedAction();
      installModules(paths);
      return true;
    }
  }
  return ZKModuleViewController::eventFilter(watched, event);
}
