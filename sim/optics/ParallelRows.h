// Image rows shared out over the platform's worker threads, for renders that would otherwise
// keep one core busy while the others wait.
#pragma once

#include <functional>

namespace qv::sim {

// The threads a render uses by default: one per core.
int defaultRenderThreads();

// Runs `work(begin, end)` over the rows [0, rows) in blocks of `grain` rows, on the calling thread
// and on up to `threads` - 1 helpers from the global worker queue, and returns when every block
// is done (qv::parallelFor over the blocks, on the high-priority queue; one call over all rows
// when only one thread would work). `work` must only write what its own rows own.
void forEachRowBlock(int rows, int grain, int threads, const std::function<void(int begin, int end)>& work);

}  // namespace qv::sim
