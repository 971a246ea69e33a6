// Serial queues, delayed work items, repeating timers, groups and semaphores.
//
// A SerialQueue is one thread draining a FIFO of blocks in submission order;
// delayed blocks wait on the monotonic clock and run when due, in deadline
// order. The queue is the lock for whatever state its owner keeps on it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumeno {

using Block = std::function<void()>;

// A block that can be cancelled before it starts. Once cancelled it never
// runs; cancelling a running or finished item has no effect on that run.
class WorkItem {
 public:
  explicit WorkItem(Block block) : block_(std::move(block)) {}
  WorkItem(const WorkItem&) = delete;
  WorkItem& operator=(const WorkItem&) = delete;

  void cancel() { cancelled_.store(true); }
  bool isCancelled() const { return cancelled_.load(); }
  // Runs the block unless the item was cancelled.
  void perform() {
    if (!isCancelled()) block_();
  }

 private:
  Block block_;
  std::atomic<bool> cancelled_{false};
};

using WorkItemRef = std::shared_ptr<WorkItem>;

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  // Runs what is already due, then stops the thread. Delayed blocks that are
  // not yet due are dropped. Must not be called from the queue itself.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Queues block to run after everything submitted before it.
  void async(Block block);
  // Queues block and waits until it has run. Calling it from the queue's own
  // thread would wait for itself, so there it runs the block at once.
  void sync(const Block& block);
  // Queues item to run once `seconds` have passed on the monotonic clock.
  void asyncAfter(double seconds, WorkItemRef item);
  WorkItemRef asyncAfter(double seconds, Block block);
  // Queues block to run at an absolute point of the monotonic clock.
  void asyncAt(std::chrono::steady_clock::time_point when, Block block);

  // True on the queue's own thread.
  bool isCurrent() const;

 private:
  struct Timed {
    std::chrono::steady_clock::time_point when;
    uint64_t seq;
    Block block;
  };
  void run();

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Block> ready_;
  std::vector<Timed> timed_;  // heap ordered by (when, seq)
  uint64_t nextSeq_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

// Calls a handler on a queue every period, with deadline n at start + n x period,
// so late ticks never push later ones back. A tick that is due while the
// previous one still waits on a busy queue is skipped rather than stacked.
class RepeatingTimer {
 public:
  // The first tick is one period after start().
  RepeatingTimer(SerialQueue& queue, double periodSeconds, Block handler);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  void start();
  // After cancel() returns, no further tick starts.
  void cancel();

 private:
  struct State;
  static void schedule(const std::shared_ptr<State>& state);
  std::shared_ptr<State> state_;
};

// Counts work in flight; wait() and notify() fire once the count is back at 0.
class Group {
 public:
  void enter();
  void leave();
  // Blocks until every enter() has had its leave().
  void wait();
  // As wait(), for at most `seconds`; false when time ran out.
  bool wait(double seconds);
  // Queues block on queue once the group is empty (at once if it is now).
  void notify(SerialQueue& queue, Block block);

 private:
  std::mutex mutex_;
  std::condition_variable empty_;
  int64_t count_ = 0;
  std::vector<std::pair<SerialQueue*, Block>> waiting_;
};

class Semaphore {
 public:
  explicit Semaphore(int64_t value = 0) : value_(value) {}
  void signal();
  void wait();
  // False when `seconds` passed without a signal.
  bool wait(double seconds);

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  int64_t value_;
};

// Gives the calling thread away for good; the process ends through exit()
// called on some other thread.
[[noreturn]] void parkForever();

}  // namespace lumeno
