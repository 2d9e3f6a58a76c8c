#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace vosk::test {

// The platform's own queue, on which flow completions arrive. Tests drain it
// explicitly, so orderings between it and the main queue are chosen by the test.
// post() may be called from any thread.
class PlatformQueue {
 public:
  void post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
  }
  // Runs queued work, including work queued while draining. Returns the count.
  std::size_t drain() {
    std::size_t ran = 0;
    for (;;) {
      std::function<void()> next;
      {
        std::lock_guard lock(mutex_);
        if (work_.empty()) return ran;
        next = std::move(work_.front());
        work_.pop_front();
      }
      next();
      ++ran;
    }
  }
  bool empty() const {
    std::lock_guard lock(mutex_);
    return work_.empty();
  }

 private:
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> work_;
};

}  // namespace vosk::test
