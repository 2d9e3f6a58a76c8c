#include "linux/service/background_notification_poster.hpp"

namespace vosk::backend {

BackgroundNotificationPoster::~BackgroundNotificationPoster() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void BackgroundNotificationPoster::post(std::string_view name, Posted posted) {
  {
    std::unique_lock lock(mutex_);
    if (pending_.size() >= maxPendingPosts) {
      if (std::exchange(overflowLogged_, true)) return;
      lock.unlock();
      const std::string_view member = name.substr(name.rfind('.') + 1);
      logger_.log("⚠️ {} signal dropped: {} already waiting for the bus", member, maxPendingPosts);
      return;
    }
    pending_.push_back(Pending{std::string(name), std::move(posted)});
    if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
  }
  changed_.notify_all();
}

void BackgroundNotificationPoster::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return pending_.empty() && !delivering_; });
}

void BackgroundNotificationPoster::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (pending_.empty()) return;  // stopping, with nothing left to deliver
    Pending next = std::move(pending_.front());
    pending_.pop_front();
    if (pending_.empty()) overflowLogged_ = false;
    delivering_ = true;
    lock.unlock();
    poster_.post(next.name, std::move(next.posted));
    lock.lock();
    delivering_ = false;
    changed_.notify_all();
  }
}

}  // namespace vosk::backend
