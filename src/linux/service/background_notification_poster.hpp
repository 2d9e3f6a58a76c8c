#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/notification_poster.hpp"

namespace vosk::backend {

// Hands each post to a worker thread of its own, so a slow message bus never
// holds up the queue that posts (the provider's main queue). The thread starts
// at the first post, long after the daemon has given up root. Notifications
// carry no payload, so when the worker falls behind, posts beyond
// maxPendingPosts are dropped rather than queued without bound.
class BackgroundNotificationPoster final : public NotificationPoster {
 public:
  static constexpr std::size_t maxPendingPosts = 16;

  explicit BackgroundNotificationPoster(NotificationPoster& poster) : poster_(poster) {}
  ~BackgroundNotificationPoster() override;

  // NotificationPoster
  void post(std::string_view name, Posted posted) override;

  // Waits until every post handed over so far has been delivered.
  void drain();

 private:
  void work();

  NotificationPoster& poster_;
  std::mutex mutex_;
  std::condition_variable changed_;
  struct Pending {
    std::string name;
    Posted posted;
  };
  std::deque<Pending> pending_;
  bool delivering_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace vosk::backend
