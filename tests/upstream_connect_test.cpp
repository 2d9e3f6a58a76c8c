#include <gtest/gtest.h>

#include "support/flow_path_fixture.hpp"

namespace vosk::test {
namespace {

constexpr const char* kUnreadable = "⚠️ Could not read remoteEndpoint host/port, closing flow";
constexpr const char* kTimedOut = "⏱️ Connection to 198.18.0.10:443 timed out establishing, cancelling";
const std::vector<std::string> kClosed{"closeRead", "closeWrite"};

using UpstreamConnectTest = FlowPathTest;

// A decimal port within 0...65535 dials; anything else closes the flow and
// gives back exactly its own place.
TEST_F(UpstreamConnectTest, PortTextsAreReadAsDecimalNumbers) {
  const std::vector<std::pair<std::string, std::optional<std::uint16_t>>> cases{
      {"443", 443}, {"0443", 443}, {"+80", 80}, {"-0", 0}, {"", {}}, {"abc", {}}, {"65536", {}}, {"-1", {}},
      {"+", {}}, {"8O", {}}, {"99999999999999999999", {}}};
  for (const auto& [text, port] : cases) {
    SCOPED_TRACE(text);
    const auto flow = tcpFlow(text);
    connectTracked(flow, "hello", std::nullopt);
    if (port) {
      EXPECT_EQ(platform.connections.last()->port, *port);
      EXPECT_EQ(platform.connections.last()->host, kRemoteHost);
    } else {
      EXPECT_EQ(flow->core.log.calls(), kClosed);
      EXPECT_EQ(platform.log->takeMessages(), std::vector<std::string>{kUnreadable});
    }
  }
  for (const auto& flow : {tcpFlowTo(std::make_shared<OtherEndpoint>()), tcpFlowTo(nullptr)}) {
    connectTracked(flow, "hello", std::nullopt);
    EXPECT_EQ(flow->core.log.calls(), kClosed);
  }
  EXPECT_EQ(platform.connections.made().size(), 4u);
  EXPECT_EQ(peer.trackedFlowCount(), 4);  // the dialling ones only
}

TEST_F(UpstreamConnectTest, AFailureBeforeReadyTearsDownAFlowThatWasNeverRegistered) {
  const auto flow = tcpFlow("443");
  connectTracked(flow, "hello", "allowed.test");
  const auto connection = platform.connections.last();
  connection->deliverState(ConnectionState::Kind::preparing);
  connection->deliverState(ConnectionState::Kind::waiting, Error{"no route"});
  platform.settle();
  EXPECT_TRUE(flow->core.log.calls().empty());

  connection->deliverState(ConnectionState::Kind::failed, Error{"connection refused"});
  platform.settle();
  EXPECT_EQ(platform.log->messages(), std::vector<std::string>{"❌ Upstream connection failed: connection refused"});
  EXPECT_EQ(flow->core.log.calls(), kClosed);
  EXPECT_TRUE(connection->cancelled());
  EXPECT_FALSE(connection->hasStateHandler());
  EXPECT_TRUE(connection->sends().empty());
  EXPECT_EQ(peer.trackedFlowCount(), 0);

  platform.advance(20);  // the time limit was withdrawn
  EXPECT_EQ(platform.log->messages().size(), 1u);
}

TEST_F(UpstreamConnectTest, AConnectionThatStaysWaitingIsEndedAfterFifteenSeconds) {
  const auto flow = tcpFlow("443");
  connectTracked(flow, "hello", std::nullopt);
  const auto connection = platform.connections.last();
  connection->deliverState(ConnectionState::Kind::waiting, Error{"no route"});
  platform.advance(14.5);
  EXPECT_FALSE(connection->cancelled());
  platform.advance(0.5);
  EXPECT_EQ(platform.log->messages(), std::vector<std::string>{kTimedOut});
  EXPECT_TRUE(connection->cancelled());
  EXPECT_EQ(flow->core.log.calls(), kClosed);
  EXPECT_EQ(peer.trackedFlowCount(), 0);
}

// A state that the connection delivers right behind the fired time limit,
// before the teardown has cleared the handler, finds the attempt decided.
TEST_F(UpstreamConnectTest, AStateQueuedBehindTheFiredTimeLimitIsIgnored) {
  for (const auto kind : {ConnectionState::Kind::ready, ConnectionState::Kind::failed}) {
    platform.mainQueue.schedule(upstreamConnectTimeout, [&, kind] {
      platform.connections.last()->deliverState(kind, Error{"connection refused"});
    });
    const auto flow = tcpFlow("443");
    connectTracked(flow, "hello", "allowed.test");
    platform.advance(15);
    const auto connection = platform.connections.last();
    EXPECT_EQ(platform.log->takeMessages(), std::vector<std::string>{kTimedOut});
    EXPECT_TRUE(connection->sends().empty());
    EXPECT_EQ(flow->core.log.calls(), kClosed);
    EXPECT_EQ(peer.trackedFlowCount(), 0);
  }
}

}  // namespace
}  // namespace vosk::test
