// Revealing a file: the file manager asked over a private session bus, and the fallback that opens
// the file's folder when no file manager answers there.
#include <gtest/gtest.h>

#include <QtCore/QProcess>
#include <QtCore/QUrl>
#include <QtDBus/QDBusConnection>
#include <QtGui/QDesktopServices>
#include <cstdlib>

#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/testing/GuiTest.h"

namespace {

// Stands in for a file manager on the bus.
class FakeFileManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

 public:
  QStringList shown;

 public Q_SLOTS:
  void ShowItems(const QStringList& uris, const QString& startupId) {
    (void)startupId;
    shown << uris;
  }
};

// Takes the URLs that would have gone to the desktop's handler.
class UrlRecorder : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> opened;

 public Q_SLOTS:
  void open(const QUrl& url) { opened << url; }
};

class DesktopServicesTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
  }
  void TearDown() override {
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    if (bus.state() != QProcess::NotRunning) {
      bus.kill();
      bus.waitForFinished();
    }
    GuiTest::TearDown();
  }

  // Starts a bus of its own for this process; false when the machine has no dbus-daemon.
  bool startBus() {
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!bus.waitForStarted(5000)) return false;
    if (!runUntil([&] { return bus.canReadLine(); }, 10)) return false;
    const QByteArray address = bus.readLine().trimmed();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.constData(), 1);
    return true;
  }

  QProcess bus;
  UrlRecorder recorder;
};

TEST_F(DesktopServicesTest, AFileManagerOnTheBusShowsTheFileElseItsFolderOpens) {
  if (!startBus()) GTEST_SKIP() << "no dbus-daemon";
  const QString path = QStringLiteral("/tmp/some folder/notes.log");
  // No file manager on the bus yet: the folder opens.
  platform::DesktopServices::shared().revealFile(path);
  ASSERT_TRUE(runUntil([&] { return !recorder.opened.isEmpty(); }));
  EXPECT_EQ(recorder.opened[0], QUrl::fromLocalFile(QStringLiteral("/tmp/some folder")));

  FakeFileManager fileManager;
  QDBusConnection connection = QDBusConnection::connectToBus(
      QString::fromUtf8(qgetenv("DBUS_SESSION_BUS_ADDRESS")), QStringLiteral("files"));
  ASSERT_TRUE(connection.isConnected());
  ASSERT_TRUE(connection.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &fileManager,
                                        QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(connection.registerService(QStringLiteral("org.freedesktop.FileManager1")));
  platform::DesktopServices::shared().revealFile(path);
  ASSERT_TRUE(runUntil([&] { return !fileManager.shown.isEmpty(); }));
  EXPECT_EQ(fileManager.shown, QStringList{QUrl::fromLocalFile(path).toString()});
  runFor(0.1);
  EXPECT_EQ(recorder.opened.size(), 1) << "the file manager answered: no folder opened";
  QDBusConnection::disconnectFromBus(QStringLiteral("files"));
}

}  // namespace

#include "DesktopServicesTests.moc"
