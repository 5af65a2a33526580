// Row blocks of a frame handed to the platform's parallel loop.
#include "sim/optics/ParallelRows.h"

#include <algorithm>

#include "platform/ParallelFor.h"

namespace qv::sim {

int defaultRenderThreads() { return defaultParallelism(); }

void forEachRowBlock(int rows, int grain, int threads, const std::function<void(int begin, int end)>& work) {
  if (rows <= 0) return;
  grain = std::max(1, grain);
  const int blocks = (rows + grain - 1) / grain;
  if (std::min(std::max(threads, 1), blocks) <= 1) {
    work(0, rows);
    return;
  }
  parallelFor(static_cast<std::size_t>(blocks), threads,
              [&](std::size_t block) {
                const int begin = static_cast<int>(block) * grain;
                work(begin, std::min(rows, begin + grain));
              },
              QueuePriority::High);
}

}  // namespace qv::sim
