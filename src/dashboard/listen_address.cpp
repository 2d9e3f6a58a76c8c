#include "dashboard/listen_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "config/number_text.hpp"

namespace vosk::dashboard {

std::optional<ListenAddress> parseListenAddress(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::optional<int> port = config::parseWholeNumber<int>(text.substr(colon + 1));
  if (!port || *port < 1 || *port > 65535) return std::nullopt;
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    in6_addr address{};
    if (::inet_pton(AF_INET6, host.c_str(), &address) != 1) return std::nullopt;
    return ListenAddress{host, *port, IN6_IS_ADDR_LOOPBACK(&address) != 0};
  }
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) != 1) return std::nullopt;
  return ListenAddress{host, *port, (ntohl(address.s_addr) >> 24) == 127};
}

bool sameOrigin(const std::string& origin, const std::string& host, bool tls) {
  return !host.empty() && origin == (tls ? "https://" : "http://") + host;
}

}  // namespace vosk::dashboard
