#include "shared/Module_PreviousInstanceActivate.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

namespace tarvex {
namespace {

QString BaseName(const std::string& title) {
  QString user = qEnvironmentVariable("USER");
  if (user.isEmpty()) user = qEnvironmentVariable("LOGNAME", "user");
  QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (runtime.isEmpty() || !QDir(runtime).exists()) runtime = QDir::tempPath();
  return QDir(runtime).filePath(QString::fromStdString(title) + "-" + user);
}

constexpr char kActivate[] = "activate\n";

}  // namespace

struct SingleInstance::State {
  std::unique_ptr<QLockFile> lock;
  std::unique_ptr<QLocalServer> server;
};

SingleInstance::SingleInstance(const std::string& title)
    : title_(title), state_(std::make_unique<State>()) {}
SingleInstance::~SingleInstance() = default;

bool SingleInstance::PrevInstance(std::function<void()> on_activate) {
  const QString base = BaseName(title_);
  state_->lock = std::make_unique<QLockFile>(base + ".lock");
  state_->lock->setStaleLockTime(0);  // stale only when its process is gone, never by age
  if (!state_->lock->tryLock(0)) {
    if (state_->lock->error() == QLockFile::LockFailedError) return true;
    // The lock cannot be made at all (no such folder, no permission): run unguarded
    // rather than never.
    return false;
  }
  state_->server = std::make_unique<QLocalServer>();
  QLocalServer::removeServer(base + ".sock");  // left by a killed instance; the lock is ours
  if (!state_->server->listen(base + ".sock")) return false;
  QLocalServer* server = state_->server.get();
  QObject::connect(server, &QLocalServer::newConnection, server, [server, on_activate] {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
      QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, on_activate] {
        if (socket->readAll().contains("activate") && on_activate) on_activate();
        socket->disconnectFromServer();
      });
      QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    }
  });
  return false;
}

void PreviousInstanceActivate(const std::string& title, std::uintptr_t) {
  QLocalSocket socket;
  socket.connectToServer(BaseName(title) + ".sock");
  if (!socket.waitForConnected(2000)) return;
  socket.write(kActivate);
  socket.waitForBytesWritten(2000);
  socket.waitForDisconnected(500);
}

}  // namespace tarvex
