#include "windows/QVEmojiPickerViewController.h"

#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QTableWidget>

#include "platform/desktop/QtText.h"
#include "ui_QVEmojiPickerViewController.h"
#include "uikit/QVEmojiButtonCell.h"
#include "uikit/QVWindowTheme.h"
#include "uikit/ZKButton.h"
#include "windows/QVSearchFolding.h"

ZK_INTERFACE_FORM(QVEmojiPickerViewController, QWidget);

QVEmojiRowTableCellView::QVEmojiRowTableCellView(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(2, 1, 2, 1);
  layout->setSpacing(2);
  for (std::size_t i = 0; i < buttons_.size(); ++i) {
    auto* button = new ZKButton(this);
    auto cell = std::make_unique<QVEmojiButtonCell>();
    cell->setFontSize(20);
    button->setCell(std::move(cell));
    button->setFlat(true);
    button->setFixedSize(32, 32);
    connect(button, &QPushButton::clicked, this, [this, button] {
      if (action) action(button);
    });
    layout->addWidget(button);
    buttons_[i] = button;
  }
  layout->addStretch(1);
}

void QVEmojiRowTableCellView::configureWithArray(const QVEmojiManager::Row& row) {
  for (std::size_t i = 0; i < buttons_.size(); ++i) {
    auto* button = buttons_[i];
    if (i >= row.size()) {
      button->hide();
      continue;
    }
    button->setText(QString::fromUtf8(row[i].emoji.value_or("?")));
    button->setToolTip(QString::fromUtf8(row[i].name.value_or("")));
    button->setAccessibleName(button->toolTip().isEmpty() ? button->text() : button->toolTip());
    button->show();
  }
}

QVEmojiPickerViewController* QVEmojiPickerViewController::controllerWithManager(
    std::shared_ptr<QVEmojiManager> manager, QObject* parent) {
  auto* picker = new QVEmojiPickerViewController(parent);
  picker->manager_ = std::move(manager);
  picker->loadFromInterface();
  return picker;
}

QTableWidget* QVEmojiPickerViewController::tableView() const {
  auto* form = ui<Ui::QVEmojiPickerViewController>();
  return form ? form->tableView : nullptr;
}

QLineEdit* QVEmojiPickerViewController::searchField() const {
  auto* form = ui<Ui::QVEmojiPickerViewController>();
  return form ? form->searchField : nullptr;
}

void QVEmojiPickerViewController::zk_viewDidLoad() {
  if (!manager_) manager_ = QVEmojiManager::sharedManager();
  // The picker shows in a popup of its own, always in the light look, whatever the theme.
  QVWindowTheme::keep(view(), QStringLiteral("DDLightTheme"));
  connect(searchField(), &QLineEdit::textChanged, this, [this] { searchDidChange(); });
  tableView()->verticalHeader()->setMinimumSectionSize(kGroupRowHeight);
  reloadData();
}

void QVEmojiPickerViewController::searchDidChange() {
  const std::string text = QString(searchField()->text()).trimmed().toStdString();
  if (text.empty())
    predicate_.reset();
  else
    predicate_ = text;
  reloadData();
}

void QVEmojiPickerViewController::reloadData() {
  if (!predicate_) {
    filteredDataArray_ = manager_->dataArray();
  } else {
    const std::string needle = QVFoldForSearch(*predicate_);
    filteredDataArray_ = manager_->emojisWithPredicate([&](const QVEmojiItem& item) {
      return item.searchKeys && QVFoldForSearch(*item.searchKeys).find(needle) != std::string::npos;
    });
  }
  auto* table = tableView();
  table->clearContents();
  table->setRowCount(static_cast<int>(filteredDataArray_.size()));
  for (int row = 0; row < table->rowCount(); ++row) {
    const auto& entry = filteredDataArray_[static_cast<std::size_t>(row)];
    if (const auto* title = std::get_if<std::string>(&entry)) {
      auto* label = new QLabel(QString::fromUtf8(*title).toUpper());
      label->setObjectName(QStringLiteral("GroupCell"));
      label->setContentsMargins(4, 0, 0, 0);
      QFont font = label->font();
      font.setPointSizeF(9);
      font.setBold(true);
      label->setFont(font);
      table->setCellWidget(row, 0, label);
      table->setRowHeight(row, kGroupRowHeight);
    } else {
      auto* cell = new QVEmojiRowTableCellView;
      cell->action = [this](ZKButton* button) { didClickItem(button); };
      cell->configureWithArray(std::get<QVEmojiManager::Row>(entry));
      table->setCellWidget(row, 0, cell);
      table->setRowHeight(row, kEmojiRowHeight);
    }
  }
}

void QVEmojiPickerViewController::didClickItem(ZKButton* sender) {
  if (delegate && sender) delegate->emojiPickerDidSelectEmoji(this, sender->text().toStdString());
}
