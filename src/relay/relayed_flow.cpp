#include "relay/relayed_flow.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "provider/constants.hpp"
#include "provider/time_limit.hpp"

namespace vosk {
namespace {

// Base-10 port text: an optional sign, then one or more ASCII digits, within
// 0...65535 (so a minus sign lets only zero through).
std::optional<std::uint16_t> parsePortText(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

void RelayedFlow::connectUpstream(const std::shared_ptr<FlowHost>& provider, std::shared_ptr<TCPFlow> flow,
                                  TrackedFlowTicket ticket, Bytes initialBytes, std::optional<std::string> hostname) {
  auto endpoint = std::dynamic_pointer_cast<const HostEndpoint>(flow->remoteEndpoint());
  const std::optional<std::uint16_t> port = endpoint ? parsePortText(endpoint->port()) : std::nullopt;
  if (!port) {
    provider->log().log("⚠️ Could not read remoteEndpoint host/port, closing flow");
    TrackedFlow{std::move(flow), std::move(ticket)}.closeAndRelease();
    return;
  }
  // From here on the flow's place is given back by its teardown.
  auto relayed = std::make_shared<RelayedFlow>(provider, std::move(flow),
                                               provider->connections().makeConnection(endpoint->hostname(), *port),
                                               std::move(ticket), std::move(hostname));
  relayed->watchConnection(std::move(endpoint), *port, std::move(initialBytes));
}

RelayedFlow::RelayedFlow(const std::shared_ptr<FlowHost>& provider, std::shared_ptr<TCPFlow> flow,
                         std::shared_ptr<Connection> connection, TrackedFlowTicket ticket,
                         std::optional<std::string> hostname)
    : provider_(provider),
      queue_(provider->queue()),
      clock_(provider->time()),
      flow_(std::move(flow)),
      connection_(std::move(connection)),
      ticket_(std::move(ticket)),
      hostname_(std::move(hostname)),
      lastActivity_(clock_.now()),
      follower_(hostname_ && readsHTTP(portTextOf(*flow_))) {}

void RelayedFlow::watchConnection(std::shared_ptr<const HostEndpoint> endpoint, std::uint16_t port,
                                  Bytes initialBytes) {
  // The time limits hold the flow: it is ended by one of them even when nothing else holds it.
  TimeLimit connectTimeLimit(queue_, upstreamConnectTimeout, [self = shared_from_this(), endpoint, port] {
    const auto provider = self->provider_.lock();
    if (!provider) return;
    provider->log().log("⏱️ Connection to {}:{} timed out establishing, cancelling", endpoint->hostname(), port);
    self->closeFlow();
  });
  // The handler holds the object that owns the connection that owns the
  // handler; the teardown, or the cancelled state, clears it and so breaks the
  // cycle. What only connecting needs is dropped once connected: an idle flow
  // keeps no spent time limit.
  connection_->setStateUpdateHandler([self = shared_from_this(),
                                      connecting = std::optional<TimeLimit>(std::move(connectTimeLimit)),
                                      endpoint, port, initialBytes = std::move(initialBytes)](
                                         const ConnectionState& state) mutable {
    const auto provider = self->provider_.lock();
    if (!provider) return;
    // The first of ready, failed and the time limit decides; later states find it spent.
    const auto decides = [&connecting] {
      const bool first = connecting && connecting->complete();
      connecting.reset();
      return first;
    };
    switch (state.kind) {
      case ConnectionState::Kind::ready: {
        if (!decides()) return;
        // Connected, only a cancellation is left to come, and nothing needs
        // breaking any more: an idle flow keeps no handler state. This handler
        // is destroyed with the swap, so what it holds is moved out first.
        const std::shared_ptr<RelayedFlow> flow = std::move(self);
        const std::shared_ptr<const HostEndpoint> destination = std::move(endpoint);
        Bytes bytes = std::move(initialBytes);
        const std::uint16_t destinationPort = port;
        flow->connection_->setStateUpdateHandler([](const ConnectionState&) {});
        flow->replayInitialBytes(*destination, destinationPort, std::move(bytes));
        return;
      }
      case ConnectionState::Kind::failed:
        if (!decides()) return;
        provider->log().log("❌ Upstream connection failed: {}",
                            state.error ? state.error->localizedDescription : std::string());
        self->closeFlow();
        return;
      case ConnectionState::Kind::cancelled: {
        // Clearing destroys this handler: nothing captured is touched afterwards.
        const std::shared_ptr<Connection> owner = self->connection_;
        owner->setStateUpdateHandler(nullptr);
        return;
      }
      case ConnectionState::Kind::setup:
      case ConnectionState::Kind::preparing:
      case ConnectionState::Kind::waiting:
        return;  // a connection that stays waiting is ended by the time limit
    }
  });
  connection_->start(queue_);
}

// The bytes read while sniffing were taken from the flow: they go upstream
// first, and only once they are out does the flow become a relayed flow.
void RelayedFlow::replayInitialBytes(const HostEndpoint& endpoint, std::uint16_t port, Bytes initialBytes) {
  if (initialBytes.empty()) return startRelay();  // carried unjudged: nothing was read
  if (follower_.follows()) {
    // Requests that came with the first are framed and judged like any other.
    unframed_ = std::move(initialBytes);
    return startRelay();
  }
  TimeLimit replayTimeLimit(queue_, initialBytesSendTimeout,
                            [self = shared_from_this(), host = endpoint.hostname(), port] {
                              const auto provider = self->provider_.lock();
                              if (!provider) return;
                              provider->log().log("⏱️ Initial-bytes send to {}:{} never completed within {}s, cancelling",
                                                  host, port, static_cast<long>(initialBytesSendTimeout));
                              self->closeFlow();
                            });
  connection_->send(std::move(initialBytes), [self = shared_from_this(),
                                               replayTimeLimit](std::optional<Error> error) mutable {
    const auto provider = self->provider_.lock();
    if (!provider) return;
    if (!replayTimeLimit.complete()) return;
    if (error) {
      provider->log().log("❌ Failed to replay initial bytes upstream: {}", error->localizedDescription);
      self->closeFlow();
      return;
    }
    self->startRelay();
  });
}

void RelayedFlow::startRelay() {
  lastActivity_.store(clock_.now(), std::memory_order_relaxed);
  if (const auto provider = provider_.lock()) provider->registry().insert(connection_.get(), shared_from_this());
  relayFlowToUpstream();
  relayUpstreamToFlow();
}

void RelayedFlow::relayFlowToUpstream() {
  if (!follower_.follows()) return forwardFlowToUpstream(unlimitedForward);
  if (requests_.bodyLeft > 0) return forwardFlowToUpstream(static_cast<std::size_t>(requests_.bodyLeft));
  followRequests();
}

void RelayedFlow::forwardFlowToUpstream(std::size_t maximumBytes) {
  flowToUpstreamHold_ = shared_from_this();
  connection_->forwardFrom(*flow_, maximumBytes, [this](ForwardResult result) {
    const std::shared_ptr<RelayedFlow> self = std::move(flowToUpstreamHold_);
    requests_.bodyLeft -= std::min<std::uint64_t>(requests_.bodyLeft, result.bytes);
    continueRelay(Direction::flowToUpstream, result);
  });
}

// Frames what has been read: heads are judged, and what passes goes upstream
// in one send. Then the direction goes on: a read for the rest of a head, a
// forward step for a body, or plain relaying once following has ended.
void RelayedFlow::followRequests() {
  const auto provider = provider_.lock();
  if (!provider) return;
  // Sniffing judged the first request by the host it read.
  const std::optional<std::size_t> framed =
      frameRequests(follower_, requests_, unframed_, hostname_, maxSniffBytes,
                    [&](const std::optional<std::string>& host, std::size_t bytes) {
                      return !judgeRequest(*provider, host, bytes);
                    });
  if (!framed) return;
  if (*framed > 0) return sendFramed(*framed, /*endsStream=*/false);
  if (!follower_.follows() || requests_.bodyLeft > 0) return relayFlowToUpstream();
  readRequestBytes();
}

// False when the request closes the flow: nothing of it has gone upstream,
// and the teardown leaves the record and notification a first request would.
bool RelayedFlow::judgeRequest(FlowHost& provider, const std::optional<std::string>& host,
                               std::size_t bytes) {
  const std::string portText = portTextOf(*flow_);
  const FlowDecision decision = provider.decideFlow(host, portText, bytes);
  if (!decision.closes()) return true;
  queue_.post([self = shared_from_this(), decision, host, portText] {
    const auto provider = self->provider_.lock();
    if (!provider || self->tornDown_) return;
    provider->reportBlocked(decision, host, portText);
    self->endRelayedFlow(RegistryEntry::remove);
  });
  return false;
}

void RelayedFlow::readRequestBytes() {
  flowToUpstreamHold_ = shared_from_this();
  flow_->readData([this](std::optional<Bytes> data, std::optional<Error> error) {
    const std::shared_ptr<RelayedFlow> self = std::move(flowToUpstreamHold_);
    if (provider_.expired()) return;
    if (error) return closeFlow();
    if (!data || data->empty()) return endRequests();
    appendBytes(unframed_, std::move(*data));
    followRequests();
  });
}

// At the client's end, what it sent of a request not yet whole cannot be
// judged: it goes on as it is outside strict mode (as a request without a
// host would), and is dropped in it; then the end is passed on.
void RelayedFlow::endRequests() {
  const auto provider = provider_.lock();
  follower_.stop();
  if (unframed_.empty() || !provider || provider->strictModeActive()) {
    unframed_ = Bytes();
    return endRelayDirection(Direction::flowToUpstream);
  }
  sendFramed(unframed_.size(), /*endsStream=*/true);
}

// The first `count` bytes read go upstream; activity once they are out.
// Then the direction goes on, or ends when they were the last.
void RelayedFlow::sendFramed(std::size_t count, bool endsStream) {
  Bytes bytes;
  if (count == unframed_.size()) {
    bytes.swap(unframed_);
  } else {
    const auto end = unframed_.begin() + static_cast<std::ptrdiff_t>(count);
    bytes.assign(unframed_.begin(), end);
    unframed_.erase(unframed_.begin(), end);
  }
  flowToUpstreamHold_ = shared_from_this();
  connection_->send(std::move(bytes), [this, endsStream](std::optional<Error> error) {
    const std::shared_ptr<RelayedFlow> self = std::move(flowToUpstreamHold_);
    if (provider_.expired()) return;
    if (error) return closeFlow();
    recordActivity();
    if (endsStream) return endRelayDirection(Direction::flowToUpstream);
    relayFlowToUpstream();
  });
}

void RelayedFlow::relayUpstreamToFlow() {
  upstreamToFlowHold_ = shared_from_this();
  connection_->forwardTo(*flow_, [this](ForwardResult result) {
    const std::shared_ptr<RelayedFlow> self = std::move(upstreamToFlowHold_);
    continueRelay(Direction::upstreamToFlow, result);
  });
}

// After a step: an error ends the flow (a chunk delivered with it counts for
// nothing), the end of stream ends this direction, anything else goes on.
void RelayedFlow::continueRelay(Direction direction, const ForwardResult& result) {
  if (provider_.expired()) return;
  if (result.error) return closeFlow();
  if (result.bytes > 0) recordActivity();
  if (result.endOfStream) return endRelayDirection(direction);
  if (direction == Direction::flowToUpstream) return relayFlowToUpstream();
  relayUpstreamToFlow();
}

// Half-close: the end of one direction is passed on to the other side, whose
// data keeps flowing; the flow is torn down once both directions have ended.
void RelayedFlow::endRelayDirection(Direction direction) {
  queue_.post([self = shared_from_this(), direction] {
    if (self->provider_.expired() || self->tornDown_) return;
    (direction == Direction::flowToUpstream ? self->flowToUpstreamEnded_ : self->upstreamToFlowEnded_) = true;
    // The last end goes with the teardown's close rather than a half-close first.
    if (self->flowToUpstreamEnded_ && self->upstreamToFlowEnded_) return self->endRelayedFlow(RegistryEntry::remove);
    if (direction == Direction::flowToUpstream) {
      self->connection_->sendEndOfStream();
    } else {
      self->flow_->closeWrite();
    }
  });
}

// A timestamp, not a post: the sweep reads it on the main queue.
void RelayedFlow::recordActivity() { lastActivity_.store(clock_.now(), std::memory_order_relaxed); }

void RelayedFlow::closeFlow() {
  queue_.post([self = shared_from_this()] { self->endRelayedFlow(RegistryEntry::remove); });
}

void RelayedFlow::endRelayedFlow(RegistryEntry entry) {
  // Both relay directions, the sweeper and the stop may each end the same flow; only the first acts.
  if (tornDown_) return;
  tornDown_ = true;
  connection_->setStateUpdateHandler(nullptr);  // breaks the connection ↔ handler cycle
  connection_->cancel();
  if (entry == RegistryEntry::remove) {
    if (const auto provider = provider_.lock()) provider->registry().erase(connection_.get());
  }
  flow_->closeRead();
  flow_->closeWrite();
  ticket_.release();
}

}  // namespace vosk
