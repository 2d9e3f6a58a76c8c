#include "linux/tcp/tcp_flow.hpp"

#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include <fmt/format.h>

#include <string>

#include "linux/tcp/read_scratch.hpp"

namespace vosk::backend {
namespace {

Error errorOf(const std::error_code& error) { return Error{error.message()}; }

// Asio writes an IPv4 address through the C library's printf, which costs
// more than the rest of the call; IPv6 addresses are rarer and need its rules.
std::string addressText(const asio::ip::address& address) {
  if (!address.is_v4()) return address.to_string();
  const asio::ip::address_v4::bytes_type b = address.to_v4().to_bytes();
  return fmt::format("{}.{}.{}.{}", b[0], b[1], b[2], b[3]);
}

}  // namespace

SocketTCPFlow::SocketTCPFlow(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& originalDestination)
    : socket_(std::move(socket)), originalDestination_(originalDestination) {}

std::shared_ptr<const Endpoint> SocketTCPFlow::remoteEndpoint() const {
  return std::make_shared<const HostEndpoint>(addressText(originalDestination_.address()),
                                              fmt::format_int(originalDestination_.port()).str());
}

// The connection is already accepted: opening has nothing left to wait for.
void SocketTCPFlow::open(OpenCompletion completion) {
  asio::post(socket_.get_executor(), [completion = std::move(completion)] { completion(std::nullopt); });
}

void SocketTCPFlow::readData(ReadCompletion completion) {
  asio::dispatch(socket_.get_executor(), [self = shared_from_this(), completion = std::move(completion)]() mutable {
    if (self->readClosed_ || !self->socket_.is_open()) {
      completion(Bytes{}, std::nullopt);
      return;
    }
    self->reading_ = true;
    // The first bytes came with the connection; later ones (the next request
    // on a followed connection) mostly come after the answer.
    const ReadFirst first = self->readBefore_ ? ReadFirst::wait : ReadFirst::look;
    self->readBefore_ = true;
    readWhenReadable(self->socket_, socketReadMaximum, first,
                     [self, completion = std::move(completion)](Bytes data, std::error_code error) {
                       self->reading_ = false;
                       if (error == asio::error::eof) return completion(Bytes{}, std::nullopt);
                       if (error) return completion(std::nullopt, errorOf(error));
                       completion(std::move(data), std::nullopt);
                     });
  });
}

void SocketTCPFlow::writeData(Bytes data, WriteCompletion completion) {
  asio::dispatch(socket_.get_executor(),
                 [self = shared_from_this(), data = std::move(data), completion = std::move(completion)]() mutable {
                   if (self->writeClosed_ || !self->socket_.is_open()) {
                     completion(Error{"the flow is closed for writing"});
                     return;
                   }
                   self->writes_.push_back(PendingWrite{std::move(data), std::move(completion)});
                   if (self->writes_.size() == 1) self->writeNext();
                 });
}

// Writes go out one at a time, in order; the end of stream follows the last.
void SocketTCPFlow::writeNext() {
  asio::async_write(socket_, asio::buffer(writes_.front().data),
                    [self = shared_from_this()](std::error_code error, std::size_t) {
                      PendingWrite written = std::move(self->writes_.front());
                      self->writes_.erase(self->writes_.begin());
                      if (!self->writes_.empty()) {
                        self->writeNext();
                      } else if (self->writeClosed_) {
                        self->shutdownSend();
                      }
                      written.completion(error ? std::optional(errorOf(error)) : std::nullopt);
                    });
}

void SocketTCPFlow::closeRead() {
  asio::dispatch(socket_.get_executor(), [self = shared_from_this()] {
    if (self->readClosed_) return;
    self->readClosed_ = true;
    if (self->closeIfBothSidesClosed()) return;
    // Only a read in flight needs the kernel's word; later ones see the flag.
    if (!self->reading_) return;
    std::error_code ignored;
    self->socket_.shutdown(asio::ip::tcp::socket::shutdown_receive, ignored);
  });
}

void SocketTCPFlow::closeWrite() {
  asio::dispatch(socket_.get_executor(), [self = shared_from_this()] {
    if (self->writeClosed_) return;
    self->writeClosed_ = true;
    if (self->closeIfBothSidesClosed()) return;
    // Data already handed over still goes out before the end of stream.
    if (self->writes_.empty()) self->shutdownSend();
  });
}

void SocketTCPFlow::shutdownSend() {
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
}

// The close alone: it ends the stream as a shutdown would, so the side
// closed last costs no shutdown of its own.
bool SocketTCPFlow::closeIfBothSidesClosed() {
  if (!readClosed_ || !writeClosed_) return false;
  std::error_code ignored;
  socket_.close(ignored);
  return true;
}

}  // namespace vosk::backend
