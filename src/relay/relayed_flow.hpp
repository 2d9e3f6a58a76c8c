#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "flows/flow_host.hpp"
#include "platform/clock.hpp"
#include "platform/connection.hpp"
#include "platform/flow.hpp"
#include "platform/main_queue.hpp"
#include "policy/request_following.hpp"
#include "provider/tracked_flow_ticket.hpp"

namespace vosk {

// One flow the provider carries itself, from its upstream connection to its
// one teardown: it owns the flow, the connection, the sniffed bytes until they
// are replayed, the two relay directions and the flow's place. Every flow
// sits in activeFlows while relayed, those carried over the cap included.
//
// Each direction keeps exactly one step in flight (the platform moves the
// bytes) and goes on from the completion of the previous one, on whichever
// queue that is: a chunk costs no post. Activity is a timestamp the sweep reads; the end of a
// direction and the teardown run on the main queue.
//
// On a port-80 flow whose first request named its host, the client's
// direction follows the requests (HTTP/1 framing, or HTTP/2 frames after the
// preface): each request's head is read and judged before it goes upstream,
// body bytes of known length (HTTP/2: every frame but a header block) move by
// forward steps limited to them, and the answers' direction is not looked
// at. Following ends at an Upgrade, a CONNECT or bytes that are no request.
class RelayedFlow final : public std::enable_shared_from_this<RelayedFlow> {
 public:
  // Connects upstream to the flow's original destination, replays
  // `initialBytes`, then relays. Main queue.
  static void connectUpstream(const std::shared_ptr<FlowHost>& provider, std::shared_ptr<TCPFlow> flow,
                              TrackedFlowTicket ticket, Bytes initialBytes, std::optional<std::string> hostname);

  RelayedFlow(const std::shared_ptr<FlowHost>& provider, std::shared_ptr<TCPFlow> flow,
              std::shared_ptr<Connection> connection, TrackedFlowTicket ticket, std::optional<std::string> hostname);

  const std::optional<std::string>& hostname() const { return hostname_; }
  const TCPFlow& flow() const { return *flow_; }
  Instant lastActivity() const { return lastActivity_.load(std::memory_order_relaxed); }

  // The one teardown, posted onto the main queue (so it runs after work already queued there).
  void closeFlow();
  // What the teardown does, in order: ends the connection, removes the
  // registry entry (unless the stop empties the registry itself), closes both
  // sides of the flow and gives the flow's place back. Only the first call acts.
  enum class RegistryEntry { remove, keep };
  void endRelayedFlow(RegistryEntry entry);

 private:
  void watchConnection(std::shared_ptr<const HostEndpoint> endpoint, std::uint16_t port, Bytes initialBytes);
  void replayInitialBytes(const HostEndpoint& endpoint, std::uint16_t port, Bytes initialBytes);
  void startRelay();
  void relayFlowToUpstream();
  void forwardFlowToUpstream(std::size_t maximumBytes);
  void followRequests();
  bool judgeRequest(FlowHost& provider, const std::optional<std::string>& host, std::size_t bytes);
  void readRequestBytes();
  void endRequests();
  void sendFramed(std::size_t count, bool endsStream);
  void relayUpstreamToFlow();
  enum class Direction { flowToUpstream, upstreamToFlow };
  void continueRelay(Direction direction, const ForwardResult& result);
  void endRelayDirection(Direction direction);
  void recordActivity();

  const std::weak_ptr<FlowHost> provider_;
  MainQueue& queue_;
  const Clock& clock_;
  const std::shared_ptr<TCPFlow> flow_;
  const std::shared_ptr<Connection> connection_;
  TrackedFlowTicket ticket_;
  const std::optional<std::string> hostname_;
  std::atomic<Instant> lastActivity_;

  // The client's direction while requests are followed (its steps only).
  RequestFollower follower_;      // follows nothing when they are not followed
  Bytes unframed_;                // read from the flow and not yet sent
  FollowedRequests requests_;

  // Each direction's step in flight holds the object alive through these, so
  // that its completions capture no more than a pointer.
  std::shared_ptr<RelayedFlow> flowToUpstreamHold_;
  std::shared_ptr<RelayedFlow> upstreamToFlowHold_;

  // Main queue only.
  bool flowToUpstreamEnded_ = false;
  bool upstreamToFlowEnded_ = false;
  bool tornDown_ = false;
};

}  // namespace vosk
