// A secret option saved while the keyring asks the user: on a new account the first secret stored
// makes the keyring ask for a new keyring password, and the answer can take a minute. The program
// goes on meanwhile (its menus open, its windows answer), the field says it is saving, and when the
// user cancels the keyring's prompt the sheet says the value was not kept.
#include <fmt/format.h>
#include <signal.h>

#include <QtCore/QProcess>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTableView>
#include <filesystem>
#include <fstream>

#include "app/PMMainWindowController.h"
#include "app/tests/program/ProgramTest.h"
#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/ZKKeychain.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"
#include "testing/TreePaths.h"
#include "windows/QVConfigEditorViewController.h"
#include "windows/QVEditModuleWindowController.h"
#include "windows/QVEditorModuleViewController.h"
#include "windows/QVGroupDetailViewController.h"
#include "windows/QVOptionCellViews.h"

// Named: the program tests are compiled as one unit, where unnamed namespaces meet.
namespace secretstoretest {

namespace fs = std::filesystem;
using qvprogram::ProgramTest;

constexpr const char* kServiceCheck = "com.quorvane.servicecheck";
const QString kNotKept =
    QStringLiteral("The value could not be kept in the keyring: the keyring's prompt was dismissed");

// Where the controls the user reaches for sit inside their windows: measured on the same window
// classes laid out in the test process, with the same group the program reads.
struct Layout {
  QPoint editButtonOfRow0;  // the module configuration's "Edit" button of the group's module
  QPoint tokenField;        // the edit sheet's "Access token" field
};

QPoint centreIn(QWidget* window, QWidget* child) {
  if (!child) {
    ADD_FAILURE() << "a control was not found in the laid-out window";
    return {};
  }
  return child->mapTo(window, child->rect().center());
}

class SecretStoreXvfbTest : public ProgramTest {
 protected:
  void TearDown() override {
    if (keyring_.state() != QProcess::NotRunning) {
      keyring_.kill();
      keyring_.waitForFinished(5000);
    }
    ProgramTest::TearDown();
  }

  // A keyring on the program's session bus whose prompts stay open until the test answers them:
  // with "--fresh" it has no default keyring yet, so that the first secret stored makes it ask.
  bool startKeyring(const QStringList& arguments) {
    keyring_.setProcessChannelMode(QProcess::MergedChannels);
    keyring_.start(QString::fromUtf8(QV_FAKE_SECRET_SERVICE), arguments);
    return keyring_.waitForStarted(5000) && runUntil([&] { return keyringSaid("ready"); }, 10);
  }
  bool keyringSaid(const char* text) {
    keyringOutput_ += keyring_.readAll();
    return keyringOutput_.contains(text);
  }
  void signalKeyring(int signal) { ::kill(static_cast<pid_t>(keyring_.processId()), signal); }

  // Keeps the secret in the keyring under the option's uid, as the program keeps it.
  bool keepInKeyring(const std::string& uid, const std::string& secret) {
    std::optional<bool> kept;
    platform::SecretStore::perform(
        [uid, secret] {
          auto store = platform::SecretStore::secretServiceStore();
          return store && ZKKeychain(store, ZKKeychain::kDefaultServiceName).setSecureValue(secret, uid);
        },
        [&](bool stored) { kept = stored; });
    runUntil([&] { return kept.has_value(); }, 10);
    return kept.value_or(false);
  }

  // The engine in this process, with folders of its own, so that nothing of the program's is touched.
  void startEngineHere() {
    dataHome_ = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString((root() / "here" / "data").string()));
    platform::SecretStore::setShared(platform::SecretStore::memoryStore());
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    QVEngineEnvironment::setResourceFolder(fs::path(QV_APPLICATION_EXECUTABLE).parent_path().parent_path() /
                                           "resources");
    QVEngineEnvironment::setRunModuleHandler([](const std::shared_ptr<QVDashboardModule>&) {});
    manager_ = QVDashboardModuleManager::make();
    manager_->reloadBundledModules();
  }
  void stopEngineHere() {
    manager_.reset();
    PMMainWindowController::setPaneFactory(PMMainWindowController::ModuleConfigRow, {});
    QVEngineEnvironment::setRunModuleHandler(nullptr);
    QVEngineEnvironment::setResourceFolder(std::nullopt);
    platform::SettingsStore::setStandardUserDefaults(nullptr);
    platform::SecretStore::setShared(nullptr);
    qputenv("XDG_DATA_HOME", dataHome_);
  }

