#pragma once

// HTTP/2 frames as a client sends them with prior knowledge, and the decoding
// of their header blocks: shared by the reading of a flow's first request and
// the following of its later ones.

#include <nghttp2/nghttp2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "policy/host_extraction.hpp"

namespace vosk::http2 {

inline constexpr std::string_view preface = NGHTTP2_CLIENT_MAGIC;
inline constexpr std::size_t frameHeaderSize = 9;

struct FrameHeader {
  std::size_t length;
  std::uint8_t type;
  std::uint8_t flags;
  std::uint32_t streamId;
};

FrameHeader frameHeaderOf(std::span<const std::uint8_t, frameHeaderSize> bytes);

// A header block: the HEADERS frame that `bytes` begin with and the
// CONTINUATION frames up to the one that ends it, nothing else between them.
struct HeaderBlock {
  enum class Reading : std::uint8_t { whole, incomplete, malformed };
  Reading reading = Reading::incomplete;
  std::vector<std::uint8_t> fragments;  // whole: the block, without padding and priority fields
  std::size_t length = 0;               // whole: the bytes of its frames
};

// Frames longer than `maxFrameSize` make the block malformed.
HeaderBlock headerBlockAt(std::span<const std::uint8_t> bytes, std::size_t maxFrameSize);

struct DecodedHeaders {
  bool request = false;  // it has a :method, so it opens a request (trailers do not)
  HostExtraction host;   // its :authority, else its first host field, as a Host line is read
};

// Decodes the header blocks of one connection in order: each may refer to the
// table the ones before it filled.
class HeaderDecoder {
 public:
  HeaderDecoder();
  // None when the block does not decode or its list is too large; the
  // connection's later blocks cannot be read then.
  std::optional<DecodedHeaders> decode(std::span<const std::uint8_t> block);

 private:
  std::unique_ptr<nghttp2_hd_inflater, decltype(&nghttp2_hd_inflate_del)> inflater_;
};

}  // namespace vosk::http2
