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

// Where a redirected connection was going. Absent when the connection was not
// redirected: made straight to the listener, or unknown to connection tracking.
std::optional<asio::ip::tcp::endpoint> originalDestination(asio::ip::tcp::socket& socket);

}  // namespace vosk::backend
