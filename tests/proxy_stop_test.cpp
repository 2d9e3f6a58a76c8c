#include <gtest/gtest.h>

#include "support/relayed_flow.hpp"
#include "support/sites_data.hpp"

namespace vosk::test {
namespace {

constexpr const char* kStopped = "🔴 Transparent proxy stopProxy called, reason: {}, tearing down {} active flow(s)";

class ProxyStopTest : public ::testing::Test {
 protected:
  // Calls the stop and counts its completions; runs nothing.
  std::shared_ptr<int> stop(std::int64_t reason) {
    auto completions = std::make_shared<int>(0);
    provider->stopProxyWithReason(reason, [completions] { ++*completions; });
    return completions;
  }
  std::vector<RegisteredFlow> relayThree() {
    return {relayFlow(platform, peer, "a.example", 1), relayFlow(platform, peer, "b.example", 2),
            relayFlow(platform, peer, std::nullopt, 3)};
  }

  TestPlatform platform;
  std::shared_ptr<TransparentProxyProvider> provider = platform.makeProvider();
  TransparentProxyProviderPeer peer{*provider};
};

TEST_F(ProxyStopTest, EndsEveryRelayedFlowAndGivesBackOnlyTheirUnits) {
  const std::vector<RegisteredFlow> relayed = relayThree();
  ASSERT_TRUE(peer.admitTrackedFlow());  // two flows still sniffing
  ASSERT_TRUE(peer.admitTrackedFlow());
  ASSERT_EQ(peer.trackedFlowCount(), 5);

  const auto completions = stop(1);
  EXPECT_EQ(platform.log->messages(), std::vector<std::string>{fmt::format(kStopped, 1, 3)});
  platform.settle();
  EXPECT_EQ(*completions, 1);
  for (const RegisteredFlow& flow : relayed) EXPECT_TRUE(flow.ended());
  EXPECT_TRUE(peer.activeFlows().entries().empty());
  EXPECT_EQ(peer.activeFlows().size(), 0u);
  EXPECT_EQ(peer.trackedFlowCount(), 2);

  // The relay of a stopped flow still ends it on its own; the unit is already back.
  relayed[0].relayed->closeFlow();
  platform.settle();
  EXPECT_EQ(peer.trackedFlowCount(), 2);
}

TEST_F(ProxyStopTest, TwoStopsInARowBothCompleteAndEachFlowEndsOnce) {
  const std::vector<RegisteredFlow> relayed = relayThree();
  const auto first = stop(2);
  const auto second = stop(2);  // before the first one's teardown ran: it sees the same flows
  EXPECT_EQ(*first, 0);  // completed from the main queue, not from inside the call
  platform.settle();
  EXPECT_EQ(*first, 1);
  EXPECT_EQ(*second, 1);
  EXPECT_EQ(platform.log->count(fmt::format(kStopped, 2, 3)), 2u);
  for (const RegisteredFlow& flow : relayed) EXPECT_EQ(flow.connection->cancelCount(), 1);
  EXPECT_EQ(peer.trackedFlowCount(), 0);

  const auto third = stop(2);  // nothing left to end
  platform.settle();
  EXPECT_EQ(*third, 1);
  EXPECT_TRUE(platform.log->contains(fmt::format(kStopped, 2, 0)));
}

TEST_F(ProxyStopTest, KeepsConfigurationTimerAndAttemptsForTheNextStart) {
  const BlockedSite news = makeSite(1, "news", {"news.example"});
  platform.host.configuration = ConfigurationDictionary{
      {"blockingEnabled", true}, {"sitesData", sitesData({news})}};
  provider->startProxyWithOptions(std::nullopt, [](std::optional<Error>) {});
  platform.settle();
  const Instant started = peer.startProxyTime();
  peer.lastBlockedAttempt()[news.id] = platform.mainQueue.now();

  stop(0);
  platform.settle();
  EXPECT_TRUE(peer.cachedBlockingEnabled());
  EXPECT_EQ(peer.cachedSites(), std::vector<BlockedSite>{news});
  EXPECT_TRUE(peer.hasSweepTimer());
  EXPECT_EQ(peer.startProxyTime(), started);
  EXPECT_TRUE(peer.lastBlockedAttempt().contains(news.id));
}

TEST_F(ProxyStopTest, CompletesOnceWhenTheProviderIsGone) {
  relayFlow(platform, peer, "a.example", 1);
  const auto completions = stop(0);
  provider.reset();
  platform.settle();
  EXPECT_EQ(*completions, 1);
}

}  // namespace
}  // namespace vosk::test
