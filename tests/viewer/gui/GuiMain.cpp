// The viewer's on-screen test programs: work queued for the main queue runs from Qt's event loop,
// as in the application.
#include <gtest/gtest.h>

#include <QApplication>

#include "platform/Queue.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  qv::setMainQueueWakeup([] { QMetaObject::invokeMethod(qApp, [] { qv::drainMainQueue(); }, Qt::QueuedConnection); });
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  qv::setMainQueueWakeup(nullptr);
  return result;
}
