#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/flow.hpp"

namespace vosk::backend {

// Accepts the redirected connections on any IPv4 and any IPv6 address (same
// port; a redirect of forwarded traffic goes to the incoming interface's
// address) and offers each as a TCP flow. A flow the offer declines is handed
// on to be carried all the same. Connections made straight to the listener are
// closed at once.
class FlowListener {
 public:
  // true: the provider owns the flow.
  using Offer = std::function<bool(const std::shared_ptr<Flow>&)>;
  using CarryDeclined = std::function<void(std::shared_ptr<TCPFlow>)>;

  FlowListener(asio::io_context& context, std::uint16_t port, Offer offer, CarryDeclined carryDeclined);
  // Binds both listeners; an error names what failed. IPv6 is skipped on a
  // host without it.
  std::error_code listen();
  void close();

 private:
  static constexpr std::chrono::milliseconds acceptRetryDelay{100};

  struct Listener {
    Listener(asio::io_context& context, asio::ip::tcp protocol)
        : protocol(protocol), acceptor(context), retryTimer(context) {}
    const asio::ip::tcp protocol;
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
  };

  void acceptNext(Listener& listener);
  void takeConnection(Listener& listener, asio::ip::tcp::socket socket);

  asio::io_context& context_;
  const std::uint16_t port_;
  const Offer offer_;
  const CarryDeclined carryDeclined_;
  std::vector<std::unique_ptr<Listener>> listeners_;
};

}  // namespace vosk::backend
