#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/blocked_site.hpp"
#include "provider/transparent_proxy_provider.hpp"
#include "support/capture.hpp"
#include "support/fake_connection.hpp"
#include "support/fake_flows.hpp"
#include "support/platform_queue.hpp"
#include "support/virtual_time.hpp"

namespace vosk::test {

// The whole in-memory platform, ready to host one provider.
struct TestPlatform {
  VirtualTimeQueue mainQueue;
  PlatformQueue platformQueue;
  std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
  CapturingNotifier notifier;
  FakeConnectionFactory connections;
  FakeProviderHost host;
  CapturingDecisionLog decisions;
  RecordingPacketPath packetPath;

  ProviderEnvironment environment() {
    return ProviderEnvironment{mainQueue, mainQueue, log, notifier, connections, host, decisions, packetPath};
  }
  std::shared_ptr<TransparentProxyProvider> makeProvider() { return TransparentProxyProvider::create(environment()); }

  // Runs the platform queue and the main queue (at the current virtual time)
  // until neither has work left.
  void settle();
  // Moves virtual time forward, settling at every step of at most `step` seconds.
  void advance(double seconds, double step = 0.5);

  std::shared_ptr<FakeTCPFlow> tcpFlow(std::string host, std::string port) {
    return FakeTCPFlow::to(platformQueue, std::move(host), std::move(port));
  }
  std::shared_ptr<FakeUDPFlow> udpFlow(std::string host, std::string port) {
    return std::make_shared<FakeUDPFlow>(platformQueue, std::make_shared<HostEndpoint>(std::move(host), std::move(port)));
  }
};

// A site with a fixed id derived from `number`.
BlockedSite makeSite(int number, std::string name, std::vector<std::string> domains);

}  // namespace vosk::test
