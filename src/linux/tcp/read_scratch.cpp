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

std::size_t receiveAvailable(asio::ip::tcp::socket& socket, std::span<std::uint8_t> into, std::error_code& error) {
  if (into.empty()) {
    error.clear();
    return 0;
  }
  const ssize_t count = ::recv(socket.native_handle(), into.data(), into.size(), MSG_DONTWAIT);
  if (count < 0) {
    error = {errno, asio::error::get_system_category()};  // what asio::error::would_block compares with
    return 0;
  }
  error = count == 0 ? std::error_code(asio::error::eof) : std::error_code();
  return static_cast<std::size_t>(count);
}

Bytes readAvailable(asio::ip::tcp::socket& socket, std::size_t maximum, std::error_code& error) {
  const std::span<std::uint8_t> scratch = readScratch().first(std::min(maximum, socketReadMaximum));
  const std::size_t count = receiveAvailable(socket, scratch, error);
  return Bytes(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace vosk::backend
