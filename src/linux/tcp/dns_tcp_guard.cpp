#include "linux/tcp/dns_tcp_guard.hpp"

#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <array>
#include <vector>

#include "dns/dns_stream.hpp"
#include "linux/tcp/socket_options.hpp"

namespace vosk::backend {

class DnsTcpGuard::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::ip::tcp::socket client, std::shared_ptr<Shared> shared)
      : client_(std::move(client)),
        upstream_(client_.get_executor()),
        idleTimer_(client_.get_executor()),
        shared_(std::move(shared)) {
    ++shared_->open;
  }
  ~Connection() { --shared_->open; }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void start(const asio::ip::tcp::endpoint& destination, std::uint32_t mark) {
    std::error_code error;
    upstream_.open(destination.protocol(), error);
    // Marked before connect(): the table lets the daemon's own connection pass.
    if (!error) error = setFirewallMark(upstream_, mark);
    if (!error) error = setNoDelay(upstream_);
    if (error) return;  // the client is closed as this connection goes
    watchIdle();
    upstream_.async_connect(destination, [self = shared_from_this()](std::error_code error) {
      if (error) return self->close();
      self->relayQueries();
      self->relayAnswers();
    });
  }

 private:
  // Each timer round closes the connection unless something moved since the last.
  void watchIdle() {
    idleTimer_.expires_after(idleLimit);
    idleTimer_.async_wait([self = shared_from_this()](std::error_code error) {
      if (error) return;
      if (!self->active_) return self->close();
      self->active_ = false;
      self->watchIdle();
    });
  }

  void relayQueries() {
    client_.async_read_some(asio::buffer(queries_), [self = shared_from_this()](std::error_code error,
                                                                               std::size_t count) {
      if (error == asio::error::eof) {
        self->upstream_.shutdown(asio::socket_base::shutdown_send, error);
        return self->endDirection();
      }
      if (error) return self->close();
      self->active_ = true;
      asio::async_write(self->upstream_, asio::buffer(self->queries_.data(), count),
                        [self](std::error_code error, std::size_t) {
                          if (error) return self->close();
                          self->active_ = true;
                          self->relayQueries();
                        });
    });
  }

  // Read into the end of held_, which keeps the start of a message still arriving.
  void relayAnswers() {
    const std::size_t kept = held_.size();
    held_.resize(kept + answerReadBytes);
    upstream_.async_read_some(
        asio::buffer(held_.data() + kept, answerReadBytes),
        [self = shared_from_this(), kept](std::error_code error, std::size_t count) {
          self->held_.resize(kept + count);
          if (error && error != asio::error::eof) return self->close();
          self->active_ = true;
          self->answersEnded_ = error == asio::error::eof;
          const auto used = static_cast<std::ptrdiff_t>(
              dns::rewriteDnsStream(self->held_, self->shared_->blockedNames, self->answers_));
          self->held_.erase(self->held_.begin(), self->held_.begin() + used);
          // A message the server cut short goes on as it came.
          if (self->answersEnded_) {
            self->answers_.insert(self->answers_.end(), self->held_.begin(), self->held_.end());
            self->held_.clear();
          }
          if (self->answers_.empty()) return self->afterAnswers();
          asio::async_write(self->client_, asio::buffer(self->answers_), [self](std::error_code error, std::size_t) {
            if (error) return self->close();
            self->active_ = true;
            self->answers_.clear();
            self->afterAnswers();
          });
        });
  }

  void afterAnswers() {
    if (!answersEnded_) return relayAnswers();
    std::error_code ignored;
    client_.shutdown(asio::socket_base::shutdown_send, ignored);
    endDirection();
  }

  // Each side's end of stream is passed on; the connection ends with both.
  void endDirection() {
    if (--directionsOpen_ == 0) close();
  }

  // Steps in flight end with operation_aborted and let go of the connection.
  void close() {
    std::error_code ignored;
    idleTimer_.cancel();
    client_.close(ignored);
    upstream_.close(ignored);
  }

  asio::ip::tcp::socket client_;
  asio::ip::tcp::socket upstream_;
  asio::steady_timer idleTimer_;
  const std::shared_ptr<Shared> shared_;
  std::array<std::uint8_t, queryReadBytes> queries_{};
  std::vector<std::uint8_t> held_;     // under dns::maxFramedMessageBytes between reads
  std::vector<std::uint8_t> answers_;  // being written to the client
  bool active_ = false;
  bool answersEnded_ = false;
  int directionsOpen_ = 2;
};

DnsTcpGuard::DnsTcpGuard(std::uint32_t firewallMark)
    : mark_(firewallMark), shared_(std::make_shared<Shared>()) {}

void DnsTcpGuard::setBlockedNames(dns::BlockedName names) {
  if (names) shared_->blockedNames = std::move(names);
}

void DnsTcpGuard::carry(asio::ip::tcp::socket client, const asio::ip::tcp::endpoint& destination) {
  if (shared_->open >= maxConnections) return;  // closed as the socket goes
  std::make_shared<Connection>(std::move(client), shared_)->start(destination, mark_);
}

}  // namespace vosk::backend
