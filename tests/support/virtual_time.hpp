#pragma once

#include <atomic>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/clock.hpp"
#include "platform/main_queue.hpp"

namespace vosk::test {

// The main queue and the clock in virtual time. Work runs only when the test
// says so: runUntilIdle() runs what is due now, advance() moves time forward
// and runs due work in deadline order (same deadline: the order it was
// scheduled). post() and schedule() may be called from any thread.
class VirtualTimeQueue final : public MainQueue, public Clock {
 public:
  // Clock
  Instant now() const override { return Instant::fromSeconds(now_.load()); }

  // MainQueue
  void post(Work work) override;
  std::shared_ptr<DelayedWork> schedule(double delaySeconds, Work work) override;
  std::unique_ptr<RepeatingTimer> makeRepeatingTimer(double firstDelaySeconds, double intervalSeconds,
                                                     Work handler) override;
  // Tests run the queue step by step; nothing hands it over for ever.
  [[noreturn]] void dispatchMain() override { std::abort(); }

  // Test controls. Both return the number of work items run.
  std::size_t runUntilIdle();
  std::size_t advance(double seconds);
  // Work items waiting, due now or later (cancelled ones excluded).
  std::size_t pendingCount() const;
  std::size_t repeatingTimerCount() const { return liveTimers_.load(); }
  // Deadline of the earliest pending item, if any.
  std::optional<Instant> nextDeadline() const;

 private:
  struct Item;
  class Work_;
  class Timer;
  using Key = std::pair<double, std::uint64_t>;

  std::shared_ptr<Item> enqueue(double deadline, Work work);
  bool runOneDueBy(double limit);

  mutable std::mutex mutex_;
  std::map<Key, std::shared_ptr<Item>> items_;
  std::uint64_t nextSequence_ = 0;
  std::atomic<double> now_{1000.0};
  std::atomic<std::size_t> liveTimers_{0};
};

}  // namespace vosk::test
