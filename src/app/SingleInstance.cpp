// One running instance per login session.
#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <memory>
#include <unistd.h>

#include "platform/Log.h"

namespace qv::app {
namespace {

// Connects to whatever listens at `path`. Only a missing socket or one nobody listens on means no
// instance: a connection still pending when the time is up is an instance that is alive but not
// accepting, and its socket must stay.
SingleInstance::HandOver knock(QLocalSocket& socket, const QString& path, int waitMs) {
  socket.connectToServer(path);
  if (socket.waitForConnected(waitMs)) return SingleInstance::HandOver::Taken;
  const auto error = socket.error();
  if (error == QLocalSocket::ServerNotFoundError || error == QLocalSocket::ConnectionRefusedError)
    return SingleInstance::HandOver::NoInstance;
  return SingleInstance::HandOver::NoAnswer;
}

// A hand-over is one absolute path per line and an empty line at its end; one cut short (a
// sender that gave up, a connection that only checked for life) opens nothing.
bool isWholeHandOver(const QByteArray& message) { return message == "\n" || message.endsWith("\n\n"); }

}  // namespace

QString SingleInstance::defaultServerPath() {
  // A relative runtime folder is no folder at all by the freedesktop conventions.
  const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
  if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime)) return QDir(runtime).filePath("quorvel-instance");
  return QDir(QDir::tempPath()).filePath(QStringLiteral("quorvel-instance-%1").arg(::getuid()));
}

SingleInstance::SingleInstance(QString serverPath, QObject* parent) : QObject(parent), path_(std::move(serverPath)) {}

SingleInstance::HandOver SingleInstance::handOverToRunningInstance(const QStringList& files, int waitMs) {
  QLocalSocket socket;
  if (const HandOver found = knock(socket, path_, waitMs); found != HandOver::Taken) return found;
  QByteArray message;
  for (const QString& file : files) message += QFileInfo(file).absoluteFilePath().toUtf8() + '\n';
  message += '\n';
  socket.write(message);
  while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(waitMs)) {
  }
  if (socket.bytesToWrite() > 0) return HandOver::NoAnswer;
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState && !socket.waitForDisconnected(waitMs)) return HandOver::NoAnswer;
  return HandOver::Taken;
}

bool SingleInstance::listen(std::function<void(const QString&)> open) {
  open_ = std::move(open);
  // Bound directly (no socket options): the kernel then refuses a name already bound, where
  // Qt's access options would rename a fresh socket over a live instance's.
  bool listening = server_.listen(path_);
  if (!listening && server_.serverError() == QAbstractSocket::AddressInUseError) {
    QLocalSocket probe;
    if (knock(probe, path_, 1000) == HandOver::NoInstance) {
      QLocalServer::removeServer(path_);  // left by an instance that is gone
      listening = server_.listen(path_);
    } else {
      QVLogWarn("Another instance listens at %s: files handed over go to it", path_.toUtf8().constData());
      return false;
    }
  }
  if (!listening) {
    QVLogWarn("A second launch will not find this one: %s", server_.errorString().toUtf8().constData());
    return false;
  }
  // Only this user may hand files over, whatever the umask (the temporary folder is shared).
  QFile::setPermissions(path_, QFile::ReadOwner | QFile::WriteOwner);
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      auto buffer = std::make_shared<QByteArray>();
      connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer] { *buffer += socket->readAll(); });
      connect(socket, &QLocalSocket::disconnected, this, [this, socket, buffer] {
        *buffer += socket->readAll();
        socket->deleteLater();
        if (!isWholeHandOver(*buffer) || !open_) return;
        QStringList files;
        for (const QByteArray& line : buffer->split('\n'))
          if (!line.isEmpty()) files << QString::fromUtf8(line);
        // A launch without files brings this instance forward.
        if (files.isEmpty()) files << QString();
        for (const QString& file : files) open_(file);
      });
    }
  });
  return true;
}

}  // namespace qv::app
