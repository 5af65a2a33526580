// Installs a manual clock for as long as the scope lives, and puts the system clock back after.
#pragma once

#include <memory>

#include "platform/Clock.h"

namespace qv::test {

class ManualClockScope {
public:
  ManualClockScope();
  ~ManualClockScope();
  ManualClockScope(const ManualClockScope&) = delete;
  ManualClockScope& operator=(const ManualClockScope&) = delete;

  // Moves the clock and runs what fell due on the main queue.
  void advanceSeconds(double s);
  // The clock itself, for moving it without running what falls due.
  const std::shared_ptr<ManualClock>& clock() const { return clock_; }

private:
  std::shared_ptr<ManualClock> clock_;
};

}  // namespace qv::test
