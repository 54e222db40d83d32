#pragma once

#include <QtCore/QString>
#include <functional>
#include <memory>

#include "app/HKRecorderControl.h"
#include "platform/SettingsStore.h"
#include "uikit/ZKModuleViewController.h"

class QVDataManager;
namespace Ui {
class WIPreferencesModule;
}

// The "Preferences" pane: the application-wide settings as check boxes, two drop-downs and the hot
// key recorder, each change written straight into the settings, and the export and import of the
// whole configuration. A successful import relaunches the application.
class WIPreferencesModule : public ZKModuleViewController, public HKRecorderDelegate {
  Q_OBJECT

 public:
  static constexpr const char* kExportFileName = "Quorvane Dashboard Export.dashboardexport";

  explicit WIPreferencesModule(QObject* parent = nullptr);
  ~WIPreferencesModule() override;

  bool moduleIsResizable() const override { return false; }
  Ui::WIPreferencesModule* form() const;
  bool zk_isLoaded() const { return isLoaded_; }

  // The folder to export to, asked with a folder chooser ("" when cancelled); tests replace it.
  std::function<QString(QWidget* window)> chooseExportFolder;
  // The backup to import, asked with a file chooser offering "dashboardexport" files ("" when
  // cancelled); tests replace it.
  std::function<QString(QWidget* window)> chooseImportFile;
  // Whether the desktop lets the application have a hot key; false with the reason when another
  // program holds it. The default asks the X server through the hot-key helper.
  std::function<bool(_KeyCombo combo, QString* reason)> hotKeyIsAvailable;
  // The backup manager (the application's one unless set).
  void setDataManager(std::shared_ptr<QVDataManager> manager) { dataManager_ = std::move(manager); }

  void zk_viewDidLoad() override;
  void zk_viewWillAppear() override;
  void zk_viewWillDisappear() override;

  void updateUI();
  void updateAnchoredCheckboxes();
  void setWindowLevel();

  // Actions of the controls.
  void startAtLoginDidChange();
  void hideWindowDidChange();
  void keepVisibleDidChange();
  void keepAboveDidChange();
  void showDockDidChange();
  void iconVisibleDidChange();
  void themeDidChange();
  void windowSizeDidChange();
  void exportData();
  void import();
  void continueImporting();
  void actuallyExportToURL(const QString& folder);
  void actuallyImportWithURL(const QString& file);

  void hotKeyRecorderKeyComboDidChange(HKRecorderControl* recorder, _KeyCombo combo) override;

 private:
  void setBusy(bool busy);
  std::shared_ptr<QVDataManager> dataManager() const;

  std::shared_ptr<QVDataManager> dataManager_;
  platform::SettingsStore::Observation startAtLoginObservation_;
  bool isLoaded_ = false;
  bool updating_ = false;
};
