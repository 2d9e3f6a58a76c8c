#pragma once

#include <asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <vector>

#include "linux/failure.hpp"
#include "linux/udp/nfqueue_listener.hpp"
#include "linux/udp/nfqueue_udp_flows.hpp"
#include "linux/udp/udp_interception_table.hpp"
#include "platform/logger.hpp"
#include "platform/main_queue.hpp"
#include "platform/proxy_provider.hpp"

namespace vosk::backend {

// The UDP rules of the interception settings made real: the queue listener,
// the held packets offered to the provider as UDP flows, and the owner table
// that queues the first packet of each new outbound UDP flow to port 443.
// Put in place by the first settings that carry UDP rules and kept for later
// ones; the table is made again when the forwarded interfaces change, and
// with a new pass generation when blocking comes on, so that flows passed
// while it was off are refused from their next packet (QUIC passes for that
// moment). On the event loop that `queue` serves.
class UdpInterception {
 public:
  // `verdictHoldLimit` as NfqueueUdpFlows takes it.
  UdpInterception(asio::io_context& context, MainQueue& queue, const UdpQueueSettings& settings,
                  double verdictHoldLimit, Logger logger, NfqueueUdpFlows::OfferFlow offerFlow)
      : context_(context),
        queue_(queue),
        settings_(settings),
        verdictHoldLimit_(verdictHoldLimit),
        logger_(std::move(logger)),
        offerFlow_(std::move(offerFlow)) {}

  // For LinuxProviderHost::setUdpInterception.
  Failure apply(const std::vector<NetworkRule>& udpRules, const ForwardedInterfaces& forwarded, bool blockingEnabled);
  void remove();

 private:
  // table_ made for these, which are then those in force.
  Failure makeTable(QueueExpression expression, const ForwardedInterfaces& forwarded, std::uint32_t passGeneration,
                    bool blockingEnabled);

  asio::io_context& context_;
  MainQueue& queue_;
  const UdpQueueSettings settings_;
  const double verdictHoldLimit_;
  const Logger logger_;
  const NfqueueUdpFlows::OfferFlow offerFlow_;

  std::shared_ptr<NfqueueListener> listener_;
  std::shared_ptr<UdpVerdictSink> verdicts_;
  std::unique_ptr<NfqueueUdpFlows> flows_;
  std::unique_ptr<UdpInterceptionTable> table_;
  QueueExpression expression_ = QueueExpression::native;
  // Those of table_, and the blocking switch they were made under.
  ForwardedInterfaces forwarded_;
  std::uint32_t passGeneration_ = 0;
  bool blockingEnabled_ = false;
};

}  // namespace vosk::backend
