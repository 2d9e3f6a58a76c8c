#pragma once

#include <asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "linux/failure.hpp"
#include "linux/nft/forwarded_interfaces.hpp"
#include "linux/nft/nftnl_owner_table.hpp"
#include "platform/logger.hpp"
#include "platform/packet_path.hpp"

namespace vosk::backend {

class ConntrackEnds;
class ConntrackMarks;
class LocalSockets;
class NfqueueListener;

// The NFQUEUE number and the mark bits by which the packet path's verdicts
// speak to its rules: the verdict sets allowMark, allowMark | followMark or
// blockMark on the accepted segment, and the table records it in the same
// bits of the ct mark, where the queue rules and the reset rules read it.
// Apart from the UDP table's bits and the daemon's own firewall mark.
struct PacketPathSettings {
  std::uint16_t queueNumber = 7080;
  std::uint32_t allowMark = 0x00100000;   // the kernel carries the connection
  std::uint32_t blockMark = 0x00200000;   // the connection is reset both ways
  std::uint32_t followMark = 0x00400000;  // with allowMark: its requests are followed
  std::uint32_t judgedBits = allowMark | blockMark;
  std::uint32_t verdictBits = allowMark | blockMark | followMark;
};

// The kernel engine made real: an owner table that holds the client's
// segments of new TCP connections to the judged ports in NFQUEUE until the
// judge has decided, the queue listener that asks the judge, and the resets
// of connections the judge ends later. On the event loop of `context`.
//   queue chain (output, priority 0):
//     TCP to a judged port, ct mark not judged, not the daemon's own → NFQUEUE (bypassed when nobody listens)
//     the same, ct mark followed → NFQUEUE, segments of headers alone excepted
//     in strict mode, the same for TCP to every port, out of lo excepted
//   verdict chain (output, priority 10):
//     allowMark / allowMark | followMark / blockMark → recorded in the ct mark, cleared from the packet
//     ct mark blocked, no RST → reject with a reset
//   reset chain (input): ct mark blocked, no RST → reject with a reset
// A connection reset later (by the time limit, or judged again) is reset at
// its next packet, and a local client's socket is ended at once.
// The queue and verdict chains also on the forward hook, for connections
// arriving on the forwarded interfaces, with the reset rule for both
// directions; there a segment conntrack finds invalid is dropped, and a held
// one leaves with a TTL (hop limit) of at least 64.
class PacketPathInterception final : public PacketPath {
 public:
  using Judge = std::function<SegmentVerdict(std::span<const std::uint8_t> packet)>;
  using Ended = std::function<void(const ConnectionTuple& connection)>;

  // `ended`: a connection let through is no longer tracked.
  PacketPathInterception(asio::io_context& context, const PacketPathSettings& settings, std::uint32_t firewallMark,
                         Logger logger, Judge judge, Ended ended);
  ~PacketPathInterception() override;

  // Judges new connections to `ports` from now on, the host's own and those
  // forwarded from `forwarded`. With no ports, nothing more is queued; once
  // the engine has been used the reset rules stay, for the connections it
  // let through while they are judged again. In strict mode a segment that
  // finds the queue full is dropped (the client sends it again) rather than
  // passed unjudged, and the first bytes of connections to every other port
  // are read too (the host's own to itself excepted).
  Failure apply(const std::vector<std::uint16_t>& ports, const ForwardedInterfaces& forwarded, bool strict);
  void remove();

  void resetConnections(std::span<const ConnectionTuple> connections) override;

 private:
  Failure open();
  void deliver(std::uint32_t id, std::uint32_t mark, SegmentVerdict verdict);

  asio::io_context& context_;
  const PacketPathSettings settings_;
  const std::uint32_t firewallMark_;
  const Logger logger_;
  const Judge judge_;
  const Ended ended_;

  std::shared_ptr<NfqueueListener> listener_;
  std::unique_ptr<ConntrackMarks> marks_;
  std::unique_ptr<LocalSockets> sockets_;  // none once the kernel said it cannot
  std::shared_ptr<ConntrackEnds> ends_;
  std::unique_ptr<NftOwnerTable> table_;
  QueueExpression expression_ = QueueExpression::native;
  // Those of table_.
  std::vector<std::uint16_t> ports_;
  bool everyPort_ = false;
  ForwardedInterfaces forwarded_;
};

}  // namespace vosk::backend
