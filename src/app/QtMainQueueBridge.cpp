// The main queue inside Qt's event loop.
#include "app/QtMainQueueBridge.h"

#include <QCoreApplication>
#include <QEvent>

#include "platform/Queue.h"

namespace qv::app {
namespace {
const QEvent::Type kDrainEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
}

QtMainQueueBridge::QtMainQueueBridge(QObject* parent) : QObject(parent) {
  qv::setMainQueueWakeup([this] { wake(); });
  wake();  // tasks queued before the loop existed
}

QtMainQueueBridge::~QtMainQueueBridge() { qv::setMainQueueWakeup({}); }

void QtMainQueueBridge::wake() {
  // One pending event at a time: a burst of tasks is drained by one pass.
  if (!posted_.exchange(true)) QCoreApplication::postEvent(this, new QEvent(kDrainEvent));
}

bool QtMainQueueBridge::event(QEvent* event) {
  if (event->type() != kDrainEvent) return QObject::event(event);
  posted_ = false;
  qv::drainMainQueue();
  return true;
}

}  // namespace qv::app
