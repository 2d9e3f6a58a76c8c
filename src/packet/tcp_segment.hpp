#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vosk {

// What the judge of a connection's first flight needs of one IPv4 or IPv6
// packet carrying a TCP segment, read from the packet's bytes.
struct TCPSegment {
  static constexpr std::uint8_t fin = 0x01, syn = 0x02, rst = 0x04, psh = 0x08, ack = 0x10, urg = 0x20;

  int ipVersion = 0;                         // 4 or 6
  std::array<std::uint8_t, 16> source{};     // an IPv4 address in the first 4 bytes
  std::array<std::uint8_t, 16> destination{};
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;
  std::uint32_t sequence = 0;
  std::uint8_t flags = 0;
  std::uint8_t hopLimit = 0;                 // IPv4 TTL or IPv6 hop limit
  std::span<const std::uint8_t> payload;     // within the packet given
};

// The segment a packet carries, or nothing when the bytes are not a whole,
// unfragmented IPv4 or IPv6 packet carrying TCP (IPv6 after any number of
// hop-by-hop, routing, destination options and authentication headers, up
// to a bound), or when a length in them disagrees with the bytes. Pure.
std::optional<TCPSegment> parseTCPSegment(std::span<const std::uint8_t> packet);

}  // namespace vosk
