#include "linux/tcp/packet_path_interception.hpp"

#include <linux/netfilter.h>

#include <optional>
#include <string>

#include "linux/nft/conntrack_ends.hpp"
#include "linux/nft/conntrack_marks.hpp"
#include "linux/tcp/local_sockets.hpp"
#include "linux/udp/nfqueue_listener.hpp"

namespace vosk::backend {
namespace {

constexpr const char* tableName = "vosk_filter_tcp";
constexpr std::int32_t queueChainPriority = 0;
// After the queue: reinjected packets carry their verdict's mark here.
constexpr std::int32_t verdictChainPriority = 10;
// The whole packet: the judge reads its segment's payload. An IPv4 or IPv6
// packet (without jumbograms) is never longer.
constexpr std::uint32_t copiedPacketBytes = 65535;
constexpr std::uint8_t tcpFin = 0x01, tcpSyn = 0x02, tcpReset = 0x04, tcpAck = 0x10;
// The IPv4 header without options, and the TCP data offsets there are (in 32-bit words).
constexpr std::uint8_t plainIpv4Words = 5;
constexpr std::uint8_t fewestTcpWords = 5, mostTcpWords = 15;

constexpr const char* loopback = "lo";
constexpr const char* queueChain = "queue";
constexpr const char* verdictChain = "verdict";
constexpr const char* judgeChain = "judge";
constexpr const char* followChain = "follow";
constexpr const char* resetChain = "reset";
constexpr const char* forwardJudgeChain = "forward_judge";
constexpr const char* forwardFollowChain = "forward_follow";
constexpr const char* forwardQueueChain = "forward_queue";
constexpr const char* forwardVerdictChain = "forward_verdict";

Failure interceptionFailure(const Failure& failure) {
  return Failure{"TCP packet path: " + failure.message(), {}};
}

// The rules of one path: the host's own connections, or those forwarded from
// one interface (from every one when none is given). With `everyPort`, the
// connections to every other port too, but the host's to itself. A forwarded
// segment conntrack finds invalid is dropped: it carries no ct mark to judge
// it by, and a server would most likely throw it away, so that bytes judged
// in it would not be the bytes the server reads (a decoy with a bad checksum,
// or out of the server's window).
void addRules(std::vector<NftRule>& rules, const PacketPathSettings& settings, std::uint32_t firewallMark,
              const std::vector<std::uint16_t>& ports, bool everyPort, bool forwarded, const std::string* interface) {
  const char* const queue = forwarded ? forwardQueueChain : queueChain;
  const char* const verdict = forwarded ? forwardVerdictChain : verdictChain;
  const std::string table(tableName);
  const auto held = [&](std::optional<std::uint16_t> port) {
    const auto start = [&] {
      NftRule rule(table, queue);
      if (interface) rule.interfaceName(true, *interface);
      if (port) return std::move(rule.tcpDestinationPort(*port));
      // Every port: the connections this side opened, not its answers to others'.
      return std::move(rule.tcp().originalDirection());
    };
    if (forwarded) rules.push_back(std::move(start().invalidForConntrack().drop()));
    // A SYN starts a connection unjudged, also on the addresses and ports of
    // one reset a moment ago, whose tracking the kernel takes over with its
    // mark: its SYN would meet the reset rule.
    rules.push_back(std::move(start()
                                  .tcpFlags(tcpSyn | tcpAck, tcpSyn)
                                  .markBitsDiffer(false, firewallMark, firewallMark)
                                  .setConnectionMarkBits(settings.verdictBits, 0)));
    for (const auto& [marked, chain] :
         {std::pair{std::uint32_t{0}, forwarded ? forwardJudgeChain : judgeChain},
          std::pair{settings.allowMark | settings.followMark, forwarded ? forwardFollowChain : followChain}}) {
      rules.push_back(std::move(start()
                                    .markBits(true, settings.verdictBits, marked)
                                    .markBitsDiffer(false, firewallMark, firewallMark)
                                    .jump(chain)));
    }
  };
  for (const std::uint16_t port : ports) held(port);
  if (everyPort) {
    if (!forwarded) rules.push_back(std::move(NftRule(table, queue).interfaceName(false, loopback).accept()));
    held(std::nullopt);
  }
  for (const std::uint32_t mark : {settings.allowMark, settings.allowMark | settings.followMark, settings.blockMark}) {
    rules.push_back(std::move(NftRule(table, verdict)
                                  .markBits(false, settings.verdictBits, mark)
                                  .setConnectionMarkBits(settings.verdictBits, mark)
                                  .clearFromPacketMark(settings.verdictBits)));
  }
  // Its own reset passes: caught here, it would leave the peer waiting.
  rules.push_back(std::move(
      NftRule(table, verdict).markBits(true, settings.judgedBits, settings.blockMark).tcpFlags(tcpReset, 0).rejectWithReset()));
}

// What a connection not judged yet sends (`judge`), and a followed one
// (`follow`): everything but a segment of headers alone goes to the queue.
// Such a segment (the handshake's ACK, a window update) carries no byte to
// judge, and keeping it in the kernel spares a trip through the queue per
// connection; one rule per header length, since nft cannot add the lengths,
// so that a segment with a single byte is queued. Before the verdict a SYN,
// FIN or RST is queued all the same: it opens or ends a judgement. A followed
// connection's end is reported by conntrack.
void addHeldRules(std::vector<NftRule>& rules, const PacketPathSettings& settings, QueueExpression expression,
                  const char* chain, std::uint8_t queuedFlags) {
  const std::string table(tableName);
  for (const std::uint8_t ipv4Words : {plainIpv4Words, std::uint8_t{0}}) {
    for (std::uint8_t tcpWords = fewestTcpWords; tcpWords <= mostTcpWords; ++tcpWords) {
      NftRule rule(table, chain);
      rule.tcpHeadersOnly(ipv4Words, tcpWords);
      if (queuedFlags != 0) rule.tcpFlags(queuedFlags, 0);
      rules.push_back(std::move(rule.accept()));
    }
  }
  rules.push_back(std::move(NftRule(table, chain).queue(settings.queueNumber, expression)));
}

// A forwarded segment held for judgement leaves with a TTL (hop limit) of at
// least this: one sent to expire on the way, after the filter has judged its
// bytes, would let the client send others in their place.
constexpr std::uint8_t forwardedHopLimitFloor = 64;

void addForwardedHeldRules(std::vector<NftRule>& rules, const char* chain, const char* held) {
  const std::string table(tableName);
  for (const bool ipv6 : {false, true}) {
    rules.push_back(std::move(NftRule(table, chain).raiseHopLimit(ipv6, forwardedHopLimitFloor)));
  }
  rules.push_back(std::move(NftRule(table, chain).jump(held)));
}

std::vector<NftRule> rules(const PacketPathSettings& settings, std::uint32_t firewallMark, QueueExpression expression,
                           const std::vector<std::uint16_t>& ports, bool everyPort,
                           const ForwardedInterfaces& forwarded) {
  std::vector<NftRule> rules;
  addHeldRules(rules, settings, expression, judgeChain, tcpSyn | tcpFin | tcpReset);
  addHeldRules(rules, settings, expression, followChain, 0);
  addRules(rules, settings, firewallMark, ports, everyPort, false, nullptr);
  rules.push_back(std::move(NftRule(std::string(tableName), resetChain)
                                .markBits(true, settings.judgedBits, settings.blockMark)
                                .tcpFlags(tcpReset, 0)
                                .rejectWithReset()));
  if (forwarded.any()) {
    addForwardedHeldRules(rules, forwardJudgeChain, judgeChain);
    addForwardedHeldRules(rules, forwardFollowChain, followChain);
  }
  for (const std::string* interface : forwarded.matches()) {
    addRules(rules, settings, firewallMark, ports, everyPort, true, interface);
  }
  return rules;
}

std::vector<NftBaseChain> chains(const ForwardedInterfaces& forwarded) {
  std::vector<NftBaseChain> chains{{judgeChain, NftBaseChain::regular, 0},
                                   {followChain, NftBaseChain::regular, 0},
                                   {queueChain, NF_INET_LOCAL_OUT, queueChainPriority},
                                   {verdictChain, NF_INET_LOCAL_OUT, verdictChainPriority},
                                   {resetChain, NF_INET_LOCAL_IN, queueChainPriority}};
  if (forwarded.any()) {
    chains.push_back({forwardJudgeChain, NftBaseChain::regular, 0});
    chains.push_back({forwardFollowChain, NftBaseChain::regular, 0});
    chains.push_back({forwardQueueChain, NF_INET_FORWARD, queueChainPriority});
    chains.push_back({forwardVerdictChain, NF_INET_FORWARD, verdictChainPriority});
  }
  return chains;
}

}  // namespace

PacketPathInterception::PacketPathInterception(asio::io_context& context, const PacketPathSettings& settings,
                                               std::uint32_t firewallMark, Logger logger, Judge judge, Ended ended)
    : context_(context),
      settings_(settings),
      firewallMark_(firewallMark),
      logger_(std::move(logger)),
      judge_(std::move(judge)),
      ended_(std::move(ended)) {}

PacketPathInterception::~PacketPathInterception() = default;

Failure PacketPathInterception::apply(const std::vector<std::uint16_t>& ports, const ForwardedInterfaces& forwarded,
                                      bool strict) {
  if (ports.empty() && !listener_) return {};
  if (!listener_) {
    // Listening first: the rule then finds its queue served from the first packet on.
    if (Failure failure = open()) return interceptionFailure(failure);
  }
  listener_->setFailOpen(!strict);
  // Strict mode reads the first bytes of connections to every port.
  const bool everyPort = strict && !ports.empty();
  if (table_ && ports == ports_ && everyPort == everyPort_ && forwarded == forwarded_) return {};
  // One name, one owner: the old table goes before the new one comes.
  table_.reset();
  Failure failure;
  table_ = NftOwnerTable::create(tableName, chains(forwarded), {},
                                 rules(settings_, firewallMark_, expression_, ports, everyPort, forwarded), failure);
  if (!table_) return interceptionFailure(failure);
  ports_ = ports;
  everyPort_ = everyPort;
  forwarded_ = forwarded;
  return {};
}

Failure PacketPathInterception::open() {
  Failure failure;
  marks_ = ConntrackMarks::open(failure);
  if (!marks_) return failure;
  sockets_ = LocalSockets::open(failure);
  if (!sockets_) return failure;
  ends_ = ConntrackEnds::open(context_, settings_.judgedBits, settings_.allowMark, logger_, failure);
  if (!ends_) return failure;
  ends_->start(ended_, [logger = logger_] {
    logger.log("⚠️ conntrack dropped the ends of some connections let through: their hosts stay kept until the "
               "daemon restarts");
  });
  auto listener = NfqueueListener::open(context_, settings_.queueNumber, copiedPacketBytes, logger_, failure);
  if (!listener) return failure;
  expression_ = detectQueueExpression(settings_.queueNumber);
  listener->start([this](const HeldPacket& packet) { deliver(packet.id, packet.mark, judge_(packet.bytes)); });
  listener_ = std::move(listener);
  logger_.log("✅ TCP first flights are judged in the packet path through NFQUEUE {} ({} queue rule)",
              settings_.queueNumber, expression_ == QueueExpression::native ? "native" : "compatibility");
  return {};
}

void PacketPathInterception::deliver(std::uint32_t id, std::uint32_t mark, SegmentVerdict verdict) {
  switch (verdict) {
    case SegmentVerdict::pass:
      return listener_->accept(id, mark);
    case SegmentVerdict::drop:
      return listener_->drop(id);
    case SegmentVerdict::allow:
      return listener_->accept(id, mark | settings_.allowMark);
    case SegmentVerdict::follow:
      return listener_->accept(id, mark | settings_.allowMark | settings_.followMark);
    case SegmentVerdict::block:
      return listener_->accept(id, mark | settings_.blockMark);
  }
}

void PacketPathInterception::resetConnections(std::span<const ConnectionTuple> connections) {
  if (!marks_) return;
  for (const ConnectionTuple& connection : connections) {
    if (Failure failure = marks_->setMarkBits(connection, settings_.verdictBits, settings_.blockMark)) {
      logger_.log("⚠️ cannot reset a connection to :{}: {}", connection.serverPort, failure.message());
      continue;
    }
    if (!sockets_) continue;
    if (Failure failure = sockets_->destroy(connection)) {
      // Without the kernel's support no later call would do better.
      if (failure.code == std::errc::operation_not_supported) sockets_.reset();
      logger_.log("⚠️ cannot end a local connection to :{} at once: {}; it is reset at its next packet",
                  connection.serverPort, failure.message());
    }
  }
}

void PacketPathInterception::remove() {
  table_.reset();
  listener_.reset();
  marks_.reset();
  sockets_.reset();
  ends_.reset();
  ports_.clear();
  everyPort_ = false;
  forwarded_ = {};
}

}  // namespace vosk::backend
