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
#include "policy/request_following.hpp"
#include "provider/constants.hpp"

namespace vosk {

// The connections judged in the packet path rather than carried: the client's
// segments are held there until the first bytes name a host, each gets its
// verdict here, and once the judge has decided the kernel carries the
// connection (or resets it) without asking again.
//  - The bytes judged are those FirstFlight lets through, in stream order.
//  - A connection whose client goes quiet for sniffReadTimeout before naming
//    a host is reset with the relay's line, as the relay closes such a flow.
//  - In strict mode the platform holds connections to every other port too:
//    their first bytes are read as on 443 when they are a TLS handshake, as
//    on 80 when they are an HTTP request, and not at all otherwise (the
//    kernel carries them from then on, never judged again). Until their first
//    bytes say which, no time limit runs: a server may speak first.
//  - At most maxConnections are judged at once. Over that a new connection is
//    carried unjudged, or, in strict mode, its SYN dropped (the client sends
//    it again), unless a connection to another port that has sent nothing
//    yet can give way: the one silent the longest is reset.
//  - A segment of a connection never seen from its SYN (begun before the
//    daemon came up) lets the kernel carry it: a restart cuts nothing open.
//  - The host of every connection let through is kept until the platform
//    reports its end (at most maxCarried), so that it can be judged again
//    under the switches and lists in force, as the relay's open flows are.
//  - On an HTTP connection (port 80; in strict mode HTTP on any other) whose
//    first request was allowed, the client's later requests are followed as
//    the relay follows them, each head judged when its last segment comes,
//    until following ends (then the kernel carries it alone). The bytes
//    judged are taken as in the first flight; those read are released, so a
//    connection between requests keeps no bytes.
// On the main queue, as are the judge's calls and the time limit.
class PacketPathFlows {
 public:
  static constexpr std::size_t maxConnections = 65536;
  // Beyond that many open connections let through, a new one is not judged again.
  static constexpr std::size_t maxCarried = 262144;
  // Beyond that many followed at once, a new one's later requests are not
  // judged (in strict mode, it is reset).
  static constexpr std::size_t maxFollowed = 65536;
  // A segment is never longer (a GSO one included): one arriving while a
  // request's head is not whole yet is taken whole.
  static constexpr std::size_t maxSegmentBytes = 65535;

  PacketPathFlows(FlowHost& host, PacketPath& path) : host_(host), path_(path) {}
  ~PacketPathFlows();
  PacketPathFlows(const PacketPathFlows&) = delete;
  PacketPathFlows& operator=(const PacketPathFlows&) = delete;

  // The verdict on one held packet (its IP header on): a client's segment.
  SegmentVerdict judgeSegment(std::span<const std::uint8_t> packet);
  std::size_t connectionsInJudgement() const { return byTuple_.size(); }

  // The kernel no longer tracks this connection let through.
  void carriedConnectionEnded(const ConnectionTuple& tuple);
  // Resets the connections let through that the switches and lists in force
  // now close: a host now blocked; in strict mode, no host read.
  void judgeCarriedAgain();
  std::size_t carriedConnections() const { return carried_.size(); }
  std::size_t followedConnections() const { return followed_.size(); }

 private:
  // One connection in judgement; the list keeps them in the order of their
  // deadlines, which is the order of their last byte taken.
  struct Connection {
    ConnectionTuple tuple;
    std::string portText;
    // The port text whose parser reads the bytes; empty until the first
    // bytes of a connection to another port say which.
    std::string readAs;
    FirstFlight flight{maxSniffBytes + maxSegmentBytes};
    Instant deadline;
    bool timed = true;  // in byDeadline_, else in unread_
  };
  using Connections = std::list<Connection>;

  // A connection whose requests are followed: its stream keeps the bytes of
  // a request head not whole yet.
  struct Followed {
    Followed(FirstFlight stream, std::string host, std::string portText)
        : stream(std::move(stream)), host(std::move(host)), portText(std::move(portText)) {}
    FirstFlight stream;
    const std::optional<std::string> host;  // the first request's: judged already
    const std::string portText;
    RequestFollower follower{true};
    FollowedRequests requests;
  };
  using FollowedConnections = std::unordered_map<ConnectionTuple, Followed, ConnectionTupleHash>;

  bool makeRoom();
  SegmentVerdict overTheCap(const ConnectionTuple& tuple);
  SegmentVerdict carry(const ConnectionTuple& tuple, std::optional<std::string> host);
  SegmentVerdict judgeFlight(Connections::iterator connection);
  SegmentVerdict startFollowing(const ConnectionTuple& tuple, FirstFlight stream, std::string host,
                                std::string portText);
  SegmentVerdict followRequests(FollowedConnections::iterator followed);
  bool closesRequest(FollowedConnections::iterator followed, const std::optional<std::string>& host,
                     std::size_t bytes);
  void refreshDeadline(Connections::iterator connection);
  void forgetOtherPorts();
  void forget(Connections::iterator connection);
  void armTimeLimit();
  void resetQuietConnections();

  FlowHost& host_;
  PacketPath& path_;
  Connections byDeadline_;
  Connections unread_;  // another port's, before its first bytes: no time limit
  std::unordered_map<ConnectionTuple, Connections::iterator, ConnectionTupleHash> byTuple_;
  std::shared_ptr<DelayedWork> timeLimit_;  // due at the first deadline, or later
  // The connections let through, with the host each named (none: unjudged or unreadable).
  std::unordered_map<ConnectionTuple, std::optional<std::string>, ConnectionTupleHash> carried_;
  bool carriedFullSaid_ = false;
  FollowedConnections followed_;
  bool followedFullSaid_ = false;
};

}  // namespace vosk
