#include "uikit/gallery/QVGalleryWindow.h"

#include <QtCore/QDateTime>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QMenu>
#include <QtWidgets/QVBoxLayout>

#include "uikit/BHThemableSpinningProgressIndicator.h"
#include "uikit/DDThemableITSwitch.h"
#include "uikit/QVEmojiButtonCell.h"
#include "uikit/QVTabButtonCell.h"
#include "uikit/SBOutlineView.h"
#include "uikit/ZKButton.h"
#include "uikit/ZKColorWellTableCellView.h"
#include "uikit/ZKDatePickerCellView.h"
#include "uikit/ZKDeleteTableView.h"
#include "uikit/ZKNumberStepperCellView.h"
#include "uikit/ZKPathTableCellView.h"
#include "uikit/ZKPopupButtonCellView.h"
#include "uikit/ZKTableCellView.h"
#include "uikit/ZKThemableButton.h"
#include "uikit/ZKThemableImageButton.h"
#include "uikit/ZKThemableImageView.h"
#include "uikit/ZKThemableTableRowView.h"
#include "uikit/ZKThemableTableView.h"
#include "uikit/ZKThemableTextField.h"
#include "uikit/ZKYosemiteButton.h"

namespace {

ZKThemableTextField* heading(const QString& text) {
  auto* label = new ZKThemableTextField;
  label->setText(text);
  label->setFontKey(QStringLiteral("detailsTableHeaderFont"));
  label->setTextColorKey(QStringLiteral("detailsTableHeaderColor"));
  return label;
}

ZKThemableTextField* caption(const QString& text) {
  auto* label = new ZKThemableTextField;
  label->setText(text);
  label->setFontKey(QStringLiteral("sidebarTableSubtitleFont"));
  label->setTextColorKey(QStringLiteral("textColor"));
  label->setAlignment(Qt::AlignCenter);
  return label;
}

// A control over its caption.
QWidget* captioned(QWidget* control, const QString& text) {
  auto* box = new QWidget;
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(3);
  layout->addWidget(control, 0, Qt::AlignHCenter);
  layout->addWidget(caption(text));
  return box;
}

QImage settingsIcon() { return QImage(QStringLiteral(":/themes/images/icon-settings-dark.png")); }

}  // namespace

