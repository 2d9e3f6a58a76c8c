#include "platform/linux/udp_interception.hpp"

#include <algorithm>
#include <system_error>

namespace vosk::backend {

std::optional<Error> UdpInterception::apply(const std::vector<NetworkRule>& udpRules) {
  const bool quicOnly = std::all_of(udpRules.begin(), udpRules.end(), [](const NetworkRule& rule) {
    return rule.remoteNetwork.port() == queuedUdpRemotePort && rule.remotePrefix == 0;
  });
  if (!quicOnly) return Error{"only UDP to port 443 of every address can be intercepted"};

  std::lock_guard lock(mutex_);
  if (udpRules.empty() || table_) return std::nullopt;
  try {
    // Listening first: the rule then finds its queue served from the first packet on.
    auto listener = std::make_shared<NfqueueListener>(platformContext_, settings_, logger_);
    auto flows = std::make_unique<NfqueueUdpFlows>(platformQueue_, listener, offerFlow_);
    const QueueExpression expression = detectQueueExpression(settings_);
    table_ = std::make_unique<UdpInterceptionTable>(settings_, expression);
    listener->start([flows = flows.get()](QueuedUdpPacket packet) { flows->offer(std::move(packet)); });
    listener_ = std::move(listener);
    flows_ = std::move(flows);
    logger_.log("✅ UDP :443 goes through NFQUEUE {} ({} queue rule)", settings_.queueNumber,
                expression == QueueExpression::native ? "native" : "compatibility");
    return std::nullopt;
  } catch (const std::system_error& error) {
    return Error{std::string("UDP :443 interception: ") + error.what()};
  }
}

void UdpInterception::remove() {
  std::lock_guard lock(mutex_);
  table_.reset();
  listener_.reset();
  flows_.reset();
}

}  // namespace vosk::backend
