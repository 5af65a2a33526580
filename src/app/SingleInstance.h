// One running instance per user: a second launch hands its files to the first through a local
// socket and ends.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QStringList>
#include <functional>

namespace qv::app {

class SingleInstance : public QObject {
  Q_OBJECT
public:
  // The server's name for this user (and, in tests, a name of their own).
  static QString defaultServerName();

  explicit SingleInstance(QString serverName = defaultServerName(), QObject* parent = nullptr);
  // Hands the files to an instance already running; true when one took them (this process should
  // then end). Waits at most a second for it.
  bool handOverToRunningInstance(const QStringList& files);
  // Starts listening; `open` gets each file a later launch hands over (GUI thread). A stale socket
  // left by a crashed instance is removed first.
  bool listen(std::function<void(const QString&)> open);

private:
  QString name_;
  QLocalServer server_;
  std::function<void(const QString&)> open_;
};

}  // namespace qv::app
