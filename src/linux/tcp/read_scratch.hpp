#pragma once

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <system_error>
#include <utility>

#include "platform/flow.hpp"

namespace vosk::backend {

// Largest single read from a socket, flow or connection.
inline constexpr std::size_t socketReadMaximum = 65536;
// Chunk buffers kept for reuse per thread: enough for every chunk in flight
// on a busy loop, few enough that an idle daemon holds little.
inline constexpr std::size_t chunkBuffersKept = 32;

// Gives a written chunk's buffer back to this thread's pool, from which reads
// take theirs: a relayed chunk costs no allocation.
void recycleChunkBuffer(Bytes&& buffer);

// Reads what the socket holds now (it must be in non-blocking mode), at most
// `maximum` bytes, into a pooled chunk buffer, and returns exactly
// what arrived: idle sockets hold no buffer of their own. Sets `error` to
// would_block when nothing is there yet and to eof at the end of the stream.
Bytes readAvailable(asio::ip::tcp::socket& socket, std::size_t maximum, std::error_code& error);

// Delivers the next bytes of the socket to done(data, error): at once when
// some are waiting (a busy stream skips a round through the event loop),
// otherwise once it becomes readable. `done` must keep the socket alive.
template <typename Done>
void readWhenReadable(asio::ip::tcp::socket& socket, std::size_t maximum, Done done) {
  std::error_code error;
  Bytes data = readAvailable(socket, maximum, error);
  if (error != asio::error::would_block) {
    done(std::move(data), error);
    return;
  }
  socket.async_wait(asio::ip::tcp::socket::wait_read,
                    [&socket, maximum, done = std::move(done)](std::error_code waitError) mutable {
                      if (waitError) return done(Bytes{}, waitError);
                      readWhenReadable(socket, maximum, std::move(done));
                    });
}

}  // namespace vosk::backend
