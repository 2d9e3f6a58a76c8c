#include <gtest/gtest.h>

#include "support/provider_peer.hpp"
#include "support/test_platform.hpp"

namespace vosk::test {
namespace {

constexpr const char* kPosted = "📣 Posted siteBlocked Darwin notification (blocked host: {})";

class SiteBlockedNotificationTest : public ::testing::Test {
 protected:
  SiteBlockedNotificationTest() { peer.setStartProxyTime(platform.mainQueue.now()); }

  // Moves the clock to `seconds` after the proxy start.
  void at(double seconds) {
    platform.mainQueue.advance(seconds - (platform.mainQueue.now() - peer.startProxyTime()));
  }
  std::size_t postedCount() const { return platform.notifier.posted().size(); }

  TestPlatform platform;
  std::shared_ptr<TransparentProxyProvider> provider = platform.makeProvider();
  TransparentProxyProviderPeer peer{*provider};
  BlockedSite social = makeSite(1, "social", {"facebook.com", "fb.com"});
  BlockedSite video = makeSite(2, "video", {"youtube.com"});
};

TEST_F(SiteBlockedNotificationTest, SilentAndUnrecordedDuringTheStartGrace) {
  at(5);
  peer.notifySiteBlocked("facebook.com", social);
  at(10);
  peer.notifySiteBlocked("facebook.com", social);
  EXPECT_EQ(postedCount(), 0u);
  EXPECT_TRUE(peer.lastBlockedAttempt().empty());
  EXPECT_TRUE(platform.log->messages().empty());

  at(10.5);
  peer.notifySiteBlocked("www.facebook.com", social);
  EXPECT_EQ(platform.notifier.posted(), std::vector<std::string>{"com.brelvant.vosk.siteBlocked"});
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{fmt::format(kPosted, "www.facebook.com")});
  EXPECT_EQ(peer.lastBlockedAttempt().at(social.id), platform.mainQueue.now());
}

TEST_F(SiteBlockedNotificationTest, OnePostPerBurstPerSite) {
  at(20);
  peer.notifySiteBlocked("facebook.com", social);
  at(49);  // 29 s later: suppressed, and the burst runs on from here
  peer.notifySiteBlocked("fb.com", social);
  EXPECT_EQ(peer.lastBlockedAttempt().at(social.id), platform.mainQueue.now());
  at(69);  // 20 s after the last attempt, 49 s after the first
  peer.notifySiteBlocked("facebook.com", social);
  EXPECT_EQ(postedCount(), 1u);
  at(99);  // exactly 30 s after the last attempt
  peer.notifySiteBlocked("facebook.com", social);
  EXPECT_EQ(postedCount(), 2u);
}

TEST_F(SiteBlockedNotificationTest, APostThatDoesNotGoOutIsNotLoggedAsPostedButStillCountsForTheBurst) {
  platform.notifier.refusing = true;
  at(20);
  peer.notifySiteBlocked("facebook.com", social);
  EXPECT_TRUE(platform.log->messages().empty());
  platform.notifier.refusing = false;
  at(25);
  peer.notifySiteBlocked("facebook.com", social);
  EXPECT_EQ(postedCount(), 0u);
}

TEST_F(SiteBlockedNotificationTest, ARestartReopensTheGraceButKeepsStamps) {
  at(20);
  peer.notifySiteBlocked("facebook.com", social);
  at(25);
  peer.setStartProxyTime(platform.mainQueue.now());  // restart
  at(5);
  peer.notifySiteBlocked("youtube.com", video);
  EXPECT_FALSE(peer.lastBlockedAttempt().contains(video.id));
  at(11);  // 16 s after the attempt before the restart: still inside its window
  peer.notifySiteBlocked("facebook.com", social);
  peer.notifySiteBlocked("youtube.com", video);
  EXPECT_EQ(postedCount(), 2u);  // the first one, and video
}

}  // namespace
}  // namespace vosk::test
