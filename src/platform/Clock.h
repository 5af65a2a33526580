// The one clock every timer and delay reads; tests swap in a manual clock and move it by hand.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

namespace qv {

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

// Seconds as a double, the unit the scanner's timings are given in.
constexpr Duration seconds(double s) {
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
constexpr double toSeconds(Duration d) { return std::chrono::duration<double>(d).count(); }

class Clock {
public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // A manual clock never moves on its own, so nothing may wait for it in real time.
  virtual bool isManual() const { return false; }
};

class SystemClock final : public Clock {
public:
  TimePoint now() const override;
};

// A clock that stands still until advanced. Advancing fires every timer that falls due on the way,
// in time order, each at its own fire date (their work is posted onto their queues, not run here).
class ManualClock final : public Clock {
public:
  ManualClock();  // starts at the real time, so timers scheduled before the swap keep their meaning
  TimePoint now() const override;
  bool isManual() const override { return true; }

  void advance(Duration by);
  void advanceSeconds(double s) { advance(seconds(s)); }

private:
  friend class TimerService;
  std::atomic<Duration::rep> ticks_;
};

// The clock in use. Starts as the system clock.
Clock& clock();
TimePoint now();

// Replaces the clock (nullptr puts the system clock back). Tests do this before creating timers.
void setClock(std::shared_ptr<Clock> clock);

}  // namespace qv
