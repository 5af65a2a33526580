// The outstanding-operations monitor.
#include "records/QVLAsyncMonitor.h"

#include "platform/Format.h"

QVLAsyncMonitor::QVLAsyncMonitor(std::string name) : name_(std::move(name)), modificationDate_(qv::now()) {}

void QVLAsyncMonitor::operationStarted() {
  ++activeCount_;
  modificationDate_ = qv::now();
}

void QVLAsyncMonitor::operationEnded() {
  --activeCount_;
  modificationDate_ = qv::now();
}

std::string QVLAsyncMonitor::description() const {
  const double elapsed = qv::toSeconds(qv::now() - modificationDate_);
  const auto count = static_cast<unsigned long>(activeCount_);
  if (activeCount_ != 0 && elapsed >= 1.0)
    return qv::format("[%lu]%s (%0.2fsec)", count, name_.c_str(), elapsed);
  return qv::format("[%lu]%s", count, name_.c_str());
}
