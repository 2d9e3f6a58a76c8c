#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

// IPv4 and IPv6 packets carrying TCP segments, built byte by byte as a
// client's stack would send them (checksums left zero: nothing here reads
// them). Header-only.
namespace vosk::test {

using PacketBytes = std::vector<std::uint8_t>;

struct SegmentFields {
  std::uint16_t sourcePort = 40000;
  std::uint16_t destinationPort = 443;
  std::uint32_t sequence = 0x01020304;
  std::uint8_t flags = 0;
  std::size_t options = 0;  // bytes of options, a multiple of 4
  std::string_view payload;
};

inline PacketBytes tcpSegment(const SegmentFields& fields) {
  const auto byte = [](std::uint32_t value, int shift) { return static_cast<std::uint8_t>(value >> shift); };
  PacketBytes header{byte(fields.sourcePort, 8),      byte(fields.sourcePort, 0),
                     byte(fields.destinationPort, 8), byte(fields.destinationPort, 0),
                     byte(fields.sequence, 24),       byte(fields.sequence, 16),
                     byte(fields.sequence, 8),        byte(fields.sequence, 0),
                     0, 0, 0, 0,
                     static_cast<std::uint8_t>((5 + fields.options / 4) << 4), fields.flags, 0xff, 0xff, 0, 0, 0, 0};
  header.insert(header.end(), fields.options, 1);
  header.insert(header.end(), fields.payload.begin(), fields.payload.end());
  return header;
}

// From 198.18.0.1 to 198.18.0.2 (the last bytes given), TTL 3, with `options`
// bytes of IP options; `fragment` is the flags and offset field.
inline PacketBytes ipv4Packet(const PacketBytes& tcp, std::size_t options = 0, std::uint16_t fragment = 0x4000,
                              std::uint8_t sourceHost = 1, std::uint8_t destinationHost = 2) {
  const std::size_t total = 20 + options + tcp.size();
  PacketBytes packet{static_cast<std::uint8_t>(0x40 | (5 + options / 4)), 0, static_cast<std::uint8_t>(total >> 8),
                     static_cast<std::uint8_t>(total), 0, 0, static_cast<std::uint8_t>(fragment >> 8),
                     static_cast<std::uint8_t>(fragment), 3, 6, 0, 0, 198, 18, 0, sourceHost, 198, 18, 0,
                     destinationHost};
  packet.insert(packet.end(), options, 1);
  packet.insert(packet.end(), tcp.begin(), tcp.end());
  return packet;
}

// From 2001:db8::1 to 2001:db8::2, hop limit 2, through the given extension
// headers (next header, length in 8-byte units beyond the first 8).
inline PacketBytes ipv6Packet(const PacketBytes& tcp,
                              const std::vector<std::pair<std::uint8_t, std::uint8_t>>& extensions = {}) {
  PacketBytes chain;
  std::uint8_t first = 6;
  for (auto it = extensions.rbegin(); it != extensions.rend(); ++it) {
    PacketBytes header(8 * (it->second + 1U), 0);
    header[0] = first;
    header[1] = it->second;
    chain.insert(chain.begin(), header.begin(), header.end());
    first = it->first;
  }
  const std::size_t length = chain.size() + tcp.size();
  PacketBytes packet{0x60, 0, 0, 0, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), first, 2,
                     0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
                     0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  packet.insert(packet.end(), chain.begin(), chain.end());
  packet.insert(packet.end(), tcp.begin(), tcp.end());
  return packet;
}

}  // namespace vosk::test
