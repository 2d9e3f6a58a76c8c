#include "linux/tcp/upstream_connection.hpp"

#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include <sys/socket.h>

#include <cerrno>

#include "linux/tcp/read_scratch.hpp"
#include "linux/tcp/splice_forward.hpp"
#include "linux/tcp/tcp_flow.hpp"
#include "linux/tcp/socket_options.hpp"

namespace vosk::backend {
namespace {

Error errorOf(const std::error_code& error) { return Error{error.message()}; }

const Error notConnected{"the connection is not open"};

std::error_code connectOutcome(asio::ip::tcp::socket& socket) {
  int outcome = 0;
  socklen_t length = sizeof outcome;
  if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_ERROR, &outcome, &length) != 0) outcome = errno;
  return {outcome, std::system_category()};
}

}  // namespace

UpstreamConnection::UpstreamConnection(asio::io_context& mainContext, std::string host, std::uint16_t port,
                                       std::uint32_t mark)
    : context_(mainContext),
      host_(std::move(host)),
      port_(port),
      mark_(mark),
      socket_(mainContext) {}

void UpstreamConnection::setStateUpdateHandler(StateUpdateHandler handler) {
  auto next = handler ? std::make_shared<const StateUpdateHandler>(std::move(handler)) : nullptr;
  std::shared_ptr<const StateUpdateHandler> dropped;
  std::lock_guard lock(handlerMutex_);
  dropped.swap(handler_);
  handler_ = std::move(next);
}

// Callbacks go to the socket's loop, the daemon's one main queue.
void UpstreamConnection::start(MainQueue&) {
  asio::post(context_, [self = shared_from_this()] {
    if (self->phase_ != Phase::idle) return;
    self->phase_ = Phase::connecting;
    std::error_code error;
    const asio::ip::address address = asio::ip::make_address(self->host_, error);
    if (!error) {
      self->connect(asio::ip::tcp::endpoint(address, self->port_));
      return;
    }
    self->resolver_ = std::make_unique<asio::ip::tcp::resolver>(self->context_);
    self->resolver_->async_resolve(self->host_, std::to_string(self->port_),
                                  [self](std::error_code error, asio::ip::tcp::resolver::results_type results) {
                                    if (self->phase_ != Phase::connecting) return;
                                    if (!error && results.empty()) error = asio::error::host_not_found;
                                    if (error) return self->fail(error);
                                    self->connect(results.begin()->endpoint());
                                  });
  });
}

void UpstreamConnection::connect(const asio::ip::tcp::endpoint& destination) {
  std::error_code error;
  socket_.open(destination.protocol(), error);
  if (!error) socket_.non_blocking(true, error);
  if (!error) error = setFirewallMark(socket_, mark_);
  if (!error) error = setNoDelay(socket_);
  if (error) return fail(error);
  // A plain non-blocking connect: the socket is writable once it is decided,
  // and SO_ERROR says how.
  const auto connectOnce = [&] {
    return ::connect(socket_.native_handle(), destination.data(), static_cast<socklen_t>(destination.size())) == 0
               ? 0
               : errno;
  };
  if (const int outcome = connectOnce(); outcome != EINPROGRESS) {
    return outcome == 0 ? becomeReady() : fail({outcome, std::system_category()});
  }
  // A server nearby (this host, another namespace) is often connected
  // inside that first call: asking again says so, and the first bytes leave
  // at once, without a wait for writability (which would also leave the loop
  // woken by every later re-arm of the socket's waits).
  if (const int outcome = connectOnce(); outcome != EALREADY) {
    return outcome == 0 || outcome == EISCONN ? becomeReady() : fail({outcome, std::system_category()});
  }
  socket_.async_wait(asio::ip::tcp::socket::wait_write, [self = shared_from_this()](std::error_code error) {
    if (self->phase_ != Phase::connecting) return;
    if (!error) error = connectOutcome(self->socket_);
    if (error) return self->fail(error);
    self->becomeReady();
  });
}

void UpstreamConnection::becomeReady() {
  phase_ = Phase::ready;
  deliverState(ConnectionState{ConnectionState::Kind::ready, std::nullopt});
  writeNext();
}

void UpstreamConnection::fail(const std::error_code& error) {
  phase_ = Phase::ended;
  std::error_code ignored;
  socket_.close(ignored);
  deliverState(ConnectionState{ConnectionState::Kind::failed, errorOf(error)});
  writeNext();
}

