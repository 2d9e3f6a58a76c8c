#include "policy/host_extraction.hpp"
#include "provider/transparent_proxy_provider.hpp"

namespace vosk {
namespace {

// The only port text for which the first bytes are read as a TLS ClientHello.
constexpr std::string_view tlsPortText = "443";

}  // namespace

std::string TransparentProxyProvider::portTextOf(const Flow& flow) {
  const auto endpoint = std::dynamic_pointer_cast<const HostEndpoint>(flow.remoteEndpoint());
  return endpoint ? endpoint->port() : std::string();
}

bool TransparentProxyProvider::readsHTTP(std::string_view portText) { return portText != tlsPortText; }

bool TransparentProxyProvider::isEncryptedDnsFlow(std::string_view host, std::string_view portText) const {
  // Encrypted DNS travels over TLS only.
  return strictModeActive() && portText == tlsPortText && isHostBlocked(host, *cachedEncryptedDns.load());
}

HostExtraction TransparentProxyProvider::inspectFirstBytes(std::span<const std::uint8_t> bytes,
                                                           std::string_view portText) {
  // Exactly one parser per flow, chosen by the port and, on plain HTTP, by the
  // HTTP/2 preface; it sees the whole buffer every time.
  HostExtraction extraction = portText == tlsPortText        ? extractTLSServerName(bytes)
                              : startsWithHTTP2Preface(bytes) ? extractHTTP2Host(bytes)
                                                              : extractHTTPHost(bytes);
  extraction.needsMoreData = extraction.needsMoreData && !extraction.host && bytes.size() < maxSniffBytes;
  return extraction;
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
  FlowDecision decision;
  if (blockingEnabled) {
    const std::shared_ptr<const BlockList> sites = cachedSites.load();
    decision.site = std::shared_ptr<const BlockedSite>(sites, sites->match(*host));
    decision.encryptedDns = !decision.site && isEncryptedDnsFlow(*host, portText);
  }
  logger.log("🔎 flow host: {}:{}, blockingEnabled={}, blocked={}", *host, portText, blockingEnabled,
             decision.closes());
  return decision;
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
