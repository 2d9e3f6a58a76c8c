#include <gtest/gtest.h>

#include "support/flow_path_fixture.hpp"
#include "support/sites_data.hpp"

namespace vosk::test {
namespace {

constexpr const char* kStopped = "🔴 Transparent proxy stopProxy called, reason: {}, tearing down {} active flow(s)";

class ProxyStopTest : public FlowPathTest {
 protected:
  // Calls the stop and counts its completions; runs nothing.
  std::shared_ptr<int> stop(std::int64_t reason) {
    auto completions = std::make_shared<int>(0);
    provider->stopProxyWithReason(reason, [completions] { ++*completions; });
    return completions;
  }
};

// Two stops in a row (the second before the first one's teardown ran) both
// complete from the main queue, each flow ends once, and only the relayed
// flows' places come back.
TEST_F(ProxyStopTest, EndsEveryRelayedFlowOnceAndGivesBackOnlyTheirPlaces) {
  const std::vector<Relayed> flows{relayed(), relayed("hello", std::nullopt)};
  const std::shared_ptr<RelayedFlow> first = peer.activeFlows().entries().at(flows[0].connection.get());
  holdUnits(2);  // two flows still sniffing

  const auto once = stop(2);
  const auto twice = stop(2);
  EXPECT_EQ(*once, 0);
  platform.settle();
  EXPECT_EQ(*once, 1);
  EXPECT_EQ(*twice, 1);
  EXPECT_EQ(platform.log->count(fmt::format(kStopped, 2, 2)), 2u);
  for (const Relayed& r : flows) {
    EXPECT_TRUE(ended(r));
    EXPECT_EQ(r.connection->cancelCount(), 1);
  }
  EXPECT_EQ(peer.trackedFlowCount(), 2);

  // The relay of a stopped flow still ends it on its own; the place is already back.
  first->closeFlow();
  platform.settle();
  EXPECT_EQ(peer.trackedFlowCount(), 2);
  const auto third = stop(2);  // nothing left to end
  platform.settle();
  EXPECT_EQ(*third, 1);
  EXPECT_TRUE(platform.log->contains(fmt::format(kStopped, 2, 0)));
}

TEST_F(ProxyStopTest, KeepsConfigurationTimerAndAttemptsForTheNextStart) {
  const BlockedSite news = makeSite(1, "news", {"news.example"});
  platform.host.configuration = ConfigurationDictionary{{"blockingEnabled", true}, {"sitesData", sitesData({news})}};
  provider->startProxyWithOptions(std::nullopt, [](std::optional<Error>) {});
  platform.settle();
  const Instant started = peer.startProxyTime();
  peer.lastBlockedAttempt()[news.id] = platform.mainQueue.now();

  stop(0);
  platform.settle();
  EXPECT_TRUE(peer.cachedBlockingEnabled());
  EXPECT_EQ(peer.cachedSites(), std::vector<BlockedSite>{news});
  EXPECT_EQ(platform.mainQueue.repeatingTimerCount(), 1u);
  EXPECT_EQ(peer.startProxyTime(), started);
  EXPECT_TRUE(peer.lastBlockedAttempt().contains(news.id));
}

TEST_F(ProxyStopTest, CompletesOnceWhenTheProviderIsGone) {
  relayed();
  const auto completions = stop(0);
  provider.reset();
  platform.settle();
  EXPECT_EQ(*completions, 1);
}

}  // namespace
}  // namespace vosk::test
