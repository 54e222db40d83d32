#include "app/tests/program/ProgramTest.h"

#include <signal.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QRegularExpression>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusVariant>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QSystemTrayIcon>
#include <QtWidgets/QWidget>
#include <fstream>
#include <functional>
#include <sstream>

#include "engine/QVDashboardModule.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/desktop/testing/GuiTest.h"
#include "testing/TreePaths.h"
#include "uikit/ZKApplicationFont.h"

namespace qvprogram {

namespace fs = std::filesystem;

namespace {

QString run(const QString& program, const QStringList& arguments, double timeoutSeconds = 10.0) {
  QProcess process;
  process.start(program, arguments);
  process.waitForFinished(static_cast<int>(timeoutSeconds * 1000));
  return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

std::string readWhole(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

void ProgramTest::SetUp() {
  if (QGuiApplication::platformName() != QStringLiteral("xcb") || qEnvironmentVariableIsEmpty("DISPLAY")) {
    GTEST_SKIP() << "needs a real X desktop: run under scripts/xvfb-run-desktop";
  }
  GuiTest::SetUp();
  // The windows the tests lay out here to measure them draw in the program's font.
  zk_useThemeTextFontForApplication();
  // The sandbox gives the program a fresh home of its own.
  qputenv("HOME", QByteArray::fromStdString(root().string()));
  ASSERT_TRUE(runUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10)) << "no system tray";
}

void ProgramTest::TearDown() {
  for (auto* process : {&program_, &busMonitor_}) {
    if (process->state() != QProcess::NotRunning) {
      process->kill();
      process->waitForFinished(5000);
    }
  }
  if (HasFailure() && fs::exists(logFile())) {
    std::cerr << "---- the program's output ----\n" << programOutput() << "---- end ----\n";
  }
  GuiTest::TearDown();
}

void ProgramTest::launch(const QStringList& arguments) {
  ASSERT_FALSE(running()) << "the program already runs";
  program_.setProcessChannelMode(QProcess::MergedChannels);
  program_.setStandardOutputFile(QString::fromStdString(logFile().string()), QIODevice::Append);
  program_.start(QString::fromUtf8(QV_APPLICATION_EXECUTABLE), arguments);
  ASSERT_TRUE(program_.waitForStarted(5000)) << "the program did not start";
}

void ProgramTest::launchAndWaitForDashboard() {
  launch();
  ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 20)) << "the dashboard did not appear";
  ASSERT_TRUE(runUntil([&] { return someModuleSucceeded(); }, 20)) << "no module's result came";
}

std::optional<int> ProgramTest::waitForExit(double timeoutSeconds) {
  if (!runUntil([&] { return !running(); }, timeoutSeconds)) return std::nullopt;
  if (program_.exitStatus() != QProcess::NormalExit) return 128 + SIGKILL;
  return program_.exitCode();
}

std::string ProgramTest::programOutput() const { return readWhole(logFile()); }

std::optional<int> ProgramTest::runSecondStart(const QStringList& arguments, double timeoutSeconds) {
  QProcess second;
  second.setProcessChannelMode(QProcess::MergedChannels);
  second.setStandardOutputFile(QString::fromStdString(logFile().string()), QIODevice::Append);
  second.start(QString::fromUtf8(QV_APPLICATION_EXECUTABLE), arguments);
  if (!second.waitForStarted(5000)) return std::nullopt;
  if (!runUntil([&] { return second.state() == QProcess::NotRunning; }, timeoutSeconds)) {
    second.kill();
    second.waitForFinished(5000);
    return std::nullopt;
  }
  return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : 128 + SIGKILL;
}

fs::path ProgramTest::supportFolder() const { return root() / "data" / "com.quorvane.dashboard"; }

std::optional<nlohmann::json> ProgramTest::output() const {
  std::ifstream file(supportFolder() / "output.json");
  if (!file) return std::nullopt;
  auto json = nlohmann::json::parse(file, nullptr, false);
  if (json.is_discarded()) return std::nullopt;
  return json;
}

bool ProgramTest::someModuleSucceeded() const {
  auto json = output();
  if (!json || !json->is_array()) return false;
  for (const auto& group : *json) {
    for (const auto& module : group.value("modules", nlohmann::json::array())) {
      if (module.value("success", false) && module.contains("result")) return true;
    }
  }
  return false;
}

std::shared_ptr<platform::SettingsStore> ProgramTest::settingsFile() {
  return platform::SettingsStore::storeWithPath(platform::SettingsStore::standardPath());
}

QString ProgramTest::xdotool(const QStringList& arguments) {
  return run(QStringLiteral("xdotool"), arguments);
}

QStringList ProgramTest::windows(bool visibleOnly) const {
  if (!running()) return {};
  QStringList arguments{QStringLiteral("search")};
  if (visibleOnly) arguments << QStringLiteral("--onlyvisible");
  arguments << QStringLiteral("--pid") << QString::number(pid());
  return xdotool(arguments).split('\n', Qt::SkipEmptyParts);
}

QString ProgramTest::windowNamed(const QString& title) const {
  if (!running()) return {};
  return xdotool({QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--onlyvisible"),
                  QStringLiteral("--pid"), QString::number(pid()), QStringLiteral("--name"),
                  QStringLiteral("^%1$").arg(QRegularExpression::escape(title))})
      .split('\n', Qt::SkipEmptyParts)
      .value(0);
}

QString ProgramTest::waitForWindow(const QString& title, double timeoutSeconds) {
  QString id;
  if (!runUntil([&] { return !(id = windowNamed(title)).isEmpty(); }, timeoutSeconds)) return id;
  // A window may still be moved just after it shows (a sheet is placed again once its frame is
  // known): clicks aimed from its geometry wait until it holds still.
  QRect last = windowGeometry(id);
  runUntil(
      [&] {
        runFor(0.15);
        const QRect now = windowGeometry(id);
        const bool still = now == last;
        last = now;
        return still;
      },
      3);
  return id;
}

QString ProgramTest::dashboardWindow() const {
  // The dashboard's title is the application's name. Alerts carry it too, but they are transient for
  // one of the program's visible windows, while the dashboard is transient for Qt's hidden leader
  // window at most.
  if (!running()) return {};
  const auto visible = windows();
  const auto ids = xdotool({QStringLiteral("search"), QStringLiteral("--all"),
                            QStringLiteral("--onlyvisible"), QStringLiteral("--pid"), QString::number(pid()),
                            QStringLiteral("--name"), QStringLiteral("^Quorvane Dashboard$")})
                       .split('\n', Qt::SkipEmptyParts);
  for (const auto& id : ids) {
    static const QRegularExpression owner(QStringLiteral("0x[0-9a-fA-F]+"));
    const auto match = owner.match(property(id, QStringLiteral("WM_TRANSIENT_FOR")));
    if (!match.hasMatch() || !visible.contains(QString::number(match.captured(0).toULongLong(nullptr, 16))))
      return id;
  }
  return {};
}

QString ProgramTest::alertWindow(const QString& owner) const {
  const auto visible = windows();
  static const QRegularExpression transientFor(QStringLiteral("0x[0-9a-fA-F]+"));
  for (const auto& id : visible) {
    const auto match = transientFor.match(property(id, QStringLiteral("WM_TRANSIENT_FOR")));
    if (!match.hasMatch()) continue;
    const QString over = QString::number(match.captured(0).toULongLong(nullptr, 16));
    if (over != id && visible.contains(over) && (owner.isEmpty() || over == owner)) return id;
  }
  return {};
}

int ProgramTest::visibleWindowCount() const {
  int count = 0;
  for (const auto& id : windows()) {
    const auto size = windowGeometry(id).size();
    if (size.width() > 100 && size.height() > 60) ++count;
  }
  return count;
}

QRect ProgramTest::windowGeometry(const QString& id) const {
  const auto text = run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id});
  auto number = [&](const char* label) {
    const QRegularExpression expression(QStringLiteral("%1:\\s+(-?\\d+)").arg(QString::fromLatin1(label)));
    return expression.match(text).captured(1).toInt();
  };
  return QRect(number("Absolute upper-left X"), number("Absolute upper-left Y"), number("Width"),
               number("Height"));
}

