// Queues on Boost.Asio: an io_context for the main queue, strands for serial queues, thread pools
// for the concurrent ones.
#include "platform/Queue.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <algorithm>
#include <exception>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include <unistd.h>

#include "platform/Log.h"
#include "platform/Timer.h"

namespace qv {

namespace asio = boost::asio;

namespace {

thread_local Queue* tlsCurrentQueue = nullptr;

// Worker threads shared by the serial queues and the high and default global queues; a second
// pool keeps long low-priority work (analysis, exports) from starving them. Both live for the
// whole process: they are never destroyed, so no task can outlive its pool at exit.
unsigned workerCount() { return std::max(8u, std::thread::hardware_concurrency()); }

asio::thread_pool& interactivePool() {
  static auto* pool = new asio::thread_pool(workerCount());
  return *pool;
}
asio::thread_pool& backgroundPool() {
  static auto* pool = new asio::thread_pool(workerCount());
  return *pool;
}

struct MainLoop {
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
  std::mutex wakeupMutex;
  std::function<void()> wakeup;
};

MainLoop& mainLoop() {
  static auto* loop = new MainLoop;
  return *loop;
}

class MainQueue final : public Queue {
public:
  MainQueue() : Queue("com.quorvel.main-thread") {}
  void async(Task task) override {
    MainLoop& loop = mainLoop();
    asio::post(loop.context, wrap(std::move(task)));
    std::function<void()> wakeup;
    {
      std::lock_guard lock(loop.wakeupMutex);
      wakeup = loop.wakeup;
    }
    if (wakeup) wakeup();
  }
  bool isSerial() const override { return true; }
};

class SerialQueue final : public Queue {
public:
  explicit SerialQueue(std::string label)
      : Queue(std::move(label)), strand_(asio::make_strand(interactivePool().get_executor())) {}
  void async(Task task) override { asio::post(strand_, wrap(std::move(task))); }
  bool isSerial() const override { return true; }

private:
  asio::strand<asio::thread_pool::executor_type> strand_;
};

class ConcurrentQueue final : public Queue {
public:
  ConcurrentQueue(std::string label, asio::thread_pool& pool) : Queue(std::move(label)), pool_(pool) {}
  void async(Task task) override { asio::post(pool_, wrap(std::move(task))); }
  bool isSerial() const override { return false; }

private:
  asio::thread_pool& pool_;
};

}  // namespace

namespace {

std::string reasonOf(const std::exception_ptr& thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const std::bad_alloc&) {
    return "there was not enough memory";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception that is not a std::exception";
  }
}

// Logs a task's failure and answers it as an error value.
Error taskFailure(const std::string& label, const std::string& name, const std::exception_ptr& thrown) {
  const std::string reason = reasonOf(thrown);
  const std::string what = name.empty() ? "A task" : "The task \"" + name + "\"";
  QVLogError("%s on queue %s failed: %s", what.c_str(), label.c_str(), reason.c_str());
  Dictionary details{{kQueueLabelKey, Value(label)}};
  if (!name.empty()) details[kTaskNameKey] = Value(name);
  return Error(kQueueErrorDomain, kTaskFailedError, what + " on queue " + label + " failed: " + reason, std::move(details));
}

}  // namespace

Task Queue::wrap(Task task) {
  // The task keeps its queue alive, so that currentQueue() never names a destroyed queue.
  return [self = shared_from_this(), task = std::move(task)] {
    Queue* previous = tlsCurrentQueue;
    tlsCurrentQueue = self.get();
    try {
      task();
    } catch (...) {
      // An exception leaving a worker thread would end the process.
      taskFailure(self->label(), {}, std::current_exception());
    }
    tlsCurrentQueue = previous;
  };
}

void Queue::async(std::string name, Task task, ErrorCallback failed) {
  async([label = label(), name = std::move(name), task = std::move(task), failed = std::move(failed)] {
    std::optional<Error> error;
    try {
      task();
    } catch (...) {
      error = taskFailure(label, name, std::current_exception());
    }
    if (error && failed) failed(*error);
  });
}

namespace {
// The process's first thread is the main thread: it owns the main queue even outside its loop,
// so that work meant for the main queue can run inline there instead of waiting for itself.
bool onProcessMainThread() { return ::gettid() == ::getpid(); }
}  // namespace

bool Queue::isCurrent() const {
  if (tlsCurrentQueue) return tlsCurrentQueue == this;
  return onProcessMainThread() && this == mainQueue().get();
}

void Queue::sync(Task task) {
  if (isCurrent()) {
    task();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  async([&] {
    try {
      task();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  finished.get();
}

QueuePtr mainQueue() {
  static auto* queue = new QueuePtr(std::make_shared<MainQueue>());
  return *queue;
}

QueuePtr makeSerialQueue(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

QueuePtr globalQueue(QueuePriority priority) {
  static auto* high = new QueuePtr(std::make_shared<ConcurrentQueue>("com.quorvel.global.high", interactivePool()));
  static auto* normal = new QueuePtr(std::make_shared<ConcurrentQueue>("com.quorvel.global.default", interactivePool()));
  static auto* low = new QueuePtr(std::make_shared<ConcurrentQueue>("com.quorvel.global.low", backgroundPool()));
  static auto* background = new QueuePtr(std::make_shared<ConcurrentQueue>("com.quorvel.global.background", backgroundPool()));
  switch (priority) {
    case QueuePriority::High: return *high;
    case QueuePriority::Default: return *normal;
    case QueuePriority::Low: return *low;
    case QueuePriority::Background: return *background;
  }
  return *normal;
}

Queue* currentQueue() {
  if (tlsCurrentQueue) return tlsCurrentQueue;
  return onProcessMainThread() ? mainQueue().get() : nullptr;
}

bool isMainQueue() { return currentQueue() == mainQueue().get(); }

void after(Duration delay, QueuePtr queue, Task task) {
  auto timer = Timer::create(delay, false, std::move(queue), std::move(task));
  timer->schedule();
}

void runMainLoop() {
  MainLoop& loop = mainLoop();
  loop.context.restart();
  loop.context.run();
}

void stopMainLoop() { mainLoop().context.stop(); }

std::size_t drainMainQueue() {
  MainLoop& loop = mainLoop();
  loop.context.restart();
  return loop.context.poll();
}

bool runMainQueueUntil(const std::function<bool()>& done, Duration realTimeLimit) {
  MainLoop& loop = mainLoop();
  const auto deadline = std::chrono::steady_clock::now() + realTimeLimit;
  for (;;) {
    loop.context.restart();
    loop.context.poll();
    if (done()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return done();
    const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(5));
    loop.context.run_one_for(slice);
  }
}

void setMainQueueWakeup(std::function<void()> wakeup) {
  MainLoop& loop = mainLoop();
  std::lock_guard lock(loop.wakeupMutex);
  loop.wakeup = std::move(wakeup);
}

}  // namespace qv
