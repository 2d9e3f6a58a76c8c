#include "linux/tcp/socket_options.hpp"

// <netinet/in.h> must come before the netfilter headers.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/netfilter_ipv4.h>
#include <linux/netfilter_ipv6/ip6_tables.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace vosk::backend {
namespace {

std::error_code setIntOption(asio::ip::tcp::socket& socket, int level, int name, int value) {
  if (::setsockopt(socket.native_handle(), level, name, &value, sizeof value) != 0) {
    return {errno, std::system_category()};
  }
  return {};
}

}  // namespace

std::error_code setFirewallMark(asio::ip::tcp::socket& socket, std::uint32_t mark) {
  return setIntOption(socket, SOL_SOCKET, SO_MARK, static_cast<int>(mark));
}

std::error_code setNoDelay(asio::ip::tcp::socket& socket) { return setIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1); }

std::optional<asio::ip::tcp::endpoint> originalDestination(int descriptor, const asio::ip::tcp& protocol) {
  asio::ip::tcp::endpoint destination;
  socklen_t length = 0;
  int result = -1;
  if (protocol == asio::ip::tcp::v4()) {
    sockaddr_in address{};
    length = sizeof address;
    result = ::getsockopt(descriptor, SOL_IP, SO_ORIGINAL_DST, &address, &length);
    std::memcpy(destination.data(), &address, sizeof address);
  } else {
    sockaddr_in6 address{};
    length = sizeof address;
    result = ::getsockopt(descriptor, SOL_IPV6, IP6T_SO_ORIGINAL_DST, &address, &length);
    std::memcpy(destination.data(), &address, sizeof address);
  }
  if (result != 0) return std::nullopt;  // ENOENT: conntrack never saw a redirect
  destination.resize(length);
  return destination;
}

}  // namespace vosk::backend
