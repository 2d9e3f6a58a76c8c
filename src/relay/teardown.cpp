#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

void TransparentProxyProvider::closeFlow(std::shared_ptr<TCPFlow> flow, std::shared_ptr<Connection> connection) {
  // Always posted, even from the main queue, so it runs after work already queued there.
  mainQueue.post([weakSelf = weak_from_this(), flow = std::move(flow), connection = std::move(connection)] {
    const std::shared_ptr<TransparentProxyProvider> self = weakSelf.lock();
    endRelayedFlow(self.get(), *flow, *connection, RegistryEntry::remove);
  });
}

void TransparentProxyProvider::endRelayedFlow(TransparentProxyProvider* self, TCPFlow& flow, Connection& connection,
                                              RegistryEntry entry) {
  connection.setStateUpdateHandler(nullptr);  // breaks the connection ↔ handler cycle
  connection.cancel();
  if (self && entry == RegistryEntry::remove) self->activeFlows.erase(&connection);
  flow.closeRead();
  flow.closeWrite();
  // Both relay directions, the sweeper and the stop may each end the same
  // flow; only the first teardown gives its unit back.
  if (self && self->connectionsHoldingUnit.erase(&connection) > 0) self->releaseTrackedFlow();
}

}  // namespace vosk
