#include "support/virtual_time.hpp"

#include <optional>

namespace vosk::test {

struct VirtualTimeQueue::Item {
  Work work;
  bool cancelled = false;  // guarded by the queue's mutex
};

class VirtualTimeQueue::Work_ final : public DelayedWork {
 public:
  Work_(VirtualTimeQueue& queue, std::weak_ptr<Item> item) : queue_(queue), item_(std::move(item)) {}
  void cancel() override {
    std::lock_guard lock(queue_.mutex_);
    if (auto item = item_.lock()) item->cancelled = true;
  }

 private:
  VirtualTimeQueue& queue_;
  std::weak_ptr<Item> item_;
};

class VirtualTimeQueue::Timer final : public RepeatingTimer {
 public:
  Timer(VirtualTimeQueue& queue, double interval, Work handler)
      : queue_(queue), alive_(std::make_shared<bool>(true)), interval_(interval), handler_(std::move(handler)) {
    ++queue_.liveTimers_;
  }
  ~Timer() override {
    std::lock_guard lock(queue_.mutex_);
    *alive_ = false;
    --queue_.liveTimers_;
  }
  void arm(double deadline) {
    VirtualTimeQueue* queue = &queue_;
    std::weak_ptr<bool> alive = alive_;
    queue_.enqueue(deadline, [this, queue, alive, deadline] {
      {
        // The timer may be gone: look only at the queue until it is known alive.
        std::lock_guard lock(queue->mutex_);
        const auto stillAlive = alive.lock();
        if (!stillAlive || !*stillAlive) return;
      }
      // Zero leeway: the next firing is exactly one interval after this one.
      arm(deadline + interval_);
      handler_();
    });
  }

 private:
  VirtualTimeQueue& queue_;
  std::shared_ptr<bool> alive_;
  double interval_;
  Work handler_;
};

std::shared_ptr<VirtualTimeQueue::Item> VirtualTimeQueue::enqueue(double deadline, Work work) {
  auto item = std::make_shared<Item>(Item{std::move(work)});
  std::lock_guard lock(mutex_);
  items_.emplace(Key{deadline, nextSequence_++}, item);
  return item;
}

void VirtualTimeQueue::post(Work work) { enqueue(now_.load(), std::move(work)); }

std::shared_ptr<DelayedWork> VirtualTimeQueue::schedule(double delaySeconds, Work work) {
  return std::make_shared<Work_>(*this, enqueue(now_.load() + delaySeconds, std::move(work)));
}

std::unique_ptr<RepeatingTimer> VirtualTimeQueue::makeRepeatingTimer(double firstDelaySeconds, double intervalSeconds,
                                                                     Work handler) {
  auto timer = std::make_unique<Timer>(*this, intervalSeconds, std::move(handler));
  timer->arm(now_.load() + firstDelaySeconds);
  return timer;
}

bool VirtualTimeQueue::runOneDueBy(double limit) {
  std::shared_ptr<Item> item;
  {
    std::lock_guard lock(mutex_);
    auto it = items_.begin();
    while (it != items_.end() && it->second->cancelled) it = items_.erase(it);
    if (it == items_.end() || it->first.first > limit) return false;
    if (it->first.first > now_.load()) now_.store(it->first.first);
    item = std::move(it->second);
    items_.erase(it);
  }
  item->work();
  return true;
}

std::size_t VirtualTimeQueue::runUntilIdle() {
  std::size_t ran = 0;
  while (runOneDueBy(now_.load())) ++ran;
  return ran;
}

std::size_t VirtualTimeQueue::advance(double seconds) {
  const double target = now_.load() + seconds;
  std::size_t ran = 0;
  while (runOneDueBy(target)) ++ran;
  now_.store(target);
  return ran;
}

std::size_t VirtualTimeQueue::pendingCount() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& [key, item] : items_) count += item->cancelled ? 0 : 1;
  return count;
}

std::optional<Instant> VirtualTimeQueue::nextDeadline() const {
  std::lock_guard lock(mutex_);
  for (const auto& [key, item] : items_) {
    if (!item->cancelled) return Instant::fromSeconds(key.first);
  }
  return std::nullopt;
}

}  // namespace vosk::test
