// The edit-module sheet: its tabs and their layout, switching, the links, closing while a field is
// being edited, a real edit that runs a Node.js module again with the new value, and grabs of the
// five tabs in both themes, read for the theme's colours, the title and the selected tab's content.
#include <QtTest/QTest>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableWidget>
#include <algorithm>
#include <map>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEmojiSource.h"
#include "engine/QVModuleLog.h"
#include "engine/QVShowRunner.h"
#include "engine/desktop/EngineBridge.h"
#include "platform/desktop/QtText.h"
#include "testing/FileWriteCounter.h"
#include "testing/TreePaths.h"
#include "windows/QVConfigEditorViewController.h"
#include "windows/QVEditModuleWindowController.h"
#include "windows/QVFilesViewController.h"
#include "windows/QVHelpBrowser.h"
#include "windows/QVLogsViewController.h"
#include "windows/QVModuleHelpViewController.h"
#include "windows/QVOptionCellViews.h"
#include "windows/tests/WindowsTestSupport.h"

namespace windowstest {
namespace {

using nlohmann::json;

class EditModuleSheetTest : public WindowsTest {
 protected:
  void SetUp() override {
    WindowsTest::SetUp();
    QVEmojiSource::setShared(std::make_shared<QVEmojiCatalogueSource>(std::vector<std::string>{"🙂"}));
    bridge = std::make_unique<EngineBridge>();
  }
  void TearDown() override {
    delete sheet;
    if (runner) {
      runner->stop();
      runUntil([&] {
        for (const auto& queue : runner->timerQueues())
          if (queue->operationCount() > 0) return false;
        return true;
      });
      runner.reset();
    }
    bridge.reset();
    manager.reset();
    QVEmojiSource::setShared(nullptr);
    WindowsTest::TearDown();
  }

  void loadManager() {
    manager = QVDashboardModuleManager::make();
    bool loaded = false;
    manager->loadWithCompletionHandler([&](bool, bool) { loaded = true; });
    ASSERT_TRUE(runUntil([&] { return loaded; }));
  }

  QVEditModuleWindowController* open(const QVDashboardModule::Pointer& module) {
    delete sheet;
    sheet = QVEditModuleWindowController::controllerWithModule(module, manager, bridge.get());
    sheet->window()->resize(640, 560);
    sheet->window()->show();
    return sheet;
  }

  // The tabs left in the sheet, in order, with their x positions.
  std::vector<std::pair<QString, int>> visibleTabs() const {
    std::vector<std::pair<QString, int>> tabs;
    for (auto* button : sheet->tabButtons())
      if (button->parentWidget()) tabs.emplace_back(button->text(), button->x());
    return tabs;
  }

