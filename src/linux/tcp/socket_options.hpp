#pragma once

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <optional>
#include <system_error>

namespace vosk::backend {

// Marks the daemon's own upstream sockets so that the interception table lets
// them pass; must be set before connect(), only the first packet meets the table.
std::error_code setFirewallMark(asio::ip::tcp::socket& socket, std::uint32_t mark);
// Relayed request-response traffic must not wait for Nagle's algorithm.
std::error_code setNoDelay(asio::ip::tcp::socket& socket);

// Where a redirected connection, accepted on a listener of `protocol`, was
// going. Absent when connection tracking does not know it. A connection made
// straight to the listener gives the listener's own address.
std::optional<asio::ip::tcp::endpoint> originalDestination(int descriptor, const asio::ip::tcp& protocol);

}  // namespace vosk::backend
