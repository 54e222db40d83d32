// The option editor: the cell of each option type, the interval filter, number bounds, date flags,
// secure values, choice lists, the notification mode, and that one change saves once and runs once.
#include <QtCore/QTimer>
#include <QtGui/QAccessible>
#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDateTimeEdit>
#include <QtWidgets/QLabel>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QToolButton>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEmojiSource.h"
#include "platform/desktop/QtText.h"
#include "testing/FileWriteCounter.h"
#include "testing/GatedSecretStore.h"
#include "testing/TreePaths.h"
#include "windows/QVConfigEditorViewController.h"
#include "windows/QVOptionCellViews.h"
#include "windows/tests/WindowsTestSupport.h"

namespace windowstest {
namespace {

using nlohmann::json;

class OptionEditorTest : public WindowsTest {
 protected:
  void SetUp() override {
    WindowsTest::SetUp();
    QVEmojiSource::setShared(std::make_shared<QVEmojiCatalogueSource>(std::vector<std::string>{"🙂"}));
    manager = QVDashboardModuleManager::make();
    bool loaded = false;
    manager->loadWithCompletionHandler([&](bool, bool) { loaded = true; });
    ASSERT_TRUE(runUntil([&] { return loaded; }));
    QVEngineEnvironment::setRunModuleHandler([this](const std::shared_ptr<QVDashboardModule>&) { ++runs; });
  }
  void TearDown() override {
    delete editor;
    manager.reset();
    QVEmojiSource::setShared(nullptr);
    WindowsTest::TearDown();
  }

  QVConfigEditorViewController* open(const QVDashboardModule::Pointer& module, std::int64_t type = 0) {
    delete editor;
    editor = QVConfigEditorViewController::controllerWithModule(module, type, manager);
    editor->view()->resize(560, 520);
    editor->view()->show();
    return editor;
  }

  int rowOf(const std::string& name) const {
    const auto options = editor->options();
    for (std::size_t i = 0; i < options.size(); ++i)
      if (options[i]->name() == name) return editor->staticFieldLabels().size() + static_cast<int>(i);
    ADD_FAILURE() << "no option " << name;
    return -1;
  }
  template <class Cell>
  Cell* cell(const std::string& name) const {
    return qobject_cast<Cell*>(editor->valueCellAtRow(rowOf(name)));
  }
  static QVDMUserOption::Pointer option(const QVDashboardModule::Pointer& module, const std::string& name) {
    for (const auto& o : module->userOptions())
      if (o->name() == name) return o;
    return nullptr;
  }
  static void type(QLineEdit* field, const QString& text) {
    field->setFocus();
    field->selectAll();
    if (text.isEmpty()) QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
  }
  int archiveWrites(qvtesting::FileWriteCounter& writes) {
    runFor(0.3);  // the save waits 0.1 s for quiet
    return writes.count();
  }
  fs::path supportFolder() const { return manager->applicationSupportPath(); }

