#include "shell/ZKUpdateChecker.h"

#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

#include "platform/Bundle.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"
#include "shell/QVUpdateConfiguration.h"
#include "shell/QVUserDefaults.h"
#include "shell/ZKStoreHelper.h"

namespace {

constexpr int kAutomaticCheckMilliseconds = 24 * 60 * 60 * 1000;

}  // namespace

ZKUpdateChecker& ZKUpdateChecker::sharedChecker() {
  static ZKUpdateChecker* helper = new ZKUpdateChecker(qApp);
  return *helper;
}

ZKUpdateChecker::ZKUpdateChecker(QObject* parent)
    : QObject(parent), queue_(platform::DispatchQueue::serial("com.quorvane.dashboard.updates")) {
  static const int registered = qRegisterMetaType<QVUpdateCheckResult>();
  (void)registered;
  automaticChecks_.setInterval(kAutomaticCheckMilliseconds);
  connect(&automaticChecks_, &QTimer::timeout, this, [this] { startCheck(false); });
}

ZKUpdateChecker::~ZKUpdateChecker() {
  if (resultWindow_) delete resultWindow_.data();
}

void ZKUpdateChecker::configureUpdaterWithURL(const std::string& address) {
  QVUserDefaults::standardUserDefaults()->userDefaults().registerDefaults(
      {{kZKUpdateFeedURLKey, platform::PropertyList(address)}});
  configured_ = true;
  if (!address.empty()) automaticChecks_.start();
}

std::string ZKUpdateChecker::feedURL() const {
  const auto value = QVUserDefaults::standardUserDefaults()->userDefaults().stringForKey(kZKUpdateFeedURLKey);
  return value.value_or(std::string());
}

void ZKUpdateChecker::checkForUpdates() { startCheck(true); }

void ZKUpdateChecker::startCheck(bool userInitiated) {
  const std::string url = feedURL();
  if (url.empty() || checking_) return;
  checking_ = true;
  QPointer<ZKUpdateChecker> self(this);
  const std::string version = platform::Bundle::shortVersionString();
  queue_->async([self, url, version, userInitiated] {
    QVUpdateCheckResult result = QVUpdateFeed::check(url, version);
    QMetaObject::invokeMethod(qApp, [self, result, userInitiated] {
      if (!self) return;
      self->checking_ = false;
      self->showResult(result, userInitiated);
      Q_EMIT self->checkDidFinish(result);
    });
  });
}

void ZKUpdateChecker::showResult(const QVUpdateCheckResult& result, bool userInitiated) {
  // A quiet check says something only when there is something new.
  if (!userInitiated && result.status != QVUpdateCheckResult::Status::UpdateAvailable) return;
  if (resultWindow_) resultWindow_->close();
  auto* window = new QDialog();
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowTitle(QStringLiteral("Software Update"));
  window->setMinimumWidth(420);
  auto* layout = new QVBoxLayout(window);
  auto* title = new QLabel(window);
  QFont bold = title->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.15);
  title->setFont(bold);
  auto* message = new QLabel(window);
  message->setWordWrap(true);
  message->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* buttons = new QDialogButtonBox(window);
  const QString current = platform::toQString(platform::Bundle::shortVersionString());
  switch (result.status) {
    case QVUpdateCheckResult::Status::UpdateAvailable: {
      const QString offered = platform::toQString(result.item->version);
      title->setText(QStringLiteral("A new version of Quorvane Dashboard is available!"));
      QString text = QStringLiteral(
                         "Quorvane Dashboard %1 is available; you have %2. Updates are installed with "
                         "your system's package manager: the download page tells how.")
                         .arg(offered, current);
      if (!result.item->notes.empty())
        text += QStringLiteral("\n\n") + platform::toQString(result.item->notes);
      message->setText(text);
      QString page = platform::toQString(result.item->downloadURL);
      const QUrl pageURL(page, QUrl::TolerantMode);
      // Only a web page is opened from the feed's word.
      if (!pageURL.isValid() ||
          (pageURL.scheme() != QLatin1String("https") && pageURL.scheme() != QLatin1String("http")))
        page = QString::fromLatin1(QVUpdateDownloadPage);
      auto* open = buttons->addButton(QStringLiteral("Open Download Page"), QDialogButtonBox::AcceptRole);
      open->setDefault(true);
      connect(open, &QPushButton::clicked, window, [window, page] {
        platform::DesktopServices::shared().openURL(QUrl(page, QUrl::TolerantMode));
        window->close();
      });
      buttons->addButton(QStringLiteral("Later"), QDialogButtonBox::RejectRole);
      break;
    }
    case QVUpdateCheckResult::Status::UpToDate:
      title->setText(QStringLiteral("You're up to date!"));
      message->setText(
          QStringLiteral("Quorvane Dashboard %1 is currently the newest version available.").arg(current));
      buttons->addButton(QDialogButtonBox::Ok);
      break;
    case QVUpdateCheckResult::Status::Failed:
      title->setText(QStringLiteral("Update Error!"));
      message->setText(
          QStringLiteral("An error occurred in retrieving update information. Please try again later.\n\n") +
          platform::toQString(result.error));
      buttons->addButton(QDialogButtonBox::Ok);
      break;
  }
  connect(buttons, &QDialogButtonBox::rejected, window, &QWidget::close);
  connect(buttons, &QDialogButtonBox::accepted, window, &QWidget::close);
  layout->addWidget(title);
  layout->addWidget(message);
  layout->addWidget(buttons);
  resultWindow_ = window;
  window->show();
  window->raise();
  window->activateWindow();
}

void ZKUpdateChecker::sendFeedback() {
  platform::DesktopServices::shared().openURL(QUrl(QString::fromLatin1(QVFeedbackPage)));
}

void ZKUpdateChecker::updaterWillRelaunchApplication() {
  platform::NotificationCenter::defaultCenter().postNotificationName(ZKUpdaterWillInstallUpdateNotification);
}
