#pragma once

#include <asio/ip/tcp.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vosk::backend {

// Carries a flow the provider declined (over its flow cap) to its original
// destination without looking at it: the interception must never drop a flow.
// Runs on the io_context of the accepted socket.
class UnfilteredRelay final : public std::enable_shared_from_this<UnfilteredRelay> {
 public:
  static void start(asio::ip::tcp::socket client, const asio::ip::tcp::endpoint& destination, std::uint32_t mark);

  UnfilteredRelay(asio::ip::tcp::socket client, asio::ip::tcp::socket upstream);

 private:
  static constexpr std::size_t bufferSize = 16384;
  struct Direction {
    asio::ip::tcp::socket& from;
    asio::ip::tcp::socket& to;
    std::array<std::uint8_t, bufferSize> buffer{};
    bool ended = false;
  };

  void pump(Direction& direction);
  void endDirection(Direction& direction);
  void closeBoth();

  asio::ip::tcp::socket client_;
  asio::ip::tcp::socket upstream_;
  Direction outbound_{client_, upstream_};
  Direction inbound_{upstream_, client_};
};

}  // namespace vosk::backend
