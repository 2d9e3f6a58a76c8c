#pragma once

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <span>
#include <system_error>
#include <utility>

#include "platform/flow.hpp"

namespace vosk::backend {

// Largest single read from a socket, flow or connection.
inline constexpr std::size_t socketReadMaximum = 65536;

// The loop's scratch buffer for socket reads, socketReadMaximum bytes. Its
// contents last until the next read on the same thread.
std::span<std::uint8_t> readScratch();

// Reads what the socket holds now into `into`, without waiting; the count.
// Sets `error` to would_block when nothing is there yet and to eof at the end
// of the stream.
std::size_t receiveAvailable(asio::ip::tcp::socket& socket, std::span<std::uint8_t> into, std::error_code& error);

// Reads what the socket holds now, without waiting, at most
// `maximum` bytes, through one scratch buffer per thread, and returns exactly
// what arrived: idle sockets hold no buffer of their own. Sets `error` to
// would_block when nothing is there yet and to eof at the end of the stream.
Bytes readAvailable(asio::ip::tcp::socket& socket, std::size_t maximum, std::error_code& error);

// When a read looks first: at once, for bytes most likely there already (a
// busy stream skips a round through the event loop), or after a wait, for
// bytes most likely still to come (a read that finds nothing costs a call).
enum class ReadFirst { look, wait };

// Delivers the next bytes of the socket to done(data, error) once it has
// some. `done` must keep the socket alive.
template <typename Done>
void readWhenReadable(asio::ip::tcp::socket& socket, std::size_t maximum, ReadFirst first, Done done) {
  if (first == ReadFirst::look) {
    std::error_code error;
    Bytes data = readAvailable(socket, maximum, error);
    if (error != asio::error::would_block) {
      done(std::move(data), error);
      return;
    }
  }
  // The wait re-arms the socket's readiness: bytes already there end it at once.
  socket.async_wait(asio::ip::tcp::socket::wait_read,
                    [&socket, maximum, done = std::move(done)](std::error_code waitError) mutable {
                      if (waitError) return done(Bytes{}, waitError);
                      readWhenReadable(socket, maximum, ReadFirst::look, std::move(done));
                    });
}

}  // namespace vosk::backend
