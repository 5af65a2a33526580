// Row blocks claimed from a shared counter by the caller and its helpers.
#include "sim/optics/ParallelRows.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "platform/Queue.h"

namespace qv::sim {

int defaultRenderThreads() {
  static const int threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u));
  return threads;
}

namespace {

struct Job {
  int rows = 0, grain = 1, blocks = 0;
  std::atomic<int> next{0};
  std::atomic<int> remaining{0};
  const std::function<void(int, int)>* work = nullptr;  // valid while blocks remain

  // Takes blocks until none is left. `work` is touched only after a block is claimed, and a
  // claimed block keeps the caller waiting, so the caller's function is still alive then.
  void run() {
    for (int block; (block = next.fetch_add(1, std::memory_order_relaxed)) < blocks;) {
      const int begin = block * grain;
      (*work)(begin, std::min(rows, begin + grain));
      if (remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) remaining.notify_all();
    }
  }
};

}  // namespace

void forEachRowBlock(int rows, int grain, int threads, const std::function<void(int begin, int end)>& work) {
  if (rows <= 0) return;
  grain = std::max(1, grain);
  const int blocks = (rows + grain - 1) / grain;
  const int helpers = std::min(std::max(threads, 1), blocks) - 1;
  if (helpers <= 0) {
    work(0, rows);
    return;
  }
  auto job = std::make_shared<Job>();
  job->rows = rows;
  job->grain = grain;
  job->blocks = blocks;
  job->remaining = blocks;
  job->work = &work;
  const QueuePtr queue = globalQueue(QueuePriority::High);
  for (int i = 0; i < helpers; ++i) queue->async([job] { job->run(); });
  job->run();
  for (int left; (left = job->remaining.load(std::memory_order_acquire)) != 0;) job->remaining.wait(left);
}

}  // namespace qv::sim
