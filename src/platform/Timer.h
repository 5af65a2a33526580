// One-shot and repeating timers whose fire date can be moved, firing onto a queue.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/Clock.h"
#include "platform/Queue.h"

namespace qv {

// A timer runs its block on its queue when its fire date arrives on the current clock. A one-shot
// timer is invalid after it fires; a repeating one fires every interval until invalidated (missed
// firings are skipped, not caught up). A scheduled timer is kept alive by the scheduler until it
// is invalidated or, for a one-shot, has fired.
class Timer : public std::enable_shared_from_this<Timer> {
public:
  static std::shared_ptr<Timer> create(Duration interval, bool repeats, QueuePtr queue,
                                       std::function<void()> block);

  // A timer on the main queue that runs the block each time it fires, already scheduled; and the
  // same timer not yet scheduled (the caller schedules it). An empty block fires without effect.
  static std::shared_ptr<Timer> scheduledTimer(double intervalSeconds, std::function<void()> block,
                                               bool repeats);
  static std::shared_ptr<Timer> timer(double intervalSeconds, std::function<void()> block,
                                      bool repeats);

  // Starts the timer: its first firing is one interval from now.
  void schedule();
  // Stops it for good. A firing already queued but not yet run is dropped.
  void invalidate();
  bool isValid() const;

  // Runs the block at once on the calling thread, as the timer's firing would (a one-shot timer
  // is then invalid).
  void fire();

  TimePoint fireDate() const;
  // Moves the next firing (later to push it back, as a watchdog does on every reply). A firing
  // already queued for the old date is dropped.
  void setFireDate(TimePoint date);
  // Moves the next firing to one interval from now.
  void pushBack() { setFireDate(now() + interval_); }

  Duration interval() const { return interval_; }
  bool repeats() const { return repeats_; }
  const std::function<void()>& block() const { return block_; }

private:
  friend class TimerService;
  Timer(Duration interval, bool repeats, QueuePtr queue, std::function<void()> block);
  void runQueuedFiring(std::uint64_t generation);

  const Duration interval_;
  const bool repeats_;
  const QueuePtr queue_;
  const std::function<void()> block_;

  // Guarded by the scheduler's lock.
  TimePoint fireDate_{};
  std::uint64_t generation_ = 0;
  bool valid_ = true;
  bool scheduled_ = false;  // put on the scheduler and not invalidated since
};

}  // namespace qv
