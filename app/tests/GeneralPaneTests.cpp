#include <gtest/gtest.h>

#include <QtTest/QTest>
#include <filesystem>
#include <fstream>
#include <set>

#include "PreferencesTestSupport.h"
#include "app/WIPreferencesModule.h"
#include "engine/QVDataManager.h"
#include "platform/desktop/ZKHotKeyHelper.h"
#include "ui_WIPreferencesModule.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kGeneralControl = 1ull << 18;
constexpr std::uint64_t kGeneralOption = 1ull << 19;
constexpr std::uint64_t kGeneralShift = 1ull << 17;

// An X server stand-in that refuses the keys another program holds.
class GeneralPaneGrabber : public ZKHotKeyGrabber {
 public:
  bool grab(std::uint64_t, std::uint32_t keysym, std::uint16_t, platform::Error* error) override {
    if (!taken.count(keysym)) return true;
    if (error) *error = platform::Error::make("X11", 10, "BadAccess: the key is grabbed by another client");
    return false;
  }
  void ungrab(std::uint64_t) override {}
  void setHandler(Handler) override {}
  std::set<std::uint32_t> taken;
};

class GeneralPaneTest : public preferencestesting::PreferencesTest {
 protected:
  void SetUp() override {
    PreferencesTest::SetUp();
    openWindow(PMMainWindowController::PreferencesRow);
    general = pane<WIPreferencesModule>(PMMainWindowController::PreferencesRow);
    ASSERT_NE(general, nullptr);
    form = general->form();
    grabber = std::make_shared<GeneralPaneGrabber>();
    hotKeys = std::make_unique<ZKHotKeyHelper>(grabber);
    general->hotKeyIsAvailable = [this](_KeyCombo combo, QString* reason) {
      platform::Error error;
      const auto id = hotKeys->registerHotKey(combo, &error);
      if (id == ZKHotKeyHelper::kInvalidID) {
        *reason = QString::fromStdString(error.description);
        return false;
      }
      hotKeys->unregisterHotkeyWithID(id);
      return true;
    };
  }

  void TearDown() override {
    hotKeys.reset();
    PreferencesTest::TearDown();
  }

  // The support folder's backed-up items as relative path -> content.
  static std::map<std::string, std::string> supportFolder() {
    std::map<std::string, std::string> files;
    const fs::path root = QVDataManager::supportPathWithFolder(std::nullopt);
    for (const auto& item : QVDataManager::backedUpItems()) {
      const fs::path path = root / item;
      if (fs::is_regular_file(path)) files[item] = readGeneralFile(path);
      if (!fs::is_directory(path)) continue;
      for (const auto& entry : fs::recursive_directory_iterator(path))
        if (entry.is_regular_file())
          files[fs::relative(entry.path(), root).string()] = readGeneralFile(entry.path());
    }
    return files;
  }
  static std::string readGeneralFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void writeGeneralFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }

  // A small groups archive: the import accepts only a property list there.
  static std::string generalGroupsPlist(const std::string& name) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array><string>" + name +
           "</string></array></plist>\n";
  }

  bool buttonsAreBack() const { return form->exportButton->isVisible() && form->importButton->isVisible(); }

  WIPreferencesModule* general = nullptr;
  Ui::WIPreferencesModule* form = nullptr;
  std::shared_ptr<GeneralPaneGrabber> grabber;
  std::unique_ptr<ZKHotKeyHelper> hotKeys;
};

TEST_F(GeneralPaneTest, ControlsShowTheSettingsAndWriteThemBack) {
  EXPECT_EQ(form->themeDropDown->currentIndex(), 2);
  EXPECT_EQ(form->windowSizeDropDown->currentIndex(), 1);
  EXPECT_TRUE(form->dockIconCheckbox->isChecked());
  EXPECT_TRUE(form->iconVisibleCheckbox->isChecked());

  form->hideWindowCheckbox->click();
  form->iconVisibleCheckbox->click();
  form->themeDropDown->setCurrentIndex(1);
  Q_EMIT form->themeDropDown->activated(1);
  form->windowSizeDropDown->setCurrentIndex(2);
  Q_EMIT form->windowSizeDropDown->activated(2);
  form->startCheckbox->click();
  EXPECT_TRUE(defaults()->hideWindowAtStartup());
  EXPECT_FALSE(defaults()->menuBarShowIcon());
  EXPECT_EQ(defaults()->theme(), 1);
  EXPECT_EQ(defaults()->windowSize(), 2);
  EXPECT_TRUE(defaults()->startAtLogin());

  // A change made elsewhere shows when the pane comes back.
  defaults()->setTheme(0);
  general->zk_viewWillAppear();
  EXPECT_EQ(form->themeDropDown->currentIndex(), 0);
}

