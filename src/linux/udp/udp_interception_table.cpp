#include "linux/udp/udp_interception_table.hpp"

#include <linux/netfilter.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vosk::backend {
namespace {

constexpr std::uint16_t quicPort = 443;
constexpr std::int32_t queueChainPriority = 0;
// After the queue: reinjected packets carry their verdict's mark here.
constexpr std::int32_t verdictChainPriority = 10;
constexpr std::uint32_t refusedFlowSetSize = 65536;

// nft's type numbers, for listing the sets' keys readably.
constexpr std::uint32_t ipv4AddressType = 7;
constexpr std::uint32_t ipv6AddressType = 8;
constexpr std::uint32_t inetServiceType = 13;
constexpr std::uint32_t concatTypeBits = 6;

constexpr const char* queueChain = "queue";
constexpr const char* verdictChain = "verdict";

// One address family of the refused-flow memory: the set and where its key
// (source address . source port . destination address) lies in the packet.
struct RefusedFlows {
  const char* setName;
  std::uint32_t setId;
  std::uint8_t nfproto;
  std::uint32_t addressType;
  std::uint32_t addressOffset;  // of the source; the destination follows it
  std::uint32_t addressLength;

  NftTimeoutSet set() const {
    const std::uint32_t keyType =
        (((addressType << concatTypeBits) | inetServiceType) << concatTypeBits) | addressType;
    // Each field of a concatenation takes whole 32-bit registers.
    const std::uint32_t keyLength = addressLength + 4 + addressLength;
    return {setName, setId, keyType, keyLength, refusedFlowSetSize,
            std::uint64_t{UdpInterceptionTable::refusedFlowMemorySeconds} * 1000};
  }
};

constexpr RefusedFlows refusedIpv4{"refused4", 1, NFPROTO_IPV4, ipv4AddressType, 12, 4};
constexpr RefusedFlows refusedIpv6{"refused6", 2, NFPROTO_IPV6, ipv6AddressType, 8, 16};

constexpr const char* forwardQueueChain = "forward_queue";
constexpr const char* forwardVerdictChain = "forward_verdict";

// The rules of one path: the host's own packets, or those forwarded from
// one interface (from every one when none is given).
void addRules(std::vector<NftRule>& rules, const UdpQueueSettings& settings, QueueExpression queueExpression,
              std::uint32_t passedMark, const char* queue, const char* verdict, const std::string* interface) {
  const std::string table(UdpInterceptionTable::tableName);
  const auto queueRule = [&] {
    NftRule rule(table, queue);
    if (interface) rule.interfaceName(true, *interface);
    return rule;
  };
  for (const RefusedFlows* family : {&refusedIpv4, &refusedIpv6}) {
    rules.push_back(std::move(queueRule()
                                  .nfproto(family->nfproto)
                                  .udpDestinationPort(quicPort)
                                  .flowKey(family->addressOffset, family->addressLength)
                                  .inSet(family->setName, family->setId)
                                  .reject()));
  }
  rules.push_back(std::move(queueRule()
                                .udpDestinationPort(quicPort)
                                .markBitsDiffer(true, settings.passedBits, passedMark)
                                .queue(settings.queueNumber, queueExpression)));
  rules.push_back(std::move(NftRule(table, verdict)
                                .markBits(false, settings.declineMark, settings.declineMark)
                                .udpDestinationPort(quicPort)
                                .setConnectionMarkBits(settings.passedBits, passedMark)
                                .clearFromPacketMark(settings.declineMark)));
  for (const RefusedFlows* family : {&refusedIpv4, &refusedIpv6}) {
    rules.push_back(std::move(NftRule(table, verdict)
                                  .markBits(false, settings.refuseMark, settings.refuseMark)
                                  .nfproto(family->nfproto)
                                  .udpDestinationPort(quicPort)
                                  .flowKey(family->addressOffset, family->addressLength)
                                  .updateSet(family->setName, family->setId)
                                  .reject()));
  }
}

std::vector<NftRule> rules(const UdpQueueSettings& settings, QueueExpression queueExpression,
                           const ForwardedInterfaces& forwarded, std::uint32_t passedMark) {
  std::vector<NftRule> rules;
  addRules(rules, settings, queueExpression, passedMark, queueChain, verdictChain, nullptr);
  for (const std::string* interface : forwarded.matches()) {
    addRules(rules, settings, queueExpression, passedMark, forwardQueueChain, forwardVerdictChain, interface);
  }
  return rules;
}

std::vector<NftBaseChain> chains(const ForwardedInterfaces& forwarded) {
  std::vector<NftBaseChain> chains{{queueChain, NF_INET_LOCAL_OUT, queueChainPriority},
                                   {verdictChain, NF_INET_LOCAL_OUT, verdictChainPriority}};
  if (forwarded.any()) {
    chains.push_back({forwardQueueChain, NF_INET_FORWARD, queueChainPriority});
    chains.push_back({forwardVerdictChain, NF_INET_FORWARD, verdictChainPriority});
  }
  return chains;
}

}  // namespace

std::unique_ptr<UdpInterceptionTable> UdpInterceptionTable::create(const UdpQueueSettings& settings,
                                                                   QueueExpression queueExpression,
                                                                   const ForwardedInterfaces& forwarded,
                                                                   std::uint32_t passedMark, Failure& failure) {
  auto table = NftOwnerTable::create(std::string(tableName), chains(forwarded),
                                     std::vector<NftTimeoutSet>{refusedIpv4.set(), refusedIpv6.set()},
                                     rules(settings, queueExpression, forwarded, passedMark), failure);
  if (!table) return nullptr;
  return std::unique_ptr<UdpInterceptionTable>(new UdpInterceptionTable(std::move(table)));
}

}  // namespace vosk::backend
