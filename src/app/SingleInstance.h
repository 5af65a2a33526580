// One running instance per login session: a second launch hands its files to the first through a
// local socket in the session's runtime folder and ends.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QStringList>
#include <functional>

namespace qv::app {

class SingleInstance : public QObject {
  Q_OBJECT
public:
  // The server's socket for this login session: "quorvel-instance" in $XDG_RUNTIME_DIR (the folder
  // the session gives its own sockets), or, when that is unset, "quorvel-instance-<uid>" in the
  // temporary folder. A full path, so that a launch in another runtime folder (a test's, another
  // session's) never reaches this one.
  static QString defaultServerPath();

  enum class HandOver {
    Taken,       // an instance took the files: this process should end
    NoInstance,  // nothing listens there (no socket, or one left by an instance that is gone)
    NoAnswer,    // something listens but did not take the files in time: an instance that hangs
  };

  explicit SingleInstance(QString serverPath = defaultServerPath(), QObject* parent = nullptr);
  // Hands the files to an instance already running, waiting at most `waitMs` for each step.
  HandOver handOverToRunningInstance(const QStringList& files, int waitMs = 1000);
  // Starts listening; `open` gets each file a later launch hands over (GUI thread). A socket left
  // by an instance that is gone is replaced; one that something still listens on is left alone
  // and false is returned (this instance then runs without taking hand-overs).
  bool listen(std::function<void(const QString&)> open);
  QString serverPath() const { return path_; }

private:
  QString path_;
  QLocalServer server_;
  std::function<void(const QString&)> open_;
};

}  // namespace qv::app
