#include "linux/service/asio_main_queue.hpp"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace vosk::backend {
namespace {

std::chrono::steady_clock::duration toDuration(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

// Fires at fixed deadlines (zero leeway) until the handle is destroyed, which
// may happen on any thread: the shared state is stopped on the main queue.
class AsioRepeatingTimer final : public RepeatingTimer {
 public:
  AsioRepeatingTimer(asio::io_context& context, double firstDelaySeconds, double intervalSeconds,
                     MainQueue::Work handler)
      : state_(std::make_shared<State>(context, toDuration(intervalSeconds), std::move(handler))) {
    state_->timer.expires_after(toDuration(firstDelaySeconds));
    arm(state_);
  }
  ~AsioRepeatingTimer() override {
    asio::post(state_->timer.get_executor(), [state = state_] {
      state->stopped = true;
      state->timer.cancel();
    });
  }

 private:
  struct State {
    State(asio::io_context& context, std::chrono::steady_clock::duration interval, MainQueue::Work handler)
        : timer(context), interval(interval), handler(std::move(handler)) {}
    asio::steady_timer timer;
    std::chrono::steady_clock::duration interval;
    MainQueue::Work handler;
    bool stopped = false;  // main queue only
  };

  static void arm(const std::shared_ptr<State>& state) {
    state->timer.async_wait([state](const std::error_code& error) {
      if (error || state->stopped) return;
      state->timer.expires_at(state->timer.expiry() + state->interval);
      arm(state);
      state->handler();
    });
  }

  std::shared_ptr<State> state_;
};

}  // namespace

AsioMainQueue::AsioMainQueue()
    : keepServing_(asio::make_work_guard(context_)),
      delayLines_([this] { asio::post(context_, [this] { delayLines_.destroyRetired(); }); }),
      delayTimer_(context_) {}

Instant AsioMainQueue::now() const { return steadyClockNow(); }

void AsioMainQueue::post(Work work) { asio::post(context_, std::move(work)); }

// The delay counts from when the loop takes the work: lines stay in deadline order.
std::shared_ptr<DelayedWork> AsioMainQueue::schedule(double delaySeconds, Work work) {
  auto delayed = std::make_shared<DelayLines::Work>(std::move(work));
  const auto delay = toDuration(delaySeconds);
  if (context_.get_executor().running_in_this_thread()) {
    addDelayed(delayed, delay);
  } else {
    asio::post(context_, [this, delayed, delay] { addDelayed(delayed, delay); });
  }
  return delayed;
}

void AsioMainQueue::addDelayed(const std::shared_ptr<DelayLines::Work>& work, std::chrono::steady_clock::duration delay) {
  delayLines_.add(work, std::chrono::steady_clock::now(), delay);
  armDelayTimer();
}

// The timer waits for the earliest deadline; work added behind it costs no re-arm.
void AsioMainQueue::armDelayTimer() {
  const std::optional<DelayLines::TimePoint> earliest = delayLines_.earliest();
  if (!earliest || (delayTimerAt_ && *delayTimerAt_ <= *earliest)) return;
  delayTimerAt_ = *earliest;
  delayTimer_.expires_at(*earliest);
  delayTimer_.async_wait([this](const std::error_code& error) {
    if (error) return;  // re-armed for an earlier deadline
    delayTimerAt_.reset();
    delayLines_.runDue(std::chrono::steady_clock::now());
    armDelayTimer();
  });
}

std::unique_ptr<RepeatingTimer> AsioMainQueue::makeRepeatingTimer(double firstDelaySeconds, double intervalSeconds,
                                                                  Work handler) {
  return std::make_unique<AsioRepeatingTimer>(context_, firstDelaySeconds, intervalSeconds, std::move(handler));
}

void AsioMainQueue::dispatchMain() {
  context_.run();
  std::fflush(nullptr);
  std::exit(exitStatus_.load());
}

void AsioMainQueue::finish(int exitStatus) {
  exitStatus_.store(exitStatus);
  keepServing_.reset();
  context_.stop();
}

}  // namespace vosk::backend
