#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vosk {

// Where the framing of a client's HTTP/1.x requests stands between two frames.
struct RequestFraming {
  enum class Expecting : std::uint8_t {
    head,       // a request head, with the empty lines before it
    content,    // `dataLength` body bytes, then a head
    chunkSize,  // a chunk-size line
    chunkData,  // `dataLength` chunk bytes, then their line end
    chunkEnd,   // the line end after chunk data
    trailers,   // trailer lines up to an empty line, then a head
    nothing,    // following has ended: the rest is not framed
  };
  Expecting expecting = Expecting::head;
  std::uint64_t dataLength = 0;

  friend bool operator==(const RequestFraming&, const RequestFraming&) = default;
};

// What comes next in the client's direction.
struct RequestFrame {
  enum class Kind : std::uint8_t {
    needsMoreData,  // the bytes given end no frame yet
    head,           // a whole request head of `length` bytes, naming `host`
    framing,        // a chunk-size line, a chunk's line end or the trailers: `length` bytes looked at
    body,           // `length` bytes to pass without looking (more than given, often)
    stop,           // no HTTP/1 request follows: the HTTP/2 preface or other bytes
    malformed,      // a request or chunk framed in a way a server could read otherwise
  };
  Kind kind = Kind::needsMoreData;
  std::uint64_t length = 0;
  std::optional<std::string> host;  // head only: as extractHTTPHost reads it
  RequestFraming next;              // where framing stands after this frame

  friend bool operator==(const RequestFrame&, const RequestFrame&) = default;
};

// The next frame of a client's request stream, from `bytes`: the bytes after
// the last frame (for a body, none are needed). Pure: the same framing and
// bytes give the same frame, so bytes split anywhere frame alike. A head whose
// Content-Length or Transfer-Encoding is not plain (a bad or repeated different
// length, both at once, a coding other than chunked last, a folded or
// misnamed header line) is malformed, as is a bad chunk size or line end. A
// head with an Upgrade header, or a CONNECT, does not end following: a server
// that declines it reads the next request, and after one it accepts, the
// other protocol's first bytes are no request (they stop following).
RequestFrame nextRequestFrame(const RequestFraming& framing, std::span<const std::uint8_t> bytes);

}  // namespace vosk
