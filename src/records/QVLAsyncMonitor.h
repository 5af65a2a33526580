// A named count of outstanding asynchronous operations and the time it last changed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Clock.h"

// Not locked: its owner guards it.
class QVLAsyncMonitor {
public:
  // Made when the first operation of its name starts: count 1, stamped now.
  explicit QVLAsyncMonitor(std::string name);

  const std::string& name() const { return name_; }
  std::int64_t activeCount() const { return activeCount_; }
  void setActiveCount(std::int64_t count) { activeCount_ = count; }
  qv::TimePoint modificationDate() const { return modificationDate_; }
  void setModificationDate(qv::TimePoint date) { modificationDate_ = date; }

  // One more (or one fewer) operation of this name, stamped now.
  void operationStarted();
  void operationEnded();

  // "[count]name", followed by " (elapsed sec)" when operations are outstanding and the last
  // change is at least a second old (a sign that something is stuck).
  std::string description() const;

private:
  std::string name_;
  std::int64_t activeCount_ = 1;
  qv::TimePoint modificationDate_;
};
