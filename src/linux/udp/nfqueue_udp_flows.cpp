#include "linux/udp/nfqueue_udp_flows.hpp"

#include <optional>
#include <utility>

namespace vosk::backend {
namespace {

// A held packet seen as a UDP flow. Its state lives on the queue: open
// completions and closes are posted there, never run inside the caller.
class QueuedUdpFlow final : public UDPFlow, public std::enable_shared_from_this<QueuedUdpFlow> {
 public:
  QueuedUdpFlow(MainQueue& queue, std::weak_ptr<UdpVerdictSink> verdicts, QueuedUdpPacket packet)
      : queue_(queue),
        verdicts_(std::move(verdicts)),
        packet_(std::move(packet)),
        remote_(std::make_shared<const HostEndpoint>(packet_.remoteAddress, std::string(queuedUdpRemotePort))) {}

  // The flow is open as soon as the provider takes it.
  void open(OpenCompletion completion) override {
    queue_.post([completion = std::move(completion)] { completion(std::nullopt); });
  }
  void closeRead() override {
    queue_.post([self = shared_from_this()] {
      self->readClosed_ = true;
      self->refuseOnceClosed();
    });
  }
  void closeWrite() override {
    queue_.post([self = shared_from_this()] {
      self->writeClosed_ = true;
      self->refuseOnceClosed();
    });
  }
  std::shared_ptr<const Endpoint> remoteEndpoint() const override { return remote_; }

  void holdUntilClosed(double holdLimit) {
    // The limit holds the flow strongly: a flow the provider drops unclosed
    // still gets its verdict.
    holdLimit_ = queue_.schedule(holdLimit,
                                         [self = shared_from_this()] { self->decide(UdpVerdict::pass); });
  }
  void decide(UdpVerdict verdict) {
    if (decided_) return;
    decided_ = true;
    if (holdLimit_) holdLimit_->cancel();
    holdLimit_.reset();
    if (const auto sink = verdicts_.lock()) sink->sendVerdict(packet_, verdict);
  }

 private:
  void refuseOnceClosed() {
    if (readClosed_ && writeClosed_) decide(UdpVerdict::refuse);
  }

  MainQueue& queue_;
  std::weak_ptr<UdpVerdictSink> verdicts_;
  const QueuedUdpPacket packet_;
  const std::shared_ptr<const HostEndpoint> remote_;
  std::shared_ptr<DelayedWork> holdLimit_;
  bool readClosed_ = false;
  bool writeClosed_ = false;
  bool decided_ = false;
};

}  // namespace

void NfqueueUdpFlows::offer(QueuedUdpPacket packet) {
  const auto flow = std::make_shared<QueuedUdpFlow>(queue_, verdicts_, std::move(packet));
  // Armed before the offer, so that closes posted during it find the limit to cancel.
  flow->holdUntilClosed(holdLimit_);
  if (!offerFlow_(flow)) flow->decide(UdpVerdict::pass);
}

}  // namespace vosk::backend
