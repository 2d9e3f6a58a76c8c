#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vosk {

// What a client's first bytes on a port without a protocol of its own are:
// read as a TLS ClientHello or an HTTP request when they are one, and not
// read at all otherwise.
enum class FirstBytesKind {
  undecided,  // too few bytes yet
  tls,        // a TLS handshake record
  http,       // a request line: METHOD SP target SP HTTP/x.y CRLF (HTTP/2's preface too)
  other,
};

// Pure. A request line is taken as one only whole, so that the first line of
// another protocol (`EHLO host`, `NICK me`) is `other` once its line ends; a
// line that still looks like a request after `cap` bytes is `http`, so that
// a longer target than the cap is no way around. Bytes past `cap` are not read.
FirstBytesKind firstBytesKind(std::span<const std::uint8_t> bytes, std::size_t cap);

}  // namespace vosk