QVGalleryWindow::QVGalleryWindow(QWidget* parent) : BHThemableWindow(parent) {
  setWindowTitle(QStringLiteral("Quorvane Dashboard — Controls"));
  setBackgroundColorKey(QStringLiteral("windowColor"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(16, 14, 16, 16);
  layout->setSpacing(18);
  layout->addWidget(makeControls(), 0);
  layout->addWidget(makeTables(), 1);
  resize(1000, 680);
  applyTheme();
}

QVGalleryWindow::~QVGalleryWindow() = default;

QWidget* QVGalleryWindow::makeControls() {
  auto* column = new QWidget;
  column->setFixedWidth(430);
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(8);

  // Switches.
  layout->addWidget(heading(QStringLiteral("Switches")));
  auto* switches = new QHBoxLayout;
  switches->setSpacing(14);
  struct SwitchCase {
    const char* name;
    bool checked;
    bool enabled;
  };
  for (const SwitchCase& c : {SwitchCase{"Off", false, true}, SwitchCase{"On", true, true},
                              SwitchCase{"Disabled", false, false}, SwitchCase{"Disabled on", true, false}}) {
    auto* s = new DDThemableITSwitch;
    s->setFixedSize(38, 22);
    s->setDisabledBorderColorKey(QStringLiteral("switchBorderColor"));
    s->setChecked(c.checked, false);
    s->setEnabled(c.enabled, false);
    s->setAccessibleName(QString::fromUtf8(c.name));
    if (!firstSwitch_) firstSwitch_ = s;
    switches->addWidget(captioned(s, QString::fromUtf8(c.name)));
  }
  switches->addStretch();
  layout->addLayout(switches);

  // Activity indicators.
  layout->addWidget(heading(QStringLiteral("Activity")));
  auto* progress = new QHBoxLayout;
  progress->setSpacing(14);
  auto addSpinner = [&](const QString& name, auto&& setUp) {
    auto* spinner = new BHThemableSpinningProgressIndicator;
    spinner->setFixedSize(28, 28);
    spinner->setTintColorKey(QStringLiteral("progressIndicatorColor"));
    setUp(spinner);
    spinners_ << spinner;
    progress->addWidget(captioned(spinner, name));
  };
  addSpinner(QStringLiteral("Turning"), [](auto* s) { s->setUsesThreadedAnimation(false); });
  addSpinner(QStringLiteral("Threaded"), [](auto* s) { s->setUsesThreadedAnimation(true); });
  addSpinner(QStringLiteral("Stopped"), [](auto*) {});
  addSpinner(QStringLiteral("25 %"), [](auto* s) { s->setCurrentValue(25); });
  addSpinner(QStringLiteral("70 %"), [](auto* s) { s->setCurrentValue(70); });
  addSpinner(QStringLiteral("Max 0"), [](auto* s) {
    s->setMaxValue(0);
    s->setCurrentValue(5);
  });
  progress->addStretch();
  layout->addLayout(progress);
  spinners_[0]->startAnimation();
  spinners_[1]->startAnimation();

  // Buttons.
  layout->addWidget(heading(QStringLiteral("Buttons")));
  auto* buttons = new QGridLayout;
  buttons->setHorizontalSpacing(8);
  buttons->setVerticalSpacing(8);
  const std::pair<const char*, const char*> styles[] = {
      {"ZKGreenYosemiteButtonCell", "Install"},     {"ZKBlueYosemiteButtonCell", "Save"},
      {"ZKNormalYosemiteButton", "Cancel"},         {"ZKTealYosemiteButtonCell", "Share"},
      {"ZKGrayYosemiteButtonCell", "Later"},        {"ZKRedYosemiteButtonCell", "Remove"},
      {"ZKUpdatedBlueYosemiteButtonCell", "Update"}};
  int i = 0;
  for (const auto& [cell, title] : styles) {
    auto* b = new ZKYosemiteButton(QString::fromUtf8(cell), QString::fromUtf8(title));
    b->setMinimumWidth(92);
    b->setFixedHeight(26);
    buttons->addWidget(b, i / 4, i % 4);
    ++i;
  }
  auto* disabled =
      new ZKYosemiteButton(QStringLiteral("ZKBlueYosemiteButtonCell"), QStringLiteral("Disabled"));
  disabled->setFixedHeight(26);
  disabled->setEnabled(false);
  buttons->addWidget(disabled, 1, 3);
  layout->addLayout(buttons);

  // Tabs.
  layout->addWidget(heading(QStringLiteral("Tabs")));
  auto* tabs = new QHBoxLayout;
  tabs->setSpacing(6);
  const std::tuple<const char*, const char*, bool> tabCases[] = {{"QVTabButtonCell", "General", true},
                                                                 {"QVTabButtonCell", "Sharing", false},
                                                                 {"QVGreenTabButtonCell", "Running", false},
                                                                 {"QVRedTabButtonCell", "Failed", false}};
  for (const auto& [cell, title, on] : tabCases) {
    auto* t = new ZKYosemiteButton(QString::fromUtf8(cell), QString::fromUtf8(title));
    t->setCheckable(true);
    t->setChecked(on);
    t->setAutoExclusive(true);
    t->setFixedSize(92, 26);
    tabs->addWidget(t);
  }
  tabs->addStretch();
  layout->addLayout(tabs);

  // Hover buttons, images and emoji.
  layout->addWidget(heading(QStringLiteral("Images and emoji")));
  auto* images = new QHBoxLayout;
  images->setSpacing(12);
  auto* plain = new ZKButton;
  plain->setText(QStringLiteral("Hover me"));
  images->addWidget(captioned(plain, QStringLiteral("Hover")));
  auto* themed = new ZKThemableButton;
  themed->setFlat(true);
  themed->setImageKey(QStringLiteral("settingsIconImage"));
  themed->setAlternateImageKey(QStringLiteral("settingsIconAlternateImage"));
  themed->setFixedSize(32, 28);
  images->addWidget(captioned(themed, QStringLiteral("Theme image")));
  auto* tinted = new ZKThemableImageButton;
  tinted->setTintColorKey(QStringLiteral("settingsIconColor"));
  tinted->setImage(settingsIcon());
  tinted->setFixedSize(32, 28);
  images->addWidget(captioned(tinted, QStringLiteral("Tinted")));
  auto* view = new ZKThemableImageView;
  view->setTintColorKey(QStringLiteral("detailsInfoIconColor"));
  view->setImage(settingsIcon());
  view->setFixedSize(28, 28);
  images->addWidget(captioned(view, QStringLiteral("Image")));
  for (const auto& [emoji, size] : {std::pair{"🚀", 0.0}, std::pair{"🌦️", 20.0}, std::pair{"📈", 24.0}}) {
    auto* e = new ZKButton;
    auto cell = std::make_unique<QVEmojiButtonCell>();
    cell->setFontSize(size);
    e->setCell(std::move(cell));
    e->setFlat(true);
    e->setText(QString::fromUtf8(emoji));
    e->setFixedSize(36, 32);
    images->addWidget(captioned(e, size == 0 ? QStringLiteral("14 pt") : QStringLiteral("%1 pt").arg(size)));
  }
  images->addStretch();
  layout->addLayout(images);

  // The option editor's table: on/off, date, number, choice, colour and path rows.
  layout->addWidget(heading(QStringLiteral("Options")));
  editorTable_ = new ZKDeleteTableView;
  switchCells_ = new DDSwitchTableCellView(editorTable_);
  editorTable_->horizontalHeader()->hide();
  editorTable_->verticalHeader()->setDefaultSectionSize(28);
  editorModel_.setColumnCount(2);
  auto addRow = [&](const QString& title, QStandardItem* value, QAbstractItemDelegate* cells) {
    auto* titleItem = new QStandardItem(title);
    titleItem->setEditable(false);
    editorModel_.appendRow({titleItem, value});
    editorRowDelegates_.push_back(cells);
  };
  const std::tuple<const char*, bool, bool> optionSwitches[] = {{"Show notifications", true, true},
                                                                {"Play sound", false, true},
                                                                {"Run at login (managed)", true, false}};
  for (const auto& [title, on, enabled] : optionSwitches) {
    auto* value = new QStandardItem;
    value->setCheckable(true);
    value->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    value->setEditable(false);
    value->setEnabled(enabled);
    addRow(QString::fromUtf8(title), value, switchCells_);
    if (!enabled) editorModel_.item(editorModel_.rowCount() - 1, 0)->setEnabled(false);
  }
  auto* date = new QStandardItem;
  date->setData(QDateTime(QDate(2026, 12, 11), QTime(9, 30)), Qt::EditRole);
  addRow(QStringLiteral("Remind me"), date, new ZKDatePickerCellView(editorTable_));
  auto* number = new QStandardItem;
  number->setData(5, Qt::EditRole);
  addRow(QStringLiteral("Refresh (minutes)"), number, new ZKNumberStepperCellView(editorTable_));
  auto* choice = new QStandardItem(QStringLiteral("Metric"));
  choice->setData(QStringList{QStringLiteral("Metric"), QStringLiteral("Imperial")}, ZKChoicesRole);
  addRow(QStringLiteral("Units"), choice, new ZKPopupButtonCellView(editorTable_));
  auto* colour = new QStandardItem;
  colour->setEditable(false);
  colour->setData(QColor::fromRgbF(0.2f, 0.6196f, 0.9647f), ZKColorRole);
  addRow(QStringLiteral("Group colour"), colour, new ZKColorWellTableCellView(editorTable_));
  auto* path = new QStandardItem(QStringLiteral("weather_42.json"));
  path->setEditable(false);
  path->setData(QStringLiteral("~/.local/share/com.quorvane.dashboard/Module Databases/weather_42.json"),
                ZKDetailTextRole);
  addRow(QStringLiteral("Database"), path, new ZKPathTableCellView(editorTable_));
  editorTable_->setModel(&editorModel_);
  // Each row's cell draws its control where the row has its value (the second column).
  for (int row = 0; row < editorModel_.rowCount(); ++row)
    editorTable_->setItemDelegateForRow(row, editorRowDelegates_[size_t(row)]);
  editorTable_->setColumnWidth(0, 175);
  editorTable_->setRowHeight(editorModel_.rowCount() - 1, 40);
  editorTable_->setFixedHeight(7 * 28 + 40 + 2);
  layout->addWidget(editorTable_);
  layout->addStretch();
  return column;
}

QWidget* QVGalleryWindow::makeTables() {
  auto* column = new QWidget;
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(8);

  // The dashboard's outline: groups with module rows, some busy.
  layout->addWidget(heading(QStringLiteral("Dashboard outline")));
  outline_ = new SBOutlineView;
  outlineCells_ = new ZKButtonTableCellView(outline_);
  outlineCells_->setButtonCellClass(QStringLiteral("ZKGrayYosemiteButtonCell"));
  outline_->setItemDelegate(outlineCells_);
  auto rows = std::make_shared<ZKThemableTableRowView>();
  rows->setBackgroundColorKey(QStringLiteral("windowColor"));
  rows->setSelectedBackgroundColorKey(QStringLiteral("sidebarTableSelectedBackgroundColor"));
  rows->setSeparatorColorKey(QStringLiteral("detailsTableSeparatorColor"));
  rows->applyTheme();
  outline_->setRowViewForRows(rows);
  outline_->setRowViewForGroupRows(std::make_shared<QVThemedGroupRow>());
  struct Group {
    const char* name;
    const char* emoji;
    std::vector<std::pair<const char*, bool>> modules;
  };
  const Group groups[] = {
      {"Network",
       "🌐",
       {{"Ping — 12 ms", false}, {"Download — 94.2 MB/s", true}, {"Public IP — 203.0.113.7", false}}},
      {"Weather", "🌦️", {{"Oslo — 4 °C, light rain", false}, {"Lisbon — 17 °C, clear", true}}},
      {"Build status", "🚀", {{"main — passing", false}, {"release — 3 failures", false}}}};
  for (const Group& g : groups) {
    auto* group = new QStandardItem(QString::fromUtf8(g.name));
    group->setData(QString::fromUtf8(g.emoji), ZKEmojiRole);
    group->setEditable(false);
    QFont bold = group->font();
    bold.setBold(true);
    group->setFont(bold);
    for (const auto& [title, busy] : g.modules) {
      auto* module = new QStandardItem(QString::fromUtf8(title));
      module->setEditable(false);
      module->setData(busy, ZKBusyRole);
      module->setData(QStringLiteral("Run"), ZKButtonTitleRole);
      group->appendRow(module);
    }
    outlineModel_.appendRow(group);
  }
  outline_->setModel(&outlineModel_);
  outline_->expandAll();
  outline_->selectionModel()->select(outlineModel_.index(1, 0, outlineModel_.index(0, 0)),
                                     QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  struct GroupQuestion : SBOutlineViewDelegate {
    bool outlineViewIsGroupItem(SBOutlineView*, const QModelIndex& item) override {
      return !item.parent().isValid();
    }
  };
  static GroupQuestion groupQuestion;
  outline_->setDelegate(&groupQuestion);
  // The module rows' context menu (group rows have none).
  auto* menu = new QMenu(outline_);
  menu->addAction(QStringLiteral("Run Now"));
  menu->addAction(QStringLiteral("Edit Module…"));
  menu->addAction(QStringLiteral("Remove"));
  outline_->setMenu(menu);
  outline_->setMinimumHeight(240);
  layout->addWidget(outline_, 3);

  // A themed table with a header and enough rows to scroll.
  layout->addWidget(heading(QStringLiteral("Module log")));
  table_ = new ZKThemableTableView;
  table_->setBackgroundColorKey(QStringLiteral("windowColor"));
  table_->setGridColorKey(QStringLiteral("detailsTableSeparatorColor"));
  table_->applyTheme();
  tableModel_.setHorizontalHeaderLabels({QStringLiteral("Time"), QStringLiteral("Message")});
  const char* messages[] = {"Run started", "Fetched 42 items", "Result: success", "Notification sent",
                            "Retrying in 0.1 s"};
  for (int r = 0; r < 40; ++r) {
    tableModel_.appendRow({new QStandardItem(QStringLiteral("12:%1:%2")
                                                 .arg(r / 6, 2, 10, QChar(u'0'))
                                                 .arg((r * 10) % 60, 2, 10, QChar(u'0'))),
                           new QStandardItem(QString::fromUtf8(messages[r % 5]))});
  }
  table_->setModel(&tableModel_);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(22);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setColumnWidth(0, 90);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->selectRow(2);
  layout->addWidget(table_, 2);

  return column;
}

void QVGalleryWindow::applyTheme() {
  BHThemableWindow::applyTheme();
  ZKThemeManager& theme = ZKThemeManager::sharedManager();
  const QColor window = theme.colorForKey(QStringLiteral("windowColor"));
  const QColor separator = theme.colorForKey(QStringLiteral("detailsTableSeparatorColor"));
  // The kit's plain tables take the window's colours through their style sheets.
  if (outline_)
    outline_->setStyleSheet(zk_itemViewStyleSheet(QStringLiteral("QTreeView"), window, separator));
  if (editorTable_)
    editorTable_->setStyleSheet(zk_itemViewStyleSheet(QStringLiteral("QTableView"), window, separator));
  if (outlineCells_) {
    const QColor spinner = theme.colorForKey(QStringLiteral("progressIndicatorColor"));
    outlineCells_->setIndicatorColor(spinner.isValid() ? spinner : QColor(Qt::black));
  }
  if (switchCells_)
    switchCells_->setDisabledBorderColor(theme.colorForKey(QStringLiteral("switchBorderColor")));
}

void QVGalleryWindow::freezeAnimations() {
  for (auto* spinner : spinners_) spinner->stopAnimation();
}
