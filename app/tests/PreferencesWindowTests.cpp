#include <gtest/gtest.h>

#include <QtGui/QCloseEvent>
#include <QtWidgets/QApplication>

#include "PreferencesTestSupport.h"
#include "app/QVServerPreferencesController.h"
#include "app/WIAboutModule.h"
#include "app/WIPreferencesModule.h"
#include "uikit/NSWindow+ContentView.h"

namespace {

// A pane that counts its hooks; its wanted size is given.
class PreferencesWindowCountingPane : public ZKModuleViewController {
 public:
  explicit PreferencesWindowCountingPane(QObject* parent) : ZKModuleViewController(parent) {}
  QSizeF viewMinSize() const override { return minSize; }
  bool moduleIsResizable() const override { return resizable; }
  void zk_viewWillAppear() override { ++willAppear; }
  void zk_viewDidDisappear() override { ++didDisappear; }

  QSizeF minSize{500, 300};
  bool resizable = true;
  int willAppear = 0;
  int didDisappear = 0;
};

class PreferencesWindowTest : public preferencestesting::PreferencesTest {};

TEST_F(PreferencesWindowTest, ListsThePanesInTheirRowsAndSizesTheWindowToEach) {
  openWindow(PMMainWindowController::ModuleConfigRow);
  auto* table = controller->tableView();
  ASSERT_EQ(table->count(), 5);
  const QStringList titles{"Module Config", "Custom Modules", "Preferences", "Web Sharing", "About"};
  for (int row = 0; row < 5; ++row) EXPECT_EQ(table->item(row)->text(), titles[row]) << row;
  EXPECT_NE(pane<PMPlaceholderPane>(0), nullptr);
  EXPECT_NE(pane<PMPlaceholderPane>(1), nullptr);
  EXPECT_NE(pane<WIPreferencesModule>(2), nullptr);
  EXPECT_NE(pane<QVServerPreferencesController>(3), nullptr);
  EXPECT_NE(pane<WIAboutModule>(4), nullptr);

  const int sidebar = controller->moduleContentView()->mapTo(controller->window(), QPoint(0, 0)).x();
  EXPECT_EQ(sidebar, table->width());
  QWidget* window = controller->window();
  struct Case {
    int row;
    QSize paneSize;
    bool resizable;
    QString title;
  };
  const std::vector<Case> cases{{2, QSize(560, 400), false, "Preferences"},
                                {3, QSize(560, 260), false, "Web Sharing"},
                                {4, QSize(560, 320), false, "About"},
                                {0, QSize(620, 420), true, "Module Config"},
                                {1, QSize(620, 420), true, "Custom Modules"}};
  for (const auto& c : cases) {
    controller->selectModuleAtRow(c.row);
    runFor(0.05);
    SCOPED_TRACE(c.title.toStdString());
    EXPECT_EQ(controller->currentModule(), controller->modules()[static_cast<std::size_t>(c.row)]);
    EXPECT_EQ(window->size(), QSize(c.paneSize.width() + sidebar, c.paneSize.height()));
    EXPECT_EQ(window->windowTitle(), c.title);
    EXPECT_EQ(zk_isResizable(window), c.resizable);
    // A fixed pane answers a drag with its own size; a resizable one takes what is proposed.
    const QSize proposed(1000, 700);
    EXPECT_EQ(controller->windowWillResize(proposed), c.resizable ? proposed : window->size());
    EXPECT_TRUE(controller->currentModule()->view()->isVisible());
  }
}

TEST_F(PreferencesWindowTest, HandedInPanesReplaceThePlaceholdersAndSwitchOnlyWhenTheRowChanges) {
  PreferencesWindowCountingPane* config = nullptr;
  PreferencesWindowCountingPane* custom = nullptr;
  PMMainWindowController::setPaneFactory(PMMainWindowController::ModuleConfigRow, [&](QObject* parent) {
    config = new PreferencesWindowCountingPane(parent);
    config->setModuleTitle(QStringLiteral("Module Config"));
    config->setModuleWindowTitle(QStringLiteral("Groups and Modules"));
    return config;
  });
  PMMainWindowController::setPaneFactory(PMMainWindowController::CustomModulesRow, [&](QObject* parent) {
    custom = new PreferencesWindowCountingPane(parent);
    custom->setModuleTitle(QStringLiteral("Custom Modules"));
    // No wish and no view size: the window keeps its size.
    custom->minSize = QSizeF(0, 0);
    return custom;
  });
  openWindow(PMMainWindowController::ModuleConfigRow);
  ASSERT_NE(config, nullptr);
  ASSERT_NE(custom, nullptr);
  EXPECT_EQ(controller->currentModule(), config);
  // The pane's window title wins over its sidebar title.
  EXPECT_EQ(controller->window()->windowTitle(), QStringLiteral("Groups and Modules"));
  const int appearances = config->willAppear;
  controller->selectModuleAtRow(PMMainWindowController::ModuleConfigRow);
  EXPECT_EQ(config->willAppear, appearances);

  const QSize before = controller->window()->size();
  custom->view()->resize(0, 0);
  EXPECT_FALSE(controller->resizeWindowIfNeededForViewController(custom, false));
  controller->selectModuleAtRow(PMMainWindowController::CustomModulesRow);
  EXPECT_EQ(controller->currentModule(), custom);
  EXPECT_EQ(config->didDisappear, 1);
  EXPECT_EQ(controller->window()->size(), before);
  EXPECT_EQ(controller->window()->windowTitle(), QStringLiteral("Custom Modules"));
}

TEST_F(PreferencesWindowTest, ClosingSaysTheApplicationRunsOnUntilTheUserSilencesIt) {
  openWindow(PMMainWindowController::PreferencesRow);
  int closed = 0;
  QObject::connect(controller, &PMMainWindowController::windowDidClose, [&closed] { ++closed; });

  // Answered without the box: the window closes, the alert comes again next time.
  alerts->script({{ZKAlertFirstButtonReturn, false}});
  controller->window()->close();
  ASSERT_TRUE(runUntil([&] { return closed == 1; }));
  ASSERT_EQ(alerts->presented().size(), 1u);
  const auto& alert = *alerts->presented()[0]->alert;
  EXPECT_EQ(alert.messageText, QStringLiteral("Quorvane Dashboard will continue to run in the background"));
  EXPECT_EQ(alert.buttonTitles, QStringList{QStringLiteral("Okay")});
  EXPECT_TRUE(alert.showsSuppressionButton);
  EXPECT_FALSE(defaults()->userDefaults().boolForKey(PMMainWindowController::kSuppressQuitAlertKey));

  // With the box ticked the key is set, and the next close asks nothing.
  controller->actuallyShowWindow();
  alerts->script({{ZKAlertFirstButtonReturn, true}});
  controller->window()->close();
  ASSERT_TRUE(runUntil([&] { return closed == 2; }));
  EXPECT_EQ(alerts->presented().size(), 2u);
  EXPECT_TRUE(defaults()->userDefaults().boolForKey(PMMainWindowController::kSuppressQuitAlertKey));

  controller->actuallyShowWindow();
  controller->window()->close();
  ASSERT_TRUE(runUntil([&] { return closed == 3; }));
  EXPECT_EQ(alerts->presented().size(), 2u);
  EXPECT_FALSE(controller->window()->isVisible());
}

TEST_F(PreferencesWindowTest, EveryPaneInBothThemes) {
  for (const char* theme : {"DDLightTheme", "DDDarkTheme"}) {
    useTheme(theme);
    openWindow(PMMainWindowController::ModuleConfigRow);
    for (int row = 0; row < PMMainWindowController::kRowCount; ++row) {
      controller->selectModuleAtRow(row);
      runFor(0.05);
      const std::string name = std::string(theme == std::string("DDLightTheme") ? "light" : "dark") +
                               "-pane-" + std::to_string(row);
      qvtesting::saveGrab(controller->window(), "preferences", name);
    }
    delete controller;
    controller = nullptr;
  }
}

}  // namespace
