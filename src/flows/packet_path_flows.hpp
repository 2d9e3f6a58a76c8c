#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
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
// On the main queue, as are the judge's calls and the time limit.
class PacketPathFlows {
 public:
  static constexpr std::size_t maxConnections = 65536;

  PacketPathFlows(FlowHost& host, PacketPath& path) : host_(host), path_(path) {}
  ~PacketPathFlows();
  PacketPathFlows(const PacketPathFlows&) = delete;
  PacketPathFlows& operator=(const PacketPathFlows&) = delete;

  // The verdict on one held packet (its IP header on): a client's segment.
  SegmentVerdict judgeSegment(std::span<const std::uint8_t> packet);
  std::size_t connectionsInJudgement() const { return byTuple_.size(); }

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

  SegmentVerdict overTheCap(std::uint16_t serverPort);
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
};

}  // namespace vosk
