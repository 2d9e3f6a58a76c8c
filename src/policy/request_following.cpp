// Following a client's requests: HTTP/1.x framing, or HTTP/2 frames after the
// preface.

#include "policy/request_following.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "policy/host_extraction.hpp"
#include "policy/http2_frames.hpp"

namespace vosk {
namespace {

using Kind = RequestFrame::Kind;

// The frame format's own limit: the server's settings may have raised the
// frame size after the first flight, and a header block larger than the
// relay's cap is judged as a request without a host anyway.
constexpr std::size_t kFrameFormatMaximum = (std::size_t{1} << 24) - 1;

}  // namespace

RequestFollower::RequestFollower(bool follows)
    : framing_{follows ? RequestFraming::Expecting::head : RequestFraming::Expecting::nothing, 0} {}
RequestFollower::~RequestFollower() = default;

std::optional<std::size_t> frameRequests(RequestFollower& follower, FollowedRequests& state,
                                         std::span<const std::uint8_t> bytes,
                                         const std::optional<std::string>& firstHost, std::size_t cap,
                                         const RequestJudge& closes) {
  std::size_t framed = 0;
  for (;;) {
    const RequestFrame frame = follower.next(bytes.subspan(framed));
    const std::size_t unframed = bytes.size() - framed;
    if (frame.kind == Kind::needsMoreData && unframed < cap) return framed;
    if (frame.kind == Kind::needsMoreData || frame.kind == Kind::malformed) {
      if (closes(std::nullopt, unframed)) return std::nullopt;
      follower.stop();
      continue;
    }
    if (frame.kind == Kind::stop) return bytes.size();
    if (frame.kind == Kind::head) {
      const bool judged = !state.firstHeadFramed && frame.host == firstHost;
      state.firstHeadFramed = true;
      if (!judged && closes(frame.host, static_cast<std::size_t>(frame.length))) return std::nullopt;
    }
    const std::uint64_t here = std::min<std::uint64_t>(frame.length, unframed);
    framed += static_cast<std::size_t>(here);
    if (frame.kind == Kind::body && (state.bodyLeft = frame.length - here) > 0) return framed;
  }
}

void RequestFollower::stop() {
  framing_ = {RequestFraming::Expecting::nothing, 0};
  http2_.reset();
}

RequestFrame RequestFollower::ending(Kind kind) {
  stop();
  return {kind, 0, std::nullopt, framing_};
}

RequestFrame RequestFollower::next(std::span<const std::uint8_t> bytes) {
  if (!follows()) return ending(Kind::stop);
  if (http2_) return nextHTTP2(bytes);
  // The preface opens HTTP/2 at the start (prior knowledge) or after an
  // accepted h2c upgrade; a server that reads HTTP/1 refuses it.
  if (framing_.expecting == RequestFraming::Expecting::head && startsWithHTTP2Preface(bytes)) {
    if (bytes.size() < http2::preface.size()) return {Kind::needsMoreData, 0, std::nullopt, framing_};
    http2_ = std::make_unique<http2::HeaderDecoder>();
    return {Kind::framing, http2::preface.size(), std::nullopt, framing_};
  }
  const RequestFrame frame = nextRequestFrame(framing_, bytes);
  if (frame.kind == Kind::needsMoreData) return frame;
  if (frame.kind == Kind::stop || frame.kind == Kind::malformed) return ending(frame.kind);
  framing_ = frame.next;
  return frame;
}

RequestFrame RequestFollower::nextHTTP2(std::span<const std::uint8_t> bytes) {
  const RequestFrame more{Kind::needsMoreData, 0, std::nullopt, framing_};
  if (bytes.size() < http2::frameHeaderSize) return more;
  const http2::FrameHeader frame = http2::frameHeaderOf(bytes.first<http2::frameHeaderSize>());
  if (frame.type == NGHTTP2_CONTINUATION) return ending(Kind::malformed);  // no block is open
  if (frame.type != NGHTTP2_HEADERS) return {Kind::body, http2::frameHeaderSize + frame.length, std::nullopt, framing_};

  const http2::HeaderBlock block = http2::headerBlockAt(bytes, kFrameFormatMaximum);
  if (block.reading == http2::HeaderBlock::Reading::incomplete) return more;
  if (block.reading == http2::HeaderBlock::Reading::malformed) return ending(Kind::malformed);
  const std::optional<http2::DecodedHeaders> decoded = http2_->decode(block.fragments);
  if (!decoded) return ending(Kind::malformed);
  if (!decoded->request) return {Kind::framing, block.length, std::nullopt, framing_};
  return {Kind::head, block.length, decoded->host.host, framing_};
}

}  // namespace vosk
