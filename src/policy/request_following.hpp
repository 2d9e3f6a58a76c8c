#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "policy/http_request_framing.hpp"

namespace vosk {

namespace http2 {
class HeaderDecoder;
}

// Follows a client's requests on one connection, so that each is judged:
// HTTP/1.x by its framing, then HTTP/2 from its preface on (prior knowledge,
// or after an h2c upgrade), each request's header block decoded by one
// decoder for the connection, since later blocks refer to its table.
class RequestFollower {
 public:
  explicit RequestFollower(bool follows);
  ~RequestFollower();

  // The next frame of `bytes`, the bytes after the last frame (for a body,
  // none are needed); a frame other than needsMoreData is taken as read.
  // HTTP/2: the preface and a trailers block are `framing`, a request's
  // header block with its CONTINUATION frames a `head`, every other frame a
  // `body` of its whole length, passed unread; a block a server could not
  // read, or one that cannot be decoded, is `malformed`.
  RequestFrame next(std::span<const std::uint8_t> bytes);
  bool follows() const { return framing_.expecting != RequestFraming::Expecting::nothing; }
  // Following ends: what comes after is relayed as it comes.
  void stop();

 private:
  RequestFrame nextHTTP2(std::span<const std::uint8_t> bytes);
  RequestFrame ending(RequestFrame::Kind kind);

  RequestFraming framing_;
  std::unique_ptr<http2::HeaderDecoder> http2_;  // set once the preface opened the connection
};

// Where a followed client's direction stands besides its framing.
struct FollowedRequests {
  std::uint64_t bodyLeft = 0;    // body bytes still to pass unread
  bool firstHeadFramed = false;  // judged when the flow opened, by `firstHost`
};

// True when a request naming this host (none: unreadable), of this many
// bytes, closes the flow.
using RequestJudge = std::function<bool(const std::optional<std::string>& host, std::size_t bytes)>;

// How many of `bytes` (read, none of a body) one pass frames, as both
// carriers frame them: each head judged, the first one naming `firstHost`
// excepted; a head still not whole at `cap` bytes, or framed so that a server
// may read it otherwise, judged as naming no host, then following stops; a
// body counted as far as it goes (`bodyLeft` keeps the rest); once following
// has stopped, everything. Nothing when a request closes the flow.
std::optional<std::size_t> frameRequests(RequestFollower& follower, FollowedRequests& state,
                                         std::span<const std::uint8_t> bytes,
                                         const std::optional<std::string>& firstHost, std::size_t cap,
                                         const RequestJudge& closes);

}  // namespace vosk
