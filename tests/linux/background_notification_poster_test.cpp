#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "linux/service/background_notification_poster.hpp"
#include "support/capture.hpp"

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
  // Holds the next post again.
  void close() {
    std::lock_guard lock(mutex_);
    open_ = entered_ = false;
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

class BackgroundNotificationPosterTest : public ::testing::Test {
 protected:
  std::shared_ptr<test::CapturingLogSink> log = std::make_shared<test::CapturingLogSink>();
  GatedPoster slow;
  BackgroundNotificationPoster poster{slow, Logger("com.brelvant.vosk.VoskNetworkFilter", "transparentproxy", log)};
};

TEST_F(BackgroundNotificationPosterTest, ASlowPosterDoesNotHoldTheCallerAndNothingIsLost) {
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

// Each overflow is logged once: while the worker is held, and again once the
// backlog has emptied and fills up anew.
TEST_F(BackgroundNotificationPosterTest, PostsBeyondTheBacklogAreDroppedAndLoggedOncePerOverflow) {
  const std::string dropped = "⚠️ siteBlocked signal dropped: 16 already waiting for the bus";
  for (int overflow = 1; overflow <= 2; ++overflow) {
    slow.close();
    poster.post("com.brelvant.vosk.siteBlocked", [] {});
    slow.waitUntilEntered();
    for (int i = 0; i < 20; ++i) poster.post("com.brelvant.vosk.siteBlocked", [] {});
    EXPECT_EQ(log->count(dropped), static_cast<std::size_t>(overflow));
    slow.open();
    poster.drain();
  }
  EXPECT_EQ(slow.posted().size(), 2 * (1 + BackgroundNotificationPoster::maxPendingPosts));
  EXPECT_EQ(log->messages().size(), 2U);
}

}  // namespace
}  // namespace vosk::backend
