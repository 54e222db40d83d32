#include "app/WIPreferencesModule.h"

#include <QtCore/QDir>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QFileDialog>
#include <filesystem>

#include "app/QVRelaunch.h"
#include "engine/NSString+NextAvailable.h"
#include "engine/QVDataManager.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"
#include "platform/desktop/ZKHotKeyHelper.h"
#include "shell/QVUserDefaults.h"
#include "ui_WIPreferencesModule.h"
#include "uikit/ZKAlert.h"

ZK_INTERFACE_FORM(WIPreferencesModule, QWidget);

namespace {

QString wiDefaultExportFolder(QWidget* window) {
  QFileDialog dialog(window, QStringLiteral("Select the directory you want to export to."));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Select"));
  dialog.setDirectory(QDir::homePath());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().constFirst();
}

QString wiDefaultImportFile(QWidget* window) {
  QFileDialog dialog(window, QStringLiteral("Select the file you want to import."));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(QStringLiteral("Quorvane Dashboard backups (*.dashboardexport)"));
  dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Select"));
  dialog.setDirectory(QDir::homePath());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().constFirst();
}

// Asks the X server for the key: a grab that succeeds is let go at once, since the application
// registers the stored hot key itself when the setting changes.
bool wiHotKeyIsAvailable(_KeyCombo combo, QString* reason) {
  if (combo == _KeyCombo{}) return true;
  platform::Error error;
  auto& helper = ZKHotKeyHelper::sharedHelper();
  const std::uint64_t id = helper.registerHotKey(combo, &error);
  if (id == ZKHotKeyHelper::kInvalidID) {
    if (reason) *reason = platform::toQString(error.description);
    return false;
  }
  helper.unregisterHotkeyWithID(id);
  return true;
}

}  // namespace

WIPreferencesModule::WIPreferencesModule(QObject* parent) : ZKModuleViewController(parent) {
  setModuleTitle(QStringLiteral("Preferences"));
  setModuleImage(QIcon::fromTheme(QStringLiteral("preferences-system")));
  chooseExportFolder = wiDefaultExportFolder;
  chooseImportFile = wiDefaultImportFile;
  hotKeyIsAvailable = wiHotKeyIsAvailable;
}

WIPreferencesModule::~WIPreferencesModule() = default;

Ui::WIPreferencesModule* WIPreferencesModule::form() const { return ui<Ui::WIPreferencesModule>(); }

std::shared_ptr<QVDataManager> WIPreferencesModule::dataManager() const {
  return dataManager_ ? dataManager_ : QVDataManager::sharedInstance();
}

void WIPreferencesModule::zk_viewDidLoad() {
  ZKModuleViewController::zk_viewDidLoad();
  auto* f = form();
  connect(f->startCheckbox, &QCheckBox::clicked, this, &WIPreferencesModule::startAtLoginDidChange);
  connect(f->hideWindowCheckbox, &QCheckBox::clicked, this, &WIPreferencesModule::hideWindowDidChange);
  connect(f->backgroundCheckbox, &QCheckBox::clicked, this, &WIPreferencesModule::keepVisibleDidChange);
  connect(f->keepAboveCheckbox, &QCheckBox::clicked, this, &WIPreferencesModule::keepAboveDidChange);
  connect(f->dockIconCheckbox, &QCheckBox::clicked, this, &WIPreferencesModule::showDockDidChange);
  connect(f->iconVisibleCheckbox, &QCheckBox::clicked, this, &WIPreferencesModule::iconVisibleDidChange);
  connect(f->themeDropDown, &QComboBox::activated, this, &WIPreferencesModule::themeDidChange);
  connect(f->windowSizeDropDown, &QComboBox::activated, this, &WIPreferencesModule::windowSizeDidChange);
  connect(f->exportButton, &QPushButton::clicked, this, &WIPreferencesModule::exportData);
  connect(f->importButton, &QPushButton::clicked, this, &WIPreferencesModule::import);
  f->progressIndicator->setDisplayedWhenStopped(false);

  QPointer<WIPreferencesModule> self(this);
  startAtLoginObservation_ = QVUserDefaults::standardUserDefaults()->addObserverForKey(
      QVStartAtLoginKey, [self](const std::string&) {
        QMetaObject::invokeMethod(qApp, [self] {
          if (self) self->updateUI();
        });
      });
  updateUI();
  isLoaded_ = true;
}

void WIPreferencesModule::zk_viewWillAppear() {
  ZKModuleViewController::zk_viewWillAppear();
  if (auto* f = form()) f->hotKeyRecorder->setDelegate(this);
  if (isLoaded_) updateUI();
}

