#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vosk {

// What the first bytes of a flow reveal about the host it addresses.
// Found: host set, needsMoreData false. Incomplete: no host, needsMoreData
// true (more bytes may still reveal one). Not found: no host, needsMoreData
// false. The readers are pure: each call starts again at byte 0.
struct HostExtraction {
  std::optional<std::string> host;
  bool needsMoreData;
};

// Server name (host_name entry of the server_name extension) of a TLS
// ClientHello, as UTF-8 text exactly as sent. Empty handshake records before
// the ClientHello are skipped, as servers skip them.
HostExtraction extractTLSServerName(std::span<const std::uint8_t> bytes);

// The host a plain HTTP/1.x request addresses, as a server reads it: the
// authority of an absolute (or CONNECT) request target, percent-decoded, else
// the Host header value; without a port (all from the first colon after a
// bracketed IPv6 literal), decoded from Latin-1 into UTF-8. Lines end in LF or
// CR LF. Bytes that cannot begin such a request give not found at once.
HostExtraction extractHTTPHost(std::span<const std::uint8_t> bytes);

// Whether the bytes are the HTTP/2 connection preface, or as much of it as
// has arrived, with whatever follows it.
bool startsWithHTTP2Preface(std::span<const std::uint8_t> bytes);

// The host an HTTP/2 request sent without an upgrade (prior knowledge)
// addresses: the :authority of the first HEADERS frame after the connection
// preface, else its host header, read as extractHTTPHost reads a Host value.
// Frames before it are skipped; its CONTINUATION frames are joined; the
// header block is decoded afresh on every call. Bytes that are not the
// preface, frames a server would refuse, and a header block that does not
// decode give not found.
HostExtraction extractHTTP2Host(std::span<const std::uint8_t> bytes);

}  // namespace vosk
