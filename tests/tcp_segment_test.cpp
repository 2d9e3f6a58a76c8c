#include "packet/tcp_segment.hpp"
#include "support/tcp_packets.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vosk {
namespace {

using Bytes = test::PacketBytes;
using test::ipv4Packet;
using test::ipv6Packet;

Bytes tcp(std::uint8_t flags, std::size_t options, std::string_view payload) {
  return test::tcpSegment({.flags = flags, .options = options, .payload = payload});
}

std::string text(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

TEST(TCPSegmentTest, ReadsAddressesPortsSequenceFlagsAndPayloadBehindOptions) {
  Bytes packet = ipv4Packet(tcp(TCPSegment::psh | TCPSegment::ack, 12, "GET /"), 8);
  packet.push_back(0);  // link padding after the packet's own length
  const auto segment = parseTCPSegment(packet);
  ASSERT_TRUE(segment);
  EXPECT_EQ(segment->ipVersion, 4);
  EXPECT_EQ(segment->source[0], 198);
  EXPECT_EQ(segment->destination[3], 2);
  EXPECT_EQ(segment->sourcePort, 40000);
  EXPECT_EQ(segment->destinationPort, 443);
  EXPECT_EQ(segment->sequence, 0x01020304U);
  EXPECT_EQ(segment->flags, TCPSegment::psh | TCPSegment::ack);
  EXPECT_EQ(segment->hopLimit, 3);
  EXPECT_EQ(text(segment->payload), "GET /");

  const Bytes sixPacket = ipv6Packet(tcp(TCPSegment::syn, 0, "hi"), {{0, 0}, {60, 1}, {43, 0}});
  const auto six = parseTCPSegment(sixPacket);  // the payload points into the packet
  ASSERT_TRUE(six);
  EXPECT_EQ(six->ipVersion, 6);
  EXPECT_EQ(six->destination[15], 2);
  EXPECT_EQ(six->hopLimit, 2);
  EXPECT_EQ(six->flags, TCPSegment::syn);
  EXPECT_EQ(text(six->payload), "hi");
}

TEST(TCPSegmentTest, RefusesFragmentsOtherProtocolsAndLengthsThatDisagreeWithTheBytes) {
  const Bytes segment = tcp(TCPSegment::ack, 0, "GET /");
  EXPECT_FALSE(parseTCPSegment(ipv4Packet(segment, 0, 0x2000))) << "more fragments";
  EXPECT_FALSE(parseTCPSegment(ipv4Packet(segment, 0, 0x0001))) << "a later fragment";
  EXPECT_FALSE(parseTCPSegment(ipv6Packet(segment, {{44, 0}}))) << "an IPv6 fragment header";
  EXPECT_FALSE(parseTCPSegment(ipv6Packet(segment, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}})))
      << "past the bound on extension headers";

  Bytes udp = ipv4Packet(segment);
  udp[9] = 17;
  EXPECT_FALSE(parseTCPSegment(udp));
  Bytes cut = ipv4Packet(segment);
  cut.pop_back();
  EXPECT_FALSE(parseTCPSegment(cut)) << "shorter than its total length";
  Bytes offset = ipv4Packet(segment);
  offset[20 + 12] = 0xf0;  // a TCP header longer than the segment
  EXPECT_FALSE(parseTCPSegment(offset));
  Bytes small = ipv4Packet(segment);
  small[20 + 12] = 0x40;
  EXPECT_FALSE(parseTCPSegment(small)) << "a TCP header under 20 bytes";
  Bytes six = ipv6Packet(segment);
  six[5] += 1;
  EXPECT_FALSE(parseTCPSegment(six)) << "an IPv6 payload longer than the bytes";
  EXPECT_FALSE(parseTCPSegment(Bytes{0x45, 0, 0}));
  EXPECT_FALSE(parseTCPSegment(Bytes{}));
}

}  // namespace
}  // namespace vosk
