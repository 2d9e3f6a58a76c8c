#pragma once

#include <memory>
#include <optional>
#include <string>

#include "support/provider_peer.hpp"
#include "support/test_platform.hpp"

namespace vosk::test {

// A flow registered as relayed, for tests of what ends relayed flows.
struct RegisteredFlow {
  std::shared_ptr<FakeTCPFlow> flow;
  std::shared_ptr<FakeConnection> connection;
  std::shared_ptr<RelayedFlow> relayed;

  // Ended the one way a relayed flow is ended: connection first, then both flow sides.
  bool ended() const {
    return connection->cancelled() && !connection->hasStateHandler() &&
           flow->core.log.calls() == std::vector<std::string>{"closeRead", "closeWrite"};
  }
  bool untouched() const { return !connection->cancelled() && flow->core.log.calls().empty(); }
};

// Registers a relayed flow to `host` (none: relayed without a host) whose
// last activity was `idleSeconds` ago, holding one tracked-flow unit.
inline RegisteredFlow relayFlow(TestPlatform& platform, TransparentProxyProviderPeer& peer,
                             std::optional<std::string> host, double idleSeconds) {
  RegisteredFlow relayed{platform.tcpFlow("198.18.0.10", "443"), std::make_shared<FakeConnection>("198.18.0.10", 443),
                         nullptr};
  relayed.connection->setStateUpdateHandler([](const ConnectionState&) {});
  relayed.connection->start(platform.mainQueue);
  relayed.relayed = peer.insertRelayedFlow(std::move(host), relayed.flow, relayed.connection,
                                           platform.mainQueue.now() + -idleSeconds);
  return relayed;
}

}  // namespace vosk::test
