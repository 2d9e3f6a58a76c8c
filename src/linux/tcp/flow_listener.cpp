#include "linux/tcp/flow_listener.hpp"

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include "linux/tcp/socket_options.hpp"

namespace vosk::backend {

FlowListener::FlowListener(asio::io_context& context, std::uint16_t port, Take take)
    : context_(context), port_(port), take_(std::move(take)) {}

std::error_code FlowListener::listen() {
  for (const asio::ip::address& address :
       {asio::ip::address(asio::ip::address_v4::any()), asio::ip::address(asio::ip::address_v6::any())}) {
    const asio::ip::tcp::endpoint endpoint(address, port_);
    auto listener = std::make_unique<Listener>(context_, endpoint.protocol());
    asio::ip::tcp::acceptor* acceptor = &listener->acceptor;
    std::error_code error;
    acceptor->open(endpoint.protocol(), error);
    if (error == asio::error::address_family_not_supported && address.is_v6()) break;
    if (!error) acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    if (!error && address.is_v6()) acceptor->set_option(asio::ip::v6_only(true), error);
    // Accepted sockets inherit it, which saves a call per flow.
    if (!error) acceptor->set_option(asio::ip::tcp::no_delay(true), error);
    if (!error) acceptor->bind(endpoint, error);
    if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
    if (error) return error;
    listeners_.push_back(std::move(listener));
  }
  for (auto& listener : listeners_) {
    asio::post(context_, [this, listener = listener.get()] { acceptNext(*listener); });
  }
  return {};
}

void FlowListener::close() {
  asio::post(context_, [this] {
    for (auto& listener : listeners_) {
      std::error_code ignored;
      listener->retryTimer.cancel();
      listener->acceptor.close(ignored);
    }
  });
}

void FlowListener::acceptNext(Listener& listener) {
  listener.acceptor.async_accept([this, &listener](std::error_code error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;
    if (!error) {
      takeConnection(listener, std::move(socket));
      acceptNext(listener);
      return;
    }
    // Out of descriptors or memory: accepting again at once would only spin.
    listener.retryTimer.expires_after(acceptRetryDelay);
    listener.retryTimer.async_wait([this, &listener](std::error_code error) {
      if (!error) acceptNext(listener);
    });
  });
}

void FlowListener::takeConnection(Listener& listener, asio::ip::tcp::socket socket) {
  const std::optional<asio::ip::tcp::endpoint> destination =
      originalDestination(socket.native_handle(), listener.protocol);
  if (!destination) return;  // not redirected: closed as the socket goes
  // Made straight to the listener: relaying it would connect the daemon to
  // itself. Only a flow to the listener's port can be one, so only that one
  // costs the look-up.
  std::error_code error;
  if (destination->port() == port_ && (*destination == socket.local_endpoint(error) || error)) return;
  socket.non_blocking(true, error);
  if (error) return;
  take_(std::move(socket), *destination);
}

}  // namespace vosk::backend
