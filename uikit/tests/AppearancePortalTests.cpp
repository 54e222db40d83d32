// Following the system appearance: a desktop portal of our own on a private bus daemon answers the
// colour scheme and flips it; every themable view re-applies. Without a portal the application
// palette decides.
#include <gtest/gtest.h>

#include <QtCore/QProcess>
#include <QtCore/QThread>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusContext>
#include <QtDBus/QDBusError>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusVariant>
#include <QtWidgets/QApplication>
#include <atomic>
#include <memory>

#include "ThemableViewCases.h"
#include "platform/desktop/testing/GuiTest.h"
#include "uikit/SBHelpers.h"
#include "uikit/ZKThemeManager.h"

// The settings interface of the desktop portal, answering the appearance's colour scheme. Lives on a
// thread of its own so that the test's blocking calls are answered.
class FakeAppearancePortal : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

 public:
  std::atomic<uint> scheme{2};
  std::atomic<bool> hasReadOne{true};
  std::atomic<int> reads{0};

 public Q_SLOTS:
  // Newer portals: the value itself.
  QDBusVariant ReadOne(const QString& settingNamespace, const QString& key) {
    if (!hasReadOne) {
      sendErrorReply(QDBusError::UnknownMethod, QStringLiteral("No such method"));
      return QDBusVariant(QVariant(0u));
    }
    return read(settingNamespace, key);
  }
  // Every portal: the value inside one more variant.
  QDBusVariant Read(const QString& settingNamespace, const QString& key) {
    return QDBusVariant(QVariant::fromValue(read(settingNamespace, key)));
  }

 private:
  QDBusVariant read(const QString& settingNamespace, const QString& key) {
    ++reads;
    if (settingNamespace != u"org.freedesktop.appearance" || key != u"color-scheme")
      sendErrorReply(QStringLiteral("org.freedesktop.portal.Error.NotFound"),
                     QStringLiteral("Requested setting not found"));
    return QDBusVariant(QVariant(uint(scheme)));
  }
};

namespace {

using namespace themable_cases;

class AppearancePortalTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
    // A private bus daemon, so that nothing of the desktop's own bus answers.
    // Its own configuration: no service folders, so that no installed portal is started on demand.
    const std::string socket = (root() / "bus").string();
    const std::filesystem::path config = writeFile("bus.conf", R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" + socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments({QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                          QStringLiteral("--config-file=") + QString::fromStdString(config.string())});
    daemon_.start();
    ASSERT_TRUE(daemon_.waitForStarted(5000));
    ASSERT_TRUE(runUntil([&] { return daemon_.canReadLine(); }, 10));
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    client_ =
        std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, QStringLiteral("client")));
    ASSERT_TRUE(client_->isConnected()) << address_.toStdString();
  }

  void TearDown() override {
    stopPortal();
    client_.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    daemon_.terminate();
    daemon_.waitForFinished(5000);
    QApplication::setPalette(QPalette());
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
    GuiTest::TearDown();
  }

  void startPortal(uint scheme) {
    portalThread_ = std::make_unique<QThread>();
    portal_ = new FakeAppearancePortal;
    portal_->scheme = scheme;
    portal_->moveToThread(portalThread_.get());
    QObject::connect(portalThread_.get(), &QThread::finished, portal_, &QObject::deleteLater);
    portalThread_->start();
    portalBus_ =
        std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, QStringLiteral("portal")));
    ASSERT_TRUE(portalBus_->registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), portal_,
                                           QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(portalBus_->registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
  }

  void stopPortal() {
    if (!portalBus_) return;
    portalBus_->unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
    portalBus_.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
    portalThread_->quit();
    portalThread_->wait();
    portalThread_.reset();
  }

  // The portal changes its colour scheme and tells.
  void flip(uint scheme) {
    portal_->scheme = scheme;
    QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                                     QStringLiteral("org.freedesktop.portal.Settings"),
                                                     QStringLiteral("SettingChanged"));
    signal << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
           << QVariant::fromValue(QDBusVariant(QVariant(scheme)));
    ASSERT_TRUE(portalBus_->send(signal));
  }

  QProcess daemon_;
  QString address_;
  std::unique_ptr<QDBusConnection> client_;
  std::unique_ptr<QDBusConnection> portalBus_;
  std::unique_ptr<QThread> portalThread_;
  FakeAppearancePortal* portal_ = nullptr;
};

