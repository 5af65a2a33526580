// Loops of independent iterations shared out over the calling thread and the global queue's workers.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "platform/Queue.h"

namespace qv {

// One thread per core the process may use (1 to 16): what a loop over a frame's rows uses unless told otherwise.
int defaultParallelism();

// Runs `work(i)` once for every i in [0, count), on the calling thread and on up to `threads` - 1
// helpers from the global queue of `priority`, and returns when every call has finished. Indices
// are taken in order from a shared counter but may finish in any order, so `work` must only write
// what its own index owns. The caller takes indices too: the loop finishes even when every worker
// is busy, or is itself waiting in such a loop (helpers that start late find nothing left and
// leave). The first exception a call throws is thrown again here, once every call has finished.
void parallelFor(std::size_t count, int threads, const std::function<void(std::size_t index)>& work,
                 QueuePriority priority = QueuePriority::Default);

// Runs every task once, side by side (one helper per task beyond the first), as parallelFor does.
void runConcurrently(const std::vector<std::function<void()>>& tasks);

}  // namespace qv
