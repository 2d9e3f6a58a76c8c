#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "linux/service/background_notification_poster.hpp"

namespace vosk::backend {
namespace {

// A poster whose every post blocks until the test opens the gate.
class GatedPoster final : public NotificationPoster {
 public:
  void post(std::string_view name, Posted posted) override {
    {
      std::unique_lock lock(mutex_);
      entered_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
      posted_.emplace_back(name);
    }
    posted();
  }
  void waitUntilEntered() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return entered_; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> posted() {
    std::lock_guard lock(mutex_);
    return posted_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool open_ = false;
  std::vector<std::string> posted_;
};

TEST(BackgroundNotificationPosterTest, ASlowPosterDoesNotHoldTheCallerAndNothingIsLost) {
  GatedPoster slow;
  BackgroundNotificationPoster poster(slow);
  std::atomic<int> reported = 0;
  poster.post("com.brelvant.vosk.siteBlocked", [&] { ++reported; });
  slow.waitUntilEntered();  // the worker is stuck in the first post...
  poster.post("com.brelvant.vosk.siteBlocked", [&] { ++reported; });  // ...and the caller still returns
  EXPECT_EQ(reported, 0);
  slow.open();
  poster.drain();
  EXPECT_EQ(slow.posted(), (std::vector<std::string>(2, "com.brelvant.vosk.siteBlocked")));
  EXPECT_EQ(reported, 2);  // each caller hears of its own delivery
}

TEST(BackgroundNotificationPosterTest, PostsBeyondTheBacklogAreDropped) {
  GatedPoster slow;
  BackgroundNotificationPoster poster(slow);
  poster.post("first", [] {});
  slow.waitUntilEntered();
  for (std::size_t i = 0; i < BackgroundNotificationPoster::maxPendingPosts + 5; ++i) poster.post("later", [] {});
  slow.open();
  poster.drain();
  EXPECT_EQ(slow.posted().size(), 1 + BackgroundNotificationPoster::maxPendingPosts);
}

}  // namespace
}  // namespace vosk::backend