  QVDashboardModuleManager::Pointer manager;
  QVConfigEditorViewController* editor = nullptr;
  int runs = 0;
};

const json kEveryType = json::array({
    {{"name", "city"}, {"type", "string"}, {"title", "City"}, {"tooltip", "Where"}},
    {{"name", "apiKey"},
     {"type", "string"},
     {"title", "API Key"},
     {"options", {{"secure", true}}},
     {"required", true}},
    {{"name", "count"},
     {"type", "number"},
     {"title", "Count"},
     {"options", {{"min", 1}, {"max", 10}}},
     {"default", 5}},
    {{"name", "enabled"}, {"type", "boolean"}, {"title", "Enabled"}, {"default", true}},
    {{"name", "since"}, {"type", "date"}, {"title", "Since"}, {"options", {{"allowsTime", true}}}},
    {{"name", "unit"},
     {"type", "string"},
     {"title", "Unit"},
     {"options", json::array({"a",
                              nullptr,
                              {{"title", "B"}, {"name", "b"}},
                              {{"name", "untitled"}},
                              42,
                              {{"title", "C"}, {"name", "c"}, {"tooltip", "Third"}}})}},
    {{"name", "level"},
     {"type", "number"},
     {"title", "Level"},
     {"options", json::array({1, 2, 3})},
     {"default", 2}},
    {{"name", "flag"}, {"type", "boolean"}, {"title", "Flag"}, {"options", json::array({"x", "y"})}},
    {{"name", "sound"},
     {"type", "string"},
     {"title", "Sound"},
     {"options", {{"specialType", "dyn.SOUND_NAMES"}}}},
    {{"name", "tint"}, {"type", "color"}, {"title", "Tint"}},
});

TEST_F(OptionEditorTest, EachOptionTypeGetsItsCell) {
  auto module = makeModule("Every", {{"user_options", kEveryType}});
  open(module);
  const std::map<std::string, QString> expected = {
      {"city", "StringCellView"},     {"apiKey", "SecureStringCellView"}, {"count", "NumberCellView"},
      {"enabled", "BooleanCellView"}, {"since", "DateCellView"},          {"unit", "OptionCellView"},
      {"level", "OptionCellView"},    {"flag", "BooleanCellView"},        {"sound", "OptionCellView"},
      {"tint", "InvalidCellView"},
  };
  auto* table = editor->tableView();
  ASSERT_EQ(editor->staticFieldLabels(), (QStringList{"Name", "Refresh Interval", "On Click"}));
  ASSERT_EQ(table->rowCount(), 3 + static_cast<int>(module->userOptions().size()));
  EXPECT_EQ(editor->valueCellAtRow(0)->objectName(), QStringLiteral("StringCellView"));
  EXPECT_EQ(editor->valueCellAtRow(1)->objectName(), QStringLiteral("OptionCellView"));
  EXPECT_EQ(editor->valueCellAtRow(2)->objectName(), QStringLiteral("StringCellView"));
  for (const auto& o : module->userOptions()) {
    const int row = rowOf(o->name());
    EXPECT_EQ(editor->valueCellAtRow(row)->objectName(), expected.at(o->name())) << o->name();
    EXPECT_EQ(table->item(row, 0)->text(), platform::toQString(o->displayName()));
  }
  if (module->userOptions().size() == kEveryType.size()) {
    EXPECT_EQ(cell<QVInvalidCellView>("tint")->textField()->text(), QStringLiteral("Unsupported Type"));
  }
  EXPECT_EQ(cell<QVTextCellView>("city")->textField()->placeholderText(), QStringLiteral("Where"));
  EXPECT_EQ(cell<QVTextCellView>("apiKey")->textField()->placeholderText(),
            QStringLiteral("Click to edit this value"));
  EXPECT_GT(cell<QVPopupCellView>("sound")->popupButton()->count(), 1);
  EXPECT_TRUE(cell<QVBooleanCellView>("enabled")->button()->isChecked());
  // The required marker: the empty secure key is required.
  EXPECT_TRUE(table->item(rowOf("apiKey"), 0)->data(Qt::UserRole).toBool());
  EXPECT_FALSE(table->item(rowOf("city"), 0)->data(Qt::UserRole).toBool());
  qvtesting::saveGrab(editor->view(), "edit-options", "every-type");
}

TEST_F(OptionEditorTest, RefreshIntervalsAreFilteredByTheModulesMinimum) {
  struct Case {
    json minimum;
    std::vector<QString> first;
    int count;
  };
  const std::vector<Case> cases = {
      {nullptr, {"5 seconds (Doesn't update in background)"}, 9},
      {30, {"30 seconds (Doesn't update in background)", "1 minute"}, 8},
      {300, {"5 minutes", "10 minutes"}, 6},
      {3600, {"1 hour", "12 hours"}, 3},
  };
  int n = 0;
  for (const auto& c : cases) {
    json extras = {{"refreshInterval", 3600}};
    if (!c.minimum.is_null()) extras["minimumRefreshInterval"] = c.minimum;
    auto module = makeModule("Interval" + std::to_string(++n), extras);
    open(module);
    QComboBox* popup = qobject_cast<QVPopupCellView*>(editor->valueCellAtRow(1))->popupButton();
    EXPECT_EQ(popup->count(), c.count) << c.minimum;
    for (std::size_t i = 0; i < c.first.size(); ++i)
      EXPECT_EQ(popup->itemText(int(i)), c.first[i]) << c.minimum;
    EXPECT_EQ(popup->currentText(), QStringLiteral("1 hour"));
  }

  auto module = makeModule("Picked", {{"refreshInterval", 600}, {"minimumRefreshInterval", 300}});
  open(module);
  qvtesting::FileWriteCounter writes(supportFolder(), "Modules.plist");
  QComboBox* popup = qobject_cast<QVPopupCellView*>(editor->valueCellAtRow(1))->popupButton();
  EXPECT_EQ(popup->currentText(), QStringLiteral("10 minutes"));
  popup->setCurrentIndex(popup->findText(QStringLiteral("1 hour")));
  Q_EMIT popup->activated(popup->currentIndex());
  EXPECT_EQ(module->refreshInterval(), 3600);
  EXPECT_EQ(archiveWrites(writes), 1);
  EXPECT_EQ(runs, 0) << "a new interval does not run the module";
}

TEST_F(OptionEditorTest, NumbersKeepWithinTheirBoundsAndFieldAndStepperFollowEachOther) {
  auto module = makeModule("Numbers", {{"user_options", kEveryType}});
  open(module);
  auto* number = cell<QVNumberCellView>("count");
  ASSERT_TRUE(number);
  EXPECT_EQ(number->textField()->text(), QStringLiteral("5"));
  EXPECT_EQ(number->stepper()->minValue(), 1);
  EXPECT_EQ(number->stepper()->maxValue(), 10);

  type(number->textField(), QStringLiteral("11"));
  EXPECT_EQ(number->textField()->text(), QStringLiteral("1")) << "the field refuses 11";
  EXPECT_EQ(option(module, "count")->value()->numberValue(), json(1));
  EXPECT_EQ(number->stepper()->value(), 1) << "a typed value moves the stepper";
  number->stepper()->downButton()->click();
  EXPECT_EQ(number->stepper()->value(), 1) << "the stepper stays at the minimum";
  number->stepper()->upButton()->click();
  EXPECT_EQ(number->textField()->text(), QStringLiteral("2")) << "a stepper click writes the field";
  EXPECT_EQ(option(module, "count")->value()->numberValue(), json(2));
  type(number->textField(), QStringLiteral("10"));
  number->stepper()->upButton()->click();
  EXPECT_EQ(number->stepper()->value(), 10);
  EXPECT_EQ(option(module, "count")->value()->numberValue(), json(10));
  EXPECT_EQ(runs, 3) << "1, 2 and 10 were stored; the clicks at the bounds changed nothing";

  struct Case {
    const char* text;
    QValidator::State state;
  };
  QVNumberValidator bounds(-5, 10);
  const std::vector<Case> cases = {
      {"", QValidator::Intermediate}, {"-", QValidator::Intermediate}, {"3.25", QValidator::Acceptable},
      {"3.255", QValidator::Invalid}, {"11", QValidator::Invalid},     {"-6", QValidator::Invalid},
      {"abc", QValidator::Invalid},   {"7.", QValidator::Acceptable},  {"-5", QValidator::Acceptable}};
  for (const auto& c : cases) {
    QString text = QString::fromUtf8(c.text);
    int position = 0;
    EXPECT_EQ(bounds.validate(text, position), c.state) << c.text;
  }
}

TEST_F(OptionEditorTest, DatePickersShowWhatTheirFlagsAllow) {
  struct Case {
    const char* name;
    json options;
    QString format;
  };
  const std::vector<Case> cases = {
      {"noFlags", json::object(), "d MMM yyyy"},
      {"time", {{"allowsTime", true}}, "d MMM yyyy HH:mm"},
      {"timeOnly", {{"allowsTime", true}, {"allowsDate", false}}, "HH:mm"},
      {"timeAsNumber", {{"allowsTime", 1}}, "d MMM yyyy HH:mm"},
      {"timeNotANumber", {{"allowsTime", "yes"}}, "d MMM yyyy"},
      {"noDateNoTime", {{"allowsTime", false}, {"allowsDate", false}}, "d MMM yyyy"},
  };
  json options = json::array();
  for (const auto& c : cases)
    options.push_back(
        {{"name", c.name}, {"type", "date"}, {"options", c.options}, {"default", "2024-03-01 09:30"}});
  auto module = makeModule("Dates", {{"user_options", options}});
  open(module);
  for (const auto& c : cases) {
    auto* date = cell<QVDateCellView>(c.name);
    ASSERT_TRUE(date) << c.name;
    EXPECT_EQ(date->datePicker()->displayFormat(), c.format) << c.name;
    EXPECT_EQ(date->datePicker()->dateTime(), QDateTime(QDate(2024, 3, 1), QTime(9, 30))) << c.name;
  }
  auto* picker = cell<QVDateCellView>("time")->datePicker();
  picker->setDateTime(QDateTime(QDate(2025, 12, 24), QTime(18, 5)));
  Q_EMIT picker->editingFinished();
  Q_EMIT picker->editingFinished();
  EXPECT_EQ(QVDMOptionValue::stringFromDate(*option(module, "time")->value()->dateValue()),
            "2025-12-24 18:05");
  EXPECT_EQ(runs, 1);
}

// Every text a person or an assistive tool could read off the widget.
QStringList readableTexts(QWidget* widget) {
  QStringList texts{widget->toolTip(),     widget->accessibleName(), widget->accessibleDescription(),
                    widget->windowTitle(), widget->statusTip(),      widget->whatsThis()};
  if (auto* field = qobject_cast<QLineEdit*>(widget))
    texts << field->displayText() << field->placeholderText();
  if (auto* label = qobject_cast<QLabel*>(widget)) texts << label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) texts << button->text();
  if (auto* popup = qobject_cast<QComboBox*>(widget))
    for (int i = 0; i < popup->count(); ++i) texts << popup->itemText(i);
  if (QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget)) {
    for (auto kind : {QAccessible::Name, QAccessible::Value, QAccessible::Description, QAccessible::Help})
      texts << accessible->text(kind);
  }
  return texts;
}

