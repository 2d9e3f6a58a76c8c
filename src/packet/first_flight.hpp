#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vosk {

// The first bytes a client sends on a TCP connection, put together from the
// segments seen in the packet path before the connection is judged, so that
// the bytes judged are the bytes the server gets. Each segment is accepted
// (it goes on to the server) or dropped (the client sends it again):
//  - Only the next bytes in stream order are taken. A segment that would leave
//    a gap is dropped, so no bytes are judged in one order and read by the
//    server in another (a name sent out of order first).
//  - A segment that repeats bytes already taken is accepted only when they are
//    identical. Servers differ in which copy of an overlap they keep; with one
//    copy passed there is nothing to choose (a retransmission carrying another
//    name).
//  - A segment with URG set is dropped: the server's stack takes the urgent
//    byte out of the stream, so the server would read other bytes than those
//    judged.
//  - Nothing is taken before the SYN gives the stream's start, and bytes said
//    to lie before it are dropped: the server would trim them, not read them.
//    A new SYN restarts only while nothing is taken yet.
//  - Bytes released (read, and no longer needed) are forgotten: a segment
//    repeating them is accepted unread, since the server has them already.
// Pure: sequence numbers and bytes in, verdicts and the prefix out.
class FirstFlight {
 public:
  enum class Verdict { accept, drop };

  // At most `capacity` bytes are kept: the connection is judged by then.
  explicit FirstFlight(std::size_t capacity) : capacity_(capacity) {}

  // The client's SYN, with its payload under TCP Fast Open.
  Verdict syn(std::uint32_t sequence, std::span<const std::uint8_t> payload, bool urgent);
  // A later segment from the client. Once full(), a segment that reaches
  // beyond the prefix is dropped: by then the judgement decides.
  Verdict segment(std::uint32_t sequence, std::span<const std::uint8_t> payload, bool urgent);

  // The bytes taken and not released, in stream order.
  std::span<const std::uint8_t> prefix() const { return prefix_; }
  bool full() const { return prefix_.size() >= capacity_; }
  // Forgets the first `count` bytes of the prefix.
  void release(std::size_t count);

 private:
  const std::size_t capacity_;
  std::optional<std::uint32_t> prefixSequence_;  // of the prefix's first byte
  std::uint64_t released_ = 0;
  std::vector<std::uint8_t> prefix_;
};

}  // namespace vosk
