#include "platform/linux/unfiltered_relay.hpp"

#include <asio/write.hpp>

#include "platform/linux/socket_options.hpp"

namespace vosk::backend {

void UnfilteredRelay::start(asio::ip::tcp::socket client, const asio::ip::tcp::endpoint& destination,
                            std::uint32_t mark) {
  asio::ip::tcp::socket upstream(client.get_executor());
  std::error_code error;
  upstream.open(destination.protocol(), error);
  if (!error) error = setFirewallMark(upstream, mark);
  if (!error) error = setNoDelay(upstream);
  if (error) return;  // the client socket closes as it goes out of scope
  auto relay = std::make_shared<UnfilteredRelay>(std::move(client), std::move(upstream));
  relay->upstream_.async_connect(destination, [relay](std::error_code error) {
    if (error) return relay->closeBoth();
    relay->pump(relay->outbound_);
    relay->pump(relay->inbound_);
  });
}

UnfilteredRelay::UnfilteredRelay(asio::ip::tcp::socket client, asio::ip::tcp::socket upstream)
    : client_(std::move(client)), upstream_(std::move(upstream)) {}

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
  client_.close(ignored);
  upstream_.close(ignored);
}

}  // namespace vosk::backend
