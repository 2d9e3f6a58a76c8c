#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "linux/failure.hpp"

struct mnl_socket;
struct nftnl_expr;
struct nftnl_rule;

namespace vosk::backend {

// How a rule reaches NFQUEUE: the native nft expression, or the xtables
// target through nft's compatibility layer on kernels without it.
enum class QueueExpression { native, compat };

// Probes with a dry run (nothing is committed) whether the kernel has the native one.
QueueExpression detectQueueExpression(std::uint16_t queueNumber);

// A rule of an inet table under construction; each call appends expressions.
// Comparisons use register 1; a flow key fills the registers from NFT_REG32_00.
class NftRule {
 public:
  NftRule(const std::string& table, const char* chain);
  nftnl_rule* get() const { return rule_.get(); }

  NftRule& nfproto(std::uint8_t family);
  NftRule& udpDestinationPort(std::uint16_t port);
  NftRule& udpSourcePort(std::uint16_t port);
  NftRule& tcpDestinationPort(std::uint16_t port);
  NftRule& tcp();  // any TCP segment
  // A packet of its connection's original direction: from the side that opened it.
  NftRule& originalDirection();
  // TCP with (flags & mask) == value.
  NftRule& tcpFlags(std::uint8_t mask, std::uint8_t value);
  // A TCP segment of exactly its headers, no payload: IPv4 with this header
  // length (in 32-bit words) or IPv6 without extension headers (ipv4Words 0),
  // and this TCP data offset.
  NftRule& tcpHeadersOnly(std::uint8_t ipv4Words, std::uint8_t tcpWords);
  // The interface the packet came in on (input) or goes out of, by name.
  NftRule& interfaceName(bool input, const std::string& name);
  // (network header bytes at offset) & mask != value; at most 16 bytes.
  NftRule& networkBytesDiffer(std::uint32_t offset, std::span<const std::uint8_t> mask,
                              std::span<const std::uint8_t> value);
  // (meta mark or ct mark) & bits == value, or != value
  NftRule& markBits(bool connectionMark, std::uint32_t bits, std::uint32_t value);
  NftRule& markBitsDiffer(bool connectionMark, std::uint32_t bits, std::uint32_t value);
  // ct mark = (ct mark & ~bits) | value, for a value within bits
  NftRule& setConnectionMarkBits(std::uint32_t bits, std::uint32_t value);
  NftRule& clearFromPacketMark(std::uint32_t bits);
  // Source address . source port . destination address, for a set lookup;
  // the addresses lie at addressOffset in the network header.
  NftRule& flowKey(std::uint32_t addressOffset, std::uint32_t addressLength);
  NftRule& inSet(const char* set, std::uint32_t setId);
  // Adds the flow key to the set, or restarts its timeout.
  NftRule& updateSet(const char* set, std::uint32_t setId);
  NftRule& reject();  // ICMP port unreachable
  NftRule& rejectWithReset();  // TCP only: a reset to the sender
  NftRule& accept();  // ends this table's chain for the packet, which goes on
  NftRule& drop();
  // Conntrack found the packet invalid (a bad checksum, out of the window,
  // acknowledging bytes never sent) and does not track it.
  NftRule& invalidForConntrack();
  // IPv4's TTL or IPv6's hop limit below `floor` raised to it, IPv4's header
  // checksum kept right; no verdict, the chain goes on.
  NftRule& raiseHopLimit(bool ipv6, std::uint8_t floor);
  NftRule& jump(const char* chain);
  // With bypass: packets pass while nobody listens on the queue.
  NftRule& queue(std::uint16_t number, QueueExpression expression);

 private:
  struct Deleter {
    void operator()(nftnl_rule* rule) const;
  };
  nftnl_expr* add(const char* name);
  void metaLoad(std::uint32_t key);
  void payloadLoad(std::uint32_t base, std::uint32_t offset, std::uint32_t length, std::uint32_t reg);
  NftRule& transportProtocol(std::uint8_t protocol);
  NftRule& verdict(std::int32_t code, const char* chain);
  NftRule& port(std::uint8_t protocol, std::uint32_t offset, std::uint16_t port);
  NftRule& compare(std::uint32_t op, const void* data, std::uint32_t length);
  void bitwise(std::span<const std::uint8_t> mask, std::span<const std::uint8_t> xorValue);
  void loadMark(bool connectionMark);
  NftRule& compareMarkBits(bool connectionMark, std::uint32_t bits, std::uint32_t op, std::uint32_t value);
  NftRule& storeMark(bool connectionMark);

  std::unique_ptr<nftnl_rule, Deleter> rule_;
};

struct NftBaseChain {
  // A chain no hook calls, only a jump.
  static constexpr std::uint32_t regular = ~std::uint32_t{0};

  const char* name;
  std::uint32_t hook;  // NF_INET_*, or regular
  std::int32_t priority;
};

// A set of flow keys whose members expire.
struct NftTimeoutSet {
  const char* name;
  std::uint32_t id;
  std::uint32_t keyType;
  std::uint32_t keyLength;
  std::uint32_t size;
  std::uint64_t timeoutMilliseconds;
};

// An inet table with the owner flag, made through libnftnl in one transaction
// (rules libnftables cannot express on kernels without the native queue
// expression). Ownership belongs to this object's netlink socket: the kernel
// deletes the table when it closes or the process dies, even on SIGKILL.
class NftOwnerTable {
 public:
  // The table in place, or null with `failure` saying why the kernel refused it.
  static std::unique_ptr<NftOwnerTable> create(const std::string& name, std::span<const NftBaseChain> chains,
                                               std::span<const NftTimeoutSet> sets, const std::vector<NftRule>& rules,
                                               Failure& failure);
  ~NftOwnerTable();
  NftOwnerTable(const NftOwnerTable&) = delete;
  NftOwnerTable& operator=(const NftOwnerTable&) = delete;

 private:
  explicit NftOwnerTable(mnl_socket* socket) : socket_(socket) {}

  mnl_socket* const socket_;
};

}  // namespace vosk::backend
