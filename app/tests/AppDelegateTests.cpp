// The application delegate offscreen: the questions and alerts of installing handed packages (answered
// by a scripted user), the editor requests, the theme setting, the hot key before the dashboard
// exists, and activation once the launch has completed (the modules pane for an empty dashboard, the
// hidden dashboard when a group holds a module). Packages are real copies of the engine's fixtures,
// installed by the real module manager.
#include <gtest/gtest.h>

#include <QtCore/QTimer>
#include <QtGui/QCloseEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <filesystem>

#include "app/AppDelegate.h"
#include "engine/QVDashboardModule.h"
#include "engine/QVDashboardModuleManager.h"
#include "platform/NotificationCenter.h"
#include "platform/SettingsStore.h"
#include "platform/desktop/testing/GuiTest.h"
#include "shell/QVUserDefaults.h"
#include "testing/TreePaths.h"
#include "uikit/ZKThemeManager.h"
#include "windows/QVDashboardWindowController.h"

namespace {

namespace fs = std::filesystem;

// A window that may refuse to close, as the preferences window does while it asks the user first.
class DelegateTestWindow : public QWidget {
 public:
  bool refusesClose = false;

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (refusesClose) {
      event->ignore();
    } else {
      QWidget::closeEvent(event);
    }
  }
};

// A preferences window that records the panes it was asked to select and how often it was shown.
class DelegateTestPreferences : public QVPreferencesWindow {
 public:
  DelegateTestPreferences(std::vector<int>* rows, int* shows) : rows_(rows), shows_(shows) {}
  QWidget* window() const override { return &window_; }
  DelegateTestWindow& testWindow() const { return window_; }
  void selectPaneAtRow(int row) override { rows_->push_back(row); }
  void actuallyShowWindow() override {
    ++*shows_;
    window_.show();
  }

 private:
  std::vector<int>* rows_;
  int* shows_;
  mutable DelegateTestWindow window_;
};

// Answers each modal alert with the button of the given title, in turn, and keeps its texts.
class DelegateTestUser : public QObject {
 public:
  struct Alert {
    QString text;
    QString informative;
  };
  explicit DelegateTestUser(QStringList answers) : answers_(std::move(answers)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { answer(); });
    timer_.start();
  }
  std::vector<Alert> alerts;

 private:
  void answer() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box == last_) return;
    last_ = box;
    alerts.push_back({box->text(), box->informativeText()});
    const QString wanted = answers_.isEmpty() ? QString() : answers_.takeFirst();
    for (auto* button : box->buttons()) {
      if (button->text() == wanted || wanted.isEmpty()) {
        QTimer::singleShot(0, button, [button] { button->click(); });
        return;
      }
    }
  }
  QStringList answers_;
  QTimer timer_;
  QPointer<QMessageBox> last_;
};

class AppDelegateTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    // One store for the application's settings and the engine's (whether the default data was loaded).
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    QVUserDefaults::setStandardUserDefaults(
        QVUserDefaults::make(platform::SettingsStore::standardUserDefaults(), nullptr));
    AppDelegate::setPreferencesWindowFactory(
        [this] { return std::make_unique<DelegateTestPreferences>(&rows, &shows); });
    delegate = std::make_unique<AppDelegate>();
    delegate->applicationWillFinishLaunching();
  }
  void TearDown() override {
    delegate.reset();
    AppDelegate::setPreferencesWindowFactory({});
    GuiTest::TearDown();
    QVUserDefaults::setStandardUserDefaults(nullptr);
    platform::SettingsStore::setStandardUserDefaults(nullptr);
  }
  fs::path copyOfFixture(const std::string& name, const std::string& as) {
    const fs::path target = root() / "downloads" / as;
    fs::create_directories(target.parent_path());
    fs::copy(fs::path(QV_ENGINE_FIXTURES) / "packages" / name, target, fs::copy_options::recursive);
    return target;
  }
  // Completes the launch as start-up does, not the first one: the default data counts as imported,
  // so the groups start empty (a "Default Group" with no module). Waits for the dashboard controller.
  void launch() {
    QVUserDefaults::standardUserDefaults()->setFirstLaunch(false);
    QVUserDefaults::standardUserDefaults()->setLoadedDefaults(true);
    bool completed = false;
    QObject::connect(delegate.get(), &AppDelegate::launchDidComplete, [&](bool) { completed = true; });
    delegate->finishLaunchForceShowWindow(true);
    ASSERT_TRUE(runUntil([&] { return completed; }, 10));
    ASSERT_NE(delegate->mainWindowController(), nullptr);
  }
  bool preferencesVisible() const {
    auto* preferences = delegate->preferencesWindowController();
    return preferences && preferences->window() && preferences->window()->isVisible();
  }
  std::unique_ptr<AppDelegate> delegate;
  std::vector<int> rows;
  int shows = 0;
};

