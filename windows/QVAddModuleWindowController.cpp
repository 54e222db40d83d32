#include "windows/QVAddModuleWindowController.h"

#include <QtCore/QUrl>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QVBoxLayout>
#include <algorithm>

#include "engine/QVDashboardModuleManager.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"
#include "ui_QVAddModuleWindowController.h"
#include "uikit/ZKElidedLabel.h"
#include "windows/QVSearchFolding.h"

ZK_INTERFACE_FORM(QVAddModuleWindowController, QWidget);

namespace {

QString text(const std::optional<std::string>& value) { return platform::toQString(value.value_or("")); }

// The font of a description under its title: two pixels (or points) smaller.
QFont smallerFont(QFont font) {
  if (font.pixelSize() > 0)
    font.setPixelSize(std::max(9, font.pixelSize() - 2));
  else
    font.setPointSizeF(std::max(7.0, font.pointSizeF() - 1.5));
  return font;
}

}  // namespace

QVAddModuleWindowController* QVAddModuleWindowController::controllerWithManager(
    std::shared_ptr<QVDashboardModuleManager> manager, QObject* parent) {
  auto* sheet = new QVAddModuleWindowController(parent);
  sheet->manager_ = manager ? std::move(manager) : QVDashboardModuleManager::sharedInstance();
  sheet->loadWindowFromInterface();
  return sheet;
}

QTableWidget* QVAddModuleWindowController::tableView() const {
  return ui<Ui::QVAddModuleWindowController>()->tableView;
}
QLineEdit* QVAddModuleWindowController::searchField() const {
  return ui<Ui::QVAddModuleWindowController>()->searchField;
}
QComboBox* QVAddModuleWindowController::categoryDropdown() const {
  return ui<Ui::QVAddModuleWindowController>()->categoryDropdown;
}
QAbstractButton* QVAddModuleWindowController::nextButton() const {
  return ui<Ui::QVAddModuleWindowController>()->nextButton;
}
QAbstractButton* QVAddModuleWindowController::cancelButton() const {
  return ui<Ui::QVAddModuleWindowController>()->cancelButton;
}

QAbstractButton* QVAddModuleWindowController::tickBoxAtRow(int row) const {
  auto* cell = tableView()->cellWidget(row, 0);
  return cell ? cell->findChild<QCheckBox*>() : nullptr;
}

QAbstractButton* QVAddModuleWindowController::findMoreButtonAtRow(int row) const {
  auto* cell = tableView()->cellWidget(row, 0);
  return cell ? cell->findChild<QPushButton*>(QStringLiteral("findMoreButton")) : nullptr;
}

void QVAddModuleWindowController::zk_viewDidLoad() {
  if (!manager_) manager_ = QVDashboardModuleManager::sharedInstance();
  manager_->reloadUserModules();
  auto* categories = categoryDropdown();
  categories->clear();
  // The first entry stands for every category.
  categories->addItem(QStringLiteral("All Categories"), QString());
  categories->insertSeparator(1);
  for (const auto& name : QVDashboardModuleManager::availableCategories())
    categories->addItem(platform::toQString(name), platform::toQString(name));
  connect(searchField(), &QLineEdit::textChanged, this, [this] { searchDidChange(); });
  connect(categories, &QComboBox::currentIndexChanged, this, [this] { categoryDidChange(); });
  connect(nextButton(), &QAbstractButton::clicked, this, [this] { goNext(); });
  connect(cancelButton(), &QAbstractButton::clicked, this, [this] { cancel(); });
  tableView()->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Fixed);
  tableView()->setColumnWidth(0, 36);
  reloadData();
  reloadTable();
  validateTheNextButton();
  searchField()->setFocus();
}

bool QVAddModuleWindowController::matches(const QVDashboardModule::Pointer& module) const {
  if (searchText_ && !QVFoldedContains(module->moduleName().value_or(""), *searchText_) &&
      !QVFoldedContains(module->moduleDescription().value_or(""), *searchText_))
    return false;
  if (category_ && !QVFoldedEquals(module->category().value_or(""), *category_)) return false;
  return true;
}

void QVAddModuleWindowController::reloadData() {
  std::vector<Row> rows;
  std::vector<QVDashboardModule::Pointer> bundled;
  for (const auto& module : manager_->bundledModules())
    if (matches(module)) bundled.push_back(module);
  rows.emplace_back(Header{"Bundled Modules (" + std::to_string(bundled.size()) + ")"});
  rows.insert(rows.end(), bundled.begin(), bundled.end());
  const auto user = manager_->userModules();
  if (!user.empty()) {
    std::vector<QVDashboardModule::Pointer> mine;
    for (const auto& module : user)
      if (matches(module)) mine.push_back(module);
    rows.emplace_back(Header{"Custom Modules (" + std::to_string(mine.size()) + ")"});
    rows.insert(rows.end(), mine.begin(), mine.end());
  }
  modulesArray_ = std::move(rows);
}