QPalette darkPalette() {
  QPalette palette;
  palette.setColor(QPalette::Window, QColor(40, 40, 44));
  palette.setColor(QPalette::WindowText, Qt::white);
  return palette;
}

TEST_F(AppearancePortalTest, ThePortalDecidesAndThePaletteWhereNoneAnswers) {
  // No portal on the bus: the palette decides.
  EXPECT_FALSE(SBHelpers::portalColorScheme(*client_).has_value());
  EXPECT_FALSE(SBHelpers::isDarkMode(*client_));
  QApplication::setPalette(darkPalette());
  EXPECT_TRUE(SBHelpers::isDarkMode(*client_));
  QApplication::setPalette(QPalette());

  // Table of the portal's answers, through ReadOne and through the older Read.
  startPortal(2);
  const struct {
    uint scheme;
    bool readOne;
    bool darkPalette;
    bool dark;
  } cases[] = {
      {1, true, false, true},  {2, true, false, false}, {1, false, false, true}, {2, false, true, false},
      {0, true, false, false}, {0, true, true, true},   {0, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "scheme " << c.scheme << (c.readOne ? " ReadOne" : " Read")
                                    << (c.darkPalette ? " dark palette" : ""));
    portal_->scheme = c.scheme;
    portal_->hasReadOne = c.readOne;
    QApplication::setPalette(c.darkPalette ? darkPalette() : QPalette());
    EXPECT_EQ(SBHelpers::portalColorScheme(*client_), std::optional<uint>(c.scheme));
    EXPECT_EQ(SBHelpers::isDarkMode(*client_), c.dark);
  }
}

TEST_F(AppearancePortalTest, FlippingTheColourSchemeReappliesEveryThemableView) {
  startPortal(2);
  SBAppearanceMonitor monitor(*client_);
  EXPECT_EQ(monitor.colorScheme(), std::optional<uint>(2));
  EXPECT_FALSE(monitor.isDarkMode());
  // What the application does when it follows the system.
  int changes = 0;
  QObject::connect(&monitor, &SBAppearanceMonitor::appearanceDidChange, &monitor, [&](bool dark) {
    ++changes;
    ZKThemeManager::sharedManager().changeTheme(dark ? QStringLiteral("DDDarkTheme")
                                                     : QStringLiteral("DDLightTheme"));
  });

  const std::vector<ViewCase> cases = viewCases();
  std::vector<std::unique_ptr<QWidget>> views;
  for (const ViewCase& c : cases) views.emplace_back(c.make());
  auto allShow = [&](bool dark) {
    for (std::size_t i = 0; i < cases.size(); ++i)
      if (!near(cases[i].shown(views[i].get()), dark ? cases[i].dark : cases[i].light)) return false;
    return true;
  };
  ASSERT_TRUE(allShow(false));

  flip(1);
  ASSERT_TRUE(runUntil([&] { return changes == 1; }, 10));
  EXPECT_TRUE(monitor.isDarkMode());
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_TRUE(near(cases[i].shown(views[i].get()), cases[i].dark)) << cases[i].name;

  // Another setting, or the same scheme again, changes nothing.
  QDBusMessage other = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                                  QStringLiteral("org.freedesktop.portal.Settings"),
                                                  QStringLiteral("SettingChanged"));
  other << QStringLiteral("org.gnome.desktop.interface") << QStringLiteral("color-scheme")
        << QVariant::fromValue(QDBusVariant(QVariant(2u)));
  portalBus_->send(other);
  flip(1);
  flip(2);
  ASSERT_TRUE(runUntil([&] { return changes == 2; }, 10));
  EXPECT_TRUE(allShow(false));
  EXPECT_EQ(changes, 2);
}

TEST_F(AppearancePortalTest, WithoutAPortalThePaletteChangeIsFollowed) {
  SBAppearanceMonitor monitor(*client_);
  EXPECT_FALSE(monitor.colorScheme().has_value());
  std::vector<bool> told;
  QObject::connect(&monitor, &SBAppearanceMonitor::appearanceDidChange, &monitor,
                   [&](bool dark) { told.push_back(dark); });
  QApplication::setPalette(darkPalette());
  ASSERT_TRUE(runUntil([&] { return told.size() == 1; }, 5));
  EXPECT_TRUE(told[0]);
  QApplication::setPalette(QPalette());
  ASSERT_TRUE(runUntil([&] { return told.size() == 2; }, 5));
  EXPECT_FALSE(told[1]);
}

}  // namespace

#include "AppearancePortalTests.moc"
