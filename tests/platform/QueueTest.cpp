// Queues: order and exclusion of serial queues, the main queue's draining, sync from anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <new>
#include <stdexcept>
#include <set>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/Queue.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksOneAtATimeInTheOrderGiven) {
  auto queue = qv::makeSerialQueue("test.serial");
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  constexpr int kTasks = 2000;
  for (int i = 0; i < kTasks; ++i) {
    queue->async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);  // unguarded on purpose: the queue must serialise it
      running.fetch_sub(1);
    });
  }
  queue->sync([] {});
  ASSERT_EQ(order.size(), static_cast<size_t>(kTasks));
  for (int i = 0; i < kTasks; ++i) ASSERT_EQ(order[i], i);
  EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, TwoQueuesRunAtTheSameTime) {
  // Each task waits for the other queue's task to start: only true concurrency lets both finish.
  auto a = qv::makeSerialQueue("test.a");
  auto b = qv::makeSerialQueue("test.b");
  std::atomic<int> started{0};
  std::atomic<int> sawTheOther{0};
  auto task = [&] {
    started.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + qv::test::kPatience;
    while (started.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    // Run one after the other, the first task would end without the second having begun.
    if (started.load() == 2) sawTheOther.fetch_add(1);
  };
  a->async(task);
  b->async(task);
  a->sync([] {});
  b->sync([] {});
  EXPECT_EQ(sawTheOther.load(), 2);
}

TEST(Queue, KnowsWhenItIsCurrentAndSyncOnItselfRunsInline) {
  auto queue = qv::makeSerialQueue("test.current");
  EXPECT_FALSE(queue->isCurrent());
  bool inside = false, nested = false;
  queue->sync([&] {
    inside = queue->isCurrent() && qv::currentQueue() == queue.get();
    queue->sync([&] { nested = true; });  // would wait for itself forever if not run inline
  });
  EXPECT_TRUE(inside);
  EXPECT_TRUE(nested);
}

TEST(MainQueue, TheMainThreadOwnsItOutsideTheLoopSoSyncRunsInline) {
  EXPECT_TRUE(qv::isMainQueue());
  EXPECT_EQ(qv::currentQueue(), qv::mainQueue().get());
  bool ran = false;
  qv::mainQueue()->sync([&] { ran = true; });  // would wait forever for an undrained loop
  EXPECT_TRUE(ran);
  auto worker = qv::makeSerialQueue("test.not-main");
  bool mainOnWorker = true;
  worker->sync([&] { mainOnWorker = qv::isMainQueue() || qv::mainQueue()->isCurrent(); });
  EXPECT_FALSE(mainOnWorker);
}

TEST(GlobalQueue, RunsManyTasksConcurrently) {
  auto queue = qv::globalQueue(qv::QueuePriority::Default);
  EXPECT_FALSE(queue->isSerial());
  std::mutex m;
  std::set<std::thread::id> threads;
  std::atomic<int> done{0};
  std::atomic<int> inFlight{0};
  std::atomic<int> maxInFlight{0};
  for (int i = 0; i < 16; ++i) {
    queue->async([&] {
      int now = inFlight.fetch_add(1) + 1;
      int seen = maxInFlight.load();
      while (now > seen && !maxInFlight.compare_exchange_weak(seen, now)) {}
      std::this_thread::sleep_for(20ms);
      {
        std::lock_guard lock(m);
        threads.insert(std::this_thread::get_id());
      }
      inFlight.fetch_sub(1);
      done.fetch_add(1);
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + qv::test::kPatience;
  while (done.load() < 16 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(done.load(), 16);
  EXPECT_GT(maxInFlight.load(), 1);
  EXPECT_GT(threads.size(), 1u);
}

TEST(MainQueue, RunsOnlyWhenDrainedAndIncludesTasksAddedWhileDraining) {
  std::vector<int> order;
  qv::mainQueue()->async([&] {
    order.push_back(1);
    EXPECT_TRUE(qv::isMainQueue());
    qv::mainQueue()->async([&] { order.push_back(3); });
  });
  qv::mainQueue()->async([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());  // async never runs before returning
  EXPECT_EQ(qv::drainMainQueue(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(qv::drainMainQueue(), 0u);
}

TEST(MainQueue, WorkFromOtherThreadsArrivesAndWakesTheLoop) {
  std::atomic<int> wakeups{0};
  qv::setMainQueueWakeup([&] { wakeups.fetch_add(1); });
  bool ran = false;
  auto worker = qv::makeSerialQueue("test.worker");
  worker->async([&] { qv::mainQueue()->async([&] { ran = qv::isMainQueue(); }); });
  // The wake-up is called just after the task is queued, so the task may run first.
  EXPECT_TRUE(qv::runMainQueueUntil([&] { return ran && wakeups.load() >= 1; }, qv::test::kPatience));
  EXPECT_TRUE(ran);
  qv::setMainQueueWakeup(nullptr);
}

TEST(MainQueue, SyncFromAWorkerWaitsForTheMainLoop) {
  auto worker = qv::makeSerialQueue("test.sync");
  std::atomic<bool> returned{false};
  int value = 0;
  worker->async([&] {
    qv::mainQueue()->sync([&] { value = 42; });
    returned = true;
  });
  EXPECT_TRUE(qv::runMainQueueUntil([&] { return returned.load(); }, qv::test::kPatience));
  EXPECT_EQ(value, 42);
}

TEST(Queue, ATaskThatThrowsIsLoggedAndReportedAndTheQueueGoesOn) {
  qv::test::TempFolder logs;
  qv::log::Setup setup;
  setup.logFolder = logs.path();
  setup.console = false;
  setup.systemLog = false;
  qv::log::setup(setup);

  // A task whose caller waits for an outcome: the failure reaches it, on the task's queue.
  auto serial = qv::makeSerialQueue("test.throwing");
  std::promise<std::pair<qv::Error, bool>> reported;
  serial->async("export the scan", [] { throw std::runtime_error("the disk is on fire"); },
                [&](const qv::Error& e) { reported.set_value({e, serial->isCurrent()}); });
  auto [error, onItsQueue] = reported.get_future().get();
  EXPECT_EQ(error.domain, qv::kQueueErrorDomain);
  EXPECT_EQ(error.code, qv::kTaskFailedError);
  EXPECT_NE(error.description.find("the disk is on fire"), std::string::npos) << error.description;
  EXPECT_EQ(error.userInfo.at(qv::kQueueLabelKey), qv::Value("test.throwing"));
  EXPECT_EQ(error.userInfo.at(qv::kTaskNameKey), qv::Value("export the scan"));
  EXPECT_TRUE(onItsQueue);

  // Tasks nobody waits for: running out of memory on a worker thread or on the main queue ends
  // neither the program nor the queue, and the next task runs.
  auto global = qv::globalQueue(qv::QueuePriority::Background);
  global->async([] { throw std::bad_alloc(); });
  bool after = false;
  serial->async([] { throw 7; });
  serial->sync([&] { after = true; });
  EXPECT_TRUE(after);
  qv::mainQueue()->async([] { throw std::logic_error("a broken promise"); });
  bool mainAfter = false;
  qv::mainQueue()->async([&] { mainAfter = true; });
  EXPECT_NO_THROW(qv::drainMainQueue());
  EXPECT_TRUE(mainAfter);

  // Each failure is in the log with its queue's label and its reason (the global queue's task runs
  // whenever a worker is free, so the log is read until it is there).
  const std::vector<std::string> lines = {
      "The task \"export the scan\" on queue test.throwing failed: the disk is on fire",
      "A task on queue com.quorvel.global.background failed: there was not enough memory",
      "A task on queue test.throwing failed: an exception that is not a std::exception",
      "A task on queue com.quorvel.main-thread failed: a broken promise"};
  std::string text;
  const bool logged = qv::test::waitFor([&] {
    const auto files = qv::log::sortedLogFilePaths();
    if (files.size() != 1) return false;
    std::ifstream in(files[0]);
    text.assign(std::istreambuf_iterator<char>(in), {});
    return std::all_of(lines.begin(), lines.end(), [&](const std::string& l) { return text.find(l) != std::string::npos; });
  });
  qv::log::reset();
  EXPECT_TRUE(logged) << text;
}
