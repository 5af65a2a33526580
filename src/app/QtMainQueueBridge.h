// Drains the platform's main queue from Qt's event loop: the queue's wake-up hook posts one event
// to the GUI thread, which runs every task that is ready. So every callback sent to the main queue
// runs on the GUI thread, between Qt's own events.
#pragma once

#include <QObject>
#include <atomic>

namespace qv::app {

class QtMainQueueBridge : public QObject {
  Q_OBJECT
public:
  // Installs the wake-up hook; call on the GUI thread, which must be the main queue's thread.
  explicit QtMainQueueBridge(QObject* parent = nullptr);
  // Removes the hook (tasks added later wait for the next drain).
  ~QtMainQueueBridge() override;

protected:
  bool event(QEvent* event) override;

private:
  void wake();
  std::atomic<bool> posted_{false};
};

}  // namespace qv::app
