#include "uikit/ZKAlert.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <cmath>
#include <mutex>

namespace {
std::mutex gPresenterMutex;
std::shared_ptr<ZKAlertPresenter> gPresenter;

QMessageBox::Icon iconFor(ZKAlert::Style style) {
  switch (style) {
    case ZKAlert::Style::Critical:
      return QMessageBox::Critical;
    case ZKAlert::Style::Informational:
      return QMessageBox::Information;
    case ZKAlert::Style::Warning:
      break;
  }
  return QMessageBox::Warning;
}
}  // namespace

ZKAlertPresenter& ZKAlertPresenter::shared() {
  std::lock_guard lock(gPresenterMutex);
  if (!gPresenter) gPresenter = std::make_shared<ZKMessageBoxPresenter>();
  return *gPresenter;
}

void ZKAlertPresenter::setShared(std::shared_ptr<ZKAlertPresenter> presenter) {
  std::lock_guard lock(gPresenterMutex);
  gPresenter = std::move(presenter);
}

void ZKMessageBoxPresenter::beginSheet(const std::shared_ptr<ZKAlert>& alert, QWidget* window,
                                       Completion completion) {
  auto* box = new QMessageBox(window);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
  box->setIcon(iconFor(alert->alertStyle));
  box->setText(alert->messageText);
  box->setInformativeText(alert->informativeText);
  box->setWindowTitle(alert->messageText);
  const QStringList titles = alert->effectiveButtonTitles();
  QList<QAbstractButton*> buttons;
  for (int i = 0; i < titles.size(); ++i) {
    // The first button is the default; roles only order the buttons, so all take one role and keep
    // the alert's order.
    auto* button = box->addButton(titles.at(i), QMessageBox::ActionRole);
    buttons.push_back(button);
    if (i == 0) box->setDefaultButton(button);
    if (titles.at(i) == QStringLiteral("Cancel")) box->setEscapeButton(button);
  }
  if (alert->showsSuppressionButton) {
    auto* check = new QCheckBox(alert->suppressionButtonTitle, box);
    check->setChecked(alert->suppressionButtonState);
    box->setCheckBox(check);
  }
  QObject::connect(box, &QMessageBox::finished, box, [box, alert, buttons, completion] {
    QAbstractButton* clicked = box->clickedButton();
    qsizetype index = clicked ? buttons.indexOf(clicked) : -1;
    if (index < 0) {
      index = box->escapeButton() ? buttons.indexOf(box->escapeButton()) : buttons.size() - 1;
    }
    if (box->checkBox()) alert->suppressionButtonState = box->checkBox()->isChecked();
    if (completion) completion(ZKAlertFirstButtonReturn + index);
  });
  box->open();
}

void zk_beginSheetModalForWindow(const std::shared_ptr<ZKAlert>& alert, QWidget* window, double delay,
                                 ZKAlertPresenter::Completion completion) {
  QPointer<QWidget> guarded(window);
  const bool hadWindow = window != nullptr;
  const int milliseconds = delay > 0 ? static_cast<int>(std::lround(delay * 1000)) : 0;
  QTimer::singleShot(milliseconds, QCoreApplication::instance(), [alert, guarded, hadWindow, completion] {
    // A window that closed meanwhile leaves the alert modal to the application: it still asks.
    QWidget* target = hadWindow ? guarded.data() : nullptr;
    ZKAlertPresenter::shared().beginSheet(alert, target, completion);
  });
}

void zk_beginSheetModalForWindow(const std::shared_ptr<ZKAlert>& alert, QWidget* window,
                                 ZKAlertPresenter::Completion completion) {
  zk_beginSheetModalForWindow(alert, window, 0, std::move(completion));
}
