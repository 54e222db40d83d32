#include "platform/desktop/testing/GuiTest.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QProcess>
#include <QtCore/QTimer>
#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>
#include <cstdlib>
#include <stdexcept>

#include "platform/MainQueue.h"
#include "platform/desktop/QtMainQueue.h"

namespace qvtesting {

bool qtRunUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
  if (predicate()) return true;
  QEventLoop loop;
  QTimer poll;
  poll.setInterval(2);
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (predicate()) loop.quit();
  });
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  poll.start();
  deadline.start(static_cast<int>(timeoutSeconds * 1000));
  loop.exec();
  return predicate();
}

void qtRunFor(double seconds) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

std::filesystem::path artefactFolder(const std::string& suite) {
  const char* configured = std::getenv("QV_TEST_ARTEFACTS");
  std::filesystem::path root = configured && *configured ? configured : QV_TEST_ARTEFACTS_DEFAULT;
  auto folder = root / suite;
  std::filesystem::create_directories(folder);
  return folder;
}

std::filesystem::path saveImage(const QImage& image, const std::string& suite, const std::string& name) {
  auto path = artefactFolder(suite) / (name + ".png");
  if (!image.save(QString::fromStdString(path.string()), "PNG")) {
    throw std::runtime_error("could not write " + path.string());
  }
  return path;
}

std::filesystem::path saveGrab(QWidget* widget, const std::string& suite, const std::string& name) {
  return saveImage(widget->grab().toImage(), suite, name);
}

bool qtRunTool(const QString& program, const QStringList& arguments, double timeoutSeconds) {
  QProcess process;
  process.start(program, arguments);
  if (!process.waitForStarted(5000)) return false;
  qtRunUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutSeconds);
  return process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit &&
         process.exitCode() == 0;
}

void saveScreenshot(const std::string& suite, const std::string& name) {
  const auto path = artefactFolder(suite) / (name + ".png");
  qtRunTool(QStringLiteral("import"),
            {QStringLiteral("-window"), QStringLiteral("root"), QString::fromStdString(path.string())});
}

void GuiTest::SetUp() {
  SandboxTest::SetUp();
  qtQueue_ = platform::QtMainQueue::install();
}

void GuiTest::TearDown() {
  // Let deferred deletions and queued work see a live main queue before it goes.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
  qtQueue_.reset();
  SandboxTest::TearDown();
}

}  // namespace qvtesting
