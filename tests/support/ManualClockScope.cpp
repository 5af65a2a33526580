// The manual clock of one test.
#include "support/ManualClockScope.h"

#include "platform/Queue.h"

namespace qv::test {

ManualClockScope::ManualClockScope() : clock_(std::make_shared<ManualClock>()) { setClock(clock_); }

ManualClockScope::~ManualClockScope() { setClock(nullptr); }

void ManualClockScope::advanceSeconds(double s) {
  clock_->advanceSeconds(s);
  drainMainQueue();
}

}  // namespace qv::test
