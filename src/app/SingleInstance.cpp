// One running instance per user.
#include "app/SingleInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <unistd.h>

#include "platform/Log.h"

namespace qv::app {

QString SingleInstance::defaultServerName() { return QStringLiteral("quorvel-%1").arg(::getuid()); }

SingleInstance::SingleInstance(QString serverName, QObject* parent) : QObject(parent), name_(std::move(serverName)) {}

bool SingleInstance::handOverToRunningInstance(const QStringList& files) {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(1000)) return false;
  // One absolute path per line; an empty hand-over just brings the first instance forward.
  QByteArray message;
  for (const QString& file : files) message += QFileInfo(file).absoluteFilePath().toUtf8() + '\n';
  message += '\n';
  socket.write(message);
  socket.waitForBytesWritten(1000);
  socket.disconnectFromServer();
  return true;
}

bool SingleInstance::listen(std::function<void(const QString&)> open) {
  open_ = std::move(open);
  QLocalServer::removeServer(name_);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_.listen(name_)) {
    QVLogWarn("A second launch will not find this one: %s", server_.errorString().toUtf8().constData());
    return false;
  }
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      auto buffer = std::make_shared<QByteArray>();
      connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer] { *buffer += socket->readAll(); });
      connect(socket, &QLocalSocket::disconnected, this, [this, socket, buffer] {
        *buffer += socket->readAll();
        socket->deleteLater();
        for (const QByteArray& line : buffer->split('\n'))
          if (!line.isEmpty() && open_) open_(QString::fromUtf8(line));
      });
    }
  });
  return true;
}

}  // namespace qv::app
