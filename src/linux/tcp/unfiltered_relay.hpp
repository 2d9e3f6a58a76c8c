#pragma once

#include <asio/ip/tcp.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/flow.hpp"
#include "platform/main_queue.hpp"
#include "provider/time_limit.hpp"
#include "provider/transparent_proxy_provider.hpp"

namespace vosk::backend {

// Carries a flow the provider declined (over its flow cap) to its original
// destination: the interception must never drop a flow. While strict mode is
// in force the provider still judges it: the first bytes are read here with
// the provider's parsers, byte cap and time limits, the provider decides (and
// logs the decision), and a flow it closes never reaches upstream; any other
// goes up with those bytes first. Runs on the io_context of the accepted
// socket, which `queue` (for the time limits) serves too.
class UnfilteredRelay final : public std::enable_shared_from_this<UnfilteredRelay> {
 public:
  // `judge`: the provider while strict mode is in force, null otherwise.
  static void start(asio::ip::tcp::socket client, const asio::ip::tcp::endpoint& destination, std::uint32_t mark,
                    MainQueue& queue, std::shared_ptr<const TransparentProxyProvider> judge);

  UnfilteredRelay(asio::ip::tcp::socket client, asio::ip::tcp::socket upstream,
                  const asio::ip::tcp::endpoint& destination, MainQueue& queue,
                  std::shared_ptr<const TransparentProxyProvider> judge);

 private:
  static constexpr std::size_t bufferSize = 16384;
  struct Direction {
    asio::ip::tcp::socket& from;
    asio::ip::tcp::socket& to;
    std::array<std::uint8_t, bufferSize> buffer{};
    bool ended = false;
  };

  void sniff();
  void judge(Bytes data, std::error_code error);
  void connect();
  void sendSniffed();
  // Closes both sides unless the step it guards completes within `seconds`.
  TimeLimit limitTo(double seconds);
  void pump(Direction& direction);
  void endDirection(Direction& direction);
  void closeBoth();

  asio::ip::tcp::socket client_;
  asio::ip::tcp::socket upstream_;
  const asio::ip::tcp::endpoint destination_;
  const std::shared_ptr<const TransparentProxyProvider> judge_;
  MainQueue& queue_;
  Bytes sniffed_;  // the first bytes, until they have gone upstream
  Direction outbound_{client_, upstream_};
  Direction inbound_{upstream_, client_};
};

}  // namespace vosk::backend
