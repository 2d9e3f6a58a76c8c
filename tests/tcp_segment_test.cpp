#include "packet/tcp_segment.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vosk {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A TCP header from port 40000 to 443, sequence 0x01020304, with `options`
// bytes of options and the payload.
Bytes tcp(std::uint8_t flags, std::size_t options, const std::string& payload) {
  Bytes header{0x9c, 0x40, 0x01, 0xbb, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0,
               static_cast<std::uint8_t>((5 + options / 4) << 4), flags, 0xff, 0xff, 0, 0, 0, 0};
  header.insert(header.end(), options, 1);
  header.insert(header.end(), payload.begin(), payload.end());
  return header;
}

Bytes ipv4(const Bytes& tcp, std::size_t options = 0, std::uint16_t fragment = 0x4000) {
  const std::size_t total = 20 + options + tcp.size();
  Bytes packet{static_cast<std::uint8_t>(0x40 | (5 + options / 4)), 0, static_cast<std::uint8_t>(total >> 8),
               static_cast<std::uint8_t>(total), 0, 0, static_cast<std::uint8_t>(fragment >> 8),
               static_cast<std::uint8_t>(fragment), 3, 6, 0, 0, 198, 18, 0, 1, 198, 18, 0, 2};
  packet.insert(packet.end(), options, 1);
  packet.insert(packet.end(), tcp.begin(), tcp.end());
  return packet;
}

// An IPv6 packet from 2001:db8::1 to 2001:db8::2 through the given extension
// headers (next header, length in 8-byte units beyond the first 8).
Bytes ipv6(const Bytes& tcp, const std::vector<std::pair<std::uint8_t, std::uint8_t>>& extensions = {}) {
  Bytes chain;
  std::uint8_t first = 6;
  for (auto it = extensions.rbegin(); it != extensions.rend(); ++it) {
    Bytes header(8 * (it->second + 1U), 0);
    header[0] = first;
    header[1] = it->second;
    chain.insert(chain.begin(), header.begin(), header.end());
    first = it->first;
  }
  const std::size_t length = chain.size() + tcp.size();
  Bytes packet{0x60, 0, 0, 0, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), first, 2,
               0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
               0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  packet.insert(packet.end(), chain.begin(), chain.end());
  packet.insert(packet.end(), tcp.begin(), tcp.end());
  return packet;
}

std::string text(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

TEST(TCPSegmentTest, ReadsAddressesPortsSequenceFlagsAndPayloadBehindOptions) {
  Bytes packet = ipv4(tcp(TCPSegment::psh | TCPSegment::ack, 12, "GET /"), 8);
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

  const Bytes sixPacket = ipv6(tcp(TCPSegment::syn, 0, "hi"), {{0, 0}, {60, 1}, {43, 0}});
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
  EXPECT_FALSE(parseTCPSegment(ipv4(segment, 0, 0x2000))) << "more fragments";
  EXPECT_FALSE(parseTCPSegment(ipv4(segment, 0, 0x0001))) << "a later fragment";
  EXPECT_FALSE(parseTCPSegment(ipv6(segment, {{44, 0}}))) << "an IPv6 fragment header";
  EXPECT_FALSE(parseTCPSegment(ipv6(segment, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}})))
      << "past the bound on extension headers";

  Bytes udp = ipv4(segment);
  udp[9] = 17;
  EXPECT_FALSE(parseTCPSegment(udp));
  Bytes cut = ipv4(segment);
  cut.pop_back();
  EXPECT_FALSE(parseTCPSegment(cut)) << "shorter than its total length";
  Bytes offset = ipv4(segment);
  offset[20 + 12] = 0xf0;  // a TCP header longer than the segment
  EXPECT_FALSE(parseTCPSegment(offset));
  Bytes small = ipv4(segment);
  small[20 + 12] = 0x40;
  EXPECT_FALSE(parseTCPSegment(small)) << "a TCP header under 20 bytes";
  Bytes six = ipv6(segment);
  six[5] += 1;
  EXPECT_FALSE(parseTCPSegment(six)) << "an IPv6 payload longer than the bytes";
  EXPECT_FALSE(parseTCPSegment(Bytes{0x45, 0, 0}));
  EXPECT_FALSE(parseTCPSegment(Bytes{}));
}

}  // namespace
}  // namespace vosk
