#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vosk {

// What the first bytes of a flow reveal about the host it addresses.
// Found: host set, needsMoreData false. Incomplete: no host, needsMoreData
// true (more bytes may still reveal one). Not found: no host, needsMoreData
// false. Both parsers are pure: each call starts again at byte 0.
struct HostExtraction {
  std::optional<std::string> host;
  bool needsMoreData;
};

// Server name (host_name entry of the server_name extension) of a TLS
// ClientHello, as UTF-8 text exactly as sent.
HostExtraction extractTLSServerName(std::span<const std::uint8_t> bytes);

// Host header value of a plain HTTP/1.x request, without a trailing port,
// decoded from Latin-1 into UTF-8.
HostExtraction extractHTTPHost(std::span<const std::uint8_t> bytes);

}  // namespace vosk
