// Host of an HTTP/2 request sent with prior knowledge, read from the first
// bytes of a flow: the frames after the connection preface up to the first
// complete header block, decoded by libnghttp2's header decoder.

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "policy/host_extraction.hpp"
#include "policy/host_value.hpp"

namespace vosk {
namespace {

constexpr std::string_view kPreface = NGHTTP2_CLIENT_MAGIC;
constexpr std::size_t kFrameHeaderSize = 9;
// The largest frame a client may send before the server's settings allow
// more; none can have arrived while the filter holds the flow back.
constexpr std::size_t kMaxFrameSize = 16384;
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

HostExtraction incomplete() { return {std::nullopt, true}; }
HostExtraction notFound() { return {std::nullopt, false}; }

struct FrameHeader {
  std::size_t length;
  std::uint8_t type;
  std::uint8_t flags;
  std::uint32_t streamId;
};

FrameHeader frameHeaderOf(std::span<const std::uint8_t, kFrameHeaderSize> bytes) {
  const std::uint32_t streamId =
      (std::uint32_t{bytes[5]} << 24 | std::uint32_t{bytes[6]} << 16 | std::uint32_t{bytes[7]} << 8 | bytes[8]) &
      kStreamIdMask;
  return {std::size_t{bytes[0]} << 16 | std::size_t{bytes[1]} << 8 | bytes[2], bytes[3], bytes[4], streamId};
}

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

// Decodes a whole header block with a decoder of its own; the host its
// :authority, else its first host field names.
HostExtraction hostOfHeaderBlock(std::span<const std::uint8_t> block) {
  nghttp2_hd_inflater* raw = nullptr;
  if (nghttp2_hd_inflate_new(&raw) != 0) return notFound();
  const std::unique_ptr<nghttp2_hd_inflater, decltype(&nghttp2_hd_inflate_del)> inflater(raw, nghttp2_hd_inflate_del);

  std::optional<HostExtraction> authority;
  std::optional<HostExtraction> host;
  std::size_t listSize = 0;
  const std::uint8_t* in = block.data();
  std::size_t left = block.size();
  for (;;) {
    nghttp2_nv field;
    int flags = 0;
    const auto used = nghttp2_hd_inflate_hd2(inflater.get(), &field, &flags, in, left, 1);
    if (used < 0) return notFound();
    in += used;
    left -= static_cast<std::size_t>(used);
    if (flags & NGHTTP2_HD_INFLATE_EMIT) {
      listSize += field.namelen + field.valuelen + kHeaderFieldOverhead;
      if (listSize > kMaxHeaderListSize) return notFound();
      const std::string_view value(reinterpret_cast<const char*>(field.value), field.valuelen);
      if (!authority && named(field, kAuthority)) authority = hostOfHostValue(value);
      if (!host && named(field, kHost)) host = hostOfHostValue(value);
    }
    // With the whole block given, the decoder ends on FINAL or fails.
    if ((flags & NGHTTP2_HD_INFLATE_FINAL) || (!(flags & NGHTTP2_HD_INFLATE_EMIT) && left == 0)) break;
  }
  return authority ? *authority : host ? *host : notFound();
}

}  // namespace

bool startsWithHTTP2Preface(std::span<const std::uint8_t> bytes) {
  const std::size_t compared = std::min(bytes.size(), kPreface.size());
  return std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(compared), kPreface.begin());
}

HostExtraction extractHTTP2Host(std::span<const std::uint8_t> bytes) {
  if (!startsWithHTTP2Preface(bytes)) return notFound();
  if (bytes.size() < kPreface.size()) return incomplete();

  std::vector<std::uint8_t> block;
  std::optional<std::uint32_t> blockStream;  // set from the HEADERS frame until END_HEADERS
  for (std::span<const std::uint8_t> rest = bytes.subspan(kPreface.size());;) {
    if (rest.size() < kFrameHeaderSize) return incomplete();
    const FrameHeader frame = frameHeaderOf(rest.first<kFrameHeaderSize>());
    if (frame.length > kMaxFrameSize) return notFound();
    if (rest.size() < kFrameHeaderSize + frame.length) return incomplete();
    const std::span<const std::uint8_t> payload = rest.subspan(kFrameHeaderSize, frame.length);
    rest = rest.subspan(kFrameHeaderSize + frame.length);

    std::span<const std::uint8_t> fragment;
    if (blockStream) {
      // Nothing may come between a HEADERS frame and the end of its block.
      if (frame.type != NGHTTP2_CONTINUATION || frame.streamId != *blockStream) return notFound();
      fragment = payload;
    } else if (frame.type == NGHTTP2_HEADERS) {
      const auto headers = headersFragment(frame.flags, payload);
      if (!headers || frame.streamId == 0) return notFound();
      fragment = *headers;
      blockStream = frame.streamId;
    } else if (frame.type == NGHTTP2_CONTINUATION) {
      return notFound();
    } else {
      continue;  // settings, window updates, pings, priorities: nothing about the host
    }
    block.insert(block.end(), fragment.begin(), fragment.end());
    if (frame.flags & NGHTTP2_FLAG_END_HEADERS) return hostOfHeaderBlock(block);
  }
}

}  // namespace vosk
