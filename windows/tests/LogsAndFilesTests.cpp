// The log tab (rendering, colours, following the log through the engine bridge, staying pinned to the
// end) and the files tab (rows, sizes, reveal, following the file system).
#include <QtCore/QLocale>
#include <QtGui/QTextBlock>
#include <QtGui/QTextDocument>
#include <QtWidgets/QApplication>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QTableWidget>
#include <thread>

#include "engine/QVModuleLog.h"
#include "engine/desktop/EngineBridge.h"
#include "platform/desktop/QtText.h"
#include "windows/QVFilesViewController.h"
#include "windows/QVLogsViewController.h"
#include "windows/tests/WindowsTestSupport.h"

namespace windowstest {
namespace {

QVModuleLogLine::Pointer line(std::int64_t type, const std::string& text) {
  return std::make_shared<const QVModuleLogLine>(static_cast<QVModuleLogLineType>(type),
                                                 platform::Date::now(), text);
}

TEST(LogsViewTypesTest, TypeNamesAndColours) {
  struct Case {
    std::int64_t type;
    const char* name;
    QColor text, background;
  };
  auto rgb = [](double r, double g, double b) { return QColor::fromRgbF(float(r), float(g), float(b)); };
  const std::vector<Case> cases = {
      {-1, "Unknown", Qt::black, Qt::white},
      {0, "Log", Qt::black, Qt::white},
      {1, "Warning", rgb(0.3569, 0.2353, 0.0314), rgb(1.0, 0.9843, 0.902)},
      {2, "Error", rgb(0.9882, 0.1961, 0.2471), rgb(1.0, 0.9412, 0.9412)},
      {3, "Info", rgb(0.1882, 0.5451, 1.0), rgb(0.898, 0.9412, 1.0)},
      {4, "Result", Qt::black, rgb(0.898, 1.0, 0.9137)},
      {5, "Result Failed", rgb(0.9882, 0.1961, 0.2471), rgb(1.0, 0.9412, 0.9412)},
      {6, "Notification", rgb(0.1882, 0.5451, 1.0), rgb(0.898, 0.9412, 1.0)},
      {7, "System", rgb(0.1882, 0.5451, 1.0), rgb(0.898, 0.9412, 1.0)},
      {42, "Unknown", Qt::black, Qt::white},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QVLogsViewController::stringWithType(c.type), QString::fromUtf8(c.name)) << c.type;
    const auto colors = QVLogsViewController::colorWithType(c.type);
    EXPECT_EQ(colors.text, c.text) << c.type;
    EXPECT_EQ(colors.background, c.background) << c.type;
  }
}

class LogsViewTest : public WindowsTest {
 protected:
  void SetUp() override {
    WindowsTest::SetUp();
    module = makeModule("Logged");
    bridge = std::make_unique<EngineBridge>();
  }
  void TearDown() override {
    delete controller;
    bridge.reset();
    WindowsTest::TearDown();
  }
  QVLogsViewController* open() {
    controller = QVLogsViewController::controllerWithModule(module, bridge.get());
    controller->view()->resize(600, 300);
    controller->view()->show();
    return controller;
  }
  QStringList shownLines() const {
    QStringList lines;
    for (auto block = controller->textView()->document()->begin(); block.isValid(); block = block.next())
      lines << block.text();
    return lines;
  }

  QVDashboardModule::Pointer module;
  std::unique_ptr<EngineBridge> bridge;
  QVLogsViewController* controller = nullptr;
};

TEST_F(LogsViewTest, LinesShowWithTimeTypeAndTextInTheirColours) {
  open();
  EXPECT_TRUE(controller->textView()->toPlainText().isEmpty()) << "an empty log gives an empty view";
  delete controller;
  controller = nullptr;

  module->log()->addLogLine(line(-1, "odd type"));
  module->log()->addLogLine(line(5, "went wrong"));
  module->log()->addLogLine(line(0, std::string("bad \xC3\x28 bytes")));
  open();
  const QStringList lines = shownLines();
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" - Unknown - odd type"))) << lines[0].toStdString();
  EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" - Result Failed - went wrong")));
  EXPECT_TRUE(lines[2].contains(QChar(0xFFFD))) << "invalid UTF-8 shows replacement characters";
  const QTextBlock failed = controller->textView()->document()->findBlockByNumber(1);
  EXPECT_EQ(failed.blockFormat().background().color(), QVLogsViewController::colorWithType(5).background);
  EXPECT_EQ(failed.charFormat().foreground().color(), QVLogsViewController::colorWithType(5).text);
  const QTextBlock unknown = controller->textView()->document()->findBlockByNumber(0);
  EXPECT_EQ(unknown.charFormat().foreground().color(), QColor(Qt::black));
  EXPECT_EQ(unknown.blockFormat().background().color(), QColor(Qt::white));
}

