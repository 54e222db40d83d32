#include "windows/QVConfigEditorViewController.h"

#include <QtCore/QDateTime>
#include <QtCore/QPointer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCalendarWidget>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDateTimeEdit>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QStyle>
#include <QtWidgets/QTableWidget>
#include <cmath>
#include <limits>

#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVModuleLogLine.h"
#include "platform/SecretStore.h"
#include "platform/desktop/QtText.h"
#include "ui_QVConfigEditorViewController.h"
#include "windows/QVOptionCellViews.h"

ZK_INTERFACE_FORM(QVConfigEditorViewController, QWidget);

namespace {

using nlohmann::json;

constexpr double kLowestBound = -9223372036854775808.0;
constexpr double kHighestBound = 9223372036854775808.0;
constexpr int kRowHeight = 34;

QDateTime qDateTime(const platform::Date& date) {
  return QDateTime::fromMSecsSinceEpoch(
      static_cast<qint64>(std::llround(date.timeIntervalSince1970() * 1000.0)));
}

platform::Date dateFrom(const QDateTime& when) {
  return platform::Date::fromTimeIntervalSince1970(static_cast<double>(when.toMSecsSinceEpoch()) / 1000.0);
}

// A setting that counts only when it is a number (booleans are numbers here).
std::optional<bool> numberFlag(const json& options, const char* key) {
  if (!options.is_object()) return std::nullopt;
  auto found = options.find(key);
  if (found == options.end() || !(found->is_number() || found->is_boolean())) return std::nullopt;
  return found->is_boolean() ? found->get<bool>() : found->get<double>() != 0;
}

std::optional<double> numberSetting(const json& options, const char* key) {
  if (!options.is_object()) return std::nullopt;
  auto found = options.find(key);
  if (found == options.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

QString displayFormatFor(const json& options) {
  const bool allowsDate = numberFlag(options, "allowsDate").value_or(true);
  const bool allowsTime = numberFlag(options, "allowsTime").value_or(false);
  if (!allowsTime) return QStringLiteral("d MMM yyyy");
  return allowsDate ? QStringLiteral("d MMM yyyy HH:mm") : QStringLiteral("HH:mm");
}

}  // namespace

QVConfigEditorViewController* QVConfigEditorViewController::controllerWithModule(
    const QVDashboardModule::Pointer& module, std::int64_t type,
    std::shared_ptr<QVDashboardModuleManager> manager, QObject* parent) {
  auto* instance = new QVConfigEditorViewController(parent);
  instance->module_ = module;
  instance->type_ = type;
  instance->manager_ = manager;
  instance->usesSharedManager_ = !manager;
  instance->loadFromInterface();
  return instance;
}

QVConfigEditorViewController::~QVConfigEditorViewController() {
  // The view goes after this controller's members: a field that loses its focus then must not reach
  // the handlers. (The view may be gone already, with the window that held it.)
  if (!isViewLoaded()) return;
  if (auto* table = tableView()) {
    for (auto* child : table->findChildren<QObject*>()) child->disconnect(this);
  }
}

QTableWidget* QVConfigEditorViewController::tableView() const {
  auto* form = ui<Ui::QVConfigEditorViewController>();
  return form ? form->tableView : nullptr;
}

QVDashboardModule::Options QVConfigEditorViewController::options() const {
  auto module = module_.lock();
  if (!module) return {};
  return type_ == 0 ? module->userOptions() : module->notificationOptions();
}

QVDMUserOption::Pointer QVConfigEditorViewController::optionAt(int index) const {
  const auto all = options();
  if (index < 0 || static_cast<std::size_t>(index) >= all.size()) return nullptr;
  return all[static_cast<std::size_t>(index)];
}

int QVConfigEditorViewController::numberOfRows() const {
  return static_cast<int>(options().size()) + fixedRowCount();
}

QWidget* QVConfigEditorViewController::valueCellAtRow(int row) const {
  auto* table = tableView();
  return table ? table->cellWidget(row, valueTableColumn) : nullptr;
}

void QVConfigEditorViewController::zk_viewDidLoad() {
  ZKViewController::zk_viewDidLoad();
  if (type_ == 0) {
    staticFieldLabels_ = {QStringLiteral("Name"), QStringLiteral("Refresh Interval"),
                          QStringLiteral("On Click")};
  }
  if (auto* table = tableView()) {
    table->horizontalHeader()->setSectionResizeMode(nameTableColumn, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setSectionResizeMode(valueTableColumn, QHeaderView::Stretch);
    table->horizontalHeader()->setMinimumSectionSize(140);
  }
  reloadData();
}

void QVConfigEditorViewController::reloadData() {
  auto* table = tableView();
  if (!table) return;
  table->clearContents();
  const int rows = numberOfRows();
  table->setRowCount(rows);
  for (int row = 0; row < rows; ++row) {
    configureNameCell(row);
    table->setCellWidget(row, valueTableColumn, cellForRow(row));
    table->setRowHeight(row, kRowHeight);
    fitRowHeight(row);
  }
}

void QVConfigEditorViewController::configureNameCell(int row) {
  auto* table = tableView();
  if (!table) return;
  auto* item = new QTableWidgetItem;
  item->setFlags(Qt::ItemIsEnabled);
  const int fixed = fixedRowCount();
  if (row < fixed) {
    item->setText(staticFieldLabels_[row]);
  } else if (auto option = optionAt(row - fixed)) {
    item->setText(platform::toQString(option->displayName()));
    // The required-field marker: a required option without a value.
    const bool missing = option->required() && (!option->value() || option->value()->isEmpty());
    if (missing) {
      item->setIcon(QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning));
      item->setToolTip(QStringLiteral("This value is required"));
    }
    item->setData(Qt::UserRole, missing);
  }
  table->setItem(row, nameTableColumn, item);
}

QWidget* QVConfigEditorViewController::cellForRow(int row) {
  const int fixed = fixedRowCount();
  if (row < fixed) {
    if (row == 0) return configureModuleNameCellView();
    if (row == 1) return configureRefreshCellView();
    return configureOnClickCellView();
  }
  const int index = row - fixed;
  auto option = optionAt(index);
  if (!option || !option->value()) return new QVInvalidCellView;
  const json choices = option->value()->options();
  if (choices.is_array() && !choices.empty() && option->type() != QVDMOptionType::boolean)
    return configureDropDownCellViewWithOption(*option, index);
  switch (option->type()) {
    case QVDMOptionType::string:
      return configureStringCellViewWithOption(*option, index);
    case QVDMOptionType::boolean:
      return configureBooleanCellViewWithOption(*option, index);
    case QVDMOptionType::number:
      return configureNumberCellViewWithOption(*option, index);
    case QVDMOptionType::date:
      return configureDateCellViewWithOption(*option, index);
    default:
      return new QVInvalidCellView;
  }
}

// ---- Fixed rows ----

QWidget* QVConfigEditorViewController::configureModuleNameCellView() {
  auto* cell = new QVTextCellView(false);
  auto module = module_.lock();
  if (!module) return cell;
  QLineEdit* field = cell->textField();
  field->setText(platform::toQString(module->displayName().value_or("")));
  const QString packageName = platform::toQString(module->moduleName().value_or(""));
  field->setPlaceholderText(packageName);
  field->setToolTip(packageName);
  field->setAccessibleName(QStringLiteral("Name"));
  connect(field, &QLineEdit::editingFinished, this, &QVConfigEditorViewController::moduleNameDidChange);
  return cell;
}

QWidget* QVConfigEditorViewController::configureRefreshCellView() {
  auto* cell = new QVPopupCellView;
  auto module = module_.lock();
  if (!module) return cell;
  QComboBox* popup = cell->popupButton();
  popup->clear();
  int selected = -1;
  for (const auto& entry : QVDashboardModuleManager::availableRefreshIntervalsForModule(module)) {
    popup->addItem(platform::toQString(entry.title), QVariant::fromValue<qint64>(entry.interval));
    if (static_cast<double>(entry.interval) == module->refreshInterval()) selected = popup->count() - 1;
  }
  // Without a match the pop-up shows its first item, as it does by default.
  if (selected >= 0) popup->setCurrentIndex(selected);
  popup->setAccessibleName(QStringLiteral("Refresh Interval"));
  connect(popup, &QComboBox::activated, this, &QVConfigEditorViewController::refreshIntervalDidChange);
  return cell;
}

QWidget* QVConfigEditorViewController::configureOnClickCellView() {
  auto* cell = new QVTextCellView(false);
  auto module = module_.lock();
  if (!module) return cell;
  QLineEdit* field = cell->textField();
  field->setText(platform::toQString(module->onClickURLString().value_or("")));
  field->setPlaceholderText(QString::fromUtf8(kOnClickExample));
  field->setToolTip(
      QStringLiteral("%1\n%2").arg(QString::fromUtf8(kOnClickExample), QString::fromUtf8(kOnClickHelp)));
  field->setAccessibleName(QStringLiteral("On Click"));
  connect(field, &QLineEdit::editingFinished, this, &QVConfigEditorViewController::onClickURLDidChange);
  return cell;
}

void QVConfigEditorViewController::moduleNameDidChange() {
  auto module = module_.lock();
  auto* cell = qobject_cast<QVTextCellView*>(valueCellAtRow(0));
  if (!module || !cell) return;
  const std::string name = platform::toStdString(cell->textField()->text().trimmed());
  if (name.empty()) {
    cell->textField()->setText(
        platform::toQString(module->name().value_or(module->moduleName().value_or(""))));
    return;
  }
  if (module->name() == name) return;
  module->setName(name);
  save();
}

void QVConfigEditorViewController::refreshIntervalDidChange() {
  auto module = module_.lock();
  auto* cell = qobject_cast<QVPopupCellView*>(valueCellAtRow(1));
  if (!module || !cell) return;
  const QVariant interval = cell->popupButton()->currentData();
  if (!interval.isValid()) return;
  // Stored in single precision, as the archive keeps it.
  const double seconds = static_cast<float>(interval.toDouble());
  if (module->refreshInterval() == seconds) return;
  module->setRefreshInterval(seconds);
  save();
}

void QVConfigEditorViewController::onClickURLDidChange() {
  auto module = module_.lock();
  auto* cell = qobject_cast<QVTextCellView*>(valueCellAtRow(2));
  if (!module || !cell) return;
  // Stored as typed: not trimmed, empty allowed.
  const std::string url = platform::toStdString(cell->textField()->text());
  if (module->onClickURLString().value_or("") == url) return;
  module->setOnClickURLString(url);
  module->optionsDidChange();
  save();
}

// ---- Option rows ----

QWidget* QVConfigEditorViewController::configureDropDownCellViewWithOption(const QVDMUserOption& option,
                                                                           int index) {
  auto* cell = new QVPopupCellView;
  QComboBox* popup = cell->popupButton();
  popup->clear();
  const auto& value = option.value();
  const json choices = value->options();
  int remembered = -1;
  for (std::size_t entryIndex = 0; entryIndex < choices.size(); ++entryIndex) {
    const json& entry = choices[entryIndex];
    if (entry.is_null()) {
      popup->insertSeparator(popup->count());
      continue;
    }
    QString title;
    QString tooltip;
    json key = entry;
    if (entry.is_string()) {
      title = platform::toQString(entry.get<std::string>());
    } else if (entry.is_number()) {
      title = platform::toQString(QVModuleLogTextForValue(entry));
    } else if (entry.is_object()) {
      auto found = entry.find("title");
      if (found == entry.end() || found->is_null()) continue;
      title = platform::toQString(QVModuleLogTextForValue(*found));
      if (auto tip = entry.find("tooltip"); tip != entry.end() && tip->is_string())
        tooltip = platform::toQString(tip->get<std::string>());
      auto name = entry.find("name");
      key = name != entry.end() ? *name : (value->type() == QVDMOptionType::string ? json("") : json());
    } else {
      continue;  // an entry of no known kind adds no item
    }
    // Each item carries the index of its entry, so that entries that add no item (and separators)
    // never shift a choice onto the wrong entry.
    popup->addItem(title, QVariant::fromValue<qint64>(static_cast<qint64>(entryIndex)));
    popup->setItemData(popup->count() - 1, tooltip, Qt::ToolTipRole);
    bool matches = false;
    if (value->type() == QVDMOptionType::number) {
      const json number = value->numberValue();
      matches = key.is_number() && number.is_number() && key.get<double>() == number.get<double>();
    } else if (value->type() == QVDMOptionType::string) {
      matches = key.is_string() && value->stringValue() && key.get<std::string>() == *value->stringValue();
    }
    if (matches) remembered = popup->count() - 1;
  }
  if (remembered >= 0) popup->setCurrentIndex(remembered);
  popup->setProperty("tag", index);
  popup->setAccessibleName(platform::toQString(option.displayName()));
  popup->setToolTip(platform::toQString(option.tooltip().value_or("")));
  connect(popup, &QComboBox::activated, this, [this, index] { dropdownDidChange(index); });
  return cell;
}

void QVConfigEditorViewController::dropdownDidChange(int index) {
  auto option = optionAt(index);
  auto* cell = qobject_cast<QVPopupCellView*>(valueCellAtRow(fixedRowCount() + index));
  if (!option || !option->value() || !cell) return;
  const QVariant entryIndex = cell->popupButton()->currentData();
  const json choices = option->value()->options();
  if (!entryIndex.isValid() || !choices.is_array()) return;
  const auto at = static_cast<std::size_t>(entryIndex.toLongLong());
  if (at >= choices.size()) return;
  json entry = choices[at];
  if (entry.is_object()) entry = entry.contains("name") ? entry["name"] : json();
  if (entry.is_null()) return;
  const json before = option->value()->actualJsonValue();
  option->value()->setObjectValue(entry);
  if (option->value()->actualJsonValue() == before) return;
  reloadDataForRow(index);
  save();
}

QWidget* QVConfigEditorViewController::configureStringCellViewWithOption(const QVDMUserOption& option,
                                                                         int index) {
  const auto& value = option.value();
  const bool secure = value->isSecure();
  auto* cell = new QVTextCellView(secure);
  QLineEdit* field = cell->textField();
  field->setText(platform::toQString(value->stringValue().value_or("")));
  const std::string tooltip = option.tooltip().value_or("");
  const QString help = tooltip.empty() ? QString::fromUtf8(kStringPlaceholder) : platform::toQString(tooltip);
  field->setPlaceholderText(help);
  field->setToolTip(help);
  field->setAccessibleName(platform::toQString(option.displayName()));
  field->setProperty("tag", index);
  connect(field, &QLineEdit::editingFinished, this, [this, index] { stringTextFieldDidChange(index); });
  if (!secure) return cell;
  // A text still in the keychain (a module restored at start) comes in when it is read.
  if (value->isSecureTextPending()) {
    QPointer<QVConfigEditorViewController> guard(this);
    const std::string uid = option.uid();
    value->loadSecureText([guard, uid] {
      if (guard) guard->showSecureState(guard->indexOfOption(uid));
    });
  }
  applySecureState(*cell, option, fixedRowCount() + index);
  return cell;
}

void QVConfigEditorViewController::applySecureState(QVTextCellView& cell, const QVDMUserOption& option,
                                                    int row) {
  const auto& value = option.value();
  auto& state = secureStates_[option.uid()];
  const bool reading = value->isSecureTextPending();
  if (!reading && !state.saving) {
    // The text the keychain keeps: read, saved, or put back after a refused save.
    cell.textField()->setText(platform::toQString(value->stringValue().value_or("")));
    if (state.message.isEmpty() && value->secureReadStatus() != platform::errSecSuccess) {
      state.message =
          QString::fromUtf8(kSecureValueNotRead)
              .arg(platform::toQString(platform::SecretStore::statusDescription(value->secureReadStatus())));
    }
  }
  cell.textField()->setEnabled(!reading && !state.saving);
  cell.setStatus(state.saving ? QString::fromUtf8(kSavingSecureValue)
                 : reading    ? QString::fromUtf8(kReadingSecureValue)
                              : state.message);
  describeCell(row, cell.statusLabel()->text());
}

// A table's cell widgets are not among its accessible objects: the cell itself tells a screen
// reader what the line under the field says.
void QVConfigEditorViewController::describeCell(int row, const QString& text) {
  auto* table = tableView();
  if (!table) return;
  auto* item = table->item(row, valueTableColumn);
  if (!item) {
    if (text.isEmpty()) return;
    item = new QTableWidgetItem;
    item->setFlags(Qt::ItemIsEnabled);
    table->setItem(row, valueTableColumn, item);
  }
  item->setData(Qt::AccessibleDescriptionRole, text);
}

void QVConfigEditorViewController::showSecureState(int index) {
  auto option = optionAt(index);
  const int row = fixedRowCount() + index;
  auto* cell = qobject_cast<QVTextCellView*>(valueCellAtRow(row));
  if (!option || !option->value() || !cell || !cell->statusLabel()) return;
  applySecureState(*cell, *option, row);
  fitRowHeight(row);
  // The required-field marker follows the text.
  configureNameCell(row);
}

// A secure field's row grows to show the line under the field.
void QVConfigEditorViewController::fitRowHeight(int row) {
  auto* table = tableView();
  auto* cell = qobject_cast<QVTextCellView*>(valueCellAtRow(row));
  if (!table || !cell || !cell->statusLabel()) return;
  const int width = table->columnWidth(valueTableColumn);
  const int wanted =
      width > 0 && cell->hasHeightForWidth() ? cell->heightForWidth(width) : cell->sizeHint().height();
  table->setRowHeight(row, std::max(kRowHeight, wanted));
}

int QVConfigEditorViewController::indexOfOption(const std::string& uid) const {
  const auto all = options();
  for (std::size_t i = 0; i < all.size(); ++i)
    if (all[i] && all[i]->uid() == uid) return static_cast<int>(i);
  return -1;
}

void QVConfigEditorViewController::stringTextFieldDidChange(int index) {
  auto option = optionAt(index);
  auto* cell = qobject_cast<QVTextCellView*>(valueCellAtRow(fixedRowCount() + index));
  if (!option || !option->value() || !cell) return;
  const auto& value = option->value();
  const std::string text = platform::toStdString(cell->textField()->text());
  if (!value->isSecure()) {
    if (value->stringValue().value_or("") == text) return;
    value->setStringValue(std::optional<std::string>(text));
    reloadDataForRow(index);
    save();
    return;
  }
  auto& state = secureStates_[option->uid()];
  if (state.saving || value->isSecureTextPending() || value->stringValue().value_or("") == text) return;
  // The keychain may ask the user before it answers: the field waits, the window does not.
  state = {true, {}};
  showSecureState(index);
  QPointer<QVConfigEditorViewController> guard(this);
  const std::string uid = option->uid();
  // Held until the keychain answers, so that the run follows the edit even when the sheet has closed.
  auto module = module_.lock();
  auto manager = manager_.lock();
  if (!manager && usesSharedManager_) manager = QVDashboardModuleManager::sharedInstance();
  std::weak_ptr<QVDashboardModuleManager> weakManager = manager;
  const bool runs = type_ == 0;
  value->setStringValue(
      std::optional<std::string>(text),
      [guard, uid, module, weakManager, runs](const QVDMOptionValue::SecureStoreResult& result) {
        // A text kept runs the module and is saved, whether the sheet is still open or not.
        if (result.kept()) {
          if (runs && module) QVEngineEnvironment::runModule(module);
          if (auto manager = weakManager.lock()) manager->save();
        }
        if (!guard) return;
        auto& done = guard->secureStates_[uid];
        done.saving = false;
        done.message = result.kept()
                           ? QString()
                           : QString::fromUtf8(kSecureValueNotKept).arg(platform::toQString(result.reason()));
        guard->showSecureState(guard->indexOfOption(uid));
      });
}

QWidget* QVConfigEditorViewController::configureBooleanCellViewWithOption(const QVDMUserOption& option,
                                                                          int index) {
  auto* cell = new QVBooleanCellView;
  QCheckBox* box = cell->button();
  box->setChecked(option.value()->boolValue());
  box->setAccessibleName(platform::toQString(option.displayName()));
  box->setToolTip(platform::toQString(option.tooltip().value_or("")));
  box->setProperty("tag", index);
  connect(box, &QCheckBox::clicked, this, [this, index] { booleanValueDidChange(index); });
  return cell;
}

void QVConfigEditorViewController::booleanValueDidChange(int index) {
  auto option = optionAt(index);
  auto* cell = qobject_cast<QVBooleanCellView*>(valueCellAtRow(fixedRowCount() + index));
  if (!option || !option->value() || !cell) return;
  const bool checked = cell->button()->isChecked();
  if (option->value()->boolValue() == checked) return;
  option->value()->setBoolValue(checked);
  reloadDataForRow(index);
  save();
}

QWidget* QVConfigEditorViewController::configureNumberCellViewWithOption(const QVDMUserOption& option,
                                                                         int index) {
  auto* cell = new QVNumberCellView;
  const json settings = option.value()->options();
  const double minimum = numberSetting(settings, "min").value_or(kLowestBound);
  const double maximum = numberSetting(settings, "max").value_or(kHighestBound);
  QVNumberField* field = cell->textField();
  field->setValidator(new QVNumberValidator(minimum, maximum, field));
  const json number = option.value()->numberValue();
  const double value = number.is_number() ? number.get<double>() : 0.0;
  if (number.is_number()) field->setNumber(value);
  field->setAccessibleName(platform::toQString(option.displayName()));
  field->setToolTip(platform::toQString(option.tooltip().value_or("")));
  field->setProperty("tag", index);
  cell->stepper()->setRange(minimum, maximum);
  cell->stepper()->setValue(value);
  connect(field, &QLineEdit::editingFinished, this, [this, index] { numberTextFieldDidChange(index); });
  connect(cell->stepper(), &QVStepper::stepped, this, [this, index] { numberStepperDidChange(index); });
  return cell;
}

void QVConfigEditorViewController::numberTextFieldDidChange(int index) {
  auto* cell = qobject_cast<QVNumberCellView*>(valueCellAtRow(fixedRowCount() + index));
  if (!cell) return;
  auto number = QVNumberValidator::numberFromText(cell->textField()->text());
  if (!number || !cell->textField()->hasAcceptableInput()) return;
  cell->stepper()->setValue(*number);
  numberValueDidChangeWithRow(index, *number);
}

void QVConfigEditorViewController::numberStepperDidChange(int index) {
  auto* cell = qobject_cast<QVNumberCellView*>(valueCellAtRow(fixedRowCount() + index));
  if (!cell) return;
  const double value = cell->stepper()->value();
  cell->textField()->setNumber(value);
  numberValueDidChangeWithRow(index, value);
}

void QVConfigEditorViewController::numberValueDidChangeWithRow(int index, double value) {
  auto option = optionAt(index);
  if (!option || !option->value()) return;
  if (auto* cell = qobject_cast<QVNumberCellView*>(valueCellAtRow(fixedRowCount() + index)))
    cell->textField()->setNumber(value);
  const json before = option->value()->numberValue();
  if (before.is_number() && before.get<double>() == value) return;
  // Whole numbers are stored as integers, as a module's script would write them.
  const json number = value == std::trunc(value) && std::fabs(value) < 9.0e15
                          ? json(static_cast<std::int64_t>(value))
                          : json(value);
  option->value()->setNumberValue(number);
  reloadDataForRow(index);
  save();
}

QWidget* QVConfigEditorViewController::configureDateCellViewWithOption(const QVDMUserOption& option,
                                                                       int index) {
  auto* cell = new QVDateCellView;
  QDateTimeEdit* picker = cell->datePicker();
  picker->setDisplayFormat(displayFormatFor(option.value()->options()));
  // Without a value the picker offers the present moment.
  const auto date = option.value()->dateValue();
  picker->setDateTime(date ? qDateTime(*date) : QDateTime::currentDateTime());
  picker->setAccessibleName(platform::toQString(option.displayName()));
  picker->setToolTip(platform::toQString(option.tooltip().value_or("")));
  picker->setProperty("tag", index);
  connect(picker, &QDateTimeEdit::editingFinished, this, [this, index] { dateValueDidChange(index); });
  if (auto* calendar = picker->calendarWidget()) {
    // A day picked in the calendar is an edit of its own; the picker takes the date first.
    connect(calendar, &QCalendarWidget::clicked, this, [this, index] {
      QMetaObject::invokeMethod(
          this, [this, index] { dateValueDidChange(index); }, Qt::QueuedConnection);
    });
  }
  return cell;
}

void QVConfigEditorViewController::dateValueDidChange(int index) {
  auto option = optionAt(index);
  auto* cell = qobject_cast<QVDateCellView*>(valueCellAtRow(fixedRowCount() + index));
  if (!option || !option->value() || !cell) return;
  QDateTime picked = cell->datePicker()->dateTime();
  picked.setTime(QTime(picked.time().hour(), picked.time().minute()));
  const auto before = option->value()->dateValue();
  if (before && qDateTime(*before) == picked) return;
  option->value()->setDateValue(dateFrom(picked));
  reloadDataForRow(index);
  save();
}

void QVConfigEditorViewController::reloadDataForRow(int index) {
  if (auto module = module_.lock()) {
    // The dashboard shows the edit at once (a required option filled in or emptied), before any
    // result of the run comes; a module missing a required option does not run at all.
    module->optionsDidChange();
    if (type_ == 0) QVEngineEnvironment::runModule(module);
  }
  configureNameCell(fixedRowCount() + index);
}

void QVConfigEditorViewController::save() {
  auto manager = manager_.lock();
  if (!manager && usesSharedManager_) manager = QVDashboardModuleManager::sharedInstance();
  if (manager) manager->save();
}
