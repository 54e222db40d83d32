// One running instance per user: real local sockets in the sandbox's runtime folder; second starts
// run on threads of their own (their hand-off waits, as a second process would).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QtCore/QDir>
#include <QtNetwork/QLocalSocket>
#include <atomic>
#include <thread>

#include "app/QVSingleInstance.h"
#include "platform/desktop/testing/GuiTest.h"

namespace {

class SingleInstanceTest : public qvtesting::GuiTest {
 protected:
  // A second start on a thread of its own; its role lands in `role` when it is done.
  struct SecondStart {
    std::atomic<int> role{-1};
    std::thread thread;
    ~SecondStart() {
      if (thread.joinable()) thread.join();
    }
  };
  static void startSecond(SecondStart& start, QStringList arguments, int timeoutMs = 10000) {
    start.thread = std::thread([&start, arguments, timeoutMs] {
      QVSingleInstance instance;
      start.role = static_cast<int>(instance.start(arguments, timeoutMs));
    });
  }

  // Sends `message` to the running instance and answers what came back: one line, or what arrived
  // before the instance closed the connection (empty when nothing came within `seconds`).
  QByteArray exchange(const QByteArray& message, double seconds) {
    QLocalSocket socket;
    socket.connectToServer(QVSingleInstance::socketPath());
    if (!socket.waitForConnected(2000)) return "not connected";
    socket.write(message);
    QByteArray answer;
    runUntil(
        [&] {
          answer += socket.readAll();
          return answer.contains('\n') || socket.state() != QLocalSocket::ConnectedState;
        },
        seconds);
    return answer + socket.readAll();
  }
};

TEST_F(SingleInstanceTest, StartsDuringLoadingAreAnsweredAfterItInOrderWithAbsolutePaths) {
  QVSingleInstance primary;
  ASSERT_EQ(primary.start({}), QVSingleInstance::Role::Primary);
  EXPECT_TRUE(QVSingleInstance::socketPath().startsWith(QString::fromStdString(root().string())));

  SecondStart first, second;
  startSecond(first, {QStringLiteral("relative/One.quorvanemodule")});
  runFor(0.3);  // the first arrives first
  startSecond(second, {});
  // Not ready (still loading): both wait, neither is lost.
  runFor(1.0);
  EXPECT_EQ(first.role.load(), -1);
  EXPECT_EQ(second.role.load(), -1);

  std::vector<QStringList> handled;
  primary.setReady([&](const QStringList& arguments) { handled.push_back(arguments); });
  ASSERT_TRUE(runUntil([&] { return first.role.load() != -1 && second.role.load() != -1; }, 10));
  EXPECT_EQ(first.role.load(), static_cast<int>(QVSingleInstance::Role::HandedOff));
  EXPECT_EQ(second.role.load(), static_cast<int>(QVSingleInstance::Role::HandedOff));
  ASSERT_EQ(handled.size(), 2u);
  EXPECT_EQ(handled[0],
            QStringList{QDir::current().absoluteFilePath(QStringLiteral("relative/One.quorvanemodule"))});
  EXPECT_TRUE(handled[1].isEmpty());

  // Once ready, a start is answered at once.
  SecondStart third;
  startSecond(third, {QStringLiteral("/tmp/Two.quorvanemodule")});
  ASSERT_TRUE(runUntil([&] { return third.role.load() != -1; }, 10));
  EXPECT_EQ(third.role.load(), static_cast<int>(QVSingleInstance::Role::HandedOff));
  ASSERT_EQ(handled.size(), 3u);
  EXPECT_EQ(handled[2], QStringList{QStringLiteral("/tmp/Two.quorvanemodule")});
}

TEST_F(SingleInstanceTest, ASocketLeftByAGoneProcessIsTakenOverAndBadMessagesAreRefused) {
  // A socket file nobody listens on, as a killed instance leaves it.
  const auto path = QVSingleInstance::socketPath().toStdString();
  {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  QVSingleInstance primary;
  ASSERT_EQ(primary.start({}), QVSingleInstance::Role::Primary);
  std::vector<QStringList> handled;
  primary.setReady([&](const QStringList& arguments) { handled.push_back(arguments); });

  const QByteArray messages[] = {"not json\n", "{\"an\": \"object\"}\n", "[1, 2]\n"};
  for (const auto& message : messages) {
    EXPECT_EQ(exchange(message, 5), QByteArray("error\n")) << message.constData();
  }
  EXPECT_TRUE(handled.empty());

  // The instance still answers after them.
  SecondStart later;
  startSecond(later, {});
  ASSERT_TRUE(runUntil([&] { return later.role.load() != -1; }, 10));
  EXPECT_EQ(later.role.load(), static_cast<int>(QVSingleInstance::Role::HandedOff));
  EXPECT_EQ(handled.size(), 1u);
}

// Only the user can connect, and the socket goes when the instance does: the next start listens.
TEST_F(SingleInstanceTest, TheSocketIsPrivateAndGoesWithItsInstance) {
  const auto path = QVSingleInstance::socketPath().toStdString();
  {
    QVSingleInstance primary;
    ASSERT_EQ(primary.start({}), QVSingleInstance::Role::Primary);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0077, 0u) << "neither the group nor others may connect";
  }
  struct stat info {};
  EXPECT_NE(::stat(path.c_str(), &info), 0);
  QVSingleInstance next;
  EXPECT_EQ(next.start({}), QVSingleInstance::Role::Primary);
}

// A message longer than the largest one is refused without waiting for its end.
TEST_F(SingleInstanceTest, AnOverlongMessageIsRefused) {
  QVSingleInstance primary;
  ASSERT_EQ(primary.start({}), QVSingleInstance::Role::Primary);
  std::vector<QStringList> handled;
  primary.setReady([&](const QStringList& arguments) { handled.push_back(arguments); });
  EXPECT_EQ(exchange(QByteArray("[\"") + QByteArray(QVSingleInstance::kMaximumMessageSize + 16, 'x'), 10),
            QByteArray("error\n"));
  EXPECT_TRUE(handled.empty());
}

}  // namespace