void WIPreferencesModule::zk_viewWillDisappear() {
  ZKModuleViewController::zk_viewWillDisappear();
  if (auto* f = form()) f->hotKeyRecorder->setDelegate(nullptr);
}

void WIPreferencesModule::updateUI() {
  auto* f = form();
  if (!f) return;
  auto defaults = QVUserDefaults::standardUserDefaults();
  f->hotKeyRecorder->setKeyCombo(defaults->hotKeyCombo());
  f->startCheckbox->setChecked(defaults->startAtLogin());
  f->hideWindowCheckbox->setChecked(defaults->hideWindowAtStartup());
  f->dockIconCheckbox->setChecked(defaults->showDockIcon());
  updateAnchoredCheckboxes();
  f->iconVisibleCheckbox->setChecked(defaults->menuBarShowIcon());
  f->themeDropDown->setCurrentIndex(static_cast<int>(defaults->theme()));
  f->windowSizeDropDown->setCurrentIndex(static_cast<int>(defaults->windowSize()));
}

void WIPreferencesModule::updateAnchoredCheckboxes() {
  auto* f = form();
  auto defaults = QVUserDefaults::standardUserDefaults();
  const bool background = defaults->isBackgroundApp();
  f->backgroundCheckbox->setChecked(background);
  f->keepAboveCheckbox->setChecked(background && defaults->shouldKeepAbove());
  f->keepAboveCheckbox->setEnabled(background);
  setWindowLevel();
}

void WIPreferencesModule::setWindowLevel() {
  QWidget* window = parentWindow();
  if (!window || !window->isWindow()) return;
  const bool above = QVUserDefaults::standardUserDefaults()->shouldKeepAbove();
  if (window->windowFlags().testFlag(Qt::WindowStaysOnTopHint) == above) return;
  Qt::WindowFlags flags = window->windowFlags();
  flags.setFlag(Qt::WindowStaysOnTopHint, above);
  if (QWindow* handle = window->windowHandle()) {
    // Changed on the platform window in place: the widget's own route makes a new window on X, which
    // drops the focus and lets the window manager place it afresh.
    window->overrideWindowFlags(flags);
    handle->setFlags(flags);
  } else {
    window->setWindowFlags(flags);
  }
}

void WIPreferencesModule::startAtLoginDidChange() {
  QVUserDefaults::standardUserDefaults()->setStartAtLogin(form()->startCheckbox->isChecked());
  // A login item that could not be changed leaves the setting as it was: the box shows that.
  updateUI();
}

void WIPreferencesModule::hideWindowDidChange() {
  QVUserDefaults::standardUserDefaults()->setHideWindowAtStartup(form()->hideWindowCheckbox->isChecked());
}

void WIPreferencesModule::keepVisibleDidChange() {
  auto* f = form();
  auto defaults = QVUserDefaults::standardUserDefaults();
  const bool background = f->backgroundCheckbox->isChecked();
  defaults->setIsBackgroundApp(background);
  if (!background) {
    f->keepAboveCheckbox->setChecked(false);
    f->keepAboveCheckbox->setEnabled(false);
    defaults->setShouldKeepAbove(false);
  } else {
    f->keepAboveCheckbox->setEnabled(true);
  }
  setWindowLevel();
}

void WIPreferencesModule::keepAboveDidChange() {
  QVUserDefaults::standardUserDefaults()->setShouldKeepAbove(form()->keepAboveCheckbox->isChecked());
  setWindowLevel();
}

void WIPreferencesModule::showDockDidChange() {
  auto* box = form()->dockIconCheckbox;
  QVUserDefaults::standardUserDefaults()->setShowDockIcon(box->isChecked());
  box->setEnabled(false);
  QPointer<QCheckBox> guarded(box);
  QTimer::singleShot(800, box, [guarded] {
    if (guarded) guarded->setEnabled(true);
  });
}

void WIPreferencesModule::iconVisibleDidChange() {
  QVUserDefaults::standardUserDefaults()->setMenuBarShowIcon(form()->iconVisibleCheckbox->isChecked());
}

void WIPreferencesModule::themeDidChange() {
  QVUserDefaults::standardUserDefaults()->setTheme(form()->themeDropDown->currentIndex());
}

void WIPreferencesModule::windowSizeDidChange() {
  QVUserDefaults::standardUserDefaults()->setWindowSize(form()->windowSizeDropDown->currentIndex());
}

