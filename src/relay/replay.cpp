#include "provider/time_limit.hpp"
#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

// The bytes read while sniffing were taken from the flow: they go upstream
// first, and only once they are out does the flow become a relayed flow.
void TransparentProxyProvider::replayInitialBytes(std::shared_ptr<TCPFlow> flow, std::shared_ptr<Connection> connection,
                                                  std::shared_ptr<const HostEndpoint> endpoint, std::uint16_t port,
                                                  Bytes initialBytes, std::optional<std::string> hostname) {
  TimeLimit replayTimeLimit(mainQueue, initialBytesSendTimeout,
                            [weakSelf = weak_from_this(), endpoint = std::move(endpoint), port, flow, connection] {
                              const auto self = weakSelf.lock();
                              if (!self) return;
                              self->logger.log(
                                  "⏱️ Initial-bytes send to {}:{} never completed within {}s, cancelling",
                                  endpoint->hostname(), port, static_cast<long>(initialBytesSendTimeout));
                              self->closeFlow(flow, connection);
                            });
  connection->send(std::move(initialBytes), [weakSelf = weak_from_this(), replayTimeLimit, flow, connection,
                                             hostname = std::move(hostname)](std::optional<Error> error) mutable {
    const auto self = weakSelf.lock();
    if (!self) return;
    if (!replayTimeLimit.complete()) return;
    if (error) {
      self->logger.log("❌ Failed to replay initial bytes upstream: {}", error->localizedDescription);
      self->closeFlow(flow, connection);
      return;
    }
    self->startRelay(flow, connection, std::move(hostname));
  });
}

void TransparentProxyProvider::startRelay(std::shared_ptr<TCPFlow> flow, std::shared_ptr<Connection> connection,
                                          std::optional<std::string> hostname) {
  activeFlows.insert(std::make_shared<ActiveFlow>(ActiveFlow{std::move(hostname), flow, connection, clock.now()}));
  relayFlowToUpstream(flow, connection);
  relayUpstreamToFlow(std::move(flow), std::move(connection));
}

}  // namespace vosk