TEST_F(OptionEditorTest, ASecureValueNeverShowsAndGoesToTheSecretStore) {
  auto module = makeModule("Secure", {{"user_options", kEveryType}});
  const std::string secret = "hunter2-secret";
  option(module, "apiKey")->value()->setStringValue(std::optional<std::string>(secret));
  open(module);
  auto* field = cell<QVTextCellView>("apiKey")->textField();
  EXPECT_EQ(field->echoMode(), QLineEdit::Password);
  auto everyTextOf = [&](QWidget* root) {
    QStringList texts = readableTexts(root);
    for (auto* child : root->findChildren<QWidget*>()) texts << readableTexts(child);
    for (int row = 0; row < editor->tableView()->rowCount(); ++row)
      texts << editor->tableView()->item(row, 0)->text() << editor->tableView()->item(row, 0)->toolTip();
    return texts;
  };
  for (const QString& text : everyTextOf(editor->view()))
    EXPECT_FALSE(text.contains(QStringLiteral("hunter2"))) << text.toStdString();
  EXPECT_FALSE(editor->tableView()->item(rowOf("apiKey"), 0)->data(Qt::UserRole).toBool()) << "filled in";
  qvtesting::saveGrab(editor->view(), "edit-options", "secure");

  type(field, QStringLiteral("new-secret-value"));
  for (const QString& text : everyTextOf(editor->view()))
    EXPECT_FALSE(text.contains(QStringLiteral("new-secret"))) << text.toStdString();
  // Once the secret store has it, the module runs with it; a value made afresh from the store reads
  // the new text.
  ASSERT_TRUE(runUntil([&] { return runs == 1; }));
  const auto stored =
      QVDMOptionValue::initWithString(std::nullopt, option(module, "apiKey")->uid(), {{"secure", true}});
  bool read = false;
  stored->loadSecureText([&] { read = true; });
  ASSERT_TRUE(runUntil([&] { return read; }));
  EXPECT_EQ(stored->stringValue(), "new-secret-value");

  // Emptied, the required key shows its marker once the store has removed it.
  type(field, QString());
  EXPECT_TRUE(
      runUntil([&] { return editor->tableView()->item(rowOf("apiKey"), 0)->data(Qt::UserRole).toBool(); }));
}