void QVAddModuleWindowController::reloadTable() {
  auto* table = tableView();
  table->clearSpans();
  table->clearContents();
  table->setRowCount(static_cast<int>(modulesArray_.size()));
  for (int row = 0; row < table->rowCount(); ++row) {
    const auto& entry = modulesArray_[static_cast<std::size_t>(row)];
    if (const auto* header = std::get_if<Header>(&entry)) {
      auto* cell = new QWidget;
      cell->setObjectName(QStringLiteral("GroupCell"));
      auto* layout = new QHBoxLayout(cell);
      layout->setContentsMargins(6, 0, 6, 0);
      auto* label = new QLabel(platform::toQString(header->name));
      QFont font = label->font();
      font.setBold(true);
      label->setFont(font);
      layout->addWidget(label, 1);
      if (row == 0) {
        auto* findMore = new QPushButton(QStringLiteral("Find More"));
        findMore->setObjectName(QStringLiteral("findMoreButton"));
        findMore->setFlat(true);
        connect(findMore, &QPushButton::clicked, this, [this] { openFindMore(); });
        layout->addWidget(findMore);
      }
      table->setSpan(row, 0, 1, 2);
      table->setCellWidget(row, 0, cell);
      table->setRowHeight(row, kGroupRowHeight);
      continue;
    }
    const auto& module = std::get<QVDashboardModule::Pointer>(entry);
    auto* tickCell = new QWidget;
    auto* tickLayout = new QHBoxLayout(tickCell);
    tickLayout->setContentsMargins(8, 0, 0, 0);
    auto* tick = new QCheckBox;
    tick->setAccessibleName(QStringLiteral("Add ") + text(module->moduleName()));
    tick->setChecked(std::find(selectedModules_.begin(), selectedModules_.end(), module) !=
                     selectedModules_.end());
    connect(tick, &QCheckBox::toggled, this, [this, row](bool on) { didToggleSelected(row, on); });
    // Only as wide as its box: a click beside the box is no click on it.
    tickLayout->addWidget(tick, 0, Qt::AlignLeft | Qt::AlignVCenter);
    table->setCellWidget(row, 0, tickCell);
    // The name over the description, each cut with "…" (and whole in its tooltip) when the row is
    // narrower than it.
    auto* description = new QWidget;
    description->setObjectName(QStringLiteral("DescriptionCell"));
    auto* lines = new QVBoxLayout(description);
    lines->setContentsMargins(4, 2, 4, 2);
    lines->setSpacing(0);
    auto* name = new ZKElidedLabel(text(module->moduleName()));
    name->setObjectName(QStringLiteral("nameLabel"));
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    auto* detail = new ZKElidedLabel(text(module->moduleDescription()));
    detail->setObjectName(QStringLiteral("detailLabel"));
    detail->setFont(smallerFont(detail->font()));
    lines->addStretch(1);
    lines->addWidget(name);
    lines->addWidget(detail);
    lines->addStretch(1);
    table->setCellWidget(row, 1, description);
    table->setRowHeight(row, table->verticalHeader()->defaultSectionSize());
  }
}

void QVAddModuleWindowController::didToggleSelected(int row, bool on) {
  if (row < 0 || row >= static_cast<int>(modulesArray_.size())) return;
  const auto* module = std::get_if<QVDashboardModule::Pointer>(&modulesArray_[static_cast<std::size_t>(row)]);
  if (!module) return;
  const auto found = std::find(selectedModules_.begin(), selectedModules_.end(), *module);
  if (on && found == selectedModules_.end()) selectedModules_.push_back(*module);
  if (!on && found != selectedModules_.end()) selectedModules_.erase(found);
  validateTheNextButton();
}

void QVAddModuleWindowController::validateTheNextButton() {
  nextButton()->setEnabled(!selectedModules_.empty());
}

void QVAddModuleWindowController::searchDidChange() {
  const std::string trimmed = platform::toStdString(searchField()->text().trimmed());
  searchText_ = trimmed.empty() ? std::nullopt : std::optional<std::string>(trimmed);
  reloadData();
  reloadTable();
}

void QVAddModuleWindowController::categoryDidChange() {
  const std::string name = platform::toStdString(categoryDropdown()->currentData().toString());
  category_ = name.empty() ? std::nullopt : std::optional<std::string>(name);
  reloadData();
  reloadTable();
}

void QVAddModuleWindowController::finish(std::optional<std::vector<QVDashboardModule::Pointer>> result) {
  if (finished_) return;
  finished_ = true;
  if (completionBlock) completionBlock(std::move(result));
  closeSheet();
}

void QVAddModuleWindowController::goNext() { finish(selectedModules_); }

void QVAddModuleWindowController::cancel() { finish(std::nullopt); }

void QVAddModuleWindowController::openFindMore() {
  platform::DesktopServices::shared().openURL(QUrl(QString::fromLatin1(kFindMoreURL)));
}
