#pragma once

#include <optional>
#include <string>

namespace vosk::dashboard {

struct ListenAddress {
  std::string host;  // a numeric address, IPv6 without brackets
  int port = 0;
  bool loopback = false;  // 127.0.0.0/8 or ::1: reachable from this host only
};

// "127.0.0.1:8093" or "[::1]:8093"; nothing for anything else (names included:
// what is listened on must not depend on a resolver).
std::optional<ListenAddress> parseListenAddress(const std::string& text);

// Whether `origin` (the Origin header) names this server as the browser
// reached it (`host`, the Host header), under the scheme it is served with.
bool sameOrigin(const std::string& origin, const std::string& host, bool tls);

}  // namespace vosk::dashboard
