#include "app/QVServerPreferencesController.h"

#include <QtCore/QUrl>

#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"
#include "shell/QVUserDefaults.h"
#include "ui_QVServerPreferencesController.h"
#include "uikit/ZKAlert.h"

ZK_INTERFACE_FORM(QVServerPreferencesController, QWidget);

QVServerPreferencesController::QVServerPreferencesController(QObject* parent)
    : ZKModuleViewController(parent) {
  setModuleTitle(QStringLiteral("Web Sharing"));
  setModuleImage(QIcon::fromTheme(QStringLiteral("network-server")));
}

QVServerPreferencesController::~QVServerPreferencesController() = default;

Ui::QVServerPreferencesController* QVServerPreferencesController::form() const {
  return ui<Ui::QVServerPreferencesController>();
}

QVServerHelper::Pointer QVServerPreferencesController::serverHelper() const {
  return serverHelper_ ? serverHelper_ : QVServerHelper::sharedInstance();
}

std::optional<std::int64_t> QVServerPreferencesController::portFromText(const QString& text) {
  bool ok = false;
  const QString trimmed = text.trimmed();
  // Digits only: no sign, no exponent, no grouping.
  for (const QChar c : trimmed)
    if (!c.isDigit() || c.unicode() > '9') return std::nullopt;
  const qlonglong value = trimmed.toLongLong(&ok);
  if (!ok || value < 1 || value > 65535) return std::nullopt;
  return value;
}

void QVServerPreferencesController::awakeFromNib() {
  ZKModuleViewController::awakeFromNib();
  auto* f = form();
  if (!f) return;
  f->disabledView->hide();
  f->enableView->hide();
  f->failureLabel->hide();
  connect(f->enableButton, &QPushButton::clicked, this, &QVServerPreferencesController::enable);
  connect(f->serverPortTextField, &QLineEdit::returnPressed, this, &QVServerPreferencesController::enable);
  connect(f->disableButton, &QPushButton::clicked, this, &QVServerPreferencesController::disable);
  connect(f->openButton, &QPushButton::clicked, this, &QVServerPreferencesController::openWebsite);
  connect(f->hostTextField, &QLabel::linkActivated, this, &QVServerPreferencesController::openWebsite);
  connect(f->helpButton, &QPushButton::clicked, this, &QVServerPreferencesController::openHelp);
  updateUI();
}

void QVServerPreferencesController::zk_viewWillAppear() {
  ZKModuleViewController::zk_viewWillAppear();
  updateUI();
}

void QVServerPreferencesController::updateUI() {
  auto* f = form();
  if (!f) return;
  auto defaults = QVUserDefaults::standardUserDefaults();
  auto helper = serverHelper();
  if (defaults->serverEnabled() && helper->enabled()) {
    const QString url = platform::toQString(helper->serverURL().value_or(std::string()));
    f->hostTextField->setText(
        url.isEmpty() ? QString() : QStringLiteral("<a href=\"%1\">%1</a>").arg(url.toHtmlEscaped()));
    setCurrentView(f->enableView);
  } else {
    f->serverPortTextField->setText(QString::number(defaults->serverPort()));
    showStartFailure();
    setCurrentView(f->disabledView);
  }
}

namespace {

// The reason as a sentence of its own: capitalised, with a full stop.
QString sentence(const std::string& reason) {
  QString text = platform::toQString(reason);
  if (!text.isEmpty()) text[0] = text[0].toUpper();
  return text + QLatin1Char('.');
}

}  // namespace

std::shared_ptr<ZKAlert> QVServerPreferencesController::startFailureAlert(
    const std::optional<std::string>& reason) {
  auto alert = ZKAlert::alert();
  alert->messageText = QStringLiteral("Could not start server");
  alert->informativeText = QStringLiteral("Please make sure the selected port is available and try again");
  if (reason) alert->informativeText += QStringLiteral("\n\n") + sentence(*reason);
  return alert;
}

void QVServerPreferencesController::showStartFailure() {
  auto* f = form();
  if (!f) return;
  const auto reason = serverHelper()->startFailureReason();
  f->failureLabel->setText(reason ? QStringLiteral("Sharing could not start. %1").arg(sentence(*reason))
                                  : QString());
  f->failureLabel->setVisible(reason.has_value());
}

void QVServerPreferencesController::setCurrentView(QWidget* view) {
  if (currentView_ && currentView_ != view) currentView_->hide();
  currentView_ = view;
  if (view) view->show();
}

void QVServerPreferencesController::enable() {
  auto* f = form();
  const auto port = portFromText(f->serverPortTextField->text());
  if (!port) {
    // Only a port a server can listen on is stored; anything else leaves the settings alone.
    auto alert = ZKAlert::alert();
    alert->messageText = QStringLiteral("Invalid port");
    alert->informativeText = QStringLiteral("Please enter a port number from 1 to 65535.");
    zk_beginSheetModalForWindow(alert, parentWindow(), nullptr);
    return;
  }
  auto defaults = QVUserDefaults::standardUserDefaults();
  defaults->setServerPort(*port);
  auto helper = serverHelper();
  helper->start();
  if (!helper->enabled()) {
    // Sharing stays off and the pane as it was, but for the reason under the port field.
    showStartFailure();
    zk_beginSheetModalForWindow(startFailureAlert(helper->startFailureReason()), parentWindow(), nullptr);
    return;
  }
  defaults->setServerEnabled(true);
  updateUI();
}

void QVServerPreferencesController::disable() {
  QVUserDefaults::standardUserDefaults()->setServerEnabled(false);
  serverHelper()->stop();
  updateUI();
}

void QVServerPreferencesController::openWebsite() {
  const auto url = serverHelper()->serverURL();
  if (!url) return;
  platform::DesktopServices::shared().openURL(QUrl(platform::toQString(*url)));
}

void QVServerPreferencesController::openHelp() {
  platform::DesktopServices::shared().openURL(QUrl(QString::fromLatin1(kHelpURL)));
}
