#include "flows/sniffing_flow.hpp"
#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

bool TransparentProxyProvider::handleNewFlow(const std::shared_ptr<Flow>& flow) {
  if (auto tcpFlow = std::dynamic_pointer_cast<TCPFlow>(flow)) {
    std::optional<TrackedFlowTicket> ticket = admitOfferedFlow("TCP", /*takenAtCap=*/false);
    if (!ticket) return false;
    handleTCPFlow(std::move(tcpFlow), std::move(*ticket));
    return true;
  }
  if (auto udpFlow = std::dynamic_pointer_cast<UDPFlow>(flow)) return handleUDPFlow(std::move(udpFlow));
  logger.log("⚠️ Unknown flow type, letting the system handle it");
  return false;
}

std::optional<TrackedFlowTicket> TransparentProxyProvider::admitOfferedFlow(std::string_view kind, bool takenAtCap) {
  if (admitTrackedFlow()) return TrackedFlowTicket(weak_from_this());
  if (takenAtCap) return TrackedFlowTicket();
  // A refused flow is not lost: the system carries it, unfiltered.
  logger.fault(
      "🛑 maxTrackedFlows ({}) reached — letting the system handle this {} flow directly instead of risking full "
      "NECP exhaustion",
      maxTrackedFlows, kind);
  return std::nullopt;
}

void TransparentProxyProvider::handleTCPFlow(std::shared_ptr<TCPFlow> flow, TrackedFlowTicket ticket) {
  std::make_shared<SniffingFlow>(shared_from_this(), std::move(flow), std::move(ticket), SniffingFlow::Mode::judged)
      ->start();
}

// Over the cap the flow holds no place: the cap bounds what the platform
// spends on flows, and this one is carried anyway. Once relayed it is
// registered all the same, because the registry is what a new configuration
// re-judges, the sweep ages and the stop ends: a flow missing from it would
// stay open to a site blocked later, for ever. While strict mode is in force
// its first bytes are judged as any other flow's.
void TransparentProxyProvider::carryDeclinedFlow(std::shared_ptr<TCPFlow> flow) {
  const auto mode = strictModeActive() ? SniffingFlow::Mode::judged : SniffingFlow::Mode::unjudged;
  std::make_shared<SniffingFlow>(shared_from_this(), std::move(flow), TrackedFlowTicket(), mode)->start();
}

// QUIC hides the host, so while blocking is on every UDP flow is taken and
// closed without a datagram passing: the application falls back to TCP. At
// the cap strict mode still takes it, holding no place (closing it costs the
// platform nothing lasting): declined, it would reach a blocked site.
bool TransparentProxyProvider::handleUDPFlow(std::shared_ptr<UDPFlow> flow) {
  if (!cachedBlockingEnabled.load()) return false;
  std::optional<TrackedFlowTicket> ticket = admitOfferedFlow("UDP", /*takenAtCap=*/strictModeActive());
  if (!ticket) return false;
  logger.log("🚫 Rejecting UDP:443 (QUIC) flow while blocking is enabled, forcing TCP fallback");
  const auto endpoint = std::dynamic_pointer_cast<const HostEndpoint>(flow->remoteEndpoint());
  decisions.recordBlocked(BlockedKind::quic, {}, endpoint ? endpoint->hostname() : std::string());
  auto tracked = std::make_shared<TrackedFlow>(TrackedFlow{std::move(flow), std::move(*ticket)});
  // Whether the open succeeded makes no difference.
  openFlow(shared_from_this(), tracked, "UDP", [tracked](std::optional<Error>) { tracked->closeAndRelease(); });
  return true;
}

}  // namespace vosk
