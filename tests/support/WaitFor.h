// Waiting on the main queue for work that crosses real threads (pseudo-terminals, worker queues).
#pragma once

#include <functional>

namespace qv::test {

// Runs the main queue until `done` holds, for at most ten seconds of real time; answers whether it
// came to hold. The limit only bounds how long a failing test hangs (and leaves room for the
// sanitizer builds), so it is generous.
bool waitFor(const std::function<bool()>& done);

}  // namespace qv::test
