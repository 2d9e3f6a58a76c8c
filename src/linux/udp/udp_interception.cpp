#include "linux/udp/udp_interception.hpp"

#include <algorithm>

namespace vosk::backend {
namespace {

// Enough of the packet for the IPv6 destination address, the furthest we read.
constexpr std::uint32_t copiedPacketBytes = 40;

Failure interceptionFailure(const Failure& failure) {
  return Failure{"UDP :443 interception: " + failure.message(), {}};
}

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

Failure UdpInterception::apply(const std::vector<NetworkRule>& udpRules, const ForwardedInterfaces& forwarded,
                               bool blockingEnabled) {
  const bool quicOnly = std::all_of(udpRules.begin(), udpRules.end(), [](const NetworkRule& rule) {
    return rule.remoteNetwork.port() == queuedUdpRemotePort && rule.remotePrefix == 0;
  });
  if (!quicOnly) return Failure{"only UDP to port 443 of every address can be intercepted", {}};

  if (udpRules.empty()) return {};
  const bool blockingComesOn = blockingEnabled && !blockingEnabled_;
  const std::uint32_t passGeneration = blockingComesOn ? passGeneration_ + 1 : passGeneration_;
  if (listener_) {
    if (table_ && forwarded == forwarded_ && passGeneration == passGeneration_) {
      blockingEnabled_ = blockingEnabled;  // switched off, or on again as it was
      return {};
    }
    // One name, one owner: the old table goes before the new one comes.
    table_.reset();
    if (Failure failure = makeTable(expression_, forwarded, passGeneration, blockingEnabled)) return failure;
    if (blockingComesOn) logger_.log("✅ blocking on: UDP :443 flows passed before are refused from their next packet");
    return {};
  }
  // Listening first: the rule then finds its queue served from the first packet on.
  Failure failure;
  auto listener = NfqueueListener::open(context_, settings_.queueNumber, copiedPacketBytes, logger_, failure);
  if (failure) return interceptionFailure(failure);
  auto verdicts = std::make_shared<MarkedVerdicts>(listener, settings_);
  auto flows = std::make_unique<NfqueueUdpFlows>(queue_, verdictHoldLimit_, verdicts, offerFlow_);
  const QueueExpression expression = detectQueueExpression(settings_.queueNumber);
  failure = makeTable(expression, forwarded, passGeneration, blockingEnabled);
  if (failure) return failure;
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
  return {};
}

Failure UdpInterception::makeTable(QueueExpression expression, const ForwardedInterfaces& forwarded,
                                   std::uint32_t passGeneration, bool blockingEnabled) {
  Failure failure;
  table_ = UdpInterceptionTable::create(settings_, expression, forwarded, passedMark(settings_, passGeneration),
                                        failure);
  if (failure) return interceptionFailure(failure);
  expression_ = expression;
  forwarded_ = forwarded;
  passGeneration_ = passGeneration;
  blockingEnabled_ = blockingEnabled;
  return {};
}

void UdpInterception::remove() {
  table_.reset();
  listener_.reset();
  verdicts_.reset();
  flows_.reset();
}

}  // namespace vosk::backend
