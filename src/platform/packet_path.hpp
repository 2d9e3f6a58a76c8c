#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vosk {

// One TCP connection as the packet path names it, from the client's side.
struct ConnectionTuple {
  int ipVersion = 0;                     // 4 or 6
  std::array<std::uint8_t, 16> client{};  // an IPv4 address in the first 4 bytes
  std::array<std::uint8_t, 16> server{};
  std::uint16_t clientPort = 0;
  std::uint16_t serverPort = 0;

  bool operator==(const ConnectionTuple&) const = default;
};

struct ConnectionTupleHash {
  std::size_t operator()(const ConnectionTuple& tuple) const {
    // FNV-1a: the addresses and ports are not chosen to collide by anyone who
    // cannot also fill the table with real connections.
    std::uint64_t hash = 14695981039346656037ULL;
    const auto mix = [&hash](std::uint8_t byte) { hash = (hash ^ byte) * 1099511628211ULL; };
    for (std::uint8_t byte : tuple.client) mix(byte);
    for (std::uint8_t byte : tuple.server) mix(byte);
    for (std::uint16_t port : {tuple.clientPort, tuple.serverPort}) {
      mix(static_cast<std::uint8_t>(port >> 8));
      mix(static_cast<std::uint8_t>(port));
    }
    return static_cast<std::size_t>(hash);
  }
};

// What becomes of a client's segment held in the packet path while its
// connection is not judged yet.
enum class SegmentVerdict {
  pass,   // on to the server; the connection's next segments are held too
  drop,   // thrown away; the client sends it again
  allow,  // on to the server, and the kernel carries the connection from now on
  follow, // on to the server; its requests are followed: the later segments carrying bytes are held too
  block,  // the connection is reset both ways, this segment with it
};

// What the packet path does for the judge outside a held segment's verdict.
class PacketPath {
 public:
  virtual ~PacketPath() = default;
  // Resets these connections both ways at their next packet.
  virtual void resetConnections(std::span<const ConnectionTuple> connections) = 0;
};

}  // namespace vosk
