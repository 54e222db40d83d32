#include "app/QVSingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtNetwork/QLocalServer>
#include <QtNetwork/QLocalSocket>

#include "platform/Log.h"

namespace {

QByteArray encodeArguments(const QStringList& arguments) {
  QJsonArray array;
  for (const auto& argument : arguments) array.append(argument);
  return QJsonDocument(array).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<QStringList> decodeArguments(const QByteArray& line) {
  QJsonParseError error{};
  const auto document = QJsonDocument::fromJson(line.trimmed(), &error);
  if (error.error != QJsonParseError::NoError || !document.isArray()) return std::nullopt;
  QStringList arguments;
  for (const auto& value : document.array()) {
    if (!value.isString()) return std::nullopt;
    arguments << value.toString();
  }
  return arguments;
}

// Holds an exclusive lock on a file beside the socket while alive.
class InstanceLock {
 public:
  explicit InstanceLock(const QString& path) {
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

QString QVSingleInstance::socketPath() {
  const auto configured = qEnvironmentVariable("QV_INSTANCE_SOCKET");
  if (!configured.isEmpty()) return configured;
  auto folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
    folder = QDir::tempPath() + QStringLiteral("/quorvane-dashboard-%1").arg(::getuid());
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  }
  return folder + QStringLiteral("/quorvane-dashboard.socket");
}

QVSingleInstance::QVSingleInstance(QObject* parent) : QObject(parent) {}

QVSingleInstance::~QVSingleInstance() {
  if (server_) server_->close();
}

bool QVSingleInstance::handOff(const QString& path, const QStringList& arguments, int answerTimeoutMs,
                               bool* connected) {
  QLocalSocket socket;
  socket.connectToServer(path);
  *connected = socket.waitForConnected(1000);
  if (!*connected) return false;
  socket.write(encodeArguments(arguments));
  if (!socket.waitForBytesWritten(5000)) return false;
  QByteArray answer;
  while (!answer.contains('\n')) {
    if (!socket.waitForReadyRead(answerTimeoutMs)) return false;
    answer += socket.readAll();
  }
  return answer.startsWith("ok");
}

QVSingleInstance::Role QVSingleInstance::start(const QStringList& arguments, int answerTimeoutMs) {
  const auto path = socketPath();
  QStringList absolute;
  for (const auto& argument : arguments) {
    absolute << (argument.startsWith('-') ? argument : QFileInfo(argument).absoluteFilePath());
  }
  InstanceLock lock(path + QStringLiteral(".lock"));
  bool connected = false;
  if (handOff(path, absolute, answerTimeoutMs, &connected)) return Role::HandedOff;
  if (connected) {
    platform::log("The running Quorvane Dashboard did not answer");
    return Role::Failed;
  }
  // Nobody answers on the socket: a file left there belongs to a process that has gone.
  QLocalServer::removeServer(path);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(path)) {
    platform::log("Could not listen on {}: {}", path.toStdString(), server_->errorString().toStdString());
    return Role::Failed;
  }
  connect(server_, &QLocalServer::newConnection, this, &QVSingleInstance::newConnection);
  return Role::Primary;
}

void QVSingleInstance::newConnection() {
  while (auto* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
    if (socket->bytesAvailable() > 0) readMessage(socket);
  }
}

void QVSingleInstance::readMessage(QLocalSocket* socket) {
  if (!socket->canReadLine()) {
    if (socket->bytesAvailable() > kMaximumMessageSize) {
      platform::log("A second start sent more than the largest message; it is refused");
      socket->write("error\n");
      socket->disconnectFromServer();
    }
    return;
  }
  const auto line = socket->readLine(kMaximumMessageSize);
  auto arguments = decodeArguments(line);
  if (!arguments) {
    socket->write("error\n");
    socket->disconnectFromServer();
    return;
  }
  // One message per connection.
  disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
  deliver({socket, *arguments});
}

void QVSingleInstance::deliver(Pending pending) {
  if (!handler_) {
    pending_.push_back(std::move(pending));
    return;
  }
  handler_(pending.arguments);
  if (pending.socket) {
    pending.socket->write("ok\n");
    pending.socket->flush();
    pending.socket->disconnectFromServer();
  }
}

void QVSingleInstance::setReady(Handler handler) {
  handler_ = std::move(handler);
  auto waiting = std::move(pending_);
  pending_.clear();
  for (auto& pending : waiting) deliver(std::move(pending));
}
