#pragma once

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <functional>
#include <vector>

class QLocalServer;
class QLocalSocket;

// One running application per user. The first start listens on a local socket in the user's runtime
// folder; a later start connects to it, hands over its arguments (paths made absolute) and exits once
// the running one has answered. The running one keeps what arrives until it is ready (its modules have
// loaded), then hands each argument list to its handler in arrival order and answers it, so that a
// start during the first one's loading is answered after loading and never lost.
class QVSingleInstance : public QObject {
  Q_OBJECT

 public:
  using Handler = std::function<void(const QStringList& arguments)>;

  // How a start ended up.
  enum class Role { Primary, HandedOff, Failed };

  // The socket: $XDG_RUNTIME_DIR/quorvane-dashboard.socket ($QV_INSTANCE_SOCKET overrides it; without
  // a runtime folder, a private folder in the temporary folder).
  static QString socketPath();
  // A message is one JSON array of strings on one line; longer lines are refused.
  static constexpr qint64 kMaximumMessageSize = 1 << 20;

  explicit QVSingleInstance(QObject* parent = nullptr);
  ~QVSingleInstance() override;

  // Hands the arguments to a running instance (waiting up to answerTimeoutMs for its answer), or
  // becomes the running instance. Under a lock file, so that two starts at once cannot both listen.
  Role start(const QStringList& arguments, int answerTimeoutMs = 120000);

  // From now on argument lists go to the handler: those already waiting first, in order.
  void setReady(Handler handler);
  bool isReady() const { return static_cast<bool>(handler_); }

 private:
  struct Pending {
    QPointer<QLocalSocket> socket;
    QStringList arguments;
  };
  static bool handOff(const QString& path, const QStringList& arguments, int answerTimeoutMs,
                      bool* connected);
  void newConnection();
  void readMessage(QLocalSocket* socket);
  void deliver(Pending pending);

  QLocalServer* server_ = nullptr;
  Handler handler_;
  std::vector<Pending> pending_;
};
