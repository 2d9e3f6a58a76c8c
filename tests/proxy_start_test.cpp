#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/flow_path_fixture.hpp"
#include "support/sites_data.hpp"

namespace vosk::test {
namespace {

constexpr const char* kApplied = "🔧 applied protocolConfiguration: blockingEnabled={}, sites={}";

struct StartOutcome {
  int calls = 0;
  std::optional<Error> error;
};

class ProxyStartTest : public FlowPathTest {
 protected:
  // Starts the proxy with this provider configuration and runs what the start posted.
  std::shared_ptr<StartOutcome> start(std::optional<ConfigurationDictionary> configuration,
                                      std::optional<ConfigurationDictionary> options = std::nullopt) {
    platform.host.configuration = std::move(configuration);
    auto outcome = std::make_shared<StartOutcome>();
    provider->startProxyWithOptions(options, [outcome](std::optional<Error> error) {
      ++outcome->calls;
      outcome->error = std::move(error);
    });
    platform.settle();
    return outcome;
  }
  void startWithBaseline() {
    start(ConfigurationDictionary{{"blockingEnabled", true}, {"sitesData", sitesData(baseline)}});
    platform.log->clear();
  }

  BlockedSite news = makeSite(1, "news", {"news.example"});
  BlockedSite video = makeSite(2, "video", {"video.example", "clips.example"});
  BlockedSite social = makeSite(3, "social", {"social.example"});
  std::vector<BlockedSite> baseline{news, video};
};

// A file that cannot be read keeps the state in force, and a start whose
// settings are refused is reported and ends the daemon: tests/e2e/test_signals.
TEST_F(ProxyStartTest, OnlyABooleanSwitchesBlockingOnAndOnlyAWholeListReplacesTheList) {
  struct Case {
    const char* what;
    ConfigurationDictionary configuration;
    bool blocking;
    std::vector<BlockedSite> sites;
  };
  const std::vector<Case> cases{
      {"empty", {}, false, baseline},
      {"list without switch", {{"sitesData", sitesData({social})}}, false, {social}},
      {"switch as text", {{"blockingEnabled", std::string("true")}}, false, baseline},
      {"switch as integer", {{"blockingEnabled", std::int64_t{1}}}, false, baseline},
      {"key case differs", {{"BlockingEnabled", true}}, false, baseline},
      {"empty array", {{"blockingEnabled", true}, {"sitesData", bytesOf("[]")}}, true, {}},
      {"malformed JSON", {{"blockingEnabled", true}, {"sitesData", bytesOf("[{\"id\":")}}, true, baseline},
      {"list as text", {{"blockingEnabled", true}, {"sitesData", std::string("[]")}}, true, baseline},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    startWithBaseline();
    start(c.configuration);
    EXPECT_EQ(peer.cachedBlockingEnabled(), c.blocking);
    EXPECT_EQ(peer.cachedSites(), c.sites);
    EXPECT_TRUE(platform.log->contains(fmt::format(kApplied, c.blocking, c.sites.size())));
  }
}

TEST_F(ProxyStartTest, ARepeatedStartKeepsTheOneTimerOnItsSchedule) {
  const Instant firstStart = platform.mainQueue.now();
  start(ConfigurationDictionary{});
  platform.advance(25);
  start(ConfigurationDictionary{});
  EXPECT_EQ(platform.mainQueue.repeatingTimerCount(), 1u);
  EXPECT_EQ(peer.startProxyTime(), firstStart + 25);
  EXPECT_EQ(platform.mainQueue.nextDeadline(), firstStart + 60);
}

TEST_F(ProxyStartTest, CompletesOnceWithoutLoggingWhenTheProviderIsGone) {
  platform.host.holdSettings = true;
  const auto first = start(ConfigurationDictionary{});
  const auto second = start(ConfigurationDictionary{});
  platform.log->clear();
  provider.reset();
  platform.settle();
  EXPECT_EQ(platform.mainQueue.repeatingTimerCount(), 0u);  // went with the provider

  platform.host.completeSettings();
  platform.host.completeSettings(Error{"gone"});
  EXPECT_EQ(first->calls, 1);
  EXPECT_FALSE(first->error);
  EXPECT_EQ(second->calls, 1);
  ASSERT_TRUE(second->error);
  EXPECT_EQ(second->error->localizedDescription, "gone");
  EXPECT_TRUE(platform.log->messages().empty());
  platform.advance(120);  // nothing left to run
}

TEST_F(ProxyStartTest, StartsAndStopsOnAPlatformThreadWhileTheMainQueueRuns) {
  constexpr int kRounds = 200;
  const Relayed reading = relayed("hello", "www.news.example");
  std::atomic<bool> done{false};
  std::thread platformThread([&] {
    // The first stop ends the relayed flow; the last start leaves blocking on with the baseline list.
    for (int round = 1; round <= kRounds; ++round) {
      platform.host.configuration = ConfigurationDictionary{
          {"blockingEnabled", round == kRounds}, {"sitesData", sitesData(round % 2 == 0 ? baseline : std::vector{video})}};
      provider->startProxyWithOptions(std::nullopt, [](std::optional<Error>) {});
      if (round < kRounds) provider->stopProxyWithReason(0, [] {});
    }
    done = true;
  });
  while (!done) platform.mainQueue.runUntilIdle();
  platformThread.join();
  platform.settle();
  // Ended by the first stop, and perhaps also by a sweep that already saw the last start's list: once
  // or twice, its unit came back once.
  EXPECT_TRUE(ended(reading));
  EXPECT_EQ(peer.trackedFlowCount(), 0);
  EXPECT_TRUE(peer.cachedBlockingEnabled());
  EXPECT_EQ(peer.cachedSites(), baseline);
  EXPECT_EQ(platform.mainQueue.repeatingTimerCount(), 1u);
}

}  // namespace
}  // namespace vosk::test
