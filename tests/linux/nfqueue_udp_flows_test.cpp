#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "linux/udp/nfqueue_listener.hpp"
#include "linux/udp/nfqueue_udp_flows.hpp"
#include "linux/udp/udp_queue_settings.hpp"
#include "provider/constants.hpp"
#include "support/provider_peer.hpp"
#include "support/test_platform.hpp"
#include "support/virtual_time.hpp"

namespace vosk::backend {
namespace {

using test::VirtualTimeQueue;

// As the daemon sizes it.
constexpr double holdLimit = udpVerdictHoldLimit(flowOpenTimeout);

struct RecordedVerdict {
  std::uint32_t id;
  UdpVerdict verdict;
  friend bool operator==(const RecordedVerdict&, const RecordedVerdict&) = default;
};

class RecordingVerdicts final : public UdpVerdictSink {
 public:
  void sendVerdict(const QueuedUdpPacket& packet, UdpVerdict verdict) override {
    verdicts.push_back({packet.id, verdict});
  }
  std::vector<RecordedVerdict> verdicts;
};

class NfqueueUdpFlowsTest : public ::testing::Test {
 protected:
  // The provider's answer; a taken flow is kept for the test to open and close.
  bool take = false;
  std::vector<std::shared_ptr<Flow>> taken;

  VirtualTimeQueue queue;
  std::shared_ptr<RecordingVerdicts> sink = std::make_shared<RecordingVerdicts>();
  NfqueueUdpFlows flows{queue, holdLimit, sink, [this](const std::shared_ptr<Flow>& flow) {
                          if (take) taken.push_back(flow);
                          return take;
                        }};

  void offer(std::uint32_t id, std::string address = "198.18.0.2") {
    flows.offer(QueuedUdpPacket{id, 0, std::move(address)});
  }
};

TEST_F(NfqueueUdpFlowsTest, ADeclinedFlowPassesAtOnceAndHoldsNothing) {
  offer(7, "2001:db8::2");
  EXPECT_EQ(sink->verdicts, (std::vector<RecordedVerdict>{{7, UdpVerdict::pass}}));
  EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST_F(NfqueueUdpFlowsTest, ATakenFlowIsRefusedOnceBothSidesAreClosed) {
  take = true;
  offer(1, "2001:db8::2");
  ASSERT_EQ(taken.size(), 1u);
  const auto endpoint = std::dynamic_pointer_cast<const HostEndpoint>(taken[0]->remoteEndpoint());
  ASSERT_NE(endpoint, nullptr);
  EXPECT_EQ(*endpoint, HostEndpoint("2001:db8::2", "443"));

  std::vector<std::optional<Error>> opened;
  taken[0]->open([&](std::optional<Error> error) { opened.push_back(error); });
  queue.runUntilIdle();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_FALSE(opened[0].has_value());

  taken[0]->closeRead();
  queue.runUntilIdle();
  EXPECT_TRUE(sink->verdicts.empty());
  taken[0]->closeWrite();
  taken[0]->closeWrite();  // a repeated close changes nothing
  queue.runUntilIdle();
  EXPECT_EQ(sink->verdicts, (std::vector<RecordedVerdict>{{1, UdpVerdict::refuse}}));
  EXPECT_EQ(queue.pendingCount(), 0u);  // the hold limit is gone
}

// Taken flows not closed in time pass at the hold limit, also one the
// provider dropped unclosed; closes after it change nothing.
TEST_F(NfqueueUdpFlowsTest, TakenFlowsNotClosedPassAtTheHoldLimit) {
  take = true;
  offer(1);
  offer(2);
  const std::shared_ptr<Flow> late = taken[1];
  taken.clear();
  queue.advance(holdLimit - 0.5);
  EXPECT_TRUE(sink->verdicts.empty());
  queue.advance(0.5);
  late->closeRead();
  late->closeWrite();
  queue.runUntilIdle();
  EXPECT_EQ(sink->verdicts, (std::vector<RecordedVerdict>{{1, UdpVerdict::pass}, {2, UdpVerdict::pass}}));
}

TEST_F(NfqueueUdpFlowsTest, FlowsOutliveTheQueueHarmlessly) {
  take = true;
  offer(1);
  sink.reset();  // the listener is gone (daemon stopping)
  taken[0]->closeRead();
  taken[0]->closeWrite();
  queue.runUntilIdle();
  queue.advance(holdLimit);
  EXPECT_EQ(queue.pendingCount(), 0u);
}

// The held packet's verdict as the provider's answer and closes decide it.
class QueuedFlowsWithProviderTest : public ::testing::Test {
 protected:
  void offer(std::uint32_t id) {
    flows.offer(QueuedUdpPacket{id, 0, "198.18.0.2"});
    platform.mainQueue.runUntilIdle();  // the daemon's one loop
  }

  test::TestPlatform platform;
  std::shared_ptr<TransparentProxyProvider> provider = platform.makeProvider();
  TransparentProxyProviderPeer peer{*provider};
  std::shared_ptr<RecordingVerdicts> sink = std::make_shared<RecordingVerdicts>();
  NfqueueUdpFlows flows{platform.mainQueue, holdLimit, sink,
                        [this](const std::shared_ptr<Flow>& flow) { return provider->handleNewFlow(flow); }};
};

TEST_F(QueuedFlowsWithProviderTest, AtTheFlowCapTheFlowPasses) {
  peer.setBlocking(true, {});
  while (peer.admitTrackedFlow()) {
  }
  offer(1);
  EXPECT_EQ(sink->verdicts, (std::vector<RecordedVerdict>{{1, UdpVerdict::pass}}));
}

// Zero is the mark of a flow never passed, and a generation equal to the one
// before would let old flows keep skipping the queue: neither may come up,
// also where the generations wrap.
TEST(PassedMarkTest, EachGenerationDiffersFromTheLastAndStaysWithinItsBits) {
  const UdpQueueSettings settings;
  for (std::uint32_t generation = 0; generation < 200; ++generation) {
    const std::uint32_t mark = passedMark(settings, generation);
    EXPECT_NE(mark, 0u) << generation;
    EXPECT_EQ(mark & ~settings.passedBits, 0u) << generation;
    EXPECT_NE(mark, passedMark(settings, generation + 1)) << generation;
  }
}

TEST(DestinationAddressTest, ReadsIPv4AndIPv6AndRefusesTheRest) {
  std::vector<std::uint8_t> ipv4(20, 0);
  ipv4[0] = 0x45;
  const std::uint8_t ipv4Destination[] = {198, 18, 0, 2};
  std::copy(std::begin(ipv4Destination), std::end(ipv4Destination), ipv4.begin() + 16);
  EXPECT_EQ(destinationAddressOf(ipv4), "198.18.0.2");

  std::vector<std::uint8_t> ipv6(40, 0);
  ipv6[0] = 0x60;
  ipv6[24] = 0x20;
  ipv6[25] = 0x01;
  ipv6[26] = 0x0d;
  ipv6[27] = 0xb8;
  ipv6[39] = 0x02;
  EXPECT_EQ(destinationAddressOf(ipv6), "2001:db8::2");

  EXPECT_EQ(destinationAddressOf(std::span(ipv4).first(19)), std::nullopt);
  EXPECT_EQ(destinationAddressOf(std::span(ipv6).first(39)), std::nullopt);
  ipv6[0] = 0x50;
  EXPECT_EQ(destinationAddressOf(ipv6), std::nullopt);
  EXPECT_EQ(destinationAddressOf({}), std::nullopt);
}

}  // namespace
}  // namespace vosk::backend
