// Work queues: the main queue, named serial queues and concurrent global queues, on Boost.Asio.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/Error.h"

namespace qv {

using Task = std::function<void()>;

// The error a task's failure is reported with: the queue's label, the task's name (when it has
// one) and the reason, in the description and as details.
inline constexpr const char* kQueueErrorDomain = "com.quorvel.queue";
inline constexpr int kTaskFailedError = 1;
inline constexpr const char* kQueueLabelKey = "Queue";
inline constexpr const char* kTaskNameKey = "Task";

class Queue : public std::enable_shared_from_this<Queue> {
public:
  virtual ~Queue() = default;

  const std::string& label() const { return label_; }

  // Runs the task later on this queue; never runs it before returning. A task that throws does
  // not take its worker thread, and so the program, down with it: the queue logs its label and
  // the reason and goes on with its next task.
  virtual void async(Task task) = 0;
  // The same for work whose caller waits for an outcome: when the task throws, the failure is
  // logged with the task's name and `failed` is called on this queue with the error, so that the
  // caller's completion still learns that the work did not happen.
  void async(std::string name, Task task, ErrorCallback failed);

  // Runs the task on this queue and waits for it. Called on the queue itself, it runs the task
  // at once (rather than waiting forever for itself).
  void sync(Task task);

  // True while the calling thread runs a task of this queue. The process's main thread counts as
  // running the main queue whenever it runs no other queue's task.
  bool isCurrent() const;

  // Serial queues run one task at a time, in the order they were added.
  virtual bool isSerial() const = 0;

protected:
  explicit Queue(std::string label) : label_(std::move(label)) {}
  // Wraps a task so that isCurrent() knows which queue runs it.
  Task wrap(Task task);

private:
  std::string label_;
};

using QueuePtr = std::shared_ptr<Queue>;

enum class QueuePriority { High, Default, Low, Background };

// The queue of the main thread: all user-interface work and all device replies run on it.
QueuePtr mainQueue();
// A new serial queue; its tasks run on the shared worker threads, one at a time, in order.
QueuePtr makeSerialQueue(std::string label);
// The concurrent queue of a priority.
QueuePtr globalQueue(QueuePriority priority = QueuePriority::Default);

// The queue running the calling code (the main queue on the main thread outside any task), or
// nullptr on a thread that no queue runs.
Queue* currentQueue();
bool isMainQueue();

// Runs the task on the queue once the delay has passed on the current clock.
void after(Duration delay, QueuePtr queue, Task task);

// The main loop. The program runs it until stopped; the GUI instead drains the main queue from
// its own event loop whenever the wake-up hook says that work has arrived.
void runMainLoop();
void stopMainLoop();
// Runs every task that is ready on the main queue, including those the tasks themselves add;
// returns how many ran. Must be called on the thread that owns the main loop.
std::size_t drainMainQueue();
// Runs main-queue tasks until `done` answers true or the real-time limit passes; answers `done`.
// For tests whose work crosses real threads (a pseudo-terminal, a worker queue).
bool runMainQueueUntil(const std::function<bool()>& done, Duration realTimeLimit);
// Called (from any thread) after each task added to the main queue.
void setMainQueueWakeup(std::function<void()> wakeup);

}  // namespace qv
