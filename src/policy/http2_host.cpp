// Host of an HTTP/2 request sent with prior knowledge, read from the first
// bytes of a flow: the frames after the connection preface up to the first
// complete header block, decoded by libnghttp2's header decoder.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "policy/host_extraction.hpp"
#include "policy/host_value.hpp"
#include "policy/http2_frames.hpp"

namespace vosk {
namespace http2 {
namespace {

// The largest frame a client may send before the server's settings allow
// more; none can have arrived while the filter holds the flow back.
constexpr std::size_t kFirstFlightMaxFrameSize = 16384;
// Decoded header list size, each field counted as name, value and 32 bytes of
// overhead: references into the decoder's table make the list far larger than
// its block, so it is bounded.
constexpr std::size_t kMaxHeaderListSize = 65536;
constexpr std::size_t kHeaderFieldOverhead = 32;
constexpr std::size_t kPadLengthSize = 1;
constexpr std::size_t kPrioritySize = 5;
constexpr std::uint32_t kStreamIdMask = 0x7FFFFFFF;
constexpr std::string_view kAuthority = ":authority";
constexpr std::string_view kHost = "host";
constexpr std::string_view kMethod = ":method";

// The header block fragment of a HEADERS frame's payload without its padding
// and priority fields; none when they do not fit.
std::optional<std::span<const std::uint8_t>> headersFragment(std::uint8_t flags, std::span<const std::uint8_t> payload) {
  std::size_t padLength = 0;
  if (flags & NGHTTP2_FLAG_PADDED) {
    if (payload.size() < kPadLengthSize) return std::nullopt;
    padLength = payload[0];
    payload = payload.subspan(kPadLengthSize);
  }
  if (flags & NGHTTP2_FLAG_PRIORITY) {
    if (payload.size() < kPrioritySize) return std::nullopt;
    payload = payload.subspan(kPrioritySize);
  }
  if (padLength > payload.size()) return std::nullopt;
  return payload.first(payload.size() - padLength);
}

bool named(const nghttp2_nv& field, std::string_view name) {
  return std::string_view(reinterpret_cast<const char*>(field.name), field.namelen) == name;
}

nghttp2_hd_inflater* newInflater() {
  nghttp2_hd_inflater* inflater = nullptr;
  if (nghttp2_hd_inflate_new(&inflater) != 0) throw std::bad_alloc();
  return inflater;
}

}  // namespace

FrameHeader frameHeaderOf(std::span<const std::uint8_t, frameHeaderSize> bytes) {
  const std::uint32_t streamId =
      (std::uint32_t{bytes[5]} << 24 | std::uint32_t{bytes[6]} << 16 | std::uint32_t{bytes[7]} << 8 | bytes[8]) &
      kStreamIdMask;
  return {std::size_t{bytes[0]} << 16 | std::size_t{bytes[1]} << 8 | bytes[2], bytes[3], bytes[4], streamId};
}

HeaderBlock headerBlockAt(std::span<const std::uint8_t> bytes, std::size_t maxFrameSize) {
  const HeaderBlock malformed{HeaderBlock::Reading::malformed, {}, 0};
  HeaderBlock block;
  std::optional<std::uint32_t> stream;
  for (std::span<const std::uint8_t> rest = bytes;;) {
    if (rest.size() < frameHeaderSize) return block;
    const FrameHeader frame = frameHeaderOf(rest.first<frameHeaderSize>());
    if (frame.length > maxFrameSize) return malformed;
    if (rest.size() < frameHeaderSize + frame.length) return block;
    const std::span<const std::uint8_t> payload = rest.subspan(frameHeaderSize, frame.length);
    rest = rest.subspan(frameHeaderSize + frame.length);

    std::span<const std::uint8_t> fragment = payload;
    if (!stream) {
      const auto headers = headersFragment(frame.flags, payload);
      if (frame.type != NGHTTP2_HEADERS || !headers || frame.streamId == 0) return malformed;
      fragment = *headers;
      stream = frame.streamId;
    } else if (frame.type != NGHTTP2_CONTINUATION || frame.streamId != *stream) {
      return malformed;  // nothing may come between a HEADERS frame and its block's end
    }
    block.fragments.insert(block.fragments.end(), fragment.begin(), fragment.end());
    if (frame.flags & NGHTTP2_FLAG_END_HEADERS) {
      block.reading = HeaderBlock::Reading::whole;
      block.length = bytes.size() - rest.size();
      return block;
    }
  }
}

HeaderDecoder::HeaderDecoder() : inflater_(newInflater(), nghttp2_hd_inflate_del) {}

std::optional<DecodedHeaders> HeaderDecoder::decode(std::span<const std::uint8_t> block) {
  DecodedHeaders decoded;
  std::optional<HostExtraction> authority;
  std::optional<HostExtraction> host;
  std::size_t listSize = 0;
  const std::uint8_t* in = block.data();
  std::size_t left = block.size();
  for (;;) {
    nghttp2_nv field;
    int flags = 0;
    const auto used = nghttp2_hd_inflate_hd2(inflater_.get(), &field, &flags, in, left, 1);
    if (used < 0) return std::nullopt;
    in += used;
    left -= static_cast<std::size_t>(used);
    if (flags & NGHTTP2_HD_INFLATE_EMIT) {
      listSize += field.namelen + field.valuelen + kHeaderFieldOverhead;
      if (listSize > kMaxHeaderListSize) return std::nullopt;
      const std::string_view value(reinterpret_cast<const char*>(field.value), field.valuelen);
      if (!authority && named(field, kAuthority)) authority = hostOfHostValue(value);
      if (!host && named(field, kHost)) host = hostOfHostValue(value);
      decoded.request = decoded.request || named(field, kMethod);
    }
    if (flags & NGHTTP2_HD_INFLATE_FINAL) break;
    // With the whole block given, the decoder ends on FINAL or fails.
    if (!(flags & NGHTTP2_HD_INFLATE_EMIT) && left == 0) return std::nullopt;
  }
  nghttp2_hd_inflate_end_headers(inflater_.get());
  decoded.host = authority ? *authority : host ? *host : HostExtraction{std::nullopt, false};
  return decoded;
}

}  // namespace http2

bool startsWithHTTP2Preface(std::span<const std::uint8_t> bytes) {
  const std::size_t compared = std::min(bytes.size(), http2::preface.size());
  return std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(compared), http2::preface.begin());
}