// The handler may set another one while it runs: the call holds it alive.
void UpstreamConnection::deliverState(ConnectionState state) {
  std::shared_ptr<const StateUpdateHandler> handler;
  {
    std::lock_guard lock(handlerMutex_);
    handler = handler_;
  }
  if (handler) (*handler)(state);
}

void UpstreamConnection::send(Bytes content, SendCompletion completion) {
  asio::dispatch(context_, [self = shared_from_this(), content = std::move(content),
                        completion = std::move(completion)]() mutable {
    self->sends_.push_back(PendingSend{std::move(content), std::move(completion)});
    self->writeNext();
  });
}

void UpstreamConnection::sendEndOfStream() {
  asio::dispatch(context_, [self = shared_from_this()] {
    self->endOfStreamRequested_ = true;
    self->writeNext();
  });
}

// Sends go out one at a time, in order; the end of stream follows the last.
// Until the connection is ready they wait; once it has ended they fail.
void UpstreamConnection::writeNext() {
  if (writing_) return;
  if (phase_ == Phase::ended) {
    while (!sends_.empty()) {
      PendingSend pending = std::move(sends_.front());
      sends_.erase(sends_.begin());
      pending.completion(notConnected);
    }
    return;
  }
  if (phase_ != Phase::ready) return;
  if (sends_.empty()) {
    if (endOfStreamRequested_) {
      std::error_code ignored;
      socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    }
    return;
  }
  writing_ = true;
  asio::async_write(socket_, asio::buffer(sends_.front().content),
                    [self = shared_from_this()](std::error_code error, std::size_t) {
                      self->writing_ = false;
                      PendingSend sent = std::move(self->sends_.front());
                      self->sends_.erase(self->sends_.begin());
                      sent.completion(error ? std::optional(errorOf(error)) : std::nullopt);
                      self->writeNext();
                    });
}

void UpstreamConnection::receive(std::size_t, std::size_t maximumLength, ReceiveCompletion completion) {
  asio::dispatch(context_, [self = shared_from_this(), maximumLength, completion = std::move(completion)]() mutable {
    if (self->phase_ != Phase::ready) {
      completion(std::nullopt, false, notConnected);
      return;
    }
    readWhenReadable(self->socket_, maximumLength, ReadFirst::look,
                     [self, completion = std::move(completion)](Bytes data, std::error_code error) {
                       if (error == asio::error::eof) return completion(std::nullopt, true, std::nullopt);
                       if (error) return completion(std::nullopt, false, errorOf(error));
                       completion(std::move(data), false, std::nullopt);
                     });
  });
}

void UpstreamConnection::forwardFrom(TCPFlow& flow, std::size_t maximumBytes,
                                     std::function<void(ForwardResult)> completion) {
  forward(flow, Toward::connection, maximumBytes, std::move(completion));
}

void UpstreamConnection::forwardTo(TCPFlow& flow, std::function<void(ForwardResult)> completion) {
  forward(flow, Toward::flow, unlimitedForward, std::move(completion));
}

void UpstreamConnection::forward(TCPFlow& flow, Toward toward, std::size_t maximumBytes,
                                 std::function<void(ForwardResult)> completion) {
  auto* const socketFlow = dynamic_cast<SocketTCPFlow*>(&flow);
  if (phase_ != Phase::ready || socketFlow == nullptr) return completion(ForwardResult{0, false, notConnected});
  asio::ip::tcp::socket& from = toward == Toward::connection ? socketFlow->socket() : socket_;
  asio::ip::tcp::socket& to = toward == Toward::connection ? socket_ : socketFlow->socket();
  bool& stepped = toward == Toward::connection ? steppedFrom_ : steppedTo_;
  const bool first = !stepped;
  stepped = true;
  spliceForward(from, to, first, maximumBytes, std::move(completion));
}

void UpstreamConnection::cancel() {
  asio::dispatch(context_, [self = shared_from_this()] {
    if (self->phase_ == Phase::ended) return;
    self->phase_ = Phase::ended;
    if (self->resolver_) self->resolver_->cancel();
    std::error_code ignored;
    self->socket_.close(ignored);  // outstanding receives and sends end with an error
    self->deliverState(ConnectionState{ConnectionState::Kind::cancelled, std::nullopt});
    self->writeNext();
  });
}

}  // namespace vosk::backend
