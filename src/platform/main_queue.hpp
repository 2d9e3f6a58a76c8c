#pragma once

#include <functional>
#include <memory>

namespace vosk {

// Delayed work on the main queue. cancel() before it runs keeps it from
// running; cancel() after it ran does nothing. Only called on the main queue.
class DelayedWork {
 public:
  virtual ~DelayedWork() = default;
  virtual void cancel() = 0;
};

// A repeating timer source on the main queue with zero leeway. It fires until
// the handle is destroyed.
class RepeatingTimer {
 public:
  virtual ~RepeatingTimer() = default;
};

// The provider's serial working queue. post() and schedule() may be called
// from any thread; all work runs one item at a time, in order.
class MainQueue {
 public:
  using Work = std::function<void()>;

  virtual ~MainQueue() = default;
  virtual void post(Work work) = 0;
  virtual std::shared_ptr<DelayedWork> schedule(double delaySeconds, Work work) = 0;
  virtual std::unique_ptr<RepeatingTimer> makeRepeatingTimer(double firstDelaySeconds,
                                                             double intervalSeconds,
                                                             Work handler) = 0;
  // Serves the queue for ever.
  [[noreturn]] virtual void dispatchMain() = 0;
};

// The DoneFlag of a platform operation guarded by a time limit: shared by the
// time-limit work and the operation's completion; whichever runs first sets it
// and acts. Main queue only, so it needs no lock.
struct DoneFlag {
  bool done = false;
};

}  // namespace vosk
