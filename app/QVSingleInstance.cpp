#include "app/QVSingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

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

// A socket descriptor closed when the scope ends.
class SocketDescriptor {
 public:
  explicit SocketDescriptor(int fd) : fd_(fd) {}
  ~SocketDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  SocketDescriptor(const SocketDescriptor&) = delete;
  SocketDescriptor& operator=(const SocketDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The socket address of a path; false when the path does not fit.
bool socketAddress(const QString& path, sockaddr_un* address) {
  const QByteArray encoded = QFile::encodeName(path);
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (encoded.size() >= static_cast<qsizetype>(sizeof address->sun_path)) return false;
  std::memcpy(address->sun_path, encoded.constData(), static_cast<std::size_t>(encoded.size()));
  return true;
}

// Waits until the descriptor is ready for `events`, up to `timeoutMs`; false on a time-out or error.
bool waitFor(int fd, short events, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    pollfd descriptor{fd, events, 0};
    const int ready = ::poll(&descriptor, 1, static_cast<int>(std::max<long long>(0, left)));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

// One connection of a later start: it sends one line, and is answered once that line has been handed
// to the handler (or refused). Closed with the object.
class QVSingleInstance::Connection : public QObject {
 public:
  Connection(int fd, QObject* parent)
      : QObject(parent), fd_(fd), notifier_(new QSocketNotifier(fd, QSocketNotifier::Read, this)) {}
  ~Connection() override { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  QSocketNotifier* notifier() const { return notifier_; }

  // Reads what has arrived; false once the other end has closed (or the connection failed).
  bool receive() {
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        // Anything after the one message is not read into memory.
        if (!received_ && buffer_.size() <= kMaximumMessageSize) buffer_.append(chunk, n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      notifier_->setEnabled(false);
      return false;
    }
  }

  QByteArray& buffer() { return buffer_; }
  bool hasReceived() const { return received_; }
  void setReceived() { received_ = true; }

  // Sends the answer (a few bytes, which the socket's buffer takes at once) and closes.
  void answer(const char* text) {
    ssize_t ignored = ::send(fd_, text, std::strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
    ::shutdown(fd_, SHUT_RDWR);
    notifier_->setEnabled(false);
    deleteLater();
  }

 private:
  const int fd_;
  QSocketNotifier* const notifier_;
  QByteArray buffer_;
  bool received_ = false;
};

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
  if (listener_ < 0) return;
  ::close(listener_);
  // The socket file goes with the instance that listened on it.
  ::unlink(QFile::encodeName(listeningPath_).constData());
}

bool QVSingleInstance::handOff(const QString& path, const QStringList& arguments, int answerTimeoutMs,
                               bool* connected) {
  *connected = false;
  sockaddr_un address{};
  if (!socketAddress(path, &address)) return false;
  SocketDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket.get() < 0) return false;
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    // A listener whose queue is full takes the connection once it accepts.
    if (errno != EAGAIN && errno != EINPROGRESS) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (!waitFor(socket.get(), POLLOUT, 1000) ||
        ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
      return false;
  }
  *connected = true;
  const QByteArray message = encodeArguments(arguments);
  for (qsizetype sent = 0; sent < message.size();) {
    if (!waitFor(socket.get(), POLLOUT, 5000)) return false;
    const ssize_t n = ::send(socket.get(), message.constData() + sent,
                             static_cast<std::size_t>(message.size() - sent), MSG_NOSIGNAL);
    if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
    if (n > 0) sent += n;
  }
  QByteArray answer;
  while (!answer.contains('\n')) {
    if (!waitFor(socket.get(), POLLIN, answerTimeoutMs)) return false;
    char chunk[256];
    const ssize_t n = ::recv(socket.get(), chunk, sizeof chunk, 0);
    if (n == 0) return false;
    if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
    if (n > 0) answer.append(chunk, n);
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
  const QByteArray encodedPath = QFile::encodeName(path);
  ::unlink(encodedPath.constData());
  const auto failed = [&path](const char* step) {
    platform::log("Could not listen on {}: {} ({})", path.toStdString(), step, std::strerror(errno));
    return Role::Failed;
  };
  sockaddr_un address{};
  if (!socketAddress(path, &address)) {
    errno = ENAMETOOLONG;
    return failed("socket path");
  }
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener < 0) return failed("socket");
  // Only the user may connect (the runtime folder is private too).
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(encodedPath.constData(), S_IRUSR | S_IWUSR) != 0 || ::listen(listener, SOMAXCONN) != 0) {
    const int error = errno;
    ::close(listener);
    errno = error;
    return failed("bind");
  }
  listener_ = listener;
  listeningPath_ = path;
  listenerNotifier_ = new QSocketNotifier(listener_, QSocketNotifier::Read, this);
  connect(listenerNotifier_, &QSocketNotifier::activated, this, &QVSingleInstance::newConnection);
  return Role::Primary;
}

void QVSingleInstance::newConnection() {
  for (;;) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // nothing more waiting
    }
    auto* connection = new Connection(fd, this);
    connect(connection->notifier(), &QSocketNotifier::activated, this,
            [this, connection] { readMessage(connection); });
    readMessage(connection);
  }
}

void QVSingleInstance::readMessage(Connection* connection) {
  const bool open = connection->receive();
  if (!connection->hasReceived()) {
    QByteArray& buffer = connection->buffer();
    const qsizetype end = buffer.indexOf('\n');
    if (end < 0 || end >= kMaximumMessageSize) {
      if (buffer.size() > kMaximumMessageSize) {
        platform::log("A second start sent more than the largest message; it is refused");
        connection->answer("error\n");
      } else if (!open) {
        connection->deleteLater();  // gone before it sent a whole line
      }
      return;
    }
    auto arguments = decodeArguments(buffer.left(end + 1));
    if (!arguments) {
      connection->answer("error\n");
      return;
    }
    // One message per connection.
    connection->setReceived();
    buffer.clear();
    deliver({connection, *arguments});
    return;
  }
  // A start that goes away while it waits for its answer is not answered.
  if (!open) connection->deleteLater();
}

void QVSingleInstance::deliver(Pending pending) {
  if (!handler_) {
    pending_.push_back(std::move(pending));
    return;
  }
  handler_(pending.arguments);
  if (auto* connection = static_cast<Connection*>(pending.connection.data())) connection->answer("ok\n");
}

void QVSingleInstance::setReady(Handler handler) {
  handler_ = std::move(handler);
  auto waiting = std::move(pending_);
  pending_.clear();
  for (auto& pending : waiting) deliver(std::move(pending));
}