QString ProgramTest::property(const QString& id, const QString& name) const {
  const auto text = run(QStringLiteral("xprop"), {QStringLiteral("-id"), id, name});
  if (text.contains(QStringLiteral("not found")) || text.contains(QStringLiteral("no such atom"))) return {};
  const auto at = text.indexOf(QRegularExpression(QStringLiteral("[=:]")));
  return at < 0 ? QString() : text.mid(at + 1).trimmed();
}

QString ProgramTest::focusedWindow() const { return xdotool({QStringLiteral("getwindowfocus")}); }

QRect ProgramTest::trayIcon() const {
  for (const auto& id : windows()) {
    const auto geometry = windowGeometry(id);
    if (geometry.width() > 0 && geometry.width() <= 64 && geometry.height() <= 64) return geometry;
  }
  return {};
}

void ProgramTest::clickTrayIcon(int button, const QStringList& modifiers) {
  QRect icon;
  if (!runUntil([&] { return !(icon = trayIcon()).isEmpty(); }, 10)) {
    ADD_FAILURE() << "the tray icon was not found";
    return;
  }
  const QPoint centre = icon.center();
  xdotool({QStringLiteral("mousemove"), QString::number(centre.x()), QString::number(centre.y())});
  runFor(0.1);
  for (const auto& modifier : modifiers) xdotool({QStringLiteral("keydown"), modifier});
  xdotool({QStringLiteral("click"), QString::number(button)});
  for (const auto& modifier : modifiers) xdotool({QStringLiteral("keyup"), modifier});
}

