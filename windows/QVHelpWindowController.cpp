#include "windows/QVHelpWindowController.h"

#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtWidgets/QApplication>
#include <QtWidgets/QFileDialog>

#include "engine/QVEngineEnvironment.h"
#include "platform/desktop/QtText.h"
#include "ui_QVHelpWindowController.h"
#include "uikit/QVWindowTheme.h"
#include "windows/QVHelpBrowser.h"

ZK_INTERFACE_FORM(QVHelpWindowController, QWidget);

QString QVHelpWindowController::guidePath() {
  const auto folder = QVEngineEnvironment::resourceBundle().resourcePath() / "Docs" / "README.html";
  return platform::toQString(folder.string());
}

QVHelpBrowser* QVHelpWindowController::webView() const {
  auto* form = ui<Ui::QVHelpWindowController>();
  return form ? form->webView : nullptr;
}

void QVHelpWindowController::zk_viewDidLoad() {
  ZKWindowController::zk_viewDidLoad();
  auto* form = ui<Ui::QVHelpWindowController>();
  if (!form) return;
  QVWindowTheme::follow(window());
  connect(form->closeButton, &QPushButton::clicked, this, &QVHelpWindowController::close);
  const QString guide = guidePath();
  form->webView->setPackageFolder(QFileInfo(guide).absolutePath());
  form->webView->zipLinkHandler = [this](const QString& path) { download(path); };
  form->webView->showDocument(guide);
}

void QVHelpWindowController::close() {
  closeSheet();
  if (completionHandler) completionHandler();
}

bool QVHelpWindowController::download(const QString& path) {
  const QString suggested = QFileInfo(path).fileName();
  QString destination;
  if (chooseDestination) {
    destination = chooseDestination(suggested);
  } else {
    QFileDialog dialog(window(), QString(), suggested);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Choose"));
    dialog.setOption(QFileDialog::ShowDirsOnly, false);
    dialog.selectFile(suggested);
    const QString extension = QFileInfo(suggested).suffix();
    if (!extension.isEmpty()) dialog.setNameFilter(QStringLiteral("*.%1").arg(extension));
    // No folders are made from the panel; the file goes into one that exists.
    dialog.setOption(QFileDialog::ReadOnly, true);
    if (window()) window()->activateWindow();
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
      destination = dialog.selectedFiles().constFirst();
  }
  if (destination.isEmpty() || QFileInfo::exists(destination)) return false;
  return QFile::copy(path, destination);
}