  // Writes the one group the program reads at start: the Service Check of the built-in modules,
  // whose access token is secret, asking `address`. Answers the module as this process made it.
  QVDashboardModule::Pointer seed(const std::string& address) {
    QVDashboardModule::Pointer check;
    for (const auto& module : manager_->bundledModules())
      if (module->bundleID() == kServiceCheck) check = module;
    if (!check) {
      ADD_FAILURE() << "the Service Check is not among the built-in modules";
      return nullptr;
    }
    for (const auto& option : check->userOptions())
      if (option->name() == "url") option->value()->setStringValue(std::optional<std::string>(address));
    auto group = QVDashboardGroup::groupWithName("Checks");
    group->addModule(check, false);
    manager_->addGroup(group);
    const auto archive = QVDashboardGroup::archivedDataWithGroups({group});
    fs::create_directories(supportFolder());
    std::ofstream(supportFolder() / "Modules.plist", std::ios::binary)
        .write(reinterpret_cast<const char*>(archive.data()), static_cast<std::streamsize>(archive.size()));
    return check;
  }

  static std::string tokenUid(const QVDashboardModule& module) {
    for (const auto& option : module.userOptions())
      if (option->name() == "token") return option->uid();
    return {};
  }

  // Lays out the module configuration and the module's edit sheet as the program shows them.
  Layout measure(const QVDashboardModule::Pointer& check) {
    Layout layout;
    auto manager = manager_;
    PMMainWindowController::setPaneFactory(
        PMMainWindowController::ModuleConfigRow, [manager](QObject* parent) {
          return QVEditorModuleViewController::controllerWithManager(manager, nullptr, parent);
        });
    auto* controller = ZKWindowController::controller<PMMainWindowController>();
    controller->selectModuleAtRow(PMMainWindowController::ModuleConfigRow);
    controller->actuallyShowWindow();
    QWidget* window = controller->window();
    runUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, 5);
    runFor(0.3);
    auto* editor = dynamic_cast<QVEditorModuleViewController*>(controller->currentModule());
    auto* detail = editor ? editor->currentViewController() : nullptr;
    if (detail) {
      auto* row = detail->tableView()->indexWidget(detail->model()->index(0, 0));
      layout.editButtonOfRow0 = centreIn(window, row ? row->findChild<QPushButton*>() : nullptr);
    } else {
      ADD_FAILURE() << "the module configuration shows no group";
    }
    auto* sheet = QVEditModuleWindowController::controllerWithModule(check, manager, nullptr, controller);
    sheet->beginSheetInWindow(window);
    runUntil([&] { return sheet->window()->windowHandle() && sheet->window()->windowHandle()->isExposed(); },
             5);
    runFor(0.2);
    auto* options = qobject_cast<QVConfigEditorViewController*>(sheet->currentViewController());
    // The fixed rows, then "Address", then "Access token".
    auto* token = options ? qobject_cast<QVTextCellView*>(options->valueCellAtRow(4)) : nullptr;
    EXPECT_TRUE(token && token->identifier() == QStringLiteral("SecureStringCellView")) << "no secret field";
    layout.tokenField = centreIn(sheet->window(), token ? token->textField() : nullptr);
    sheet->window()->hide();
    window->hide();
    controller->deleteLater();
    runFor(0.2);
    return layout;
  }

  QPoint on(const QString& window, QPoint offset) const { return windowGeometry(window).topLeft() + offset; }

  QStringList windowTitles() const {
    QStringList titles;
    for (const auto& id : windows()) titles << xdotool({QStringLiteral("getwindowname"), id});
    return titles;
  }

  bool says(const QString& text) const {
    for (const auto& name : accessibleNames())
      if (name.contains(text)) return true;
    return false;
  }

  QProcess keyring_;
  QByteArray keyringOutput_;
  QByteArray dataHome_;
  std::shared_ptr<QVDashboardModuleManager> manager_;
};