TEST_F(GeneralPaneTest, KeepAboveFollowsKeepVisible) {
  defaults()->setIsBackgroundApp(true);
  defaults()->setShouldKeepAbove(true);
  general->updateUI();
  EXPECT_TRUE(form->keepAboveCheckbox->isEnabled());
  EXPECT_TRUE(form->keepAboveCheckbox->isChecked());
  EXPECT_TRUE(controller->window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint));

  // Off: keep-above goes off, is disabled and is stored off; the window drops to the normal level.
  form->backgroundCheckbox->click();
  EXPECT_FALSE(defaults()->isBackgroundApp());
  EXPECT_FALSE(defaults()->shouldKeepAbove());
  EXPECT_FALSE(form->keepAboveCheckbox->isChecked());
  EXPECT_FALSE(form->keepAboveCheckbox->isEnabled());
  EXPECT_FALSE(controller->window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint));

  // On again: the box can be used, but stays off.
  form->backgroundCheckbox->click();
  EXPECT_TRUE(defaults()->isBackgroundApp());
  EXPECT_TRUE(form->keepAboveCheckbox->isEnabled());
  EXPECT_FALSE(form->keepAboveCheckbox->isChecked());
  EXPECT_FALSE(defaults()->shouldKeepAbove());

  form->keepAboveCheckbox->click();
  EXPECT_TRUE(defaults()->shouldKeepAbove());
  EXPECT_TRUE(controller->window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST_F(GeneralPaneTest, TheDockIconBoxRestsForAMomentAfterAClick) {
  form->dockIconCheckbox->click();
  EXPECT_FALSE(defaults()->showDockIcon());
  EXPECT_FALSE(form->dockIconCheckbox->isEnabled());
  runFor(0.5);
  EXPECT_FALSE(form->dockIconCheckbox->isEnabled());
  EXPECT_TRUE(runUntil([&] { return form->dockIconCheckbox->isEnabled(); }, 2));
}

TEST_F(GeneralPaneTest, TheRecorderStoresKeysWithAModifierThatTheDesktopGrants) {
  HKRecorderControl* recorder = form->hotKeyRecorder;
  ASSERT_EQ(recorder->delegate(), general);
  const _KeyCombo original = defaults()->hotKeyCombo();

  QTest::mouseClick(recorder, Qt::LeftButton);
  ASSERT_TRUE(recorder->isRecording());
  // Without a modifier the key is refused and recording goes on.
  QTest::keyClick(recorder, Qt::Key_D);
  EXPECT_TRUE(recorder->isRecording());
  EXPECT_EQ(defaults()->hotKeyCombo(), original);

  QTest::keyClick(recorder, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_FALSE(recorder->isRecording());
  EXPECT_EQ(defaults()->hotKeyCombo(), (_KeyCombo{kGeneralControl | kGeneralOption, 0x02}));
  EXPECT_EQ(recorder->displayText(), QStringLiteral("Ctrl+Alt+D"));

  // A key another program holds is not stored; the user is told, and the recorder shows the old key.
  grabber->taken.insert(0xffc2);  // F5
  QTest::mouseClick(recorder, Qt::LeftButton);
  QTest::keyClick(recorder, Qt::Key_F5, Qt::ShiftModifier);
  EXPECT_EQ(defaults()->hotKeyCombo(), (_KeyCombo{kGeneralControl | kGeneralOption, 0x02}));
  EXPECT_EQ(recorder->displayText(), QStringLiteral("Ctrl+Alt+D"));
  ASSERT_TRUE(runUntil([&] { return alerts->presented().size() == 1; }));
  EXPECT_EQ(alerts->presented()[0]->alert->messageText, QStringLiteral("The hot key Shift+F5 is taken"));

  QTest::mouseClick(recorder, Qt::LeftButton);
  QTest::keyClick(recorder, Qt::Key_F6, Qt::ShiftModifier);
  EXPECT_EQ(defaults()->hotKeyCombo(), (_KeyCombo{kGeneralShift, 0x61}));

  // Backspace clears the key.
  QTest::keyClick(recorder, Qt::Key_Backspace);
  EXPECT_EQ(defaults()->hotKeyCombo(), _KeyCombo{});

  // While another pane shows, the recorder has no delegate: typing changes nothing.
  controller->selectModuleAtRow(PMMainWindowController::AboutRow);
  EXPECT_EQ(recorder->delegate(), nullptr);
  recorder->setRecording(true);
  QTest::keyClick(recorder, Qt::Key_K, Qt::ControlModifier);
  EXPECT_EQ(defaults()->hotKeyCombo(), _KeyCombo{});
  // A recorder other than the pane's own changes nothing either.
  HKRecorderControl other;
  general->hotKeyRecorderKeyComboDidChange(&other, _KeyCombo{kGeneralControl, 0x28});
  EXPECT_EQ(defaults()->hotKeyCombo(), _KeyCombo{});
}

TEST_F(GeneralPaneTest, ExportThenImportThroughThePaneRestoresTheSupportFolderAndRelaunches) {
  const fs::path support = QVDataManager::supportPathWithFolder(std::nullopt);
  writeGeneralFile(support / "Modules.plist", generalGroupsPlist("groups as exported"));
  writeGeneralFile(support / "Logs/Weather.log", "line 1\n");
  const auto exported = supportFolder();
  const fs::path folder = root() / "Backups";
  fs::create_directories(folder);
  general->chooseExportFolder = [&](QWidget*) { return QString::fromStdString(folder.string()); };

  // Two exports: the plain name, then the name with " 2"; "Show in File Manager" reveals the archive.
  alerts->script({{ZKAlertFirstButtonReturn, false}, {ZKAlertSecondButtonReturn, false}});
  form->exportButton->click();
  EXPECT_FALSE(form->exportButton->isVisible());
  ASSERT_TRUE(runUntil([&] { return alerts->presented().size() == 1 && buttonsAreBack(); }));
  form->exportButton->click();
  ASSERT_TRUE(runUntil([&] { return alerts->presented().size() == 2 && buttonsAreBack(); }));
  runFor(0.1);
  EXPECT_EQ(alertMessages(), (std::vector<QString>{"Export Complete!", "Export Complete!"}));
  const fs::path first = folder / "Quorvane Dashboard Export.dashboardexport";
  const fs::path second = folder / "Quorvane Dashboard Export 2.dashboardexport";
  EXPECT_TRUE(fs::exists(first));
  EXPECT_TRUE(fs::exists(second));
  ASSERT_EQ(desktop->revealedFiles.size(), 1u);
  EXPECT_EQ(desktop->revealedFiles[0].toStdString(), first.string());

  // Cancel in the confirmation never asks for a file.
  int asked = 0;
  general->chooseImportFile = [&](QWidget*) {
    ++asked;
    return QString::fromStdString(first.string());
  };
  alerts->script({{ZKAlertFirstButtonReturn, false}});
  form->importButton->click();
  ASSERT_TRUE(runUntil([&] { return alerts->openCount() == 0 && alerts->presented().size() == 3; }));
  runFor(0.1);
  EXPECT_EQ(asked, 0);

  // The configuration changes; the import brings back the exported one and relaunches.
  writeGeneralFile(support / "Modules.plist", generalGroupsPlist("groups edited later"));
  writeGeneralFile(support / "Logs/Disk.log", "other\n");
  alerts->script({{ZKAlertSecondButtonReturn, false}});
  form->importButton->click();
  ASSERT_TRUE(runUntil([&] { return relaunchCount == 1; })) << alertMessages().back().toStdString();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(alerts->presented()[3]->alert->messageText, QStringLiteral("Overwrite Module Config"));
  EXPECT_EQ(supportFolder(), exported);
}

TEST_F(GeneralPaneTest, ImportingWhatIsNoBackupChangesNothingAndSaysSo) {
  const fs::path support = QVDataManager::supportPathWithFolder(std::nullopt);
  writeGeneralFile(support / "Modules.plist", generalGroupsPlist("current groups"));
  const auto before = supportFolder();
  const std::vector<std::pair<std::string, std::string>> files{
      {"text.dashboardexport", "this is not a zip archive"},
      {"truncated.dashboardexport", std::string("PK\x03\x04\x14\x00\x00\x00", 8)},
      {"empty.dashboardexport", ""}};
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    const fs::path file = root() / name;
    writeGeneralFile(file, content);
    general->chooseImportFile = [file](QWidget*) { return QString::fromStdString(file.string()); };
    const std::size_t shown = alerts->presented().size();
    alerts->script({{ZKAlertSecondButtonReturn, false}, {ZKAlertFirstButtonReturn, false}});
    form->importButton->click();
    ASSERT_TRUE(runUntil([&] { return alerts->presented().size() == shown + 2 && buttonsAreBack(); }));
    EXPECT_EQ(alerts->presented()[shown + 1]->alert->messageText, QStringLiteral("Import Failed!"));
    EXPECT_EQ(supportFolder(), before);
    EXPECT_EQ(relaunchCount, 0);
  }
}

}  // namespace
