#include "app/WIAboutModule.h"

#include <QtCore/QDate>
#include <QtCore/QFileInfo>
#include <QtCore/QUrl>
#include <QtGui/QIcon>

#include "platform/Bundle.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"
#include "ui_WIAboutModule.h"
#include "ui_WIIntroModule.h"

ZK_INTERFACE_FORM(WIAboutModule, QWidget);
ZK_INTERFACE_FORM(WIIntroModule, QWidget);

WIAboutModule::WIAboutModule(QObject* parent) : ZKModuleViewController(parent) {
  setModuleTitle(QStringLiteral("About"));
  setModuleImage(QIcon::fromTheme(QStringLiteral("help-about")));
}

WIAboutModule::~WIAboutModule() = default;

WIIntroModule::WIIntroModule(QObject* parent) : ZKModuleViewController(parent) {
  setModuleTitle(QStringLiteral("Welcome"));
}

Ui::WIAboutModule* WIAboutModule::form() const { return ui<Ui::WIAboutModule>(); }

QString WIAboutModule::bundleName() { return QStringLiteral("Quorvane Dashboard"); }

QString WIAboutModule::creditsPath() {
  const auto path = platform::Bundle::main().pathForResource("Credits", "rtf", "Docs");
  return path ? platform::toQString(path->string()) : QString();
}

int WIAboutModule::year() { return QDate::currentDate().year(); }

QString WIAboutModule::textWithCurrentYear(const QString& text, int year) {
  QString result = text;
  return result.replace(QStringLiteral("CURRENT_YEAR"), QString::number(year));
}

void WIAboutModule::awakeFromNib() {
  ZKModuleViewController::awakeFromNib();
  auto* f = form();
  if (!f) return;
  f->iconLabel->setPixmap(QIcon::fromTheme(QStringLiteral("utilities-system-monitor")).pixmap(64, 64));
  connect(f->creditsButton, &QPushButton::clicked, this, &WIAboutModule::openCredits);
  connect(f->faqButton, &QPushButton::clicked, this, &WIAboutModule::faqButtonPressed);
  connect(f->fanButton, &QPushButton::clicked, this, &WIAboutModule::fanButtonPressed);
  connect(f->twitterButton, &QPushButton::clicked, this, &WIAboutModule::twitterButtonPressed);
  connect(f->zorvikButton, &QPushButton::clicked, this, &WIAboutModule::zorvikButtonPressed);
  setAppNameAndVersion();
  setCopyright();
}

void WIAboutModule::setAppNameAndVersion() {
  auto* f = form();
  f->appNameLabel->setText(bundleName());
  f->appVersionLabel->setText(
      QStringLiteral("Version %1").arg(platform::toQString(platform::Bundle::shortVersionString())));
}

void WIAboutModule::setCopyright() {
  auto* f = form();
  f->copyrightLabel->setText(textWithCurrentYear(f->copyrightLabel->text(), year()));
}

void WIAboutModule::openCredits() {
  const QString path = creditsPath();
  if (path.isEmpty()) return;
  platform::DesktopServices::shared().openURL(QUrl::fromLocalFile(path));
}

void WIAboutModule::openURL(const QString& address) {
  const QUrl url(address);
  if (url.isValid()) platform::DesktopServices::shared().openURL(url);
}