void ProgramTest::clickAt(QPoint point, int button) {
  xdotool({QStringLiteral("mousemove"), QString::number(point.x()), QString::number(point.y())});
  runFor(0.1);
  xdotool({QStringLiteral("click"), QString::number(button)});
}

void ProgramTest::clickInWindow(const QString& id, QPoint offset, int button) {
  clickAt(windowGeometry(id).topLeft() + offset, button);
}

void ProgramTest::key(const QString& keys) {
  xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), keys});
}

void ProgramTest::typeText(const QString& text) {
  xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("15"), text});
}

void ProgramTest::activate(const QString& id) {
  xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), id});
}

QPoint ProgramTest::centreOf(QWidget* window, const char* objectName) {
  auto* child = window->findChild<QWidget*>(QString::fromLatin1(objectName));
  if (!child) {
    ADD_FAILURE() << "no widget named " << objectName;
    return {};
  }
  return child->mapTo(window, child->rect().center());
}

void ProgramTest::startBusMonitor(const QStringList& rules) {
  busMonitor_.setProcessChannelMode(QProcess::MergedChannels);
  busMonitor_.setStandardOutputFile(QString::fromStdString((root() / "bus.log").string()));
  busMonitor_.start(QStringLiteral("dbus-monitor"), QStringList{QStringLiteral("--session")} + rules);
  ASSERT_TRUE(busMonitor_.waitForStarted(5000)) << "dbus-monitor did not start";
  // It prints its own NameAcquired signal once it listens.
  ASSERT_TRUE(
      runUntil([&] { return fs::exists(root() / "bus.log") && fs::file_size(root() / "bus.log") > 0; }, 5));
}

std::string ProgramTest::busLog() const { return readWhole(root() / "bus.log"); }

bool ProgramTest::enableAccessibility() {
  qDBusRegisterMetaType<QMap<QString, QString>>();
  auto session = QDBusConnection::sessionBus();
  // The bus's launcher is started by the session bus: its socket goes to the sandbox's runtime
  // folder, not to the user's.
  auto update = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("UpdateActivationEnvironment"));
  QMap<QString, QString> environment{
      {QStringLiteral("HOME"), QString::fromStdString(root().string())},
      {QStringLiteral("XDG_RUNTIME_DIR"), qEnvironmentVariable("XDG_RUNTIME_DIR")}};
  update << QVariant::fromValue(environment);
  session.call(update);
  auto address = session.call(
      QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                     QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")),
      QDBus::Block, 10000);
  if (address.type() != QDBusMessage::ReplyMessage || address.arguments().isEmpty()) return false;
  accessibilityBus_ = address.arguments().at(0).toString();
  qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  return !accessibilityBus_.isEmpty();
}

