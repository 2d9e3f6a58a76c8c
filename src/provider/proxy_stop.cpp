#include <memory>
#include <utility>

#include "provider/transparent_proxy_provider.hpp"
#include "relay/relayed_flow.hpp"

namespace vosk {

void TransparentProxyProvider::stopProxyWithReason(std::int64_t reason, StopCompletion completionHandler) {
  // The registry belongs to the main queue; only its size may be read here.
  logger.log("🔴 Transparent proxy stopProxy called, reason: {}, tearing down {} active flow(s)", reason,
             activeFlows.size());
  mainQueue.post([weakSelf = weak_from_this(), completionHandler = std::move(completionHandler)]() mutable {
    tearDownActiveFlows(std::move(weakSelf), std::move(completionHandler));
  });
}

void TransparentProxyProvider::tearDownActiveFlows(std::weak_ptr<TransparentProxyProvider> weakSelf,
                                                   StopCompletion completion) {
  if (const std::shared_ptr<TransparentProxyProvider> self = weakSelf.lock()) {
    // Only relayed flows: those still opening, sniffing, connecting or
    // replaying go on and end by their own paths.
    for (const auto& [connection, flow] : self->activeFlows.takeAll()) {
      flow->endRelayedFlow(RelayedFlow::RegistryEntry::keep);
    }
  }
  completion();
}

}  // namespace vosk