TEST_F(LogsViewTest, FollowsTheLogAndAddsEachLineOnce) {
  open();
  std::thread run([&] {
    module->log()->addLogLine(line(3, "from the run"));
    module->log()->addLogLine(line(4, "12 degrees"));
  });
  run.join();
  ASSERT_TRUE(runUntil([&] { return shownLines().size() == 2; }));
  EXPECT_TRUE(shownLines()[1].endsWith(QStringLiteral("Result - 12 degrees")));
  // Appending the same list again adds nothing.
  controller->appendLogs(module->log()->logLines());
  controller->appendLogs(module->log()->logLines());
  EXPECT_EQ(shownLines().size(), 2);
  EXPECT_EQ(controller->lines().size(), 2u);
  // Showing the tab again rebuilds from the log.
  controller->zk_viewWillAppear();
  EXPECT_EQ(shownLines().size(), 2);
}

TEST_F(LogsViewTest, StaysPinnedToTheEndWhileTenThousandLinesArrive) {
  open();
  std::thread run([&] {
    for (int i = 0; i < 10000; ++i) module->log()->addLogLine(line(i % 8, "line " + std::to_string(i)));
  });
  run.join();
  ASSERT_TRUE(runUntil(
      [&] { return !shownLines().isEmpty() && shownLines().last().endsWith(QStringLiteral("line 9999")); },
      60));
  runFor(0.05);
  QScrollBar* bar = controller->textView()->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_TRUE(controller->isPinnedToEnd());
  // Every line that arrived is shown once, also those the log has dropped from its head since.
  EXPECT_EQ(shownLines().size(), 10000);
  EXPECT_TRUE(shownLines().first().endsWith(QStringLiteral("line 0")));

  // Scrolled up, new lines leave the view where it is.
  bar->setValue(bar->maximum() / 2);
  const int where = bar->value();
  for (int i = 0; i < 20; ++i) module->log()->addLogLine(line(0, "later " + std::to_string(i)));
  ASSERT_TRUE(runUntil([&] { return shownLines().last().endsWith(QStringLiteral("later 19")); }));
  runFor(0.05);
  EXPECT_EQ(bar->value(), where);
  EXPECT_FALSE(controller->isPinnedToEnd());
}

TEST_F(LogsViewTest, TheRunButtonRunsTheModuleNow) {
  std::vector<std::shared_ptr<QVDashboardModule>> runs;
  QVEngineEnvironment::setRunModuleHandler(
      [&](const std::shared_ptr<QVDashboardModule>& m) { runs.push_back(m); });
  open();
  controller->runButton()->click();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], module);
}

class FilesViewTest : public WindowsTest {
 protected:
  void SetUp() override {
    WindowsTest::SetUp();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    module = makeModule("Filed");
  }
  void TearDown() override {
    delete controller;
    QLocale::setDefault(QLocale::system());
    WindowsTest::TearDown();
  }
  QVFilesViewController* open() {
    controller = QVFilesViewController::controllerWithModule(module);
    controller->view()->resize(520, 200);
    controller->view()->show();
    return controller;
  }
  QStringList row(int r) const {
    auto* table = controller->tableView();
    return {table->item(r, 0)->text(), table->item(r, 1)->text()};
  }

  QVDashboardModule::Pointer module;
  QVFilesViewController* controller = nullptr;
};

TEST_F(FilesViewTest, ListsTheLogAndTheDatabaseWithSizesAndRevealsEach) {
  open();
  EXPECT_EQ(controller->tableView()->rowCount(), 0) << "a module that never ran has no files";
  delete controller;

  const fs::path log = module->log()->path();
  const fs::path database = module->jsonDatabasePath();
  write(log, std::string(999, 'l'));
  write(database, std::string(1536, 'd'));
  open();
  ASSERT_EQ(controller->tableView()->rowCount(), 2);
  EXPECT_EQ(row(0), (QStringList{QStringLiteral("Logs"), QStringLiteral("999.00 bytes")}));
  EXPECT_EQ(row(1), (QStringList{QStringLiteral("Database"), QStringLiteral("1.54 KB")}));

  auto* second = qobject_cast<QPushButton*>(controller->tableView()->cellWidget(1, 2));
  ASSERT_TRUE(second);
  second->click();
  ASSERT_EQ(desktop->revealedFiles.size(), 1u);
  EXPECT_EQ(desktop->revealedFiles[0], platform::toQString(database.string()))
      << "the second row is the database";
  qvtesting::saveGrab(controller->view(), "edit-files", "files-rows");

  // Sizes and rows follow the file system when the application becomes active again.
  fs::remove(log);
  write(database, "");
  QMetaObject::invokeMethod(qApp, "applicationStateChanged",
                            Q_ARG(Qt::ApplicationState, Qt::ApplicationActive));
  ASSERT_EQ(controller->tableView()->rowCount(), 1);
  EXPECT_EQ(row(0), (QStringList{QStringLiteral("Database"), QStringLiteral("0.0 bytes")}));
}

TEST(FilesViewLabelTest, LabelsByExtension) {
  EXPECT_EQ(QVFilesViewController::labelForPath(QStringLiteral("/a/b_c.json")), QStringLiteral("Database"));
  EXPECT_EQ(QVFilesViewController::labelForPath(QStringLiteral("/a/b_c.log")), QStringLiteral("Logs"));
  EXPECT_EQ(QVFilesViewController::labelForPath(QStringLiteral("/a/notes.txt")), QStringLiteral("notes.txt"));
}

}  // namespace
}  // namespace windowstest
