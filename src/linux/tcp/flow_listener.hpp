#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vosk::backend {

// Accepts the redirected connections on any IPv4 and any IPv6 address (same
// port; a redirect of forwarded traffic goes to the incoming interface's
// address) and hands each on, non-blocking, with its original destination.
// Connections made straight to the listener are closed at once.
class FlowListener {
 public:
  using Take = std::function<void(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& destination)>;

  FlowListener(asio::io_context& context, std::uint16_t port, Take take);
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
  const Take take_;
  std::vector<std::unique_ptr<Listener>> listeners_;
};

}  // namespace vosk::backend
