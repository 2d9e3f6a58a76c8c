#include "flows/packet_path_flows.hpp"

#include <algorithm>
#include <vector>

#include "packet/tcp_segment.hpp"
#include "policy/first_bytes_kind.hpp"

namespace vosk {
namespace {

// The ports whose protocol the port says; on every other the bytes do.
constexpr std::uint16_t httpPort = 80, tlsPort = 443;
constexpr std::string_view httpPortText = "80";

}  // namespace

PacketPathFlows::~PacketPathFlows() {
  if (timeLimit_) timeLimit_->cancel();
}

SegmentVerdict PacketPathFlows::judgeSegment(std::span<const std::uint8_t> packet) {
  const std::optional<TCPSegment> segment = parseTCPSegment(packet);
  // Bytes no server's stack would read either: nothing to judge, nothing to pass.
  if (!segment) return SegmentVerdict::drop;
  const ConnectionTuple tuple{segment->ipVersion, segment->source, segment->destination, segment->sourcePort,
                              segment->destinationPort};
  const bool urgent = (segment->flags & TCPSegment::urg) != 0;
  auto found = byTuple_.find(tuple);
  if (found == byTuple_.end()) {
    if (const auto followed = followed_.find(tuple); followed != followed_.end()) {
      if ((segment->flags & TCPSegment::syn) == 0) {
        if (segment->flags & TCPSegment::rst) return SegmentVerdict::pass;  // its end is reported
        if (followed->second.stream.segment(segment->sequence, segment->payload, urgent) ==
            FirstFlight::Verdict::drop) {
          return SegmentVerdict::drop;
        }
        return followRequests(followed);
      }
    }
  }
  if (segment->flags & TCPSegment::rst) {
    if (found != byTuple_.end()) forget(found->second);
    return SegmentVerdict::pass;
  }
  if (segment->flags & TCPSegment::syn) {
    if (found == byTuple_.end()) {
      // The client's port again, on a connection over (whose end the kernel
      // does not report: it tracks the new one in its place).
      carried_.erase(tuple);
      followed_.erase(tuple);
      if (byTuple_.size() >= maxConnections && !makeRoom()) return overTheCap(tuple);
      std::string portText = std::to_string(segment->destinationPort);
      const bool readByPort = tuple.serverPort == httpPort || tuple.serverPort == tlsPort;
      Connections& list = readByPort ? byDeadline_ : unread_;
      list.push_back(Connection{tuple, portText, readByPort ? portText : std::string(),
                                FirstFlight(maxSniffBytes + maxSegmentBytes), host_.time().now() + sniffReadTimeout,
                                readByPort});
      found = byTuple_.emplace(tuple, std::prev(list.end())).first;
      armTimeLimit();
    }
    const Connections::iterator connection = found->second;
    if (connection->flight.syn(segment->sequence, segment->payload, urgent) == FirstFlight::Verdict::drop) {
      return SegmentVerdict::drop;
    }
    refreshDeadline(connection);
    return connection->flight.prefix().empty() ? SegmentVerdict::pass : judgeFlight(connection);
  }
  if (found == byTuple_.end()) return SegmentVerdict::allow;
  const Connections::iterator connection = found->second;
  if (connection->flight.segment(segment->sequence, segment->payload, urgent) == FirstFlight::Verdict::drop) {
    return SegmentVerdict::drop;
  }
  if (!segment->payload.empty()) {
    refreshDeadline(connection);
    const SegmentVerdict verdict = judgeFlight(connection);
    if (verdict != SegmentVerdict::pass) return verdict;  // decided: the connection is forgotten
  }
  // The client closed before naming a host: the bytes passed name none to the
  // server either, and nothing sent after the FIN is read.
  if (segment->flags & TCPSegment::fin) forget(connection);
  return SegmentVerdict::pass;
}

// As the relay carries a flow it had to decline: judged only in strict mode,
// where the SYN waits for room instead (the client sends it again).
// At the cap, a connection to another port whose client has sent nothing
// since the oldest SYN gives way to a new one: it is reset, so that waiting
// out the others is no way to be let through unjudged.
bool PacketPathFlows::makeRoom() {
  if (unread_.empty()) return false;
  const ConnectionTuple oldest = unread_.front().tuple;
  host_.log().fault("🛑 {} connections in judgement — resetting the one to :{} silent the longest", maxConnections,
                    oldest.serverPort);
  forget(unread_.begin());
  path_.resetConnections(std::span(&oldest, 1));
  return true;
}

SegmentVerdict PacketPathFlows::overTheCap(const ConnectionTuple& tuple) {
  const bool strict = host_.strictModeActive();
  host_.log().fault("🛑 {} connections in judgement — {} this one to :{}", maxConnections,
                    strict ? "dropping the SYN of" : "carrying unjudged", tuple.serverPort);
  return strict ? SegmentVerdict::drop : carry(tuple, std::nullopt);
}

SegmentVerdict PacketPathFlows::carry(const ConnectionTuple& tuple, std::optional<std::string> host) {
  if (carried_.size() < maxCarried) {
    carried_.insert_or_assign(tuple, std::move(host));
  } else if (!carriedFullSaid_) {
    carriedFullSaid_ = true;
    host_.log().fault("🛑 {} open connections let through — later ones are not judged again at a new configuration",
                      maxCarried);
  }
  return SegmentVerdict::allow;
}

void PacketPathFlows::carriedConnectionEnded(const ConnectionTuple& tuple) {
  carried_.erase(tuple);
  followed_.erase(tuple);
}

void PacketPathFlows::judgeCarriedAgain() {
  if (!host_.strictModeActive()) forgetOtherPorts();
  std::vector<ConnectionTuple> closed;
  for (auto it = carried_.begin(); it != carried_.end();) {
    const auto& [tuple, host] = *it;
    const std::string portText = std::to_string(tuple.serverPort);
    if (!host_.closesNow(host, portText)) {
      ++it;
      continue;
    }
    if (host) {
      host_.log().log("🧹 Resetting connection to {}:{} carried by the kernel: closed now", *host, portText);
      host_.recordClosedNow(*host, portText);
    } else {
      host_.log().log("🔒 No hostname was read for open :{} flow — closed in strict mode", portText);
    }
    closed.push_back(tuple);
    followed_.erase(tuple);
    it = carried_.erase(it);
  }
  if (!closed.empty()) path_.resetConnections(closed);
  if (carried_.size() < maxCarried) carriedFullSaid_ = false;
}

SegmentVerdict PacketPathFlows::judgeFlight(Connections::iterator connection) {
  // The cap is the relay's; a longer prefix is kept only for following.
  const std::span<const std::uint8_t> prefix = connection->flight.prefix();
  const std::span<const std::uint8_t> bytes = prefix.first(std::min(prefix.size(), maxSniffBytes));
  if (connection->readAs.empty()) {
    switch (firstBytesKind(bytes, maxSniffBytes)) {
      case FirstBytesKind::undecided:
        return SegmentVerdict::pass;
      case FirstBytesKind::other:
        forget(connection);
        return SegmentVerdict::allow;
      case FirstBytesKind::tls:
        connection->readAs = tlsPortText;
        break;
      case FirstBytesKind::http:
        connection->readAs = httpPortText;
        break;
    }
    // The relay's time limit from now on.
    connection->timed = true;
    byDeadline_.splice(byDeadline_.end(), unread_, connection);
    refreshDeadline(connection);
    armTimeLimit();
  }
  HostExtraction extraction = inspectFirstBytes(bytes, connection->readAs);
  if (extraction.needsMoreData) return SegmentVerdict::pass;
  std::string portText = std::move(connection->portText);
  const bool followed = readsHTTP(connection->readAs);
  const ConnectionTuple tuple = connection->tuple;
  const FlowDecision decision = host_.decideFlow(extraction.host, portText, bytes.size());
  FirstFlight flight = std::move(connection->flight);
  forget(connection);
  if (!decision.closes()) {
    if (extraction.host && followed) {
      return startFollowing(tuple, std::move(flight), std::move(*extraction.host), std::move(portText));
    }
    return carry(tuple, std::move(extraction.host));
  }
  host_.reportBlocked(decision, extraction.host, portText);
  return SegmentVerdict::block;
}

SegmentVerdict PacketPathFlows::startFollowing(const ConnectionTuple& tuple, FirstFlight stream, std::string host,
                                               std::string portText) {
  if (followed_.size() >= maxFollowed) {
    const bool strict = host_.strictModeActive();
    if (!followedFullSaid_) {
      followedFullSaid_ = true;
      host_.log().fault("🛑 {} connections followed — {} new ones to :{}", maxFollowed,
                        strict ? "resetting" : "not judging the later requests of", portText);
    }
    return strict ? SegmentVerdict::block : carry(tuple, std::move(host));
  }
  followedFullSaid_ = false;
  carry(tuple, host);
  const auto followed = followed_.try_emplace(tuple, std::move(stream), std::move(host), std::move(portText)).first;
  const SegmentVerdict verdict = followRequests(followed);
  return verdict == SegmentVerdict::pass ? SegmentVerdict::follow : verdict;
}

// Framed as the relay frames them (frameRequests); then what was read is
// released, and once following has ended the kernel carries the rest alone.
SegmentVerdict PacketPathFlows::followRequests(FollowedConnections::iterator followed) {
  Followed& connection = followed->second;
  const std::span<const std::uint8_t> bytes = connection.stream.prefix();
  const auto body = static_cast<std::size_t>(std::min<std::uint64_t>(connection.requests.bodyLeft, bytes.size()));
  connection.requests.bodyLeft -= body;
  std::optional<std::size_t> framed = 0;
  if (connection.requests.bodyLeft == 0 && connection.follower.follows()) {
    framed = frameRequests(connection.follower, connection.requests, bytes.subspan(body), connection.host,
                           maxSniffBytes, [&](const std::optional<std::string>& host, std::size_t length) {
                             return closesRequest(followed, host, length);
                           });
  }
  if (!framed) return SegmentVerdict::block;
  if (!connection.follower.follows()) {
    followed_.erase(followed);
    return SegmentVerdict::allow;
  }
  connection.stream.release(body + *framed);
  return SegmentVerdict::pass;
}

// True when the request closes the connection, reported as the relay reports
// it; nothing is kept of it then.
bool PacketPathFlows::closesRequest(FollowedConnections::iterator followed, const std::optional<std::string>& host,
                                    std::size_t bytes) {
  const std::string portText = followed->second.portText;
  const FlowDecision decision = host_.decideFlow(host, portText, bytes);
  if (!decision.closes()) return false;
  host_.reportBlocked(decision, host, portText);
  carried_.erase(followed->first);
  followed_.erase(followed);
  return true;
}

void PacketPathFlows::refreshDeadline(Connections::iterator connection) {
  if (!connection->timed) return;
  connection->deadline = host_.time().now() + sniffReadTimeout;
  byDeadline_.splice(byDeadline_.end(), byDeadline_, connection);
}

void PacketPathFlows::forget(Connections::iterator connection) {
  byTuple_.erase(connection->tuple);
  (connection->timed ? byDeadline_ : unread_).erase(connection);
}

// Out of strict mode the platform holds other ports' segments no more: the
// kernel carries those connections.
void PacketPathFlows::forgetOtherPorts() {
  for (Connections* list : {&byDeadline_, &unread_}) {
    for (auto it = list->begin(); it != list->end();) {
      const auto next = std::next(it);
      if (it->tuple.serverPort != httpPort && it->tuple.serverPort != tlsPort) forget(it);
      it = next;
    }
  }
}

void PacketPathFlows::armTimeLimit() {
  if (timeLimit_ || byDeadline_.empty()) return;
  const double wait = std::max(0.0, byDeadline_.front().deadline - host_.time().now());
  timeLimit_ = host_.queue().schedule(wait, [this] {
    timeLimit_.reset();
    resetQuietConnections();
    armTimeLimit();
  });
}

void PacketPathFlows::resetQuietConnections() {
  const Instant now = host_.time().now();
  std::vector<ConnectionTuple> quiet;
  while (!byDeadline_.empty() && byDeadline_.front().deadline <= now) {
    logSniffTimedOut(host_.log(), byDeadline_.front().portText);
    quiet.push_back(byDeadline_.front().tuple);
    forget(byDeadline_.begin());
  }
  if (!quiet.empty()) path_.resetConnections(quiet);
}

}  // namespace vosk
