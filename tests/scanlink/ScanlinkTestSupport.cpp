// The recorder of what a port reported to its delegate.
#include "ScanlinkTestSupport.h"

#include "platform/Error.h"
#include "platform/Queue.h"

namespace qv::test {

void RecordingPortDelegate::serialPortDidReceiveData(ORSSerialPort&, const Data& data) {
  std::lock_guard lock(mutex_);
  if (!isMainQueue()) offMainQueue_ = true;
  received_.append(data.begin(), data.end());
}

void RecordingPortDelegate::serialPortWasRemovedFromSystem(ORSSerialPort& port) {
  std::lock_guard lock(mutex_);
  closedWhenRemoved_ = !port.isOpen();
  calls_.push_back("removed");
}

void RecordingPortDelegate::serialPortDidEncounterError(ORSSerialPort&, const Error& error) {
  std::lock_guard lock(mutex_);
  errors_.push_back(error.code);
  calls_.push_back("error " + std::to_string(error.code));
}

void RecordingPortDelegate::serialPortWasOpened(ORSSerialPort&) {
  std::lock_guard lock(mutex_);
  if (!isMainQueue()) offMainQueue_ = true;
  calls_.push_back("opened");
}

void RecordingPortDelegate::serialPortWasClosed(ORSSerialPort&) {
  std::lock_guard lock(mutex_);
  calls_.push_back("closed");
}

std::string RecordingPortDelegate::receivedText() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<std::string> RecordingPortDelegate::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<int> RecordingPortDelegate::errorCodes() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

bool RecordingPortDelegate::everythingOnMainQueue() const {
  std::lock_guard lock(mutex_);
  return !offMainQueue_;
}

bool RecordingPortDelegate::closedWhenRemoved() const {
  std::lock_guard lock(mutex_);
  return closedWhenRemoved_;
}

}  // namespace qv::test