// The secret store may ask the user before it answers (a keyring prompt): the editor never waits for
// it. The field says what the store does meanwhile, and a text it does not keep goes back, with the
// reason under the field.
TEST_F(OptionEditorTest, ASecureFieldWaitsForTheSecretStoreAndTellsWhenItDoesNotKeepTheText) {
  auto store = std::make_shared<qvtesting::GatedSecretStore>();
  platform::SecretStore::setShared(store);
  auto module = makeModule("Secure", {{"user_options", kEveryType}});
  option(module, "apiKey")->value()->setStringValue(std::optional<std::string>("kept-secret"));
  ASSERT_TRUE(runUntil([&] { return store->waiting == 0; }));
  qvtesting::FileWriteCounter writes(supportFolder(), "Modules.plist");
  open(module);
  auto* secureCell = cell<QVTextCellView>("apiKey");
  QLineEdit* field = secureCell->textField();
  QLabel* status = secureCell->statusLabel();
  ASSERT_NE(status, nullptr);
  EXPECT_TRUE(status->isHidden());

  // The store waits on its prompt: the field is disabled and says it is saving; the window goes on.
  store->hold();
  store->refuseWrites({platform::errSecUserCanceled});
  type(field, QStringLiteral("typed-secret"));
  EXPECT_FALSE(field->isEnabled());
  EXPECT_FALSE(status->isHidden());
  EXPECT_EQ(status->text(), QStringLiteral("Saving to the keyring…"));
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
  timer.start(20);
  runFor(0.4);
  EXPECT_GE(ticks, 10) << "the window stood still";
  qvtesting::saveGrab(editor->view(), "edit-options", "secure-saving");

  // The user dismissed the prompt: the text is not kept, and the sheet says so.
  store->release();
  ASSERT_TRUE(runUntil([&] { return field->isEnabled(); }));
  EXPECT_EQ(status->text(),
            QStringLiteral("The value could not be kept in the keyring: the keyring's prompt was dismissed"));
  EXPECT_FALSE(status->isHidden());
  EXPECT_EQ(option(module, "apiKey")->value()->stringValue(), "kept-secret");
  EXPECT_EQ(field->text(), QStringLiteral("kept-secret")) << "the field shows the text kept";
  EXPECT_GT(editor->tableView()->rowHeight(rowOf("apiKey")), 34) << "the row makes room for the reason";
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(archiveWrites(writes), 0);
  qvtesting::saveGrab(editor->view(), "edit-options", "secure-not-kept");

  // Saved again and kept: the reason goes, the module runs with the new text.
  type(field, QStringLiteral("second-try"));
  ASSERT_TRUE(runUntil([&] { return runs == 1; }));
  EXPECT_TRUE(field->isEnabled());
  EXPECT_TRUE(status->isHidden());
  EXPECT_EQ(option(module, "apiKey")->value()->stringValue(), "second-try");
  EXPECT_EQ(archiveWrites(writes), 1);

  // A module restored at start: its text is read when the editor shows it, and comes in then.
  option(module, "apiKey")
      ->setValue(QVDMOptionValue::valueWithObject(nullptr, QVDMOptionType::string, {{"secure", true}},
                                                  option(module, "apiKey")->uid()));
  store->hold();
  open(module);
  secureCell = cell<QVTextCellView>("apiKey");
  EXPECT_FALSE(secureCell->textField()->isEnabled());
  EXPECT_EQ(secureCell->statusLabel()->text(), QStringLiteral("Reading from the keyring…"));
  store->release();
  ASSERT_TRUE(runUntil([&] { return secureCell->textField()->isEnabled(); }));
  EXPECT_EQ(secureCell->textField()->text(), QStringLiteral("second-try"));
  EXPECT_TRUE(secureCell->statusLabel()->isHidden());
}

