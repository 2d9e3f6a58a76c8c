#include "linux/tcp/read_scratch.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace vosk::backend {

Bytes readAvailable(asio::ip::tcp::socket& socket, std::size_t maximum, std::error_code& error) {
  thread_local std::array<std::uint8_t, socketReadMaximum> scratch;
  const std::size_t count = socket.read_some(asio::buffer(scratch.data(), std::min(maximum, scratch.size())), error);
  return Bytes(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace vosk::backend