QStringList ProgramTest::accessibleNames(double timeoutSeconds) const {
  QStringList names;
  if (accessibilityBus_.isEmpty() || !running()) return names;
  auto bus = QDBusConnection::connectToBus(accessibilityBus_, QStringLiteral("qv-accessibility"));
  const QString accessible = QStringLiteral("org.a11y.atspi.Accessible");
  // One deadline for the whole walk: a program that does not answer gives nothing, soon.
  QElapsedTimer clock;
  clock.start();
  bool unanswered = false;
  auto call = [&](const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments = {}) {
    auto message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    const qint64 left = static_cast<qint64>(timeoutSeconds * 1000) - clock.elapsed();
    if (unanswered || left <= 0) {
      unanswered = true;
      return QDBusMessage();
    }
    auto reply = bus.call(message, QDBus::Block, static_cast<int>(left));
    if (reply.type() == QDBusMessage::ErrorMessage &&
        (reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.NoReply") ||
         reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.Timeout")))
      unanswered = true;
    return reply;
  };
  // Walks an application's tree; the program's is the one named after it.
  std::function<void(const QString&, const QString&, int)> walk = [&](const QString& service,
                                                                      const QString& path, int depth) {
    for (const auto& property : {QStringLiteral("Name"), QStringLiteral("Description")}) {
      auto text = call(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                       QStringLiteral("Get"), {accessible, property});
      if (text.type() != QDBusMessage::ReplyMessage || text.arguments().isEmpty()) continue;
      const QString said = text.arguments().at(0).value<QDBusVariant>().variant().toString();
      if (!said.isEmpty()) names << said;
    }
    auto children = call(service, path, accessible, QStringLiteral("GetChildren"));
    if (depth > 40 || children.type() != QDBusMessage::ReplyMessage || children.arguments().isEmpty()) return;
    const auto list = children.arguments().at(0).value<QDBusArgument>();
    std::vector<std::pair<QString, QString>> found;
    list.beginArray();
    while (!list.atEnd()) {
      QString childService;
      QDBusObjectPath childPath;
      list.beginStructure();
      list >> childService >> childPath;
      list.endStructure();
      found.emplace_back(childService, childPath.path());
    }
    list.endArray();
    for (const auto& [childService, childPath] : found) walk(childService, childPath, depth + 1);
  };
  // The desktop's children are the applications.
  const QString registry = QStringLiteral("org.a11y.atspi.Registry");
  auto applications = call(registry, QStringLiteral("/org/a11y/atspi/accessible/root"), accessible,
                           QStringLiteral("GetChildren"));
  if (applications.type() == QDBusMessage::ReplyMessage && !applications.arguments().isEmpty()) {
    const auto list = applications.arguments().at(0).value<QDBusArgument>();
    std::vector<std::pair<QString, QString>> found;
    list.beginArray();
    while (!list.atEnd()) {
      QString service;
      QDBusObjectPath path;
      list.beginStructure();
      list >> service >> path;
      list.endStructure();
      found.emplace_back(service, path.path());
    }
    list.endArray();
    for (const auto& [service, path] : found) {
      auto pid = call(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"),
                      {service});
      if (pid.type() == QDBusMessage::ReplyMessage && !pid.arguments().isEmpty() &&
          pid.arguments().at(0).toLongLong() == this->pid())
        walk(service, path, 0);
    }
  }
  QDBusConnection::disconnectFromBus(QStringLiteral("qv-accessibility"));
  return unanswered ? QStringList() : names;
}

void ProgramTest::screenshot(const std::string& name) {
  runFor(0.4);
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  qvtesting::saveScreenshot("program", std::string(info ? info->test_suite_name() : "test") + "-" + name);
}

void ProgramTest::useMeasuringFolders() {
  measuredDataHome_ = qgetenv("XDG_DATA_HOME");
  measuredCacheHome_ = qgetenv("XDG_CACHE_HOME");
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString((root() / "measure" / "data").string()));
  qputenv("XDG_CACHE_HOME", QByteArray::fromStdString((root() / "measure" / "cache").string()));
  platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
  QVEngineEnvironment::setResourceFolder(fs::path(QV_APPLICATION_EXECUTABLE).parent_path().parent_path() /
                                         "resources");
  QVEngineEnvironment::setRunModuleHandler([](const std::shared_ptr<QVDashboardModule>&) {});
}

void ProgramTest::leaveMeasuringFolders() {
  QVEngineEnvironment::setRunModuleHandler(nullptr);
  QVEngineEnvironment::setResourceFolder(std::nullopt);
  platform::SettingsStore::setStandardUserDefaults(nullptr);
  qputenv("XDG_DATA_HOME", measuredDataHome_);
  qputenv("XDG_CACHE_HOME", measuredCacheHome_);
}

}  // namespace qvprogram
