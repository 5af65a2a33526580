// The timer scheduler: one heap of fire dates, driven by a thread on the system clock or by the
// manual clock's advance() in tests.
#include "platform/Timer.h"

#include <condition_variable>
#include <queue>
#include <thread>
#include <vector>

namespace qv {

namespace {

struct Entry {
  TimePoint when;
  std::uint64_t sequence;  // keeps equal fire dates in scheduling order
  std::uint64_t generation;
  std::shared_ptr<Timer> timer;
  bool operator>(const Entry& o) const {
    return when != o.when ? when > o.when : sequence > o.sequence;
  }
};

}  // namespace

class TimerService {
public:
  static TimerService& instance() {
    static auto* service = new TimerService;  // never destroyed: its thread runs to the end
    return *service;
  }

  std::mutex mutex;

  void add(const std::shared_ptr<Timer>& timer) {
    // Caller holds the mutex and has set the timer's fire date and generation.
    heap_.push(Entry{timer->fireDate_, nextSequence_++, timer->generation_, timer});
    wake_.notify_all();
  }

  // Called by the manual clock with the service unlocked.
  void advanceManual(ManualClock& clock, Duration by) {
    std::unique_lock lock(mutex);
    const auto target = clock.now() + by;
    while (!heap_.empty() && heap_.top().when <= target) {
      Entry entry = heap_.top();
      heap_.pop();
      if (entry.when > clock.now()) clock.ticks_.store(entry.when.time_since_epoch().count());
      dispatch(entry);
    }
    clock.ticks_.store(target.time_since_epoch().count());
  }

  void clockChanged() {
    std::lock_guard lock(mutex);
    wake_.notify_all();
  }

private:
  TimerService() : thread_([this] { run(); }) { thread_.detach(); }

  // Caller holds the mutex. Queues the firing if the entry still stands. A repeating timer is
  // re-armed only once that firing has run, so a busy queue never piles up firings.
  void dispatch(const Entry& entry) {
    Timer& timer = *entry.timer;
    if (!timer.valid_ || entry.generation != timer.generation_) return;  // stale entry
    const std::uint64_t generation = timer.generation_;
    timer.queue_->async([timer = entry.timer, generation] { timer->runQueuedFiring(generation); });
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      Clock& c = clock();
      if (c.isManual() || heap_.empty()) {
        wake_.wait(lock);
        continue;
      }
      const TimePoint now = c.now();
      const Entry& top = heap_.top();
      if (top.when <= now) {
        Entry entry = top;
        heap_.pop();
        dispatch(entry);
        continue;
      }
      wake_.wait_until(lock, std::chrono::steady_clock::time_point(
                                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     top.when.time_since_epoch())));
    }
  }

  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap_;
  std::uint64_t nextSequence_ = 0;
  std::condition_variable wake_;
  std::thread thread_;
};

// ---- clocks ----

TimePoint SystemClock::now() const {
  return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
}

ManualClock::ManualClock() : ticks_(SystemClock().now().time_since_epoch().count()) {}

TimePoint ManualClock::now() const { return TimePoint(Duration(ticks_.load())); }

void ManualClock::advance(Duration by) { TimerService::instance().advanceManual(*this, by); }

namespace {
std::mutex clockMutex;
std::shared_ptr<Clock>& clockHolder() {
  static auto* holder = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
  return *holder;
}
std::atomic<Clock*> currentClock{nullptr};
}  // namespace

Clock& clock() {
  Clock* c = currentClock.load(std::memory_order_acquire);
  if (c) return *c;
  std::lock_guard lock(clockMutex);
  c = clockHolder().get();
  currentClock.store(c, std::memory_order_release);
  return *c;
}

TimePoint now() { return clock().now(); }

void setClock(std::shared_ptr<Clock> replacement) {
  {
    std::lock_guard lock(clockMutex);
    // The old clock is kept alive: a thread may still be reading it.
    static auto* retired = new std::vector<std::shared_ptr<Clock>>;
    retired->push_back(clockHolder());
    clockHolder() = replacement ? std::move(replacement) : std::make_shared<SystemClock>();
    currentClock.store(clockHolder().get(), std::memory_order_release);
  }
  TimerService::instance().clockChanged();
}

// ---- timers ----

Timer::Timer(Duration interval, bool repeats, QueuePtr queue, std::function<void()> block)
    : interval_(interval), repeats_(repeats), queue_(queue ? std::move(queue) : mainQueue()),
      block_(std::move(block)) {}

std::shared_ptr<Timer> Timer::create(Duration interval, bool repeats, QueuePtr queue,
                                     std::function<void()> block) {
  return std::shared_ptr<Timer>(new Timer(interval, repeats, std::move(queue), std::move(block)));
}

std::shared_ptr<Timer> Timer::timer(double intervalSeconds, std::function<void()> block, bool repeats) {
  return create(seconds(intervalSeconds), repeats, mainQueue(), std::move(block));
}

std::shared_ptr<Timer> Timer::scheduledTimer(double intervalSeconds, std::function<void()> block,
                                             bool repeats) {
  auto t = timer(intervalSeconds, std::move(block), repeats);
  t->schedule();
  return t;
}

void Timer::schedule() {
  TimerService& service = TimerService::instance();
  std::lock_guard lock(service.mutex);
  if (!valid_) return;
  fireDate_ = now() + interval_;
  ++generation_;
  scheduled_ = true;
  service.add(shared_from_this());
}

void Timer::invalidate() {
  std::lock_guard lock(TimerService::instance().mutex);
  valid_ = false;
  scheduled_ = false;
  ++generation_;
}

bool Timer::isValid() const {
  std::lock_guard lock(TimerService::instance().mutex);
  return valid_;
}

TimePoint Timer::fireDate() const {
  std::lock_guard lock(TimerService::instance().mutex);
  return fireDate_;
}

void Timer::setFireDate(TimePoint date) {
  TimerService& service = TimerService::instance();
  std::lock_guard lock(service.mutex);
  if (!valid_) return;
  fireDate_ = date;
  ++generation_;
  // A one-shot whose firing is queued but has not run yet is still valid: moving its date
  // drops that firing and schedules the new one, as on a run loop.
  if (scheduled_) service.add(shared_from_this());
}

void Timer::fire() {
  {
    std::lock_guard lock(TimerService::instance().mutex);
    if (!valid_) return;
    if (!repeats_) {
      valid_ = false;
      scheduled_ = false;
      ++generation_;
    }
  }
  if (block_) block_();
}

void Timer::runQueuedFiring(std::uint64_t generation) {
  {
    TimerService& service = TimerService::instance();
    std::lock_guard lock(service.mutex);
    if (!valid_ || generation != generation_) return;
    if (!repeats_ || interval_ <= Duration::zero()) {
      valid_ = false;
      ++generation_;
    } else {
      // The next beat after now: beats missed while the queue was busy are skipped.
      const TimePoint current = now();
      TimePoint next = fireDate_ + interval_;
      if (next <= current) next += ((current - next) / interval_ + 1) * interval_;
      fireDate_ = next;
      service.add(shared_from_this());
    }
  }
  if (block_) block_();
}

}  // namespace qv
