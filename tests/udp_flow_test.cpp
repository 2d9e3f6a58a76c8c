#include <gtest/gtest.h>

#include "support/flow_path_fixture.hpp"

namespace vosk::test {
namespace {

constexpr const char* kRejecting = "🚫 Rejecting UDP:443 (QUIC) flow while blocking is enabled, forcing TCP fallback";
const std::vector<std::string> kOpenedAndClosed{"open", "closeRead", "closeWrite"};

class UDPFlowTest : public FlowPathTest {
 protected:
  UDPFlowTest() { peer.setBlocking(true, {makeSite(1, "social", {"facebook.com"})}); }
  std::shared_ptr<FakeUDPFlow> flow = platform.udpFlow(kRemoteHost, "443");
};

TEST_F(UDPFlowTest, DeclinedSilentlyWhileBlockingIsOff) {
  peer.setBlocking(false, {});
  EXPECT_FALSE(provider->handleNewFlow(flow));
  platform.advance(15);
  EXPECT_EQ(peer.trackedFlowCount(), 0);
  EXPECT_TRUE(flow->core.log.calls().empty());
  EXPECT_TRUE(platform.log->lines().empty());
}

// Success or failure of the open makes no difference, and no datagram passes
// (a UDP flow offers no read or write at all: the calls show only open and close).
TEST_F(UDPFlowTest, TakenCountedAndClosedAsSoonAsTheOpenCompletesWhateverItsOutcome) {
  for (const std::optional<Error>& outcome : {std::optional<Error>(), std::optional<Error>(Error{"open refused"})}) {
    const auto udp = platform.udpFlow(kRemoteHost, "443");
    udp->core.openScript.error = outcome;
    EXPECT_TRUE(provider->handleNewFlow(udp));
    EXPECT_EQ(peer.trackedFlowCount(), 1);
    platform.settle();
    EXPECT_EQ(peer.trackedFlowCount(), 0);
    EXPECT_EQ(udp->core.log.calls(), kOpenedAndClosed);
    EXPECT_EQ(platform.log->takeMessages(), std::vector<std::string>{kRejecting});
  }
  platform.advance(15);  // the time limits were withdrawn
  EXPECT_TRUE(platform.log->takeMessages().empty());
}

}  // namespace
}  // namespace vosk::test
