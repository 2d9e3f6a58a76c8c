#include <gtest/gtest.h>

#include <algorithm>

#include "support/relayed_flow.hpp"

namespace vosk::test {
namespace {

class IdleSweeperTest : public ::testing::Test {
 protected:
  // Runs one sweep, then the teardowns it posted.
  void sweep() {
    peer.sweepIdleFlows();
    platform.settle();
  }

  TestPlatform platform;
  std::shared_ptr<TransparentProxyProvider> provider = platform.makeProvider();
  TransparentProxyProviderPeer peer{*provider};
  BlockedSite news = makeSite(1, "news", {"news.example"});
};

TEST_F(IdleSweeperTest, EmptyRegistryStillPrunesAttemptsThirtySecondsOrOlder) {
  const Instant now = platform.mainQueue.now();
  const BlockedSite other = makeSite(2, "other", {"other.example"});
  peer.lastBlockedAttempt()[news.id] = now + -30.0;
  peer.lastBlockedAttempt()[other.id] = now + -29.9;
  sweep();
  EXPECT_FALSE(peer.lastBlockedAttempt().contains(news.id));
  EXPECT_TRUE(peer.lastBlockedAttempt().contains(other.id));
  EXPECT_TRUE(platform.log->messages().empty());
}

TEST_F(IdleSweeperTest, SweepsOnlyFlowsIdleStrictlyOverTheLimit) {
  const RegisteredFlow atLimit = relayFlow(platform, peer, "a.example", 1200.0);
  const RegisteredFlow overLimit = relayFlow(platform, peer, "b.example", 1200.5);
  const RegisteredFlow noHost = relayFlow(platform, peer, std::nullopt, 1300.9);
  ASSERT_EQ(peer.trackedFlowCount(), 3);

  peer.sweepIdleFlows();
  // The sweep only posts the teardowns; the registry changes when they run.
  EXPECT_EQ(peer.activeFlows().size(), 3u);
  EXPECT_TRUE(overLimit.untouched());
  platform.settle();

  EXPECT_TRUE(atLimit.untouched());
  EXPECT_TRUE(overLimit.ended());
  EXPECT_TRUE(noHost.ended());
  EXPECT_EQ(peer.activeFlows().size(), 1u);
  EXPECT_NE(peer.activeFlows().find(atLimit.connection.get()), nullptr);
  EXPECT_EQ(peer.trackedFlowCount(), 1);
  auto messages = platform.log->messages();
  std::sort(messages.begin(), messages.end());  // registry order is unspecified
  EXPECT_EQ(messages, (std::vector<std::string>{"🧹 Sweeping connection to b.example: idleFor=1200s",
                                                "🧹 Sweeping connection to unknown: idleFor=1300s"}));
}

TEST_F(IdleSweeperTest, NewlyBlockedHostIsSweptWithItsShortIdleTimeOnlyWhileBlockingIsOn) {
  const RegisteredFlow blockedHost = relayFlow(platform, peer, "www.news.example", 2.7);
  const RegisteredFlow otherHost = relayFlow(platform, peer, "weather.example", 2.7);
  const RegisteredFlow noHost = relayFlow(platform, peer, std::nullopt, 2.7);

  peer.setBlocking(false, {news});
  sweep();
  EXPECT_TRUE(blockedHost.untouched());

  peer.setBlocking(true, {news});
  sweep();
  EXPECT_TRUE(blockedHost.ended());
  EXPECT_TRUE(otherHost.untouched());
  EXPECT_TRUE(noHost.untouched());
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{"🧹 Sweeping connection to www.news.example: idleFor=2s"});
  EXPECT_EQ(peer.trackedFlowCount(), 2);
}

}  // namespace
}  // namespace vosk::test
