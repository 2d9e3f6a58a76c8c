#include "linux/tcp/read_scratch.hpp"

#include <algorithm>
#include <vector>

namespace vosk::backend {
namespace {

thread_local std::vector<Bytes> chunkBuffers;

}  // namespace

Bytes takeChunkBuffer() {
  Bytes buffer;
  if (!chunkBuffers.empty()) {
    buffer = std::move(chunkBuffers.back());
    chunkBuffers.pop_back();
  }
  // Only what the last user cut off is filled again; a full chunk costs nothing.
  buffer.resize(socketReadMaximum);
  return buffer;
}

void recycleChunkBuffer(Bytes&& buffer) {
  if (buffer.capacity() < socketReadMaximum || chunkBuffers.size() >= chunkBuffersKept) return;
  chunkBuffers.push_back(std::move(buffer));
}

Bytes readAvailable(asio::ip::tcp::socket& socket, std::size_t maximum, std::error_code& error) {
  Bytes buffer = takeChunkBuffer();
  const std::size_t count = socket.read_some(asio::buffer(buffer.data(), std::min(maximum, buffer.size())), error);
  if (count == 0) {
    recycleChunkBuffer(std::move(buffer));
    return Bytes{};
  }
  buffer.resize(count);
  return buffer;
}

}  // namespace vosk::backend
