#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include "linux/service/delay_lines.hpp"

#include "platform/clock.hpp"
#include "platform/main_queue.hpp"

namespace vosk::backend {

// The provider's main queue and clock: an io_context served by the main thread,
// delays in lines served by one steady timer, time from the monotonic clock.
class AsioMainQueue final : public MainQueue, public Clock {
 public:
  AsioMainQueue();

  // Clock
  Instant now() const override;

  // MainQueue
  void post(Work work) override;
  std::shared_ptr<DelayedWork> schedule(double delaySeconds, Work work) override;
  std::unique_ptr<RepeatingTimer> makeRepeatingTimer(double firstDelaySeconds, double intervalSeconds,
                                                     Work handler) override;
  // Serves the queue until finish(), then exits the process with its status.
  [[noreturn]] void dispatchMain() override;

  // Ends dispatchMain(); callable from any thread.
  void finish(int exitStatus);
  asio::io_context& context() { return context_; }

 private:
  void addDelayed(const std::shared_ptr<DelayLines::Work>& work, std::chrono::steady_clock::duration delay);
  void armDelayTimer();

  asio::io_context context_{1};
  asio::executor_work_guard<asio::io_context::executor_type> keepServing_;
  // Loop only.
  DelayLines delayLines_;
  asio::steady_timer delayTimer_;
  std::optional<DelayLines::TimePoint> delayTimerAt_;  // the deadline it waits for
  std::atomic<int> exitStatus_{0};
};

}  // namespace vosk::backend
