#include "linux/udp/udp_interception.hpp"

#include <algorithm>
#include <system_error>

namespace vosk::backend {
namespace {

// Enough of the packet for the IPv6 destination address, the furthest we read.
constexpr std::uint32_t copiedPacketBytes = 40;

// The verdicts as marks on the accepted packet, which the table's verdict chain acts on.
class MarkedVerdicts final : public UdpVerdictSink {
 public:
  MarkedVerdicts(std::weak_ptr<NfqueueListener> listener, const UdpQueueSettings& settings)
      : listener_(std::move(listener)), settings_(settings) {}
  void sendVerdict(const QueuedUdpPacket& packet, UdpVerdict verdict) override {
    const auto listener = listener_.lock();
    if (!listener) return;
    listener->accept(packet.id, packet.mark | (verdict == UdpVerdict::pass ? settings_.declineMark : settings_.refuseMark));
  }

 private:
  std::weak_ptr<NfqueueListener> listener_;
  const UdpQueueSettings settings_;
};

}  // namespace

std::optional<Error> UdpInterception::apply(const std::vector<NetworkRule>& udpRules,
                                            const std::vector<std::string>& gatewayInterfaces) {
  const bool quicOnly = std::all_of(udpRules.begin(), udpRules.end(), [](const NetworkRule& rule) {
    return rule.remoteNetwork.port() == queuedUdpRemotePort && rule.remotePrefix == 0;
  });
  if (!quicOnly) return Error{"only UDP to port 443 of every address can be intercepted"};

  if (udpRules.empty()) return std::nullopt;
  if (listener_) {
    if (table_ && gatewayInterfaces == gatewayInterfaces_) return std::nullopt;
    try {
      // One name, one owner: the old table goes before the new one comes.
      table_.reset();
      table_ = std::make_unique<UdpInterceptionTable>(settings_, expression_, gatewayInterfaces);
      gatewayInterfaces_ = gatewayInterfaces;
      return std::nullopt;
    } catch (const std::system_error& error) {
      return Error{std::string("UDP :443 interception: ") + error.what()};
    }
  }
  try {
    // Listening first: the rule then finds its queue served from the first packet on.
    auto listener = std::make_shared<NfqueueListener>(context_, settings_.queueNumber, copiedPacketBytes, logger_);
    auto verdicts = std::make_shared<MarkedVerdicts>(listener, settings_);
    auto flows = std::make_unique<NfqueueUdpFlows>(queue_, verdictHoldLimit_, verdicts, offerFlow_);
    const QueueExpression expression = detectQueueExpression(settings_.queueNumber);
    table_ = std::make_unique<UdpInterceptionTable>(settings_, expression, gatewayInterfaces);
    expression_ = expression;
    gatewayInterfaces_ = gatewayInterfaces;
    listener->start([flows = flows.get(), verdicts = verdicts.get()](const HeldPacket& held) {
      QueuedUdpPacket packet{held.id, held.mark, destinationAddressOf(held.bytes).value_or("")};
      if (packet.remoteAddress.empty()) return verdicts->sendVerdict(packet, UdpVerdict::pass);  // never hold it
      flows->offer(std::move(packet));
    });
    listener_ = std::move(listener);
    verdicts_ = std::move(verdicts);
    flows_ = std::move(flows);
    logger_.log("✅ UDP :443 goes through NFQUEUE {} ({} queue rule)", settings_.queueNumber,
                expression == QueueExpression::native ? "native" : "compatibility");
    return std::nullopt;
  } catch (const std::system_error& error) {
    return Error{std::string("UDP :443 interception: ") + error.what()};
  }
}

void UdpInterception::remove() {
  table_.reset();
  listener_.reset();
  verdicts_.reset();
  flows_.reset();
}

}  // namespace vosk::backend
