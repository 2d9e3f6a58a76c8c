#include "linux/tcp/read_scratch.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include <sys/socket.h>

#include <cerrno>

namespace vosk::backend {

std::span<std::uint8_t> readScratch() {
  thread_local std::array<std::uint8_t, socketReadMaximum> scratch;
  return scratch;
}

Bytes readAvailable(asio::ip::tcp::socket& socket, std::size_t maximum, std::error_code& error) {
  const std::span<std::uint8_t> scratch = readScratch();
  if (maximum == 0) {
    error.clear();
    return {};
  }
  const ssize_t count =
      ::recv(socket.native_handle(), scratch.data(), std::min(maximum, scratch.size()), MSG_DONTWAIT);
  if (count < 0) {
    error = {errno, asio::error::get_system_category()};  // what asio::error::would_block compares with
    return {};
  }
  error = count == 0 ? std::error_code(asio::error::eof) : std::error_code();
  return Bytes(scratch.begin(), scratch.begin() + count);
}

}  // namespace vosk::backend
