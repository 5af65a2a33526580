// Image rows shared out over the platform's worker threads, for renders that would otherwise
// keep one core busy while the others wait.
#pragma once

#include <functional>

namespace qv::sim {

// The threads a render uses by default: one per core.
int defaultRenderThreads();

// Runs `work(begin, end)` over the rows [0, rows) in blocks of `grain` rows, on the calling thread
// and on up to `threads` - 1 helpers from the global worker queue, and returns when every block
// is done. Blocks are taken in order but may finish in any order; `work` must only write what its
// own rows own. The calling thread works too, so a caller that is itself a worker never waits on
// helpers that have not started (late helpers find nothing left and leave).
void forEachRowBlock(int rows, int grain, int threads, const std::function<void(int begin, int end)>& work);

}  // namespace qv::sim
