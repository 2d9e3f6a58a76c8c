#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/logger.hpp"
#include "platform/notification_poster.hpp"

namespace vosk::backend {

// Hands each post to a worker thread of its own, so a slow message bus never
// holds up the queue that posts (the provider's main queue). The thread starts
// at the first post, long after the daemon has given up root. Notifications
// carry no payload, so when the worker falls behind, posts beyond
// maxPendingPosts are dropped rather than queued without bound; the first drop
// of each overflow is logged, the next once the backlog has emptied.
class BackgroundNotificationPoster final : public NotificationPoster {
 public:
  static constexpr std::size_t maxPendingPosts = 16;

  BackgroundNotificationPoster(NotificationPoster& poster, Logger logger)
      : poster_(poster), logger_(std::move(logger)) {}
  ~BackgroundNotificationPoster() override;

  // NotificationPoster
  void post(std::string_view name, Posted posted) override;

  // Waits until every post handed over so far has been delivered.
  void drain();

 private:
  void work();

  NotificationPoster& poster_;
  const Logger logger_;
  std::mutex mutex_;
  std::condition_variable changed_;
  struct Pending {
    std::string name;
    Posted posted;
  };
  std::deque<Pending> pending_;
  bool delivering_ = false;
  bool overflowLogged_ = false;  // since the backlog was last empty
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace vosk::backend
