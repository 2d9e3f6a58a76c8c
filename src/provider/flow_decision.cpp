#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

bool TransparentProxyProvider::isEncryptedDnsFlow(std::string_view host, std::string_view portText) const {
  // Encrypted DNS travels over TLS only.
  return strictModeActive() && portText == tlsPortText && isHostBlocked(host, *cachedEncryptedDns.load());
}

FlowDecision TransparentProxyProvider::decideFlow(const std::optional<std::string>& host, std::string_view portText,
                                                  std::size_t bytesRead) const {
  if (!host) {
    if (strictModeActive()) {
      logger.log("🔒 No hostname readable for :{} flow after {} bytes — closed in strict mode", portText, bytesRead);
      FlowDecision closed;
      closed.unreadable = true;
      return closed;
    }
    logger.log("⚠️ Could not determine hostname for :{} flow after {} bytes — passing through unblocked", portText,
               bytesRead);
    return {};
  }
  // The switch and the lists in force now decide, not those of the admission.
  const bool blockingEnabled = cachedBlockingEnabled.load();
  const FlowDecision decision = judgeHost(*host, portText, blockingEnabled);
  logger.log("🔎 flow host: {}:{}, blockingEnabled={}, blocked={}", *host, portText, blockingEnabled,
             decision.closes());
  return decision;
}

FlowDecision TransparentProxyProvider::judgeHost(const std::string& host, std::string_view portText,
                                                bool blockingEnabled) const {
  FlowDecision decision;
  if (!blockingEnabled) return decision;
  const std::shared_ptr<const BlockList> sites = cachedSites.load();
  decision.site = std::shared_ptr<const BlockedSite>(sites, sites->match(host));
  decision.encryptedDns = !decision.site && isEncryptedDnsFlow(host, portText);
  return decision;
}

void TransparentProxyProvider::recordClosedNow(const std::string& host, std::string_view portText) {
  recordBlocked(judgeHost(host, portText, cachedBlockingEnabled.load()), host, portText);
}

void TransparentProxyProvider::recordBlocked(const FlowDecision& decision, std::string_view host,
                                             std::string_view portText) {
  if (decision.encryptedDns) {
    decisions.recordBlocked(BlockedKind::encryptedDns, encryptedDnsSiteName, host);
  } else if (decision.site) {
    decisions.recordBlocked(portText == tlsPortText ? BlockedKind::tls : BlockedKind::http, decision.site->name, host);
  }
}

void TransparentProxyProvider::reportBlocked(const FlowDecision& decision, const std::optional<std::string>& host,
                                             std::string_view portText) {
  if (!host) return;
  recordBlocked(decision, *host, portText);
  if (decision.site) notifySiteBlocked(*host, *decision.site);
}

}  // namespace vosk
