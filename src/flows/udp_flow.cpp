#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

// QUIC hides the host, so while blocking is on every UDP flow is taken and
// closed without a datagram passing: the application falls back to TCP.
bool TransparentProxyProvider::handleUDPFlow(std::shared_ptr<UDPFlow> flow) {
  if (!cachedBlockingEnabled.load()) return false;
  if (!admitOfferedFlow("UDP")) return false;
  logger.log("🚫 Rejecting UDP:443 (QUIC) flow while blocking is enabled, forcing TCP fallback");
  // Whether the open succeeded makes no difference.
  openFlow(flow, "UDP", [flow](TransparentProxyProvider& self, std::optional<Error>) { self.closeAndRelease(*flow); });
  return true;
}

}  // namespace vosk