TEST_F(AppDelegateTest, HandedPackagesAreAskedAboutInstalledAndEachFailureAlertedThenCustomModulesOpen) {
  const auto minimal = copyOfFixture("Minimal.quorvanemodule", "Minimal.quorvanemodule");
  const auto again = copyOfFixture("Minimal.quorvanemodule", "Again/Minimal.quorvanemodule");
  const auto invalid = copyOfFixture("BadOptions.quorvanemodule", "Broken.quorvanemodule");
  fs::remove(invalid / "package.json");
  const auto userModules = fs::path(QVDashboardModuleManager::sharedInstance()->userModuleDirectoryPath());

  struct Case {
    const char* name;
    QStringList paths;
    QStringList answers;
    QString question;
    std::vector<QString> failures;
    std::vector<int> rowsAfter;
  };
  const Case cases[] = {
      {"cancelled",
       {QString::fromStdString(minimal.string())},
       {QStringLiteral("Cancel")},
       QStringLiteral("Are you sure you want to install this module?"),
       {},
       {}},
      {"three, one valid",
       {QString::fromStdString(minimal.string()), QString::fromStdString(again.string()),
        QString::fromStdString(invalid.string())},
       {QStringLiteral("Install"), QStringLiteral("Okay"), QStringLiteral("Okay")},
       QStringLiteral("Are you sure you want to install these modules?"),
       {QStringLiteral("A module with this name or bundle ID already exists."),
        QStringLiteral("The module is not a valid Quorvane Dashboard module.")},
       {QVPreferencesWindow::CustomModulesRow}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    rows.clear();
    DelegateTestUser user(test.answers);
    delegate->openFiles(test.paths);
    runUntil([&] { return user.alerts.size() == 1 + test.failures.size() && rows == test.rowsAfter; }, 10);
    runFor(0.3);
    ASSERT_EQ(user.alerts.size(), 1 + test.failures.size());
    EXPECT_EQ(user.alerts[0].text, test.question);
    for (std::size_t i = 0; i < test.failures.size(); ++i) {
      EXPECT_TRUE(user.alerts[i + 1].text.startsWith(QStringLiteral("Could not install '")));
      EXPECT_EQ(user.alerts[i + 1].informative, test.failures[i]);
    }
    EXPECT_EQ(rows, test.rowsAfter);
  }
  EXPECT_TRUE(fs::exists(userModules / "Minimal.quorvanemodule" / "package.json"));
  EXPECT_FALSE(fs::exists(userModules / "Broken.quorvanemodule"));
}

TEST_F(AppDelegateTest, EditorRequestsOpenTheModulesPaneAndAskForTheModuleAFifthOfASecondLater) {
  auto module = QVDashboardModule::moduleWithPath(
      (fs::path(QV_ENGINE_FIXTURES) / "packages" / "Minimal.quorvanemodule").string());
  ASSERT_TRUE(module);
  std::vector<std::shared_ptr<QVDashboardModule>> asked;
  auto observer = platform::NotificationCenter::defaultCenter().addObserverForName(
      "EditWithModule", nullptr,
      [&](const platform::Notification& note) { asked.push_back(note.objectAs<QVDashboardModule>()); });
  platform::NotificationCenter::defaultCenter().postNotificationName("Notification.openEditor", nullptr,
                                                                     module);
  EXPECT_EQ(rows, std::vector<int>{QVPreferencesWindow::ModulesRow});
  runFor(0.1);
  EXPECT_TRUE(asked.empty());
  ASSERT_TRUE(runUntil([&] { return !asked.empty(); }, 2));
  EXPECT_EQ(asked.front(), module);

  // Without a module only the pane opens; preferences requests open the general pane.
  asked.clear();
  platform::NotificationCenter::defaultCenter().postNotificationName("Notification.openEditor");
  platform::NotificationCenter::defaultCenter().postNotificationName("Notification.openPreferences");
  runFor(0.4);
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(rows, (std::vector<int>{QVPreferencesWindow::ModulesRow, QVPreferencesWindow::ModulesRow,
                                    QVPreferencesWindow::GeneralRow}));
}

TEST_F(AppDelegateTest, TheThemeSettingChoosesTheThemeAndNothingReachesAMissingDashboard) {
  auto defaults = QVUserDefaults::standardUserDefaults();
  struct Case {
    std::int64_t setting;
    const char* theme;
  };
  for (const Case& test : {Case{1, "DDDarkTheme"}, Case{0, "DDLightTheme"}, Case{7, "DDLightTheme"}}) {
    defaults->setTheme(test.setting);
    runFor(0.05);
    EXPECT_EQ(ZKThemeManager::sharedManager().currentThemeName(), QString::fromLatin1(test.theme))
        << test.setting;
  }
  // Before the modules have loaded there is no dashboard: reopen and activation do nothing.
  EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
  delegate->applicationDidBecomeActive();
  delegate->applicationDidBecomeActive();
  EXPECT_EQ(delegate->mainWindowController(), nullptr);
  EXPECT_TRUE(rows.empty());
}

TEST_F(AppDelegateTest, ActivationWithAnEmptyDashboardOpensTheModulesPaneOnceLaunched) {
  launch();
  ASSERT_TRUE(QVDashboardModuleManager::sharedInstance()->nonEmptyGroups().empty());
  // With no configured module the launch shows the preferences window; the user closes it.
  ASSERT_TRUE(preferencesVisible());
  delegate->preferencesWindowController()->window()->close();
  ASSERT_TRUE(runUntil([&] { return delegate->preferencesWindowController() == nullptr; }, 2));
  rows.clear();
  shows = 0;

  // The first activation after launch only marks the launch: nothing opens.
  delegate->applicationDidBecomeActive();
  runFor(0.05);
  EXPECT_EQ(delegate->preferencesWindowController(), nullptr);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(shows, 0);

  // A later one, with the preferences window not visible, opens it on the module configuration pane.
  delegate->applicationDidBecomeActive();
  runFor(0.05);
  ASSERT_NE(delegate->preferencesWindowController(), nullptr) << "activation opened no preferences window";
  EXPECT_TRUE(preferencesVisible());
  EXPECT_EQ(shows, 1);
  EXPECT_EQ(rows, std::vector<int>{QVPreferencesWindow::ModulesRow}) << "not the module configuration pane";
  EXPECT_FALSE(delegate->mainWindowController()->isShown());

  // With the preferences window visible (on the general pane now) it is shown again, on its own pane.
  delegate->openSettings();
  rows.clear();
  shows = 0;
  delegate->applicationDidBecomeActive();
  runFor(0.05);
  EXPECT_TRUE(preferencesVisible());
  EXPECT_EQ(shows, 1);
  EXPECT_TRUE(rows.empty());
  EXPECT_FALSE(delegate->mainWindowController()->isShown());
}

TEST_F(AppDelegateTest, ActivationWithAConfiguredModuleShowsTheHiddenDashboard) {
  launch();
  // A group that holds a module with no required option.
  auto manager = QVDashboardModuleManager::sharedInstance();
  auto module = QVDashboardModule::moduleWithPath(
      (fs::path(QV_ENGINE_FIXTURES) / "packages" / "Minimal.quorvanemodule").string());
  ASSERT_TRUE(module);
  ASSERT_FALSE(manager->groups().empty());
  manager->groups().front()->addModule(module, false);
  ASSERT_EQ(manager->nonEmptyGroups().size(), 1u);
  delegate->preferencesWindowController()->window()->close();
  ASSERT_TRUE(runUntil([&] { return delegate->preferencesWindowController() == nullptr; }, 2));
  delegate->mainWindowController()->actuallyHideWindow(false);
  runFor(0.05);
  ASSERT_FALSE(delegate->mainWindowController()->isShown());
  rows.clear();
  shows = 0;

  delegate->applicationDidBecomeActive();  // the launch's own activation
  runFor(0.05);
  EXPECT_FALSE(delegate->mainWindowController()->isShown());
  delegate->applicationDidBecomeActive();
  EXPECT_TRUE(runUntil([&] { return delegate->mainWindowController()->isShown(); }, 2));
  // No preferences window was visible: none opens.
  EXPECT_EQ(delegate->preferencesWindowController(), nullptr);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(shows, 0);
}

TEST_F(AppDelegateTest, APreferencesWindowThatRefusesToCloseIsKeptUntilItCloses) {
  launch();
  ASSERT_TRUE(preferencesVisible());
  auto* preferences = dynamic_cast<DelegateTestPreferences*>(delegate->preferencesWindowController());
  ASSERT_NE(preferences, nullptr);

  // Refused (the window asks first): the controller and its window stay.
  preferences->testWindow().refusesClose = true;
  preferences->window()->close();
  runFor(0.1);
  EXPECT_EQ(delegate->preferencesWindowController(), preferences)
      << "the refused close dropped the controller";
  EXPECT_TRUE(preferencesVisible());

  // Closed (the answer came): the controller goes.
  preferences->testWindow().refusesClose = false;
  preferences->window()->close();
  EXPECT_TRUE(runUntil([&] { return delegate->preferencesWindowController() == nullptr; }, 2));
}

TEST_F(AppDelegateTest, ReopenBringsForwardOnlyAVisiblePreferencesWindowAndADashboardWithModules) {
  launch();
  ASSERT_TRUE(preferencesVisible());
  shows = 0;

  // Empty dashboard, preferences window up: it is shown again, the dashboard stays hidden.
  EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
  EXPECT_EQ(shows, 1);
  EXPECT_TRUE(preferencesVisible());
  EXPECT_FALSE(delegate->mainWindowController()->isShown());

  // Empty dashboard, preferences window closed: nothing opens.
  delegate->preferencesWindowController()->window()->close();
  ASSERT_TRUE(runUntil([&] { return delegate->preferencesWindowController() == nullptr; }, 2));
  shows = 0;
  EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
  runFor(0.05);
  EXPECT_EQ(delegate->preferencesWindowController(), nullptr) << "reopen made a preferences window";
  EXPECT_EQ(shows, 0);
  EXPECT_TRUE(rows.empty());
  EXPECT_FALSE(delegate->mainWindowController()->isShown());

  // A group holds a module: the hidden dashboard is shown, and still no preferences window.
  auto module = QVDashboardModule::moduleWithPath(
      (fs::path(QV_ENGINE_FIXTURES) / "packages" / "Minimal.quorvanemodule").string());
  ASSERT_TRUE(module);
  auto manager = QVDashboardModuleManager::sharedInstance();
  ASSERT_FALSE(manager->groups().empty());
  manager->groups().front()->addModule(module, false);
  ASSERT_EQ(manager->nonEmptyGroups().size(), 1u);
  EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
  EXPECT_TRUE(runUntil([&] { return delegate->mainWindowController()->isShown(); }, 2));
  EXPECT_EQ(delegate->preferencesWindowController(), nullptr);
  EXPECT_EQ(shows, 0);
}

}  // namespace
