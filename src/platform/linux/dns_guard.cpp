#include "platform/linux/dns_guard.hpp"

#include <linux/netfilter.h>

#include <array>
#include <string>
#include <system_error>
#include <vector>

#include "dns/dns_rewrite.hpp"

namespace vosk::backend {
namespace {

constexpr std::uint16_t dnsPort = 53;
// The largest IP packet: the whole answer is needed to rewrite it.
constexpr std::uint32_t copiedPacketBytes = 65535;
constexpr std::int32_t answerChainPriority = 0;
constexpr const char* answerChain = "answers";

constexpr std::uint32_t ipv4SourceOffset = 12;
constexpr std::uint32_t ipv6SourceOffset = 8;
constexpr std::array<std::uint8_t, 1> ipv4LoopbackMask{0xFF};  // 127.0.0.0/8
constexpr std::array<std::uint8_t, 1> ipv4Loopback{127};
constexpr std::array<std::uint8_t, 16> ipv6LoopbackMask{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::array<std::uint8_t, 16> ipv6Loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

std::unique_ptr<NftOwnerTable> makeTable(QueueExpression expression) {
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
  const std::array chains{NftBaseChain{answerChain, NF_INET_LOCAL_IN, answerChainPriority}};
  return std::make_unique<NftOwnerTable>(table, chains, std::span<const NftTimeoutSet>(), rules);
}

}  // namespace

void DnsGuard::apply(bool on) {
  if (on == (table_ != nullptr)) return;
  if (!on) {
    table_.reset();
    listener_.reset();
    logger_.log("✅ DNS guard off: DNS answers pass untouched");
    return;
  }
  try {
    // Listening first: the rule then finds its queue served from the first packet on.
    auto listener = std::make_shared<NfqueueListener>(context_, queueNumber, copiedPacketBytes, logger_);
    const QueueExpression expression = detectQueueExpression(queueNumber);
    table_ = makeTable(expression);
    listener->start([listener = listener.get()](const HeldPacket& packet) {
      const auto rewritten = dns::rewriteDnsPacket(packet.bytes);
      listener->accept(packet.id, packet.mark, rewritten ? std::span<const std::uint8_t>(*rewritten)
                                                         : std::span<const std::uint8_t>());
    });
    listener_ = std::move(listener);
    logger_.log("✅ DNS guard on: UDP answers from port 53 go through NFQUEUE {} ({} queue rule), ech removed",
                queueNumber, expression == QueueExpression::native ? "native" : "compatibility");
  } catch (const std::system_error& error) {
    logger_.log("❌ DNS guard: {}; DNS answers pass untouched", error.what());
  }
}

}  // namespace vosk::backend
