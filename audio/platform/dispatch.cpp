#include "audio/platform/dispatch.h"

#include <unistd.h>

#include <algorithm>

namespace lumeno {

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration toDuration(double seconds) {
  if (!(seconds > 0)) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SerialQueue::async(Block block) {
  {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(block));
  }
  wake_.notify_one();
}

void SerialQueue::sync(const Block& block) {
  if (isCurrent()) {
    block();
    return;
  }
  std::mutex doneMutex;
  std::condition_variable doneCond;
  bool done = false;
  async([&] {
    block();
    std::lock_guard lock(doneMutex);
    done = true;
    doneCond.notify_one();
  });
  std::unique_lock lock(doneMutex);
  doneCond.wait(lock, [&] { return done; });
}

void SerialQueue::asyncAfter(double seconds, WorkItemRef item) {
  asyncAt(Clock::now() + toDuration(seconds), [item] { item->perform(); });
}

WorkItemRef SerialQueue::asyncAfter(double seconds, Block block) {
  auto item = std::make_shared<WorkItem>(std::move(block));
  asyncAfter(seconds, item);
  return item;
}

static bool later(const auto& a, const auto& b) {
  return a.when != b.when ? a.when > b.when : a.seq > b.seq;
}

void SerialQueue::asyncAt(Clock::time_point when, Block block) {
  {
    std::lock_guard lock(mutex_);
    timed_.push_back({when, nextSeq_++, std::move(block)});
    std::push_heap(timed_.begin(), timed_.end(), [](const Timed& a, const Timed& b) { return later(a, b); });
  }
  wake_.notify_one();
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void SerialQueue::run() {
  std::unique_lock lock(mutex_);
  std::vector<Block> batch;
  for (;;) {
    // Delayed blocks that are due join the FIFO in deadline order.
    auto now = Clock::now();
    while (!timed_.empty() && timed_.front().when <= now) {
      std::pop_heap(timed_.begin(), timed_.end(), [](const Timed& a, const Timed& b) { return later(a, b); });
      ready_.push_back(std::move(timed_.back().block));
      timed_.pop_back();
    }
    if (!ready_.empty()) {
      batch.swap(ready_);
      lock.unlock();
      for (auto& block : batch) block();
      batch.clear();
      lock.lock();
      continue;
    }
    if (stopping_) return;
    if (timed_.empty()) {
      wake_.wait(lock);
    } else {
      // A copy: the heap may grow, and move its elements, while this waits.
      auto due = timed_.front().when;
      wake_.wait_until(lock, due);
    }
  }
}

struct RepeatingTimer::State {
  SerialQueue* queue;
  Clock::duration period;
  Block handler;
  std::mutex mutex;
  bool cancelled = false;
  bool started = false;
  Clock::time_point start;
  int64_t tick = 0;  // index of the next deadline
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, double periodSeconds, Block handler)
    : state_(std::make_shared<State>()) {
  state_->queue = &queue;
  state_->period = std::max(toDuration(periodSeconds), Clock::duration(std::chrono::microseconds(100)));
  state_->handler = std::move(handler);
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::start() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->started || state_->cancelled) return;
    state_->started = true;
    state_->start = Clock::now();
    state_->tick = 1;
  }
  schedule(state_);
}

void RepeatingTimer::cancel() {
  std::lock_guard lock(state_->mutex);
  state_->cancelled = true;
}

void RepeatingTimer::schedule(const std::shared_ptr<State>& state) {
  Clock::time_point when;
  {
    std::lock_guard lock(state->mutex);
    if (state->cancelled) return;
    when = state->start + state->period * state->tick;
  }
  std::weak_ptr<State> weak = state;
  state->queue->asyncAt(when, [weak] {
    auto state = weak.lock();
    if (!state) return;
    {
      std::lock_guard lock(state->mutex);
      if (state->cancelled) return;
      // Skip deadlines that have already passed while this tick waited.
      auto now = Clock::now();
      do {
        ++state->tick;
      } while (state->start + state->period * state->tick <= now);
    }
    state->handler();
    schedule(state);
  });
}

void Group::enter() {
  std::lock_guard lock(mutex_);
  ++count_;
}

void Group::leave() {
  std::vector<std::pair<SerialQueue*, Block>> fire;
  {
    std::lock_guard lock(mutex_);
    if (count_ > 0) --count_;
    if (count_ != 0) return;
    fire.swap(waiting_);
    empty_.notify_all();
  }
  for (auto& [queue, block] : fire) queue->async(std::move(block));
}

void Group::wait() {
  std::unique_lock lock(mutex_);
  empty_.wait(lock, [this] { return count_ == 0; });
}

bool Group::wait(double seconds) {
  std::unique_lock lock(mutex_);
  return empty_.wait_for(lock, toDuration(seconds), [this] { return count_ == 0; });
}

void Group::notify(SerialQueue& queue, Block block) {
  {
    std::lock_guard lock(mutex_);
    if (count_ != 0) {
      waiting_.emplace_back(&queue, std::move(block));
      return;
    }
  }
  queue.async(std::move(block));
}

void Semaphore::signal() {
  std::lock_guard lock(mutex_);
  ++value_;
  cond_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock lock(mutex_);
  cond_.wait(lock, [this] { return value_ > 0; });
  --value_;
}

bool Semaphore::wait(double seconds) {
  std::unique_lock lock(mutex_);
  if (!cond_.wait_for(lock, toDuration(seconds), [this] { return value_ > 0; })) return false;
  --value_;
  return true;
}

void parkForever() {
  for (;;) pause();
}

}  // namespace lumeno
