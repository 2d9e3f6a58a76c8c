#include <gtest/gtest.h>

#include "support/provider_peer.hpp"
#include "support/test_platform.hpp"

namespace vosk::test {
namespace {

constexpr const char* kPosted = "📣 Posted siteBlocked Darwin notification (blocked host: {})";

class SiteBlockedNotificationTest : public ::testing::Test {
 protected:
  SiteBlockedNotificationTest() { peer.setStartProxyTime(begin); }

  // At `seconds` after the first start, `site` is blocked; returns the posts so far.
  std::size_t blockedAt(double seconds, const BlockedSite& site, std::string_view host = "facebook.com") {
    platform.mainQueue.advance(seconds - (platform.mainQueue.now() - begin));
    peer.notifySiteBlocked(host, site);
    return platform.notifier.posted().size();
  }

  TestPlatform platform;
  std::shared_ptr<TransparentProxyProvider> provider = platform.makeProvider();
  TransparentProxyProviderPeer peer{*provider};
  const Instant begin = platform.mainQueue.now();
  BlockedSite social = makeSite(1, "social", {"facebook.com", "fb.com"});
  BlockedSite video = makeSite(2, "video", {"youtube.com"});
};

// Silent and unrecorded in the start's 10 s grace; then one post per site per
// burst (attempts less than 30 s apart, the burst running on from each); a
// restart reopens the grace but keeps the stamps; a post that does not go out
// is not logged as posted but counts for the burst.
TEST_F(SiteBlockedNotificationTest, SilentInTheGraceThenOnePostPerBurstPerSite) {
  EXPECT_EQ(blockedAt(5, social), 0u);
  EXPECT_EQ(blockedAt(10, social), 0u);
  EXPECT_TRUE(peer.lastBlockedAttempt().empty());
  EXPECT_TRUE(platform.log->messages().empty());

  EXPECT_EQ(blockedAt(10.5, social, "www.facebook.com"), 1u);
  EXPECT_EQ(platform.notifier.posted(), std::vector<std::string>{"com.brelvant.vosk.siteBlocked"});
  EXPECT_EQ(platform.log->takeMessages(), std::vector<std::string>{fmt::format(kPosted, "www.facebook.com")});
  EXPECT_EQ(blockedAt(39, social, "fb.com"), 1u);
  EXPECT_EQ(peer.lastBlockedAttempt().at(social.id), platform.mainQueue.now());
  EXPECT_EQ(blockedAt(59, social), 1u);  // 20 s after the last attempt, 48.5 s after the post
  EXPECT_EQ(blockedAt(89, social), 2u);  // exactly 30 s after the last attempt

  peer.setStartProxyTime(begin + 95);  // a restart
  EXPECT_EQ(blockedAt(100, video), 2u);
  EXPECT_FALSE(peer.lastBlockedAttempt().contains(video.id));
  EXPECT_EQ(blockedAt(106, social), 2u);  // 17 s after its attempt before the restart
  EXPECT_EQ(blockedAt(106, video), 3u);

  platform.log->takeMessages();
  platform.notifier.refusing = true;
  EXPECT_EQ(blockedAt(140, video), 3u);
  EXPECT_TRUE(platform.log->takeMessages().empty());
  platform.notifier.refusing = false;
  EXPECT_EQ(blockedAt(145, video), 3u);
}

}  // namespace
}  // namespace vosk::test
