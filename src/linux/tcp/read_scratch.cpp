#include "linux/tcp/read_scratch.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace vosk::backend {
namespace {

thread_local std::vector<Bytes> chunkBuffers;

// A buffer from the pool (or a new one), with room for a whole chunk.
Bytes takeChunkBuffer() {
  Bytes buffer;
  if (!chunkBuffers.empty()) {
    buffer = std::move(chunkBuffers.back());
    chunkBuffers.pop_back();
  }
  buffer.reserve(socketReadMaximum);
  return buffer;
}

}  // namespace

void recycleChunkBuffer(Bytes&& buffer) {
  if (buffer.capacity() < socketReadMaximum || chunkBuffers.size() >= chunkBuffersKept) return;
  if (chunkBuffers.capacity() == 0) chunkBuffers.reserve(chunkBuffersKept);
  chunkBuffers.push_back(std::move(buffer));
}

Bytes readAvailable(asio::ip::tcp::socket& socket, std::size_t maximum, std::error_code& error) {
  const std::size_t wanted = std::min(maximum, socketReadMaximum);
  Bytes buffer = takeChunkBuffer();
  std::size_t count = 0;
  if (buffer.size() >= wanted) {
    // Sized by an earlier full chunk: read in place, neither filled nor copied.
    count = socket.read_some(asio::buffer(buffer.data(), wanted), error);
    buffer.resize(count);
  } else {
    // Growing a vector fills it with zeros; copying only what arrived is cheaper.
    thread_local std::array<std::uint8_t, socketReadMaximum> scratch;
    count = socket.read_some(asio::buffer(scratch.data(), wanted), error);
    buffer.assign(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(count));
  }
  if (count == 0) {
    recycleChunkBuffer(std::move(buffer));
    return Bytes{};
  }
  return buffer;
}

}  // namespace vosk::backend
