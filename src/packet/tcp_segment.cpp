#include "packet/tcp_segment.hpp"

#include <algorithm>

namespace vosk {
namespace {

constexpr std::uint8_t tcpProtocol = 6;
constexpr std::size_t ipv4MinimumHeader = 20;
constexpr std::size_t ipv6Header = 40;
constexpr std::size_t tcpMinimumHeader = 20;
// IPv6 extension headers walked before TCP; more is not a first flight.
constexpr int extensionHeaderLimit = 8;

std::uint16_t read16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::uint32_t read32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(read16(bytes, at)) << 16 | read16(bytes, at + 2);
}

// The TCP part of an IP packet, its addresses already read.
std::optional<TCPSegment> readTCP(TCPSegment segment, std::span<const std::uint8_t> tcp) {
  if (tcp.size() < tcpMinimumHeader) return std::nullopt;
  const std::size_t headerLength = static_cast<std::size_t>(tcp[12] >> 4) * 4;
  if (headerLength < tcpMinimumHeader || headerLength > tcp.size()) return std::nullopt;
  segment.sourcePort = read16(tcp, 0);
  segment.destinationPort = read16(tcp, 2);
  segment.sequence = read32(tcp, 4);
  segment.flags = tcp[13];
  segment.payload = tcp.subspan(headerLength);
  return segment;
}

std::optional<TCPSegment> readIPv4(std::span<const std::uint8_t> packet) {
  if (packet.size() < ipv4MinimumHeader) return std::nullopt;
  const std::size_t headerLength = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
  const std::size_t totalLength = read16(packet, 2);
  const bool fragment = (read16(packet, 6) & 0x3fff) != 0;  // more fragments, or an offset
  if (headerLength < ipv4MinimumHeader || totalLength < headerLength || totalLength > packet.size() || fragment ||
      packet[9] != tcpProtocol) {
    return std::nullopt;
  }
  TCPSegment segment;
  segment.ipVersion = 4;
  segment.hopLimit = packet[8];
  std::copy_n(packet.begin() + 12, 4, segment.source.begin());
  std::copy_n(packet.begin() + 16, 4, segment.destination.begin());
  return readTCP(segment, packet.subspan(headerLength, totalLength - headerLength));
}

std::optional<TCPSegment> readIPv6(std::span<const std::uint8_t> packet) {
  if (packet.size() < ipv6Header) return std::nullopt;
  const std::size_t payloadLength = read16(packet, 4);
  if (ipv6Header + payloadLength > packet.size()) return std::nullopt;
  std::span<const std::uint8_t> rest = packet.subspan(ipv6Header, payloadLength);
  std::uint8_t next = packet[6];
  for (int walked = 0; next != tcpProtocol; ++walked) {
    constexpr std::uint8_t hopByHop = 0, routing = 43, authentication = 51, destinationOptions = 60;
    if (walked == extensionHeaderLimit || rest.size() < 2) return std::nullopt;
    std::size_t length = 0;
    if (next == hopByHop || next == routing || next == destinationOptions) {
      length = (static_cast<std::size_t>(rest[1]) + 1) * 8;
    } else if (next == authentication) {
      length = (static_cast<std::size_t>(rest[1]) + 2) * 4;
    } else {
      return std::nullopt;  // a fragment, or no TCP
    }
    if (length > rest.size()) return std::nullopt;
    next = rest[0];
    rest = rest.subspan(length);
  }
  TCPSegment segment;
  segment.ipVersion = 6;
  segment.hopLimit = packet[7];
  std::copy_n(packet.begin() + 8, 16, segment.source.begin());
  std::copy_n(packet.begin() + 24, 16, segment.destination.begin());
  return readTCP(segment, rest);
}

}  // namespace

std::optional<TCPSegment> parseTCPSegment(std::span<const std::uint8_t> packet) {
  if (packet.empty()) return std::nullopt;
  switch (packet[0] >> 4) {
    case 4: return readIPv4(packet);
    case 6: return readIPv6(packet);
    default: return std::nullopt;
  }
}

}  // namespace vosk