TEST_F(OptionEditorTest, AChoiceStoresTheEntryThePersonPicked) {
  auto module = makeModule("Choices", {{"user_options", kEveryType}});
  option(module, "unit")->value()->setStringValue(std::optional<std::string>("b"));
  open(module);
  QComboBox* popup = cell<QVPopupCellView>("unit")->popupButton();
  QStringList titles;
  for (int i = 0; i < popup->count(); ++i) titles << popup->itemText(i);
  // "a", a separator, "B", (the entry without a title adds nothing), "42", "C".
  EXPECT_EQ(titles, (QStringList{"a", "", "B", "42", "C"}));
  EXPECT_EQ(popup->currentText(), QStringLiteral("B"));
  EXPECT_EQ(popup->itemData(4, Qt::ToolTipRole).toString(), QStringLiteral("Third"));

  qvtesting::FileWriteCounter writes(supportFolder(), "Modules.plist");
  popup->setCurrentIndex(4);
  Q_EMIT popup->activated(4);
  EXPECT_EQ(option(module, "unit")->value()->stringValue(), "c") << "the entry after the untitled one";
  EXPECT_EQ(runs, 1);
  popup->setCurrentIndex(0);
  Q_EMIT popup->activated(0);
  EXPECT_EQ(option(module, "unit")->value()->stringValue(), "a");
  EXPECT_EQ(runs, 2);
  Q_EMIT popup->activated(0);
  EXPECT_EQ(runs, 2) << "choosing the same entry again changes nothing";
  EXPECT_EQ(archiveWrites(writes), 1) << "quick edits write once";

  QComboBox* level = cell<QVPopupCellView>("level")->popupButton();
  EXPECT_EQ(level->currentText(), QStringLiteral("2"));
  level->setCurrentIndex(2);
  Q_EMIT level->activated(2);
  EXPECT_EQ(option(module, "level")->value()->numberValue(), json(3));
}

