#include "policy/host_extraction.hpp"
#include "provider/time_limit.hpp"
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

bool TransparentProxyProvider::isEncryptedDnsFlow(std::string_view host, std::string_view portText) const {
  // Encrypted DNS travels over TLS only.
  return strictModeActive() && portText == tlsPortText && isHostBlocked(host, *cachedEncryptedDns.load());
}

// One outstanding read of a flow's first bytes: the sniff buffer is carried
// from read to read in it, there is no per-flow object while sniffing.
struct TransparentProxyProvider::SniffRead {
  std::shared_ptr<TCPFlow> flow;
  std::string portText;
  Bytes buffer;
  TimeLimit timeLimit;
};

void TransparentProxyProvider::openFlow(std::shared_ptr<Flow> flow, std::string_view kind, OpenedHandler onOpened) {
  TimeLimit openTimeLimit(mainQueue, flowOpenTimeout, [weakSelf = weak_from_this(), flow, kind = std::string(kind)] {
    const auto self = weakSelf.lock();
    if (!self) return;
    self->logger.log("⏱️ {} flow.open() never completed within {}s, closing directly", kind,
                     static_cast<long>(flowOpenTimeout));
    self->closeAndRelease(*flow);
  });
  // The open is not withdrawn at the time limit; its late completion finds the flag set.
  flow->open([weakSelf = weak_from_this(), &queue = mainQueue, openTimeLimit,
              onOpened = std::move(onOpened)](std::optional<Error> error) {
    queue.post([weakSelf, openTimeLimit, onOpened, error = std::move(error)]() mutable {
      if (!openTimeLimit.complete()) return;
      if (const auto self = weakSelf.lock()) onOpened(*self, std::move(error));
    });
  });
}

void TransparentProxyProvider::handleTCPFlow(std::shared_ptr<TCPFlow> flow) {
  openFlow(flow, "TCP", [flow](TransparentProxyProvider& self, std::optional<Error> error) {
    if (error) {
      self.logger.log("❌ Failed to open TCP flow: {}", error->localizedDescription);
      self.closeAndRelease(*flow);
      return;
    }
    self.readInitialBytes(flow, portTextOf(*flow), Bytes{});
  });
}

void TransparentProxyProvider::readInitialBytes(std::shared_ptr<TCPFlow> flow, std::string portText, Bytes buffer) {
  TimeLimit readTimeLimit(mainQueue, sniffReadTimeout, [weakSelf = weak_from_this(), flow, portText] {
    const auto self = weakSelf.lock();
    if (!self) return;
    self->logger.log("⏱️ Flow to :{} sent no data within {}s while sniffing, closing", portText,
                     static_cast<long>(sniffReadTimeout));
    self->closeAndRelease(*flow);
  });
  // The read is not withdrawn at the time limit; what it brings late is dropped.
  flow->readData([weakSelf = weak_from_this(), &queue = mainQueue,
                  read = SniffRead{flow, std::move(portText), std::move(buffer), std::move(readTimeLimit)}](
                     std::optional<Bytes> data, std::optional<Error> error) mutable {
    queue.post([weakSelf, read = std::move(read), data = std::move(data), error = std::move(error)]() mutable {
      if (const auto self = weakSelf.lock()) self->handleInitialBytes(std::move(data), std::move(error), std::move(read));
    });
  });
}

void TransparentProxyProvider::handleInitialBytes(std::optional<Bytes> data, std::optional<Error> error,
                                                  SniffRead read) {
  if (!read.timeLimit.complete()) return;
  if (error) {
    // Bytes that came with the error are not looked at.
    logger.log("❌ readData error while sniffing: {}", error->localizedDescription);
    closeAndRelease(*read.flow);
    return;
  }
  if (!data || data->empty()) {  // the application closed its side before naming a host
    closeAndRelease(*read.flow);
    return;
  }
  read.buffer.insert(read.buffer.end(), data->begin(), data->end());

  HostExtraction extraction = inspectFirstBytes(read.buffer, read.portText);
  if (extraction.needsMoreData) {
    readInitialBytes(std::move(read.flow), std::move(read.portText), std::move(read.buffer));
    return;
  }
  const FlowDecision decision = decideFlow(extraction.host, read.portText, read.buffer.size());
  if (decision.closes()) {
    if (decision.site) notifySiteBlocked(*extraction.host, *decision.site);
    closeAndRelease(*read.flow);
    return;
  }
  connectUpstream(std::move(read.flow), std::move(read.buffer), std::move(extraction.host));
}

HostExtraction TransparentProxyProvider::inspectFirstBytes(std::span<const std::uint8_t> bytes,
                                                           std::string_view portText) {
  // Exactly one parser per flow, chosen by the port; it sees the whole buffer every time.
  HostExtraction extraction = portText == tlsPortText ? extractTLSServerName(bytes) : extractHTTPHost(bytes);
  extraction.needsMoreData = extraction.needsMoreData && !extraction.host && bytes.size() < maxSniffBytes;
  return extraction;
}

FlowDecision TransparentProxyProvider::decideFlow(const std::optional<std::string>& host, std::string_view portText,
                                                  std::size_t bytesRead) const {
  if (!host) {
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

}  // namespace vosk
