#include "windows/QVFilesViewController.h"

#include <QtCore/QFileInfo>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableWidget>

#include "engine/QVModuleLog.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"
#include "ui_QVFilesViewController.h"

ZK_INTERFACE_FORM(QVFilesViewController, QWidget);

QVFilesViewController* QVFilesViewController::controllerWithModule(const QVDashboardModule::Pointer& module,
                                                                   QObject* parent) {
  auto* instance = new QVFilesViewController(parent);
  instance->module_ = module;
  instance->loadFromInterface();
  return instance;
}

QTableWidget* QVFilesViewController::tableView() const {
  auto* form = ui<Ui::QVFilesViewController>();
  return form ? form->tableView : nullptr;
}

void QVFilesViewController::zk_viewDidLoad() {
  ZKViewController::zk_viewDidLoad();
  memoryFormatter_ = ZKMemoryFormatter();
  if (auto* table = tableView()) {
    table->horizontalHeader()->setSectionResizeMode(pathTableColumn, QHeaderView::Stretch);
    table->horizontalHeader()->setSectionResizeMode(sizeTableColumn, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setSectionResizeMode(buttonTableColumn, QHeaderView::ResizeToContents);
  }
  connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive) reloadData();
  });
  reloadData();
}

void QVFilesViewController::zk_viewWillAppear() {
  ZKViewController::zk_viewWillAppear();
  if (zk_viewHasLoaded()) reloadData();
}

QString QVFilesViewController::labelForPath(const QString& path) {
  const QFileInfo info(path);
  if (info.suffix() == u"json") return QStringLiteral("Database");
  if (info.suffix() == u"log") return QStringLiteral("Logs");
  return info.fileName();
}

void QVFilesViewController::reloadData() {
  files_.clear();
  if (auto module = module_.lock()) {
    if (auto log = module->log()) {
      const QString logPath = platform::toQString(log->path().string());
      if (!logPath.isEmpty() && QFileInfo(logPath).isFile()) files_.append(logPath);
    }
    const QString database = platform::toQString(module->jsonDatabasePath());
    if (!database.isEmpty() && QFileInfo(database).isFile()) files_.append(database);
  }
  auto* table = tableView();
  if (!table) return;
  table->clearContents();
  table->setRowCount(static_cast<int>(files_.size()));
  for (int row = 0; row < files_.size(); ++row) {
    const QString& path = files_[row];
    auto* label = new QTableWidgetItem(labelForPath(path));
    label->setToolTip(path);
    label->setFlags(Qt::ItemIsEnabled);
    table->setItem(row, pathTableColumn, label);
    // A file that cannot be read counts 0 bytes.
    const QFileInfo info(path);
    const double bytes = info.isReadable() ? static_cast<double>(info.size()) : 0.0;
    auto* size = new QTableWidgetItem(memoryFormatter_.stringFromBytes(bytes));
    size->setFlags(Qt::ItemIsEnabled);
    size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    table->setItem(row, sizeTableColumn, size);
    auto* button = new QPushButton(QStringLiteral("Show in Files"));
    button->setAccessibleName(QStringLiteral("Show %1 in the file manager").arg(labelForPath(path)));
    button->setProperty("tag", row);
    connect(button, &QPushButton::clicked, this,
            [this, button] { showInFinder(button->property("tag").toInt()); });
    table->setCellWidget(row, buttonTableColumn, button);
  }
}

void QVFilesViewController::showInFinder(int row) {
  if (row < 0 || row >= files_.size()) return;
  platform::DesktopServices::shared().revealFile(files_[row]);
}
