#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/flow_path_fixture.hpp"
#include "support/sites_data.hpp"
#include "support/test_data.hpp"

namespace vosk::test {
namespace {

class StrictModeTest : public FlowPathTest {
 protected:
  // A start with this configuration, and what follows it at once.
  void configure(bool blocking, bool strict, std::string_view encryptedDnsServers,
                 std::string blockedDomain = "blocked.test") {
    platform.host.configuration = ConfigurationDictionary{
        {"blockingEnabled", blocking},
        {"strictMode", strict},
        {"sitesData", sitesData({makeSite(1, "blocked", {std::move(blockedDomain)})})},
        {"encryptedDnsServers", bytesOf(encryptedDnsServers)}};
    provider->startProxyWithOptions(std::nullopt, [](std::optional<Error>) {});
    platform.settle();
  }
  void start(bool blocking, bool strict, std::string_view encryptedDnsServers,
             std::string blockedDomain = "blocked.test") {
    configure(blocking, strict, encryptedDnsServers, std::move(blockedDomain));
    platform.advance(startupNotifyGrace + 1);  // past the start's quiet time, so a notification would show
    platform.log->clear();
  }

  // Offers a flow to :port with these first bytes; whether it was closed before going upstream.
  bool closedAfterSniffing(std::string port, const Bytes& firstBytes) {
    const std::size_t connectionsBefore = platform.connections.made().size();
    const auto flow = offerTCP(std::move(port));
    flow->pushRead({firstBytes, std::nullopt});
    platform.settle();
    return flow->readClosed() && platform.connections.made().size() == connectionsBefore;
  }
};

// Which names are closed, with strict mode on or off and blocking on or off,
// and without a notification: tests/e2e/test_strict_mode.
TEST_F(StrictModeTest, AListThatDoesNotDecodeKeepsTheOneInForce) {
  start(true, true, R"(["dns.google"])");
  start(true, true, R"(["dns.google", 7])");
  EXPECT_TRUE(closedAfterSniffing("443", curlHelloNaming("x.dns.google")));
  EXPECT_EQ(platform.log->takeMessages(),
            std::vector<std::string>{"🔎 flow host: x.dns.google:443, blockingEnabled=true, blocked=true"});
  EXPECT_TRUE(platform.notifier.posted().empty());
  EXPECT_EQ(peer.trackedFlowCount(), 0);
}

// What names no host passes outside strict mode and is closed in it, with its
// decision line and without a notification.
TEST_F(StrictModeTest, FlowsWhoseHostCannotBeReadAreClosed) {
  const Bytes noName = bytesOf("SSH-2.0-OpenSSH_9.2\r\n");
  start(true, false, R"([])");
  EXPECT_FALSE(closedAfterSniffing("443", noName));
  start(true, true, R"([])");
  EXPECT_TRUE(closedAfterSniffing("443", noName));
  EXPECT_TRUE(closedAfterSniffing("80", bytesOf("GET / HTTP/1.1\r\n\r\n")));
  EXPECT_EQ(platform.log->takeMessages(),
            (std::vector<std::string>{"🔒 No hostname readable for :443 flow after 21 bytes — closed in strict mode",
                                      "🔒 No hostname readable for :80 flow after 18 bytes — closed in strict mode"}));
  EXPECT_TRUE(platform.notifier.posted().empty());
  EXPECT_EQ(peer.trackedFlowCount(), 1);  // the one passed before strict mode came on
}

TEST_F(StrictModeTest, AnEncryptedDnsConnectionOpenBeforeStrictModeIsClosedWhenItComesOn) {
  start(true, false, R"(["dns.google"])");
  const Relayed doh = relayed("hello", "x.dns.google");
  start(true, true, R"(["dns.google"])");
  EXPECT_TRUE(doh.flow->readClosed());
  EXPECT_TRUE(platform.notifier.posted().empty());
  EXPECT_EQ(peer.trackedFlowCount(), 0);
}

// A flow passed unjudged is closed at the start that puts strict mode in
// force, and only then.
TEST_F(StrictModeTest, AnOpenFlowWithoutAHostIsClosedWhenStrictModeComesIntoForce) {
  struct Case {
    bool blocking;
    bool strict;
    bool closed;
  };
  for (const Case c : {Case{true, false, false}, Case{false, true, false}, Case{true, true, true}}) {
    start(true, false, R"([])");
    const Relayed noHost = relayed("hello", std::nullopt);
    const Relayed named = relayed("hello", "allowed.test");
    configure(c.blocking, c.strict, R"([])");
    EXPECT_EQ(ended(noHost), c.closed) << c.blocking << c.strict;
    EXPECT_FALSE(ended(named));
    EXPECT_EQ(platform.log->contains("🔒 No hostname was read for open :443 flow — closed in strict mode"), c.closed);
    for (const auto& [key, entry] : peer.activeFlows().entries()) entry->closeFlow();
    platform.settle();
  }
}

// Over the cap a flow holds no place, yet once relayed it is registered:
// a new list re-judges it, the sweep ages it and the stop ends it.
TEST_F(StrictModeTest, AFlowCarriedOverTheCapIsReJudgedSweptAndStopped) {
  enum class End { newList, idle, stop };
  for (const End end : {End::newList, End::idle, End::stop}) {
    start(true, true, R"([])");
    holdUnits(static_cast<int>(maxTrackedFlows - peer.trackedFlowCount()));
    const auto flow = tcpFlow("80");
    EXPECT_FALSE(provider->handleNewFlow(flow));
    provider->carryDeclinedFlow(flow);
    platform.settle();
    flow->pushRead({bytesOf("GET / HTTP/1.1\r\nHost: later.test\r\n\r\n"), std::nullopt});
    platform.settle();
    const Relayed carried{flow, platform.connections.last()};
    carried.connection->deliverState(ConnectionState::Kind::ready);
    platform.settle();
    ASSERT_NE(entryOf(carried), nullptr);
    EXPECT_EQ(peer.trackedFlowCount(), maxTrackedFlows);

    switch (end) {
      case End::newList:
        start(true, true, R"([])", "later.test");
        break;
      case End::idle:
        platform.advance(idleFlowLimit + sweepInterval);
        break;
      case End::stop:
        provider->stopProxyWithReason(0, [] {});
        platform.settle();
        break;
    }
    EXPECT_TRUE(ended(carried)) << static_cast<int>(end);
    EXPECT_EQ(peer.trackedFlowCount(), maxTrackedFlows);
  }
}

// At the cap QUIC is left to the system outside strict mode, and refused in
// it without taking a place.
TEST_F(StrictModeTest, QuicAtTheCapIsRefusedOnlyInStrictMode) {
  holdUnits(static_cast<int>(maxTrackedFlows));
  for (const bool strict : {false, true}) {
    start(true, strict, R"([])");
    const auto udp = platform.udpFlow(kRemoteHost, "443");
    EXPECT_EQ(provider->handleNewFlow(udp), strict);
    platform.settle();
    const std::vector<std::string> refused{"open", "closeRead", "closeWrite"};
    EXPECT_EQ(udp->core.log.calls(), strict ? refused : std::vector<std::string>());
    EXPECT_EQ(peer.trackedFlowCount(), maxTrackedFlows);
    EXPECT_EQ(platform.log->messages().back(),
              strict ? "🚫 Rejecting UDP:443 (QUIC) flow while blocking is enabled, forcing TCP fallback"
                     : "🛑 maxTrackedFlows (1000) reached — letting the system handle this UDP flow directly instead "
                       "of risking full NECP exhaustion");
  }
}

}  // namespace
}  // namespace vosk::test
