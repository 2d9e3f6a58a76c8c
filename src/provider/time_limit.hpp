#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/main_queue.hpp"

namespace vosk {

// A platform operation raced against its time limit on the main queue. The
// expiry and the operation's completion share one DoneFlag: whichever comes
// first acts, the other does nothing. A copyable value, so that the
// completion can carry it. May be made on any thread; complete() runs only on
// the main queue.
class TimeLimit {
 public:
  TimeLimit(MainQueue& queue, double seconds, std::function<void()> onExpiry)
      : done_(std::make_shared<DoneFlag>()),
        work_(queue.schedule(seconds, [done = done_, onExpiry = std::move(onExpiry)] {
          if (done->done) return;
          done->done = true;
          onExpiry();
        })) {}

  // For the operation's completion: true when it came first, in which case
  // the time limit is withdrawn.
  bool complete() {
    if (done_->done) return false;
    done_->done = true;
    work_->cancel();
    return true;
  }

 private:
  std::shared_ptr<DoneFlag> done_;
  std::shared_ptr<DelayedWork> work_;
};

}  // namespace vosk
