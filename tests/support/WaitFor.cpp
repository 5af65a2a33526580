// Waiting on the main queue with a real-time limit.
#include "support/WaitFor.h"

#include "platform/Clock.h"
#include "platform/Queue.h"

namespace qv::test {

bool waitFor(const std::function<bool()>& done) { return runMainQueueUntil(done, kPatience); }

}  // namespace qv::test
