#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/flow.hpp"
#include "platform/main_queue.hpp"

namespace vosk::backend {

// The first packet of a new outbound UDP flow to port 443, held in the queue
// until it gets its verdict.
struct QueuedUdpPacket {
  std::uint32_t id = 0;
  std::uint32_t mark = 0;     // the packet's own mark, kept by the verdict
  std::string remoteAddress;  // the original destination, as address text
};

// pass: the packet goes on and the flow's later packets skip the queue.
// refuse: the packet and the flow's later packets are rejected with ICMP port
// unreachable, so the application's QUIC attempt fails at once.
enum class UdpVerdict { pass, refuse };

class UdpVerdictSink {
 public:
  virtual ~UdpVerdictSink() = default;
  virtual void sendVerdict(const QueuedUdpPacket& packet, UdpVerdict verdict) = 0;
};

// The remote port of every queued flow: the queue rule matches no other.
inline constexpr std::string_view queuedUdpRemotePort = "443";

// How long a taken flow may hold its packet: the provider's limit for opening
// a flow plus a margin. A flow nobody closes by then is passed, so no packet
// is held for ever.
inline constexpr double udpVerdictHoldMargin = 2.0;
constexpr double udpVerdictHoldLimit(double flowOpenLimit) { return flowOpenLimit + udpVerdictHoldMargin; }

// Offers each held packet's flow to the provider as a UDP flow and turns the
// answer into the packet's verdict: declined → pass at once; taken → refuse
// once the provider has closed both sides, or pass when the hold limit comes
// first. Nothing is ever read from or written to these flows.
// Runs on `queue`, as do the flows' completions.
class NfqueueUdpFlows {
 public:
  using OfferFlow = std::function<bool(const std::shared_ptr<Flow>&)>;

  // `holdLimit` in seconds, from udpVerdictHoldLimit.
  NfqueueUdpFlows(MainQueue& queue, double holdLimit, std::weak_ptr<UdpVerdictSink> verdicts, OfferFlow offerFlow)
      : queue_(queue), holdLimit_(holdLimit), verdicts_(std::move(verdicts)), offerFlow_(std::move(offerFlow)) {}

  void offer(QueuedUdpPacket packet);

 private:
  MainQueue& queue_;
  const double holdLimit_;
  std::weak_ptr<UdpVerdictSink> verdicts_;
  OfferFlow offerFlow_;
};

}  // namespace vosk::backend
