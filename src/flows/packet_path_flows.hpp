#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "flows/flow_host.hpp"
#include "packet/first_flight.hpp"
#include "platform/packet_path.hpp"
#include "provider/constants.hpp"

namespace vosk {

// The connections judged in the packet path rather than carried: the client's
// segments are held there until the first bytes name a host, each gets its
// verdict here, and once the judge has decided the kernel carries the
// connection (or resets it) without asking again.
//  - The bytes judged are those FirstFlight lets through, in stream order.
//  - A connection whose client goes quiet for sniffReadTimeout before naming
//    a host is reset with the relay's line, as the relay closes such a flow.
//  - At most maxConnections are judged at once. Over that a new connection is
//    carried unjudged, or, in strict mode, its SYN dropped (the client sends
//    it again).
//  - A segment of a connection never seen from its SYN (begun before the
//    daemon came up) lets the kernel carry it: a restart cuts nothing open.
//  - The host of every connection let through is kept until the platform
//    reports its end (at most maxCarried), so that it can be judged again
//    under the switches and lists in force, as the relay's open flows are.
// On the main queue, as are the judge's calls and the time limit.
class PacketPathFlows {
 public:
  static constexpr std::size_t maxConnections = 65536;
  // Beyond that many open connections let through, a new one is not judged again.
  static constexpr std::size_t maxCarried = 262144;

  PacketPathFlows(FlowHost& host, PacketPath& path) : host_(host), path_(path) {}
  ~PacketPathFlows();
  PacketPathFlows(const PacketPathFlows&) = delete;
  PacketPathFlows& operator=(const PacketPathFlows&) = delete;

  // The verdict on one held packet (its IP header on): a client's segment.
  SegmentVerdict judgeSegment(std::span<const std::uint8_t> packet);
  std::size_t connectionsInJudgement() const { return byTuple_.size(); }

  // The kernel no longer tracks this connection let through.
  void carriedConnectionEnded(const ConnectionTuple& tuple) { carried_.erase(tuple); }
  // Resets the connections let through that the switches and lists in force
  // now close: a host now blocked; in strict mode, no host read.
  void judgeCarriedAgain();
  std::size_t carriedConnections() const { return carried_.size(); }

 private:
  // One connection in judgement; the list keeps them in the order of their
  // deadlines, which is the order of their last byte taken.
  struct Connection {
    ConnectionTuple tuple;
    std::string portText;
    FirstFlight flight{maxSniffBytes};
    Instant deadline;
  };
  using Connections = std::list<Connection>;


  SegmentVerdict overTheCap(const ConnectionTuple& tuple);
  SegmentVerdict carry(const ConnectionTuple& tuple, std::optional<std::string> host);
  SegmentVerdict judgeFlight(Connections::iterator connection);
  void refreshDeadline(Connections::iterator connection);
  void forget(Connections::iterator connection);
  void armTimeLimit();
  void resetQuietConnections();

  FlowHost& host_;
  PacketPath& path_;
  Connections byDeadline_;
  std::unordered_map<ConnectionTuple, Connections::iterator, ConnectionTupleHash> byTuple_;
  std::shared_ptr<DelayedWork> timeLimit_;  // due at the first deadline, or later
  // The connections let through, with the host each named (none: unjudged or unreadable).
  std::unordered_map<ConnectionTuple, std::optional<std::string>, ConnectionTupleHash> carried_;
  bool carriedFullSaid_ = false;
};

}  // namespace vosk