TEST_F(SecretStoreXvfbTest, TheProgramGoesOnWhileTheKeyringAsksAndTellsWhenTheSecretWasNotKept) {
  startEngineHere();
  // An address that answers at once, so that the module's runs stay quiet.
  const auto check = seed("http://127.0.0.1:9/");
  ASSERT_TRUE(check);
  const Layout layout = measure(check);
  stopEngineHere();
  ASSERT_FALSE(HasFailure()) << "the windows could not be measured";
  ASSERT_TRUE(startKeyring({QStringLiteral("--fresh")})) << "no keyring: " << keyringOutput_.toStdString();
  ASSERT_TRUE(enableAccessibility()) << "no accessibility bus";
  launch();
  // A first start shows the module configuration.
  const QString preferences = waitForWindow(QStringLiteral("Module Config"), 20);
  ASSERT_FALSE(preferences.isEmpty())
      << "the module configuration did not open: " << windowTitles().join(", ").toStdString();
  runFor(0.5);
  // The module's "Edit".
  clickAt(on(preferences, layout.editButtonOfRow0));
  const QString sheet = waitForWindow(QStringLiteral("Service Check"));
  ASSERT_FALSE(sheet.isEmpty()) << "the edit sheet did not open";
  runFor(0.3);

  // The access token is saved; the keyring asks for a new keyring's password.
  clickAt(on(sheet, layout.tokenField));
  typeText(QStringLiteral("tok-12345"));
  key(QStringLiteral("Return"));
  ASSERT_TRUE(runUntil([&] { return keyringSaid("Prompt "); }, 10))
      << "the keyring was not asked: " << keyringOutput_.toStdString();

  // While it asks, the program answers: its tray menu opens, and the field says it is saving.
  const auto before = windows().size();
  clickTrayIcon(3);
  EXPECT_TRUE(runUntil([&] { return windows().size() > before; }, 3))
      << "the tray menu did not open while the keyring asked: the program stands still";
  screenshot("1-menu-while-the-keyring-asks");
  key(QStringLiteral("Escape"));
  EXPECT_TRUE(runUntil([&] { return says(QStringLiteral("Saving to the keyring")); }, 5))
      << "the field does not say it is saving";
  screenshot("2-saving");

  // The user cancels the keyring's prompt: the sheet says the value was not kept.
  signalKeyring(SIGUSR1);
  ASSERT_TRUE(runUntil([&] { return keyringSaid("Dismissed "); }, 5));
  EXPECT_TRUE(runUntil([&] { return says(kNotKept); }, 10))
      << "the sheet does not say the value was not kept: " << accessibleNames().join(" | ").toStdString();
  screenshot("3-not-kept");
  EXPECT_FALSE(keyringSaid("CreateItem ")) << "the secret was stored after all";
}

// A module restored at start keeps its token in a keyring that is locked: the program reads it
// without waiting (its windows come, its menu opens) while the keyring asks to be unlocked, and the
// module's first run waits for the token and sends it once the user has unlocked the keyring.
TEST_F(SecretStoreXvfbTest, ASecretRestoredAtStartIsReadWhileTheProgramGoesOnAndItsRunGetsIt) {
  // Where the module sends its token: the Authorization headers it sent.
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
  QStringList authorizations;
  QObject::connect(&server, &QTcpServer::newConnection, [&] {
    while (auto* socket = server.nextPendingConnection()) {
      QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, &authorizations] {
        const QByteArray request = socket->readAll();
        for (const auto& line : request.split('\n'))
          if (line.toLower().startsWith("authorization:"))
            authorizations << QString::fromUtf8(line.trimmed());
        socket->write("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
      });
    }
  });
  startEngineHere();
  const auto check = seed(fmt::format("http://127.0.0.1:{}/", server.serverPort()));
  ASSERT_TRUE(check);
  const std::string uid = tokenUid(*check);
  stopEngineHere();

  ASSERT_TRUE(startKeyring({})) << "no keyring: " << keyringOutput_.toStdString();
  ASSERT_TRUE(keepInKeyring(uid, "tok-restored")) << keyringOutput_.toStdString();
  signalKeyring(SIGHUP);
  ASSERT_TRUE(runUntil([&] { return keyringSaid("Locked"); }, 5));

  // The program starts and reads the token; the keyring asks to be unlocked.
  launch();
  ASSERT_TRUE(runUntil([&] { return keyringSaid("Prompt "); }, 15)) << keyringOutput_.toStdString();
  EXPECT_FALSE(waitForWindow(QStringLiteral("Module Config"), 10).isEmpty())
      << "no window came while the keyring asked: the program stands still";
  const auto before = windows().size();
  clickTrayIcon(3);
  EXPECT_TRUE(runUntil([&] { return windows().size() > before; }, 3))
      << "the tray menu did not open while the keyring asked";
  key(QStringLiteral("Escape"));
  screenshot("restored-while-the-keyring-asks");
  EXPECT_TRUE(authorizations.isEmpty()) << "the module ran without waiting for its token";

  // Unlocked: the module's run gets its token.
  signalKeyring(SIGUSR2);
  EXPECT_TRUE(runUntil([&] { return !authorizations.isEmpty(); }, 15)) << "the module did not run";
  EXPECT_EQ(authorizations.value(0), QStringLiteral("Authorization: Bearer tok-restored"));
}

}  // namespace secretstoretest
