#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

bool TransparentProxyProvider::handleNewFlow(const std::shared_ptr<Flow>& flow) {
  if (auto tcpFlow = std::dynamic_pointer_cast<TCPFlow>(flow)) {
    if (!admitOfferedFlow("TCP")) return false;
    handleTCPFlow(std::move(tcpFlow));
    return true;
  }
  if (auto udpFlow = std::dynamic_pointer_cast<UDPFlow>(flow)) return handleUDPFlow(std::move(udpFlow));
  logger.log("⚠️ Unknown flow type, letting the system handle it");
  return false;
}

bool TransparentProxyProvider::admitOfferedFlow(std::string_view kind) {
  if (admitTrackedFlow()) return true;
  // A refused flow is not lost: the system carries it, unfiltered.
  logger.fault(
      "🛑 maxTrackedFlows ({}) reached — letting the system handle this {} flow directly instead of risking full "
      "NECP exhaustion",
      maxTrackedFlows, kind);
  return false;
}

void TransparentProxyProvider::closeAndRelease(Flow& flow) {
  flow.closeRead();
  flow.closeWrite();
  releaseTrackedFlow();
}

}  // namespace vosk
