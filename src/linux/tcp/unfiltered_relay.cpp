#include "linux/tcp/unfiltered_relay.hpp"

#include <asio/write.hpp>

#include <string>

#include "linux/tcp/read_scratch.hpp"
#include "linux/tcp/socket_options.hpp"
#include "provider/constants.hpp"

namespace vosk::backend {

void UnfilteredRelay::start(asio::ip::tcp::socket client, const asio::ip::tcp::endpoint& destination,
                            std::uint32_t mark, MainQueue& queue,
                            std::shared_ptr<const TransparentProxyProvider> judge) {
  asio::ip::tcp::socket upstream(client.get_executor());
  std::error_code error;
  upstream.open(destination.protocol(), error);
  if (!error) error = setFirewallMark(upstream, mark);
  if (!error) error = setNoDelay(upstream);
  if (error) return;  // the client socket closes as it goes out of scope
  auto relay = std::make_shared<UnfilteredRelay>(std::move(client), std::move(upstream), destination, queue,
                                                 std::move(judge));
  if (relay->judge_) return relay->sniff();
  relay->connect();
}

UnfilteredRelay::UnfilteredRelay(asio::ip::tcp::socket client, asio::ip::tcp::socket upstream,
                                 const asio::ip::tcp::endpoint& destination, MainQueue& queue,
                                 std::shared_ptr<const TransparentProxyProvider> judge)
    : client_(std::move(client)),
      upstream_(std::move(upstream)),
      destination_(destination),
      judge_(std::move(judge)),
      queue_(queue) {}

// As the provider sniffs: each read has its own time limit, the buffer grows
// up to the byte cap, and one parser (chosen by the port) sees all of it.
void UnfilteredRelay::sniff() {
  auto done = [self = shared_from_this(), limit = limitTo(sniffReadTimeout)](Bytes data,
                                                                             std::error_code error) mutable {
    if (limit.complete()) self->judge(std::move(data), error);
  };
  readWhenReadable(client_, maxSniffBytes - sniffed_.size(), std::move(done));
}

void UnfilteredRelay::judge(Bytes data, std::error_code error) {
  // An error, or the end before a host was named: closed, as the provider does.
  if (error || data.empty()) return closeBoth();
  sniffed_.insert(sniffed_.end(), data.begin(), data.end());
  const std::string portText = std::to_string(destination_.port());
  const HostExtraction extraction = TransparentProxyProvider::inspectFirstBytes(sniffed_, portText);
  if (extraction.needsMoreData) return sniff();
  if (judge_->decideFlow(extraction.host, portText, sniffed_.size()).closes()) return closeBoth();
  connect();
}

void UnfilteredRelay::connect() {
  upstream_.async_connect(destination_, [self = shared_from_this(),
                                         limit = limitTo(upstreamConnectTimeout)](std::error_code error) mutable {
    if (!limit.complete()) return;
    if (error) return self->closeBoth();
    if (!self->sniffed_.empty()) return self->sendSniffed();
    self->pump(self->outbound_);
    self->pump(self->inbound_);
  });
}

void UnfilteredRelay::sendSniffed() {
  asio::async_write(upstream_, asio::buffer(sniffed_),
                    [self = shared_from_this(), limit = limitTo(initialBytesSendTimeout)](std::error_code error,
                                                                                          std::size_t) mutable {
    if (!limit.complete()) return;
    if (error) return self->closeBoth();
    Bytes().swap(self->sniffed_);  // an idle relay keeps no copy of them
    self->pump(self->outbound_);
    self->pump(self->inbound_);
  });
}

TimeLimit UnfilteredRelay::limitTo(double seconds) {
  return TimeLimit(queue_, seconds, [weakSelf = weak_from_this()] {
    if (const auto self = weakSelf.lock()) self->closeBoth();
  });
}

void UnfilteredRelay::pump(Direction& direction) {
  direction.from.async_read_some(
      asio::buffer(direction.buffer), [self = shared_from_this(), &direction](std::error_code error, std::size_t count) {
        if (error == asio::error::eof) return self->endDirection(direction);
        if (error) return self->closeBoth();
        asio::async_write(direction.to, asio::buffer(direction.buffer, count),
                          [self, &direction](std::error_code error, std::size_t) {
                            if (error) return self->closeBoth();
                            self->pump(direction);
                          });
      });
}

// One side's end of stream is passed on; the other direction keeps going.
void UnfilteredRelay::endDirection(Direction& direction) {
  direction.ended = true;
  std::error_code ignored;
  direction.to.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  if (outbound_.ended && inbound_.ended) closeBoth();
}

void UnfilteredRelay::closeBoth() {
  std::error_code ignored;
  // The application sees the end of the stream, as for any closed flow.
  client_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  client_.close(ignored);
  upstream_.close(ignored);
}

}  // namespace vosk::backend
