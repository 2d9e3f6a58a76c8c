#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/provider_peer.hpp"
#include "support/test_platform.hpp"

namespace vosk::test {
namespace {

constexpr int kFlows = 400;
constexpr auto kWallClockBound = std::chrono::seconds(20);  // a safety net, not a measurement
constexpr const char* kRelayedHost = "198.18.0.1";
constexpr const char* kRefusingHost = "198.18.0.2";
constexpr std::string_view kRequest = "GET / HTTP/1.1\r\nHost: allowed.test\r\n\r\n";

enum class Kind { relayed, refusedUpstream, blocked, silentlyEnded, udp };
constexpr Kind kindOf(int i) { return static_cast<Kind>(i % 5); }

// The platform's side runs on its own thread: it offers flows while the test
// thread serves the main queue, and it delivers every flow completion.
TEST(FlowStressTest, FlowsCompletingOnAnotherThreadEndConsistent) {
  TestPlatform platform;
  const auto provider = platform.makeProvider();
  TransparentProxyProviderPeer peer(*provider);
  peer.setBlocking(true, {makeSite(1, "blocked", {"blocked.test"})});

  std::vector<std::shared_ptr<FakeTCPFlow>> tcpFlows(kFlows);  // the platform thread's until joined
  std::vector<std::shared_ptr<FakeUDPFlow>> udpFlows(kFlows);
  std::atomic<bool> offeringDone{false};
  std::atomic<bool> stop{false};
  std::thread platformThread([&] {
    for (int i = 0; i < kFlows; ++i) {
      std::shared_ptr<Flow> offered;
      if (kindOf(i) == Kind::udp) {
        offered = udpFlows[i] = platform.udpFlow(kRelayedHost, "443");
      } else {
        const auto flow = tcpFlows[i] =
            platform.tcpFlow(kindOf(i) == Kind::refusedUpstream ? kRefusingHost : kRelayedHost, "80");
        switch (kindOf(i)) {
          case Kind::relayed:
          case Kind::refusedUpstream:
            flow->pushData(kRequest);
            flow->pushData("body");
            flow->pushEnd();
            break;
          case Kind::blocked:
            flow->pushData("GET / HTTP/1.1\r\nHost: www.blocked.test\r\n\r\n");
            break;
          default:
            flow->pushEnd();
        }
        offered = flow;
      }
      EXPECT_TRUE(provider->handleNewFlow(offered));
      platform.platformQueue.drain();
    }
    offeringDone = true;
    while (!stop) {
      platform.platformQueue.drain();
      std::this_thread::yield();
    }
  });

  std::size_t served = 0;
  const auto serveNewConnections = [&] {
    const auto made = platform.connections.made();
    for (; served < made.size(); ++served) {
      const auto& connection = made[served];
      if (connection->host == kRefusingHost) {
        connection->deliverState(ConnectionState::Kind::failed, Error{"connection refused"});
      } else {
        connection->pushData("response", true);
        connection->deliverState(ConnectionState::Kind::ready);
      }
    }
  };
  const auto allEnded = [&] {
    return offeringDone && peer.trackedFlowCount() == 0 && peer.activeFlows().size() == 0 &&
           platform.platformQueue.empty() && platform.mainQueue.pendingCount() == 0;
  };
  const auto deadline = std::chrono::steady_clock::now() + kWallClockBound;
  while (!allEnded() && std::chrono::steady_clock::now() < deadline) {
    platform.mainQueue.runUntilIdle();
    serveNewConnections();
    std::this_thread::yield();
  }
  stop = true;
  platformThread.join();
  platform.settle();  // repeated teardowns still in flight

  ASSERT_TRUE(allEnded());
  EXPECT_EQ(platform.connections.made().size(), 2u * kFlows / 5);
  for (int i = 0; i < kFlows; ++i) {
    SCOPED_TRACE(i);
    if (kindOf(i) == Kind::udp) {
      EXPECT_EQ(udpFlows[i]->core.log.calls(), (std::vector<std::string>{"open", "closeRead", "closeWrite"}));
      continue;
    }
    EXPECT_TRUE(tcpFlows[i]->readClosed() && tcpFlows[i]->writeClosed());
    if (kindOf(i) == Kind::relayed) {
      EXPECT_EQ(tcpFlows[i]->written(), "response");
    }
  }
  for (const auto& connection : platform.connections.made()) {
    EXPECT_TRUE(connection->cancelled());
    // Its end went with the cancel when the client's came last.
    if (connection->host == kRelayedHost) {
      EXPECT_EQ(connection->sent(), std::string(kRequest) + "body");
    }
  }
}

}  // namespace
}  // namespace vosk::test
