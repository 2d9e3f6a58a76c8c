#pragma once

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <optional>
#include <system_error>

#include "platform/flow.hpp"

namespace vosk::backend {

// Largest single read from a socket, flow or connection.
inline constexpr std::size_t socketReadMaximum = 65536;

// Reads what the socket holds now, at most `maximum` bytes, through one
// scratch buffer per thread, and returns exactly what arrived: idle sockets
// hold no buffer of their own. Sets `error` to would_block when nothing is
// there yet and to eof at the end of the stream.
Bytes readAvailable(asio::ip::tcp::socket& socket, std::size_t maximum, std::error_code& error);

}  // namespace vosk::backend
