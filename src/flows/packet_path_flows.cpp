#include "flows/packet_path_flows.hpp"

#include <algorithm>
#include <vector>

#include "packet/tcp_segment.hpp"

namespace vosk {

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
  if (segment->flags & TCPSegment::rst) {
    if (found != byTuple_.end()) forget(found->second);
    return SegmentVerdict::pass;
  }
  if (segment->flags & TCPSegment::syn) {
    if (found == byTuple_.end()) {
      if (byTuple_.size() >= maxConnections) return overTheCap(tuple);
      byDeadline_.push_back(Connection{tuple, std::to_string(segment->destinationPort), FirstFlight(maxSniffBytes),
                                       host_.time().now() + sniffReadTimeout});
      found = byTuple_.emplace(tuple, std::prev(byDeadline_.end())).first;
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

void PacketPathFlows::judgeCarriedAgain() {
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
    } else {
      host_.log().log("🔒 No hostname was read for open :{} flow — closed in strict mode", portText);
    }
    closed.push_back(tuple);
    it = carried_.erase(it);
  }
  if (!closed.empty()) path_.resetConnections(closed);
  if (carried_.size() < maxCarried) carriedFullSaid_ = false;
}

SegmentVerdict PacketPathFlows::judgeFlight(Connections::iterator connection) {
  const std::span<const std::uint8_t> bytes = connection->flight.prefix();
  HostExtraction extraction = inspectFirstBytes(bytes, connection->portText);
  if (extraction.needsMoreData) return SegmentVerdict::pass;
  const std::string portText = std::move(connection->portText);
  const ConnectionTuple tuple = connection->tuple;
  const FlowDecision decision = host_.decideFlow(extraction.host, portText, bytes.size());
  forget(connection);
  if (!decision.closes()) return carry(tuple, std::move(extraction.host));
  host_.reportBlocked(decision, extraction.host, portText);
  return SegmentVerdict::block;
}

void PacketPathFlows::refreshDeadline(Connections::iterator connection) {
  connection->deadline = host_.time().now() + sniffReadTimeout;
  byDeadline_.splice(byDeadline_.end(), byDeadline_, connection);
}

void PacketPathFlows::forget(Connections::iterator connection) {
  byTuple_.erase(connection->tuple);
  byDeadline_.erase(connection);
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
