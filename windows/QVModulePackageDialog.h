#pragma once

#include <QtCore/QStringList>
#include <QtWidgets/QFileDialog>

class QModelIndex;

// The chooser of module packages to install. A package ("<name>.quorvanemodule") is a folder, so a
// plain file dialog would treat it as a place to go into and let any folder be chosen. Here plain
// folders are only for finding one's way, packages are shown and taken as single items (with a file's
// icon), and plain files are not listed at all: opening a package (double click, Return or
// "Install") chooses it, opening a plain folder goes into it, and nothing else can be chosen. Several
// packages may be chosen at once. It is always Qt's own dialog, since a desktop's native one cannot
// be told what a package is.
class QVModulePackageDialog : public QFileDialog {
  Q_OBJECT

 public:
  explicit QVModulePackageDialog(QWidget* parent = nullptr);

  // Whether the path names a module package: a folder with the package extension.
  static bool isModulePackage(const QString& path);

  // The packages chosen when the dialog was accepted (absolute paths).
  const QStringList& chosenPackages() const { return chosen_; }

  // Takes the selected or typed items: packages are chosen; a plain folder among them is gone into
  // instead; a plain file or a missing item refuses the choice with a beep.
  void accept() override;

 private:
  void openItem(const QModelIndex& index);
  void goInto(const QString& folder);

  QStringList chosen_;
};
