#include <gtest/gtest.h>

#include "support/flow_path_fixture.hpp"

namespace vosk::test {
namespace {

using FlowDispatchTest = FlowPathTest;
constexpr const char* kRejectingQuic = "🚫 Rejecting UDP:443 (QUIC) flow while blocking is enabled, forcing TCP fallback";

TEST_F(FlowDispatchTest, TCPFlowsAreAdmittedUpToTheCapThenLeftToTheSystem) {
  holdUnits(999);
  const auto last = tcpFlow("443");
  EXPECT_TRUE(provider->handleNewFlow(last));
  EXPECT_EQ(peer.trackedFlowCount(), 1000);
  EXPECT_EQ(last->core.log.calls(), std::vector<std::string>{"open"});

  const auto refused = tcpFlow("443");
  EXPECT_FALSE(provider->handleNewFlow(refused));
  EXPECT_EQ(peer.trackedFlowCount(), 1000);
  EXPECT_TRUE(refused->core.log.calls().empty());
  EXPECT_EQ(platform.log->lines().back(),
            (CapturedLine{LogLevel::fault,
                          "🛑 maxTrackedFlows (1000) reached — letting the system handle this TCP flow directly "
                          "instead of risking full NECP exhaustion"}));

  releaseHeldUnit();
  EXPECT_TRUE(provider->handleNewFlow(tcpFlow("80")));
  EXPECT_EQ(peer.trackedFlowCount(), 1000);
}

TEST_F(FlowDispatchTest, UnknownFlowKindsAreLeftToTheSystem) {
  holdUnits(3);
  const auto other = std::make_shared<FakeOtherFlow>();
  EXPECT_FALSE(provider->handleNewFlow(other));
  EXPECT_EQ(peer.trackedFlowCount(), 3);
  EXPECT_TRUE(other->log.calls().empty());
  EXPECT_EQ(platform.log->lines(), (std::vector<CapturedLine>{
                                       {LogLevel::defaultLevel, "⚠️ Unknown flow type, letting the system handle it"}}));
}

// QUIC is declined silently while blocking is off; while it is on it is
// taken, counted and closed as soon as its open completes, whatever the
// outcome, and no datagram passes (a UDP flow has no read or write at all).
TEST_F(FlowDispatchTest, UDPFlowsAreTakenAndClosedOnlyWhileBlockingIsOn) {
  const auto declined = platform.udpFlow(kRemoteHost, "443");
  EXPECT_FALSE(provider->handleNewFlow(declined));
  EXPECT_TRUE(declined->core.log.calls().empty());

  peer.setBlocking(true, {});
  for (const std::optional<Error>& outcome : {std::optional<Error>(), std::optional<Error>(Error{"open refused"})}) {
    const auto udp = platform.udpFlow(kRemoteHost, "443");
    udp->core.openScript.error = outcome;
    EXPECT_TRUE(provider->handleNewFlow(udp));
    EXPECT_EQ(peer.trackedFlowCount(), 1);
    platform.settle();
    EXPECT_EQ(peer.trackedFlowCount(), 0);
    EXPECT_EQ(udp->core.log.calls(), (std::vector<std::string>{"open", "closeRead", "closeWrite"}));
  }
  platform.advance(15);  // the time limits were withdrawn
  EXPECT_EQ(platform.log->messages(), std::vector<std::string>(2, kRejectingQuic));
}

// TCP and UDP flows share the open time limit; the open is not withdrawn, and
// its completion at 11 s must neither close nor release anything again.
TEST_F(FlowDispatchTest, AnOpenThatNeverCompletesIsClosedAfterTenSeconds) {
  peer.setBlocking(true, {});
  const auto tcp = tcpFlow("443");
  const auto udp = platform.udpFlow(kRemoteHost, "443");
  tcp->core.openScript.completes = false;
  udp->core.openScript.completes = false;
  EXPECT_TRUE(provider->handleNewFlow(tcp));
  EXPECT_TRUE(provider->handleNewFlow(udp));
  platform.advance(9.5);
  EXPECT_EQ(peer.trackedFlowCount(), 2);
  platform.advance(0.5);
  EXPECT_EQ(peer.trackedFlowCount(), 0);
  EXPECT_EQ(platform.log->messages(),
            (std::vector<std::string>{kRejectingQuic, "⏱️ TCP flow.open() never completed within 10s, closing directly",
                                      "⏱️ UDP flow.open() never completed within 10s, closing directly"}));

  holdUnits(1);  // a second release would show here
  platform.advance(1);
  tcp->core.completeOpenLate();
  udp->core.completeOpenLate();
  platform.settle();
  const std::vector<std::string> closedOnce{"open", "closeRead", "closeWrite"};
  EXPECT_EQ(tcp->core.log.calls(), closedOnce);
  EXPECT_EQ(udp->core.log.calls(), closedOnce);
  EXPECT_EQ(peer.trackedFlowCount(), 1);
  EXPECT_EQ(platform.log->messages().size(), 3u);
}

}  // namespace
}  // namespace vosk::test
