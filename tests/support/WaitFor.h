// Waiting on the main queue for work that crosses real threads (pseudo-terminals, worker queues).
#pragma once

#include <chrono>
#include <functional>

namespace qv::test {

// How long a test waits for a state it needs before it gives up. It only bounds how long a failing
// test hangs, so it lies far above what any wait takes, on a loaded machine and under the
// sanitizers alike: a test waits for the state, never for a time.
inline constexpr std::chrono::seconds kPatience{240};
// The same in milliseconds, for Qt's waits.
inline constexpr int kPatienceMs = static_cast<int>(std::chrono::milliseconds(kPatience).count());

// Runs the main queue until `done` holds, for at most `kPatience` of real time; answers whether it
// came to hold.
bool waitFor(const std::function<bool()>& done);

}  // namespace qv::test