TEST_F(OptionEditorTest, OneEditSavesOnceAndRunsOnce) {
  auto module = makeModule("Once", {{"user_options", kEveryType}});
  open(module);
  qvtesting::FileWriteCounter writes(supportFolder(), "Modules.plist");
  auto* city = cell<QVTextCellView>("city")->textField();
  type(city, QStringLiteral("Oslo"));
  // Leaving the field ends the editing a second time.
  cell<QVTextCellView>("apiKey")->textField()->setFocus();
  city->clearFocus();
  Q_EMIT city->editingFinished();
  EXPECT_EQ(option(module, "city")->value()->stringValue(), "Oslo");
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(archiveWrites(writes), 1);

  // The same text again: no run, no save.
  type(city, QStringLiteral("Oslo"));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(archiveWrites(writes), 1);

  auto* enabled = cell<QVBooleanCellView>("enabled")->button();
  enabled->click();
  EXPECT_FALSE(option(module, "enabled")->value()->boolValue());
  EXPECT_EQ(runs, 2);
}

TEST_F(OptionEditorTest, TheFixedRowsEditTheModuleWithoutRunningIt) {
  auto module = makeModule("Fixed", {{"user_options", kEveryType}});
  open(module);
  auto* name = qobject_cast<QVTextCellView*>(editor->valueCellAtRow(0))->textField();
  EXPECT_EQ(name->text(), QStringLiteral("Fixed"));
  EXPECT_EQ(name->placeholderText(), QStringLiteral("Fixed"));
  type(name, QStringLiteral("  My clock  "));
  EXPECT_EQ(module->name(), "My clock");
  type(name, QStringLiteral("   "));
  EXPECT_EQ(name->text(), QStringLiteral("My clock")) << "an empty name puts the name back";
  EXPECT_EQ(module->name(), "My clock");

  auto* onClick = qobject_cast<QVTextCellView*>(editor->valueCellAtRow(2))->textField();
  EXPECT_TRUE(onClick->toolTip().contains(QStringLiteral("The URL to open when you click the item")));
  type(onClick, QStringLiteral(" https://example.org "));
  EXPECT_EQ(module->onClickURLString(), " https://example.org ") << "stored as typed";
  type(onClick, QString());
  EXPECT_EQ(module->onClickURLString(), "") << "an empty click target is stored";
  EXPECT_EQ(runs, 0);
}

