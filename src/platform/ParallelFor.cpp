// Parallel loops: the caller and its helpers claim indices from one shared counter.
#include "platform/ParallelFor.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>

#include "platform/Cores.h"

namespace qv {

int defaultParallelism() { return std::min(usableCores(), 16); }

namespace {

// Shared with the helpers, so that one starting after the loop has returned finds nothing to take.
struct Loop {
  std::size_t count = 0;
  const std::function<void(std::size_t)>* work = nullptr;  // valid while some index is unfinished
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> unfinished{0};
  std::mutex failureMutex;
  std::exception_ptr failure;

  // Takes indices until none is left. `work` is touched only after an index is claimed, and a
  // claimed index keeps the caller waiting, so the caller's function is still alive then.
  void run() {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
      try {
        (*work)(i);
      } catch (...) {
        std::lock_guard lock(failureMutex);
        if (!failure) failure = std::current_exception();
      }
      if (unfinished.fetch_sub(1, std::memory_order_acq_rel) == 1) unfinished.notify_all();
    }
  }
};

}  // namespace

void parallelFor(std::size_t count, int threads, const std::function<void(std::size_t index)>& work,
                 QueuePriority priority) {
  if (count == 0) return;
  const std::size_t helpers = std::min<std::size_t>(static_cast<std::size_t>(std::max(threads, 1)), count) - 1;
  auto loop = std::make_shared<Loop>();
  loop->count = count;
  loop->work = &work;
  loop->unfinished = count;
  if (helpers > 0) {
    const QueuePtr queue = globalQueue(priority);
    for (std::size_t i = 0; i < helpers; ++i) queue->async([loop] { loop->run(); });
  }
  loop->run();
  for (std::size_t left; (left = loop->unfinished.load(std::memory_order_acquire)) != 0;) loop->unfinished.wait(left);
  // Every call has finished: no helper writes the failure any more.
  if (loop->failure) std::rethrow_exception(loop->failure);
}

void runConcurrently(const std::vector<std::function<void()>>& tasks) {
  parallelFor(tasks.size(), static_cast<int>(tasks.size()), [&tasks](std::size_t i) { tasks[i](); });
}

}  // namespace qv