  QVDashboardModule::Pointer showcaseModule() {
    QVEngineEnvironment::setResourceFolder(fs::path(QV_SOURCE_RESOURCES));
    auto module = makeModule(
        "Showcase",
        {{"description", "Shows every kind of setting the editor offers, with a log, files and help."},
         {"website", "https://example.org/showcase"},
         {"supportURL", "https://example.org/support"},
         {"hasNotifications", true},
         {"user_options",
          json::array({
              {{"name", "city"},
               {"type", "string"},
               {"title", "City"},
               {"tooltip", "The city to show"},
               {"default", "Oslo"}},
              {{"name", "apiKey"},
               {"type", "string"},
               {"title", "API Key"},
               {"options", {{"secure", true}}},
               {"required", true}},
              {{"name", "count"},
               {"type", "number"},
               {"title", "Days"},
               {"options", {{"min", 1}, {"max", 10}}},
               {"default", 5}},
              {{"name", "metric"}, {"type", "boolean"}, {"title", "Metric units"}, {"default", true}},
              {{"name", "since"},
               {"type", "date"},
               {"title", "Since"},
               {"options", {{"allowsTime", true}}},
               {"default", "2024-03-01 09:30"}},
              {{"name", "unit"},
               {"type", "string"},
               {"title", "Unit"},
               {"options", json::array({{{"title", "Celsius"}, {"name", "c"}},
                                        nullptr,
                                        {{"title", "Fahrenheit"}, {"name", "f"}}})},
               {"default", "c"}},
              {{"name", "sound"},
               {"type", "string"},
               {"title", "Alert sound"},
               {"options", {{"specialType", "dyn.SOUND_NAMES"}}}},
          })}},
        {{"README.rtf",
          R"({\rtf1\ansi{\colortbl;\red0\green102\blue204;}{\b\fs32 Showcase}\par\par )"
          R"(A module that shows {\i every} kind of setting. Set your {\b API key} first.\par\par )"
          R"(See {\field{\*\fldinst{HYPERLINK "https://example.org/showcase"}}{\fldrslt{\cf1\ul the website}}} for more.\par})"}});
    const std::vector<std::pair<QVModuleLogLineType, std::string>> lines = {
        {QVModuleLogLineType::system, "User Initiated Run"},
        {QVModuleLogLineType::log, "fetching the forecast"},
        {QVModuleLogLineType::info, "3 days found"},
        {QVModuleLogLineType::warning, "slow answer from the service"},
        {QVModuleLogLineType::error, "one day had no data"},
        {QVModuleLogLineType::notification, "Rain tomorrow"},
        {QVModuleLogLineType::finishedSuccess, "12 °C"},
        {QVModuleLogLineType::finishedFailure, "no network"},
    };
    for (const auto& [kind, text] : lines)
      module->log()->addLogLine(QVModuleLogLine::lineWithType(kind, text));
    module->log()->actuallySave();
    write(module->jsonDatabasePath(), std::string(1536, ' '));
    return module;
  }

  std::unique_ptr<EngineBridge> bridge;
  QVDashboardModuleManager::Pointer manager;
  QVShowRunner::Pointer runner;
  QVEditModuleWindowController* sheet = nullptr;
};

TEST_F(EditModuleSheetTest, TabsArePackedFromTheLeftInTheirOrder) {
  loadManager();
  struct Case {
    const char* name;
    json extras;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<QString> tabs;
  };
  const std::vector<Case> cases = {
      {"Plain", json::object(), {}, {"Preferences", "Log", "Files"}},
      {"Notifying", {{"hasNotifications", true}}, {}, {"Preferences", "Log", "Files", "Notifications"}},
      {"Helped", json::object(), {{"README.txt", "help"}}, {"Preferences", "Log", "Files", "Help"}},
      {"Both",
       {{"hasNotifications", true}},
       {{"README.txt", "help"}},
       {"Preferences", "Log", "Files", "Notifications", "Help"}},
  };
  for (const auto& c : cases) {
    open(makeModule(c.name, c.extras, c.files));
    const auto tabs = visibleTabs();
    ASSERT_EQ(tabs.size(), c.tabs.size()) << c.name;
    int x = 15;
    for (std::size_t i = 0; i < tabs.size(); ++i) {
      EXPECT_EQ(tabs[i].first, c.tabs[i]) << c.name;
      EXPECT_EQ(tabs[i].second, x) << c.name << " tab " << i;
      x += 5;
      for (auto* b : sheet->tabButtons())
        if (b->text() == tabs[i].first) x += b->width();
    }
    EXPECT_EQ(sheet->selectedTab(), 0) << c.name;
    EXPECT_TRUE(qobject_cast<QVConfigEditorViewController*>(sheet->currentViewController())) << c.name;
    EXPECT_TRUE(sheet->tabButtons()[0]->isChecked());
  }
}

TEST_F(EditModuleSheetTest, SwitchingTabsMakesAFreshControllerAndTheShownTabKeepsIt) {
  loadManager();
  auto module = makeModule("Switching", {{"hasNotifications", true}, {"website", "https://example.org/w"}},
                           {{"README.txt", "Read me"}});
  open(module);
  const auto buttons = sheet->tabButtons();
  QPointer<ZKViewController> first = sheet->currentViewController();
  buttons[0]->click();
  EXPECT_EQ(sheet->currentViewController(), first.data()) << "the tab already shown keeps its controller";

  const std::vector<std::pair<int, const QMetaObject*>> order = {
      {1, &QVLogsViewController::staticMetaObject},
      {2, &QVFilesViewController::staticMetaObject},
      {3, &QVConfigEditorViewController::staticMetaObject},
      {4, &QVModuleHelpViewController::staticMetaObject},
  };
  for (const auto& [tab, type] : order) {
    buttons[tab]->click();
    EXPECT_EQ(sheet->selectedTab(), tab);
    EXPECT_EQ(sheet->currentViewController()->metaObject(), type);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(buttons[i]->isChecked(), i == tab);
    EXPECT_TRUE(sheet->tabContentView()->isAncestorOf(sheet->currentViewController()->view()));
  }
  buttons[0]->click();
  runUntil([&] { return first.isNull(); }, 1);
  EXPECT_TRUE(first.isNull()) << "switching away let the old controller go";
  EXPECT_EQ(qobject_cast<QVConfigEditorViewController*>(sheet->currentViewController())->type(), 0);
  buttons[3]->click();
  EXPECT_EQ(qobject_cast<QVConfigEditorViewController*>(sheet->currentViewController())->type(), 1);
  buttons[4]->click();
  EXPECT_EQ(
      qobject_cast<QVModuleHelpViewController*>(sheet->currentViewController())->textView()->toPlainText(),
      QStringLiteral("Read me"));

  // The header: names, description, links.
  EXPECT_EQ(sheet->titleLabel()->text(), QStringLiteral("Switching"));
  EXPECT_EQ(sheet->descriptionLabel()->text(), QStringLiteral("A module of the tests"));
  EXPECT_FALSE(sheet->websiteButton()->isHidden());
  EXPECT_TRUE(sheet->helpButton()->isHidden()) << "no support address";
  sheet->websiteButton()->click();
  ASSERT_EQ(desktop->openedURLs.size(), 1u);
  EXPECT_EQ(desktop->openedURLs[0], QUrl(QStringLiteral("https://example.org/w")));
}

TEST_F(EditModuleSheetTest, ClosingWhileAFieldIsEditedStoresItBeforeTheCompletionBlock) {
  loadManager();
  auto module =
      makeModule("Closing", {{"user_options", json::array({{{"name", "city"}, {"type", "string"}}})}});
  open(module);
  sheet->window()->activateWindow();
  auto* editor = qobject_cast<QVConfigEditorViewController*>(sheet->currentViewController());
  auto* field = qobject_cast<QVTextCellView*>(editor->valueCellAtRow(3))->textField();
  field->setFocus();
  QTest::keyClicks(field, QStringLiteral("Bergen"));
  std::optional<std::string> seenByCompletion;
  bool completed = false;
  sheet->completionBlock = [&] {
    completed = true;
    seenByCompletion = module->userOptions()[0]->value()->stringValue();
  };
  auto* done = sheet->window()->findChild<QPushButton*>(QStringLiteral("closeButton"));
  done->click();
  EXPECT_FALSE(completed) << "the completion block waits 0.1 s";
  ASSERT_TRUE(runUntil([&] { return completed; }));
  EXPECT_EQ(seenByCompletion, "Bergen");
  EXPECT_FALSE(sheet->window()->isVisible());
}

// A real module: Node.js runs the package's script, which echoes the option values it was given.
TEST_F(EditModuleSheetTest, ARealEditRunsTheModuleOnceMoreWithTheNewValue) {
  const fs::path resources = root() / "resources";
  const fs::path build = QV_BUILD_RESOURCES;
  fs::create_directories(resources / "node" / "app");
  fs::create_symlink(build / "node" / "node", resources / "node" / "node");
  fs::create_directory_symlink(build / "node" / "app" / "node_modules",
                               resources / "node" / "app" / "node_modules");
  fs::copy_file(fs::path(QV_SOURCE_RESOURCES) / "notification_preferences.json",
                resources / "notification_preferences.json");
  const fs::path package = resources / "Modules" / "Echo.quorvanemodule";
  write(
      package / "package.json",
      json({{"name", "Echo"},
            {"author", "Tests"},
            {"bundleID", "com.example.echo"},
            {"version", "1"},
            {"description", "Echoes its options"},
            {"refreshInterval", 3600},
            {"user_options",
             json::array(
                 {{{"name", "steps"}, {"type", "string"}, {"default", "[]"}},
                  {{"name", "launchLog"}, {"type", "string"}, {"default", ""}},
                  {{"name", "greeting"}, {"type", "string"}, {"title", "Greeting"}, {"default", "Hello"}}})}})
          .dump());
  fs::copy_file(fs::path(QV_ENGINE_FIXTURES) / "node" / "module-fixture.js", package / "main.js");
  QVEngineEnvironment::setResourceFolder(resources);
  loadManager();

  QVDashboardModule::Pointer bundled;
  for (const auto& m : manager->bundledModules())
    if (m->bundleID() == "com.example.echo") bundled = m;
  ASSERT_TRUE(bundled);
  auto module = bundled->copy();
  module->setRefreshInterval(3600);
  const fs::path launchLog = root() / "launches.log";
  for (const auto& o : module->userOptions()) {
    if (o->name() == "steps")
      o->value()->setStringValue(std::optional<std::string>(
          json::array(
              {{{"echo", true}},
               {{"line", {{"type", "finished"}, {"options", {{"result", "echoed"}, {"success", true}}}}}}})
              .dump()));
    if (o->name() == "launchLog") o->value()->setStringValue(std::optional<std::string>(launchLog.string()));
  }
  manager->groups()[0]->addModule(module, false);
  auto launches = [&] {
    std::ifstream in(launchLog);
    int count = 0;
    for (std::string line; std::getline(in, line);) count += !line.empty();
    return count;
  };
  auto echoes = [&] {
    std::vector<std::string> found;
    for (const auto& line : module->log()->logLines())
      if (line->logString() && line->logString()->find("argumentsText") != std::string::npos)
        found.push_back(*line->logString());
    return found;
  };
  runner = QVShowRunner::make(manager);
  runner->installAsRunModuleHandler();
  runner->start();  // the hour's queue runs its modules once at its start
  ASSERT_TRUE(runUntil([&] { return launches() == 1 && echoes().size() == 1 && !module->isUpdating(); }, 30));

  qvtesting::FileWriteCounter writes(manager->applicationSupportPath(), "Modules.plist");
  open(module);
  sheet->window()->activateWindow();
  auto* editor = qobject_cast<QVConfigEditorViewController*>(sheet->currentViewController());
  ASSERT_TRUE(editor);
  auto* field = qobject_cast<QVTextCellView*>(editor->valueCellAtRow(3 + 2))->textField();
  ASSERT_EQ(field->text(), QStringLiteral("Hello"));
  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, QStringLiteral("Hello from the sheet"));
  QTest::keyClick(field, Qt::Key_Return);
  bool closed = false;
  sheet->completionBlock = [&] { closed = true; };
  sheet->window()->findChild<QPushButton*>(QStringLiteral("closeButton"))->click();
  ASSERT_TRUE(runUntil([&] { return closed; }));

  ASSERT_TRUE(runUntil([&] { return launches() == 2 && echoes().size() == 2 && !module->isUpdating(); }, 30));
  runFor(1.0);
  EXPECT_EQ(launches(), 2) << "one edit, one run";
  EXPECT_NE(echoes()[1].find("Hello from the sheet"), std::string::npos) << echoes()[1];
  EXPECT_EQ(echoes()[0].find("Hello from the sheet"), std::string::npos);
  EXPECT_EQ(writes.count(), 1) << "one edit, one save";
  ASSERT_TRUE(module->lastResult());
  EXPECT_EQ(module->lastResult()->resultString(), "echoed");

  // The log tab shows the run the edit asked for.
  open(module);
  sheet->tabButtons()[1]->click();
  auto* logs = qobject_cast<QVLogsViewController*>(sheet->currentViewController());
  ASSERT_TRUE(logs);
  EXPECT_TRUE(logs->textView()->toPlainText().contains(QStringLiteral("System - User Initiated Run")));
  EXPECT_TRUE(logs->textView()->toPlainText().contains(QStringLiteral("Result - echoed")));
}

// The pixels of `rect` that differ from the colour most of them have: what is drawn on a plain
// ground.
int drawnPixels(const QImage& image, const QRect& rect) {
  std::map<QRgb, int> histogram;
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x) ++histogram[image.pixel(x, y)];
  int ground = 0;
  for (const auto& [colour, count] : histogram) ground = std::max(ground, count);
  return rect.width() * rect.height() - ground;
}

TEST_F(EditModuleSheetTest, GrabsOfTheFiveTabsShowTheThemeTheTitleAndTheSelectedTabsContent) {
  loadManager();
  auto module = showcaseModule();
  const std::vector<const char*> tabNames = {"preferences", "log", "files", "notifications", "help"};
  // The tab buttons' fills: the selected one's blue, the others' white (the dark theme's button
  // colour in the dark theme).
  const QColor selectedTab = QColor::fromRgbF(0.3647f, 0.6118f, 0.9608f);
  for (const std::string theme : {"DDLightTheme", "DDDarkTheme"}) {
    SCOPED_TRACE(theme);
    const QColor unselectedTab =
        theme == "DDDarkTheme" ? QColor::fromRgbF(0.3608f, 0.4196f, 0.4667f) : QColor(Qt::white);
    useTheme(theme.c_str());
    open(module);
    const QColor window = themeWindowColor(theme);
    const QColor text = themeTextColorOverWindow(theme);
    for (std::size_t tab = 0; tab < tabNames.size(); ++tab) {
      SCOPED_TRACE(tabNames[tab]);
      sheet->tabButtons()[tab]->click();
      runFor(0.1);
      ASSERT_EQ(sheet->selectedTab(), static_cast<std::int64_t>(tab));
      const std::string name = std::string(theme == "DDDarkTheme" ? "dark" : "light") + "-" +
                               std::to_string(tab) + "-" + tabNames[tab];
      QWidget* root = sheet->window();
      const QImage image = grabImage(root);
      qvtesting::saveImage(image, "edit-sheet", name);

      // The theme's window colour behind everything, wherever no control is drawn.
      const auto ground = backgroundSamples(image, root);
      ASSERT_GT(ground.size(), 200u);
      const auto off =
          std::count_if(ground.begin(), ground.end(), [&](const QColor& c) { return !sameColor(c, window); });
      EXPECT_EQ(off, 0) << "e.g. " << ground[ground.size() / 2].name().toStdString() << " where "
                        << window.name().toStdString() << " was expected";

      // The module's name and description in the theme's text colour.
      EXPECT_EQ(sheet->titleLabel()->text(), QStringLiteral("Showcase"));
      for (QLabel* label : {sheet->titleLabel(), sheet->descriptionLabel()}) {
        const QRect area = rectInGrab(image, root, label);
        EXPECT_GT(countPixels(image, area, [&](const QColor& c) { return sameColor(c, text, 12); }), 30)
            << label->objectName().toStdString() << ": no text in " << text.name().toStdString();
      }

      // The selected tab shows as selected, the others not.
      for (std::size_t other = 0; other < tabNames.size(); ++other) {
        QAbstractButton* button = sheet->tabButtons()[other];
        if (!button->parentWidget() || !button->isVisible()) continue;
        const QRect area = rectInGrab(image, root, button);
        const QColor fill = image.pixelColor(area.left() + 6, area.center().y());
        EXPECT_TRUE(sameColor(fill, other == tab ? selectedTab : unselectedTab, 6))
            << tabNames[other] << " is " << fill.name().toStdString();
      }

      // The tab's own view is drawn in the content area (inside its frame).
      const QRect content = rectInGrab(image, root, sheet->tabContentView()).adjusted(4, 4, -4, -4);
      ASSERT_FALSE(content.isEmpty());
      EXPECT_GT(drawnPixels(image, content), 400) << "the " << tabNames[tab] << " tab shows nothing";
    }
  }
  useTheme("DDLightTheme");
}

}  // namespace
}  // namespace windowstest