void WIPreferencesModule::hotKeyRecorderKeyComboDidChange(HKRecorderControl* recorder, _KeyCombo combo) {
  auto* f = form();
  if (!f || recorder != f->hotKeyRecorder) return;
  auto defaults = QVUserDefaults::standardUserDefaults();
  QString reason;
  if (combo != _KeyCombo{} && hotKeyIsAvailable && !hotKeyIsAvailable(combo, &reason)) {
    // A key another program holds is never stored: the recorder goes back to the stored key.
    recorder->setKeyCombo(defaults->hotKeyCombo());
    auto alert = ZKAlert::alert();
    alert->messageText =
        QStringLiteral("The hot key %1 is taken").arg(HKRecorderControl::stringForKeyCombo(combo));
    alert->informativeText =
        QStringLiteral("Another program already uses this key combination. Please choose another one.");
    if (!reason.isEmpty()) alert->informativeText += QStringLiteral("\n\n") + reason;
    zk_beginSheetModalForWindow(alert, parentWindow(), nullptr);
    return;
  }
  defaults->setHotKeyCombo(combo);
}

void WIPreferencesModule::setBusy(bool busy) {
  auto* f = form();
  f->exportButton->setVisible(!busy);
  f->importButton->setVisible(!busy);
  if (busy)
    f->progressIndicator->startAnimation();
  else
    f->progressIndicator->stopAnimation();
}

void WIPreferencesModule::exportData() {
  const QString folder = chooseExportFolder ? chooseExportFolder(parentWindow()) : QString();
  if (folder.isEmpty()) return;
  actuallyExportToURL(folder);
}

void WIPreferencesModule::actuallyExportToURL(const QString& folder) {
  setBusy(true);
  const std::string wanted =
      (std::filesystem::path(platform::toStdString(folder)) / kExportFileName).string();
  const std::string path = zk_nextAvailablePath(wanted);
  QPointer<WIPreferencesModule> self(this);
  dataManager()->exportToPath(path, [self, path](bool success) {
    if (!self) return;
    self->setBusy(false);
    auto alert = ZKAlert::alert();
    if (!success) {
      alert->messageText = QStringLiteral("Export Failed!");
      alert->informativeText =
          QStringLiteral("An error occurred when exporting the data.\n\nPlease Try Again");
      alert->alertStyle = ZKAlert::Style::Critical;
      zk_beginSheetModalForWindow(alert, self->parentWindow(), nullptr);
      return;
    }
    alert->messageText = QStringLiteral("Export Complete!");
    alert->alertStyle = ZKAlert::Style::Informational;
    alert->addButtonWithTitle(QStringLiteral("Show in File Manager"));
    alert->addButtonWithTitle(QStringLiteral("Close"));
    const QString written = platform::toQString(path);
    zk_beginSheetModalForWindow(alert, self->parentWindow(), [written](ZKModalResponse response) {
      if (response == ZKAlertFirstButtonReturn) platform::DesktopServices::shared().revealFile(written);
    });
  });
}

void WIPreferencesModule::import() {
  auto alert = ZKAlert::alert();
  alert->messageText = QStringLiteral("Overwrite Module Config");
  alert->informativeText = QStringLiteral(
      "Importing will replace all existing Quorvane Dashboard configuration on this computer with "
      "the data stored in the imported file.\n\nThis action cannot be undone.");
  alert->addButtonWithTitle(QStringLiteral("Cancel"));
  alert->addButtonWithTitle(QStringLiteral("Continue with Import"));
  QPointer<WIPreferencesModule> self(this);
  zk_beginSheetModalForWindow(alert, parentWindow(), [self](ZKModalResponse response) {
    if (self && response == ZKAlertSecondButtonReturn) self->continueImporting();
  });
}

void WIPreferencesModule::continueImporting() {
  const QString file = chooseImportFile ? chooseImportFile(parentWindow()) : QString();
  if (file.isEmpty()) return;
  actuallyImportWithURL(file);
}

void WIPreferencesModule::actuallyImportWithURL(const QString& file) {
  setBusy(true);
  QPointer<WIPreferencesModule> self(this);
  // The backup manager tells the engine first, which stops its writes (pending saves included), so
  // nothing writes the old groups over the imported ones; a failed import lets them go on.
  dataManager()->importWithPath(platform::toStdString(file), [self](bool success) {
    if (self) self->setBusy(false);
    if (success) {
      QVRelaunch::relaunch();
      return;
    }
    if (!self) return;
    auto alert = ZKAlert::alert();
    alert->messageText = QStringLiteral("Import Failed!");
    alert->informativeText = QStringLiteral("An error occurred when importing the data.\n\nPlease Try Again");
    alert->alertStyle = ZKAlert::Style::Critical;
    zk_beginSheetModalForWindow(alert, self->parentWindow(), nullptr);
  });
}
