#include "audio/platform/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <vector>

namespace lumeno {
namespace {

using Clock = std::chrono::steady_clock;

TEST(SerialQueue, RunsBlocksInSubmissionOrderFromManyThreads) {
  SerialQueue queue("test.order");
  std::vector<int> seen;  // touched on the queue only
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) queue.async([&seen, t, i] { seen.push_back(t * 1000 + i); });
    });
  for (auto& s : senders) s.join();
  queue.sync([] {});
  ASSERT_EQ(seen.size(), 2000u);
  // Each sender's blocks keep their order.
  std::vector<int> last(4, -1);
  for (int v : seen) {
    EXPECT_GT(v % 1000, last[v / 1000]);
    last[v / 1000] = v % 1000;
  }
}

TEST(SerialQueue, SyncWaitsForEarlierBlocksAndRunsInlineOnItsOwnThread) {
  SerialQueue queue("test.sync");
  std::atomic<int> done{0};
  queue.async([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = 1;
  });
  queue.sync([&] { EXPECT_EQ(done.load(), 1); });
  bool inner = false;
  queue.sync([&] {
    EXPECT_TRUE(queue.isCurrent());
    queue.sync([&] { inner = true; });
  });
  EXPECT_TRUE(inner);
  EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, DelayedItemsRunInDeadlineOrderAndCancelledOnesNever) {
  SerialQueue queue("test.after");
  std::vector<int> seen;
  auto start = Clock::now();
  Clock::time_point ranAt;
  Semaphore last(0);
  queue.asyncAfter(0.12, [&] {
    seen.push_back(3);
    ranAt = Clock::now();
    last.signal();
  });
  auto cancelled = queue.asyncAfter(0.05, [&] { seen.push_back(99); });
  queue.asyncAfter(0.02, [&] { seen.push_back(1); });
  queue.asyncAfter(0.08, [&] { seen.push_back(2); });
  cancelled->cancel();
  ASSERT_TRUE(last.wait(10.0));
  queue.sync([] {});
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  EXPECT_GE(ranAt - start, std::chrono::milliseconds(120));
}

TEST(SerialQueue, AnItemCancelledByTheBlockBeforeItNeverRuns) {
  SerialQueue queue("test.cancel");
  bool ran = false;
  auto item = std::make_shared<WorkItem>([&] { ran = true; });
  queue.async([&] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); });
  queue.asyncAfter(0.0, item);
  queue.async([] {});
  item->cancel();  // still waiting behind the sleeping block
  queue.sync([] {});
  EXPECT_FALSE(ran);
}

TEST(RepeatingTimer, KeepsItsCadenceWithoutCumulativeDrift) {
  SerialQueue queue("test.timer");
  std::vector<Clock::time_point> ticks;  // on the queue only
  RepeatingTimer timer(queue, 0.1, [&] {
    ticks.push_back(Clock::now());
    // A handler that takes time must not push the next deadlines back.
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  });
  auto start = Clock::now();
  timer.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(2050));
  timer.cancel();
  std::vector<Clock::time_point> copy;
  queue.sync([&] { copy = ticks; });
  // A timer that slept 100 ms after each 15 ms handler would manage 17.
  ASSERT_GE(copy.size(), 18u);
  ASSERT_LE(copy.size(), 20u);
  // The last tick still lands near a multiple of the period after start.
  double lastMs = std::chrono::duration<double, std::milli>(copy.back() - start).count();
  double phase = std::fmod(lastMs, 100.0);
  EXPECT_LT(std::min(phase, 100.0 - phase), 30.0) << lastMs;
  size_t count = copy.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  queue.sync([&] { EXPECT_EQ(ticks.size(), count); });
}

TEST(Group, NotifiesOnAnotherThreadAfterTheLastLeave) {
  SerialQueue queue("test.group");
  Group group;
  std::atomic<int> left{0};
  std::atomic<bool> notified{false};
  std::atomic<int> leftWhenNotified{-1};
  for (int i = 0; i < 3; ++i) group.enter();
  group.notify(queue, [&] {
    EXPECT_TRUE(queue.isCurrent());
    leftWhenNotified = left.load();
    notified = true;
  });
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i)
    workers.emplace_back([&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20 * (i + 1)));
      ++left;
      group.leave();
    });
  EXPECT_TRUE(group.wait(5.0));
  for (auto& w : workers) w.join();
  queue.sync([] {});
  EXPECT_TRUE(notified);
  EXPECT_EQ(leftWhenNotified, 3);
}

TEST(Group, WaitWithATimeLimitGivesUpWhileWorkIsInFlight) {
  Group group;
  group.enter();
  EXPECT_FALSE(group.wait(0.05));
  group.leave();
  EXPECT_TRUE(group.wait(0.05));
}

TEST(Semaphore, CountsSignalsAndTimesOut) {
  Semaphore sem(0);
  EXPECT_FALSE(sem.wait(0.05));
  sem.signal();
  sem.signal();
  EXPECT_TRUE(sem.wait(0.05));
  EXPECT_TRUE(sem.wait(0.05));
  EXPECT_FALSE(sem.wait(0.01));
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    sem.signal();
  });
  sem.wait();
  t.join();
}

}  // namespace
}  // namespace lumeno
