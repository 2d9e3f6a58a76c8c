#include "flows/sniffing_flow.hpp"

#include "provider/constants.hpp"
#include "relay/relayed_flow.hpp"

namespace vosk {

void openFlow(const std::shared_ptr<FlowHost>& provider, std::shared_ptr<TrackedFlow> tracked,
              std::string_view kind, std::function<void(std::optional<Error> error)> onOpened) {
  MainQueue& queue = provider->queue();
  TimeLimit openTimeLimit(queue, flowOpenTimeout, [weakProvider = std::weak_ptr(provider), tracked,
                                                   kind = std::string(kind)] {
    const auto provider = weakProvider.lock();
    if (!provider) return;
    provider->log().log("⏱️ {} flow.open() never completed within {}s, closing directly", kind,
                        static_cast<long>(flowOpenTimeout));
    tracked->closeAndRelease();
  });
  // The open is not withdrawn at the time limit; its late completion finds the flag set.
  tracked->flow->open([weakProvider = std::weak_ptr(provider), &queue, openTimeLimit,
                       onOpened = std::move(onOpened)](std::optional<Error> error) {
    queue.post([weakProvider, openTimeLimit, onOpened, error = std::move(error)]() mutable {
      if (!openTimeLimit.complete()) return;
      if (weakProvider.lock()) onOpened(std::move(error));
    });
  });
}

SniffingFlow::SniffingFlow(const std::shared_ptr<FlowHost>& provider, std::shared_ptr<TCPFlow> flow,
                           TrackedFlowTicket ticket, Mode mode)
    : provider_(provider),
      queue_(provider->queue()),
      tracked_{flow, std::move(ticket)},
      mode_(mode),
      portText_(portTextOf(*flow)) {}

void SniffingFlow::start() {
  const auto provider = provider_.lock();
  if (!provider) return;
  // The open's time limit and completion share the flow and its place with this object.
  openFlow(provider, std::shared_ptr<TrackedFlow>(shared_from_this(), &tracked_), "TCP",
           [self = shared_from_this()](std::optional<Error> error) {
             if (error) {
               if (const auto provider = self->provider_.lock()) {
                 provider->log().log("❌ Failed to open TCP flow: {}", error->localizedDescription);
               }
               self->tracked_.closeAndRelease();
               return;
             }
             if (self->mode_ == Mode::unjudged) return self->goUpstream(std::nullopt);
             self->readInitialBytes();
           });
}

void SniffingFlow::readInitialBytes() {
  readTimeLimit_.emplace(queue_, sniffReadTimeout, [self = shared_from_this()] {
    const auto provider = self->provider_.lock();
    if (!provider) return;
    logSniffTimedOut(provider->log(), self->portText_);
    self->tracked_.closeAndRelease();
  });
  // The read is not withdrawn at the time limit; what it brings late is dropped.
  flow().readData([self = shared_from_this()](std::optional<Bytes> data, std::optional<Error> error) mutable {
    MainQueue& queue = self->queue_;
    queue.post([self = std::move(self), data = std::move(data), error = std::move(error)]() mutable {
      self->handleInitialBytes(std::move(data), std::move(error));
    });
  });
}

void SniffingFlow::handleInitialBytes(std::optional<Bytes> data, std::optional<Error> error) {
  if (!readTimeLimit_->complete()) return;
  const auto provider = provider_.lock();
  if (!provider) return;
  if (error) {
    // Bytes that came with the error are not looked at.
    provider->log().log("❌ readData error while sniffing: {}", error->localizedDescription);
    tracked_.closeAndRelease();
    return;
  }
  if (!data || data->empty()) {  // the application closed its side before naming a host
    tracked_.closeAndRelease();
    return;
  }
  appendBytes(buffer_, std::move(*data));

  HostExtraction extraction = inspectFirstBytes(buffer_, portText_);
  if (extraction.needsMoreData) return readInitialBytes();
  const FlowDecision decision = provider->decideFlow(extraction.host, portText_, buffer_.size());
  if (decision.closes()) {
    provider->reportBlocked(decision, extraction.host, portText_);
    tracked_.closeAndRelease();
    return;
  }
  goUpstream(std::move(extraction.host));
}

void SniffingFlow::goUpstream(std::optional<std::string> hostname) {
  const auto provider = provider_.lock();
  if (!provider) return;
  RelayedFlow::connectUpstream(provider, std::static_pointer_cast<TCPFlow>(tracked_.flow), std::move(tracked_.ticket),
                               std::move(buffer_), std::move(hostname));
}

}  // namespace vosk
