// Delayed work and timers on the manual clock: nothing here waits in real time.
#include <gtest/gtest.h>

#include <vector>

#include "platform/Queue.h"
#include "platform/Timer.h"
#include "support/ManualClockScope.h"
#include "support/WaitFor.h"

class ManualClockTest : public ::testing::Test {
protected:
  void SetUp() override { qv::drainMainQueue(); }
  void TearDown() override { qv::drainMainQueue(); }
  // Moves the clock and runs what fell due.
  void advance(double s) { manualClock_.advanceSeconds(s); }
  qv::test::ManualClockScope manualClock_;
  std::shared_ptr<qv::ManualClock> clock_ = manualClock_.clock();
};

TEST_F(ManualClockTest, DelayedWorkRunsOnceItsDelayHasPassedInTimeOrder) {
  std::vector<int> order;
  qv::after(qv::seconds(2.0), qv::mainQueue(), [&] { order.push_back(2); });
  qv::after(qv::seconds(1.0), qv::mainQueue(), [&] { order.push_back(1); });
  qv::after(qv::seconds(1.0), qv::mainQueue(), [&] { order.push_back(11); });  // same date: scheduling order
  advance(0.999);
  EXPECT_TRUE(order.empty());
  advance(0.001);
  EXPECT_EQ(order, (std::vector<int>{1, 11}));
  advance(5.0);
  EXPECT_EQ(order, (std::vector<int>{1, 11, 2}));
}

TEST_F(ManualClockTest, WorkIsPostedOnItsQueueNotRunByTheClock) {
  bool ran = false;
  qv::after(qv::seconds(1.0), qv::mainQueue(), [&] { ran = true; });
  clock_->advanceSeconds(1.0);
  EXPECT_FALSE(ran);
  qv::drainMainQueue();
  EXPECT_TRUE(ran);
}

TEST_F(ManualClockTest, AWatchdogPushedBackByEveryReplyFiresOnlyAfterSilence) {
  int fired = 0;
  auto watchdog = qv::Timer::scheduledTimer(2.0, [&] { ++fired; }, false);
  for (int reply = 0; reply < 5; ++reply) {
    advance(1.5);
    watchdog->pushBack();  // a line arrived
  }
  EXPECT_EQ(fired, 0);
  advance(1.999);
  EXPECT_EQ(fired, 0);
  advance(0.001);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(watchdog->isValid());  // a one-shot is spent once it fired
  advance(10);
  EXPECT_EQ(fired, 1);
}

TEST_F(ManualClockTest, PushingBackAFiringAlreadyQueuedDropsItAndFiresLater) {
  int fired = 0;
  auto watchdog = qv::Timer::scheduledTimer(2.0, [&] { ++fired; }, false);
  clock_->advanceSeconds(2.0);  // due: its firing is queued, not yet run
  watchdog->pushBack();         // a reply handled first on the same loop
  qv::drainMainQueue();
  EXPECT_EQ(fired, 0);
  EXPECT_TRUE(watchdog->isValid());
  advance(2.0);
  EXPECT_EQ(fired, 1);
}

TEST_F(ManualClockTest, InvalidatedTimersNeverFire) {
  int fired = 0;
  auto timer = qv::Timer::scheduledTimer(1.0, [&] { ++fired; }, true);
  clock_->advanceSeconds(1.0);
  timer->invalidate();  // after being queued but before running
  qv::drainMainQueue();
  advance(5.0);
  EXPECT_EQ(fired, 0);
  EXPECT_FALSE(timer->isValid());
}

TEST_F(ManualClockTest, RepeatingTimersSkipMissedFirings) {
  int fired = 0;
  auto timer = qv::Timer::scheduledTimer(1.0, [&] { ++fired; }, true);
  advance(1.0);
  advance(1.0);
  EXPECT_EQ(fired, 2);
  advance(10.5);  // one firing for the whole gap, then back on a one-second beat
  EXPECT_EQ(fired, 3);
  advance(1.0);
  EXPECT_EQ(fired, 4);
  timer->invalidate();
}

TEST_F(ManualClockTest, AnUnscheduledTimerDoesNothingUntilScheduledAndFireRunsItsBlock) {
  int fired = 0;
  auto timer = qv::Timer::timer(1.0, [&] { ++fired; }, false);
  advance(5.0);
  EXPECT_EQ(fired, 0);
  timer->fire();  // the firing target, run by hand
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(timer->isValid());

  auto empty = qv::Timer::scheduledTimer(1.0, nullptr, false);  // no block: fires without effect
  advance(1.0);
  EXPECT_FALSE(empty->isValid());
}

TEST_F(ManualClockTest, TimersFireOntoTheirOwnQueue) {
  auto queue = qv::makeSerialQueue("test.timer-queue");
  std::atomic<bool> onQueue{false};
  auto timer = qv::Timer::create(qv::seconds(0.5), false, queue, [&] { onQueue = queue->isCurrent(); });
  timer->schedule();
  clock_->advanceSeconds(0.5);
  queue->sync([] {});
  EXPECT_TRUE(onQueue.load());
}

TEST(SystemClock, DelayedWorkRunsInRealTime) {
  // The one real-time check: the scheduler thread fires on the system clock.
  bool ran = false;
  const auto start = std::chrono::steady_clock::now();
  qv::after(qv::seconds(0.02), qv::mainQueue(), [&] { ran = true; });
  ASSERT_TRUE(qv::runMainQueueUntil([&] { return ran; }, qv::test::kPatience));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));
}
