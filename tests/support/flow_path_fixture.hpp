#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/provider_peer.hpp"
#include "support/test_platform.hpp"

namespace vosk::test {

// A provider on the in-memory platform, for tests of the flow path. The
// tear-down ends whatever a test left running, checks that every tracked-flow
// unit came back and nothing stayed registered, and then breaks the reference
// cycles that unfinished platform operations leave in the fakes.
class FlowPathTest : public ::testing::Test {
 protected:
  static constexpr const char* kRemoteHost = "198.18.0.10";

  std::shared_ptr<FakeTCPFlow> tcpFlowTo(std::shared_ptr<const Endpoint> remote) {
    auto flow = std::make_shared<FakeTCPFlow>(platform.platformQueue, std::move(remote));
    tcpFlows.push_back(flow);
    return flow;
  }
  std::shared_ptr<FakeTCPFlow> tcpFlow(std::string port) {
    return tcpFlowTo(std::make_shared<HostEndpoint>(kRemoteHost, std::move(port)));
  }

  // Offers a new TCP flow to the provider and runs what follows at once.
  std::shared_ptr<FakeTCPFlow> offerTCP(std::string port) {
    auto flow = tcpFlow(std::move(port));
    EXPECT_TRUE(provider->handleNewFlow(flow));
    platform.settle();
    return flow;
  }

  // Hands a tracked, sniffed flow to the upstream relay, as sniffing does.
  void connectTracked(const std::shared_ptr<FakeTCPFlow>& flow, std::string_view initialBytes,
                      std::optional<std::string> hostname) {
    ASSERT_TRUE(peer.connectUpstream(flow, bytesOf(initialBytes), std::move(hostname)));
    platform.settle();
  }

  struct Relayed {
    std::shared_ptr<FakeTCPFlow> flow;
    std::shared_ptr<FakeConnection> connection;
  };
  // A flow whose upstream connection is ready and whose first bytes are
  // replayed: registered, with both relay directions waiting.
  Relayed relayed(std::string_view initialBytes = "hello", std::optional<std::string> hostname = "allowed.test") {
    Relayed r{tcpFlow("443"), nullptr};
    connectTracked(r.flow, initialBytes, std::move(hostname));
    r.connection = platform.connections.last();
    r.connection->deliverState(ConnectionState::Kind::ready);
    platform.settle();
    return r;
  }
  RelayedFlow* entryOf(const Relayed& r) const { return peer.activeFlows().find(r.connection.get()); }
  // Torn down: connection cancelled, flow closed both ways, entry gone.
  bool ended(const Relayed& r) const {
    return r.connection->cancelled() && r.flow->readClosed() && r.flow->writeClosed() && entryOf(r) == nullptr;
  }

  // Units admitted by the test itself, outside any flow.
  void holdUnits(int count) {
    for (int i = 0; i < count; ++i) ASSERT_TRUE(peer.admitTrackedFlow());
    unitsHeldByTest += count;
  }
  void releaseHeldUnit() {
    peer.releaseTrackedFlow();
    --unitsHeldByTest;
  }

  void TearDown() override {
    if (provider) {
      for (const auto& [key, entry] : peer.activeFlows().entries()) entry->closeFlow();
      platform.advance(60, 5);  // past every time limit of the flow path
      EXPECT_EQ(peer.trackedFlowCount(), unitsHeldByTest);
      EXPECT_TRUE(peer.activeFlows().entries().empty());
    }
    for (const auto& connection : platform.connections.made()) {
      connection->setStateUpdateHandler(nullptr);
      connection->cancel();
    }
    for (const auto& flow : tcpFlows) {
      flow->core.completeOpenLate();
      flow->closeRead();
    }
    platform.settle();
  }

  TestPlatform platform;
  std::shared_ptr<TransparentProxyProvider> provider = platform.makeProvider();
  TransparentProxyProviderPeer peer{*provider};
  std::vector<std::shared_ptr<FakeTCPFlow>> tcpFlows;
  std::int64_t unitsHeldByTest = 0;
};

}  // namespace vosk::test
