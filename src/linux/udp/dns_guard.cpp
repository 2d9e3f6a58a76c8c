#include "linux/udp/dns_guard.hpp"

#include <linux/netfilter.h>

#include <array>
#include <string>
#include <vector>

#include "dns/dns_rewrite.hpp"

namespace vosk::backend {
namespace {

constexpr std::uint16_t dnsPort = 53;
// The largest IP packet: the whole answer is needed to rewrite it.
constexpr std::uint32_t copiedPacketBytes = 65535;
constexpr std::int32_t answerChainPriority = 0;
constexpr const char* answerChain = "answers";
constexpr const char* forwardedAnswerChain = "forwarded_answers";

constexpr std::uint32_t ipv4SourceOffset = 12;
constexpr std::uint32_t ipv6SourceOffset = 8;
constexpr std::array<std::uint8_t, 1> ipv4LoopbackMask{0xFF};  // 127.0.0.0/8
constexpr std::array<std::uint8_t, 1> ipv4Loopback{127};
constexpr std::array<std::uint8_t, 16> ipv6LoopbackMask{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::array<std::uint8_t, 16> ipv6Loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

std::unique_ptr<NftOwnerTable> makeTable(QueueExpression expression, const ForwardedInterfaces& forwarded,
                                         Failure& failure) {
  const std::string table(DnsGuard::tableName);
  std::vector<NftRule> rules;
  rules.push_back(std::move(NftRule(table, answerChain)
                                .nfproto(NFPROTO_IPV4)
                                .udpSourcePort(dnsPort)
                                .networkBytesDiffer(ipv4SourceOffset, ipv4LoopbackMask, ipv4Loopback)
                                .queue(DnsGuard::queueNumber, expression)));
  rules.push_back(std::move(NftRule(table, answerChain)
                                .nfproto(NFPROTO_IPV6)
                                .udpSourcePort(dnsPort)
                                .networkBytesDiffer(ipv6SourceOffset, ipv6LoopbackMask, ipv6Loopback)
                                .queue(DnsGuard::queueNumber, expression)));
  for (const std::string* interface : forwarded.matches()) {
    NftRule rule(table, forwardedAnswerChain);
    if (interface) rule.interfaceName(false, *interface);
    rules.push_back(std::move(rule.udpSourcePort(dnsPort).queue(DnsGuard::queueNumber, expression)));
  }
  std::vector<NftBaseChain> chains{{answerChain, NF_INET_LOCAL_IN, answerChainPriority}};
  if (forwarded.any()) chains.push_back({forwardedAnswerChain, NF_INET_FORWARD, answerChainPriority});
  return NftOwnerTable::create(table, chains, std::span<const NftTimeoutSet>(), rules, failure);
}

}  // namespace

void DnsGuard::apply(bool on, const ForwardedInterfaces& forwarded, dns::BlockedName blockedNames) {
  if (blockedNames) blockedNames_ = std::move(blockedNames);
  if (on == (table_ != nullptr) && (!on || forwarded == forwarded_)) return;
  if (on && listener_) {
    // Other forwarded interfaces: the same listener, the table made again.
    table_.reset();
    Failure failure;
    table_ = makeTable(expression_, forwarded, failure);
    if (failure) {
      listener_.reset();
      logger_.log("❌ DNS guard: {}; DNS answers pass untouched", failure.message());
      return;
    }
    forwarded_ = forwarded;
    return;
  }
  if (!on) {
    table_.reset();
    listener_.reset();
    logger_.log("✅ DNS guard off: DNS answers pass untouched");
    return;
  }
  // Listening first: the rule then finds its queue served from the first packet on.
  Failure failure;
  auto listener = NfqueueListener::open(context_, queueNumber, copiedPacketBytes, logger_, failure);
  const QueueExpression expression = detectQueueExpression(queueNumber);
  if (!failure) table_ = makeTable(expression, forwarded, failure);
  if (failure) {
    logger_.log("❌ DNS guard: {}; DNS answers pass untouched", failure.message());
    return;
  }
  expression_ = expression;
  forwarded_ = forwarded;
  // The handler runs only while listener_ lives, so within this guard.
  listener->start([this, listener = listener.get()](const HeldPacket& packet) {
    const auto rewritten = dns::rewriteDnsPacket(packet.bytes, blockedNames_);
    listener->accept(packet.id, packet.mark, rewritten ? std::span<const std::uint8_t>(*rewritten)
                                                       : std::span<const std::uint8_t>());
  });
  listener_ = std::move(listener);
  logger_.log("✅ DNS guard on: UDP answers from port 53 go through NFQUEUE {} ({} queue rule), ech removed, "
              "blocked names NXDOMAIN",
              queueNumber, expression == QueueExpression::native ? "native" : "compatibility");
}

}  // namespace vosk::backend
