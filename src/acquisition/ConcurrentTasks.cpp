// Concurrent tasks: workers and the caller take tasks by an atomic index.
#include "acquisition/ConcurrentTasks.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

#include "platform/Queue.h"

namespace qv {

namespace {

struct Batch {
  explicit Batch(const std::vector<std::function<void()>>& t) : tasks(t), count(t.size()) {}
  const std::vector<std::function<void()>>& tasks;  // read only while some are not yet taken
  const std::size_t count;
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::condition_variable finished;
  std::size_t done = 0;
  std::exception_ptr failure;

  // Takes and runs tasks until none is left to take.
  void work() {
    for (std::size_t i = next++; i < count; i = next++) {
      std::exception_ptr thrown;
      try {
        tasks[i]();
      } catch (...) {
        thrown = std::current_exception();
      }
      std::lock_guard lock(mutex);
      if (thrown && !failure) failure = thrown;
      if (++done == count) finished.notify_all();
    }
  }
};

}  // namespace

void runConcurrently(const std::vector<std::function<void()>>& tasks) {
  if (tasks.empty()) return;
  if (tasks.size() == 1) {
    tasks.front()();
    return;
  }
  // Shared with the workers: one that starts after the call has returned finds nothing to take
  // and touches neither the tasks nor the caller's vector.
  auto batch = std::make_shared<Batch>(tasks);
  for (std::size_t i = 1; i < tasks.size(); ++i) globalQueue(QueuePriority::Default)->async([batch] { batch->work(); });
  batch->work();
  std::unique_lock lock(batch->mutex);
  batch->finished.wait(lock, [&] { return batch->done == tasks.size(); });
  if (batch->failure) std::rethrow_exception(batch->failure);
}

}  // namespace qv
