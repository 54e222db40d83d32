#include "windows/QVModulePackageDialog.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QSortFilterProxyModel>
#include <QtGui/QFileSystemModel>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCompleter>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QStyle>

#include "engine/NSString+QVPathConversions.h"

namespace {

const QString& packageSuffix() {
  static const QString suffix = QString::fromLatin1(kQVModulePackageExtension);
  return suffix;
}

bool hasPackageName(const QString& name) {
  return name.size() > packageSuffix().size() + 1 && name.endsWith(QLatin1Char('.') + packageSuffix());
}

// The dialog's view of the file system: folders (plain ones to go through, packages to choose) and
// nothing else; packages look like the single items they are. Sorting stays the file system model's
// own (folders by name, as the user knows them).
class QVModulePackageProxyModel : public QSortFilterProxyModel {
 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;

  QVariant data(const QModelIndex& index, int role) const override {
    if (index.isValid() && isPackage(index)) {
      if (role == Qt::DecorationRole && index.column() == 0)
        return QApplication::style()->standardIcon(QStyle::SP_FileIcon);
      // The type column.
      if (role == Qt::DisplayRole && index.column() == 2) return QStringLiteral("Module");
    }
    return QSortFilterProxyModel::data(index, role);
  }

  void sort(int column, Qt::SortOrder order) override {
    if (sourceModel()) sourceModel()->sort(column, order);
  }

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override {
    auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
    return !files || files->isDir(files->index(sourceRow, 0, sourceParent));
  }

 private:
  bool isPackage(const QModelIndex& index) const {
    const QModelIndex source = mapToSource(index).siblingAtColumn(0);
    auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
    return files && files->isDir(source) && hasPackageName(files->fileName(source));
  }
};

}  // namespace

QVModulePackageDialog::QVModulePackageDialog(QWidget* parent)
    : QFileDialog(parent, QStringLiteral("Select the module you want to install"), QDir::homePath()) {
  setOption(QFileDialog::DontUseNativeDialog, true);
  // A package is a folder to Qt: folders are what can be picked, several at once.
  setFileMode(QFileDialog::Directory);
  setNameFilter(QStringLiteral("Quorvane Dashboard Modules (*.%1)").arg(packageSuffix()));
  setLabelText(QFileDialog::FileName, QStringLiteral("Module:"));
  setLabelText(QFileDialog::Accept, QStringLiteral("Install"));
  setProxyModel(new QVModulePackageProxyModel(this));
  // The list and the detail view open items through `openItem`: a package is chosen there rather
  // than gone into.
  for (const char* name : {"listView", "treeView"}) {
    auto* view = findChild<QAbstractItemView*>(QString::fromLatin1(name));
    if (!view) continue;
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    disconnect(view, &QAbstractItemView::activated, this, nullptr);
    connect(view, &QAbstractItemView::activated, this, &QVModulePackageDialog::openItem);
  }
}

bool QVModulePackageDialog::isModulePackage(const QString& path) {
  const QFileInfo info(path);
  return info.isDir() && hasPackageName(info.fileName());
}

void QVModulePackageDialog::accept() {
  QStringList packages;
  for (const QString& item : selectedFiles()) {
    const QFileInfo info(item);
    if (isModulePackage(item)) {
      packages << info.absoluteFilePath();
    } else if (info.isDir()) {
      goInto(info.absoluteFilePath());
      return;
    } else {
      QApplication::beep();
      return;
    }
  }
  if (packages.isEmpty()) return;
  chosen_ = packages;
  QDialog::accept();
}

void QVModulePackageDialog::openItem(const QModelIndex& index) {
  const QString path = index.data(QFileSystemModel::FilePathRole).toString();
  if (isModulePackage(path)) {
    accept();
  } else if (QFileInfo(path).isDir()) {
    goInto(path);
  }
}

void QVModulePackageDialog::goInto(const QString& folder) {
  setDirectory(folder);
  auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  if (!field) return;
  field->clear();
  // What was typed led here; its completions are done with.
  if (QCompleter* completer = field->completer()) completer->popup()->hide();
}