TEST_F(OptionEditorTest, NotificationModeHasNoFixedRowsAndDoesNotRun) {
  QVEngineEnvironment::setResourceFolder(fs::path(QV_SOURCE_RESOURCES));
  auto module = makeModule("Notifying", {{"hasNotifications", true}});
  ASSERT_FALSE(module->notificationOptions().empty());
  open(module, 1);
  EXPECT_TRUE(editor->staticFieldLabels().isEmpty());
  EXPECT_EQ(editor->tableView()->rowCount(), static_cast<int>(module->notificationOptions().size()));
  EXPECT_EQ(editor->tableView()->item(0, 0)->text(),
            platform::toQString(module->notificationOptions()[0]->displayName()));
  qvtesting::FileWriteCounter writes(supportFolder(), "Modules.plist");
  auto* first = qobject_cast<QVBooleanCellView*>(editor->valueCellAtRow(0));
  ASSERT_TRUE(first);
  const bool before = module->notificationOptions()[0]->value()->boolValue();
  first->button()->click();
  EXPECT_NE(module->notificationOptions()[0]->value()->boolValue(), before);
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(archiveWrites(writes), 1);
  qvtesting::saveGrab(editor->view(), "edit-options", "notifications");
}

// Every option of the application's own modules is edited through its cell and takes effect.
TEST_F(OptionEditorTest, EveryOptionOfTheBuiltInModulesCanBeEdited) {
  QVEngineEnvironment::setResourceFolder(fs::path(QV_SOURCE_RESOURCES));
  int edited = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(QV_SOURCE_RESOURCES) / "Modules")) {
    auto module = QVDashboardModule::moduleWithPath(entry.path().string());
    ASSERT_TRUE(module) << entry.path();
    open(module);
    for (const auto& o : module->userOptions()) {
      const json before = o->value()->actualJsonValue();
      QWidget* widget = editor->valueCellAtRow(rowOf(o->name()));
      if (auto* popup = qobject_cast<QVPopupCellView*>(widget)) {
        const int next = (popup->popupButton()->currentIndex() + 1) % popup->popupButton()->count();
        popup->popupButton()->setCurrentIndex(next);
        Q_EMIT popup->popupButton()->activated(next);
      } else if (auto* text = qobject_cast<QVTextCellView*>(widget)) {
        type(text->textField(), QStringLiteral("/tmp"));
      } else if (auto* number = qobject_cast<QVNumberCellView*>(widget)) {
        type(number->textField(), QStringLiteral("42"));
      } else if (auto* box = qobject_cast<QVBooleanCellView*>(widget)) {
        box->button()->click();
      } else if (auto* date = qobject_cast<QVDateCellView*>(widget)) {
        date->datePicker()->setDateTime(date->datePicker()->dateTime().addDays(3).addSecs(3600));
        Q_EMIT date->datePicker()->editingFinished();
      } else {
        ADD_FAILURE() << o->name() << " has no editable cell";
        continue;
      }
      EXPECT_NE(o->value()->actualJsonValue(), before)
          << module->moduleName().value_or("") << " " << o->name();
      ++edited;
    }
  }
  // Clock 2, Countdown 3, Disk Space 2, Memory 1, Reminder 4, Service Check 4, Uptime 1.
  EXPECT_EQ(edited, 17);
  // The secret's run waits for the secret store to keep it.
  EXPECT_TRUE(runUntil([&] { return runs == 17; })) << runs;
}

}  // namespace
}  // namespace windowstest