HostExtraction extractHTTP2Host(std::span<const std::uint8_t> bytes) {
  constexpr HostExtraction incomplete{std::nullopt, true};
  constexpr HostExtraction notFound{std::nullopt, false};
  if (!startsWithHTTP2Preface(bytes)) return notFound;
  if (bytes.size() < http2::preface.size()) return incomplete;

  for (std::span<const std::uint8_t> rest = bytes.subspan(http2::preface.size());;) {
    if (rest.size() < http2::frameHeaderSize) return incomplete;
    const http2::FrameHeader frame = http2::frameHeaderOf(rest.first<http2::frameHeaderSize>());
    if (frame.length > http2::kFirstFlightMaxFrameSize) return notFound;
    if (frame.type == NGHTTP2_HEADERS) {
      const http2::HeaderBlock block = http2::headerBlockAt(rest, http2::kFirstFlightMaxFrameSize);
      if (block.reading == http2::HeaderBlock::Reading::incomplete) return incomplete;
      if (block.reading == http2::HeaderBlock::Reading::malformed) return notFound;
      const auto decoded = http2::HeaderDecoder().decode(block.fragments);
      return decoded ? decoded->host : notFound;
    }
    if (frame.type == NGHTTP2_CONTINUATION) return notFound;
    // Settings, window updates, pings, priorities: nothing about the host.
    if (rest.size() < http2::frameHeaderSize + frame.length) return incomplete;
    rest = rest.subspan(http2::frameHeaderSize + frame.length);
  }
}

}  // namespace vosk
