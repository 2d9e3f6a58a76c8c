#include <gtest/gtest.h>

#include <algorithm>

#include "support/flow_path_fixture.hpp"

namespace vosk::test {
namespace {

class IdleSweeperTest : public FlowPathTest {
 protected:
  // Runs one sweep, then the teardowns it posted.
  void sweep() {
    peer.sweepIdleFlows();
    platform.settle();
  }
  bool untouched(const Relayed& r) const { return !r.connection->cancelled() && !r.flow->readClosed(); }

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
  const Relayed noHost = relayed("hello", std::nullopt);
  platform.advance(100.25);
  const Relayed overLimit = relayed("hello", "b.example");
  platform.advance(0.5);
  const Relayed atLimit = relayed("hello", "a.example");
  platform.advance(idleFlowLimit);  // idle 1300.75 s, 1200.5 s and 1200 s

  peer.sweepIdleFlows();
  // The sweep only posts the teardowns; the registry changes when they run.
  EXPECT_EQ(peer.activeFlows().size(), 3u);
  EXPECT_TRUE(untouched(overLimit));
  platform.settle();

  EXPECT_TRUE(untouched(atLimit));
  EXPECT_TRUE(ended(overLimit));
  EXPECT_TRUE(ended(noHost));
  EXPECT_EQ(peer.activeFlows().size(), 1u);
  EXPECT_EQ(peer.trackedFlowCount(), 1);
  auto messages = platform.log->messages();
  std::sort(messages.begin(), messages.end());  // registry order is unspecified
  EXPECT_EQ(messages, (std::vector<std::string>{"🧹 Sweeping connection to b.example: idleFor=1200s",
                                                "🧹 Sweeping connection to unknown: idleFor=1300s"}));
  EXPECT_TRUE(platform.decisions.recorded().empty()) << "an idle flow is no blocked one";
}

TEST_F(IdleSweeperTest, NewlyBlockedHostIsSweptWithItsShortIdleTimeOnlyWhileBlockingIsOn) {
  const Relayed blockedHost = relayed("hello", "www.news.example");
  const Relayed otherHost = relayed("hello", "weather.example");
  const Relayed noHost = relayed("hello", std::nullopt);
  platform.advance(2.5);

  peer.setBlocking(false, {news});
  sweep();
  EXPECT_TRUE(untouched(blockedHost));

  peer.setBlocking(true, {news});
  sweep();
  EXPECT_TRUE(ended(blockedHost));
  EXPECT_TRUE(untouched(otherHost));
  EXPECT_TRUE(untouched(noHost));
  EXPECT_EQ(platform.log->messages(),
            std::vector<std::string>{"🧹 Sweeping connection to www.news.example: idleFor=2s"});
  EXPECT_EQ(platform.decisions.recorded(), std::vector<std::string>{"tls news www.news.example"})
      << "a flow closed by a new list is in the history, with no notification";
  EXPECT_TRUE(platform.notifier.posted().empty());
  EXPECT_EQ(peer.trackedFlowCount(), 2);
}

}  // namespace
}  // namespace vosk::test
