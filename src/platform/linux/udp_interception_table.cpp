#include "platform/linux/udp_interception_table.hpp"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnftnl/chain.h>
#include <libnftnl/common.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <libnftnl/set.h>
#include <libnftnl/table.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/xt_NFQUEUE.h>
#include <netinet/in.h>
#include <nftables/libnftables.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace vosk::backend {
namespace {

constexpr std::uint16_t quicPort = 443;
constexpr std::int32_t queueChainPriority = 0;
// After the queue: reinjected packets carry their verdict's mark here.
constexpr std::int32_t verdictChainPriority = 10;
constexpr std::uint32_t refusedFlowSetSize = 65536;
constexpr std::size_t batchBufferBytes = 64 * 1024;
constexpr std::size_t answerBufferBytes = 8192;
constexpr std::uint32_t nfqueueTargetRevision = 3;

// nft's type numbers, for listing the sets' keys readably.
constexpr std::uint32_t ipv4AddressType = 7;
constexpr std::uint32_t ipv6AddressType = 8;
constexpr std::uint32_t inetServiceType = 13;
constexpr std::uint32_t concatTypeBits = 6;

constexpr const char* queueChain = "queue";
constexpr const char* verdictChain = "verdict";

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// One address family of the refused-flow memory: the set and where its key
// (source address . source port . destination address) lies in the packet.
struct RefusedFlows {
  const char* setName;
  std::uint32_t setId;
  std::uint8_t nfproto;
  std::uint32_t addressType;
  std::uint32_t addressOffset;  // of the source; the destination follows it
  std::uint32_t addressLength;

  std::uint32_t keyType() const {
    return (((addressType << concatTypeBits) | inetServiceType) << concatTypeBits) | addressType;
  }
  // Each field of a concatenation takes whole 32-bit registers.
  std::uint32_t keyLength() const { return addressLength + 4 + addressLength; }
};

constexpr RefusedFlows refusedIpv4{"refused4", 1, NFPROTO_IPV4, ipv4AddressType, 12, 4};
constexpr RefusedFlows refusedIpv6{"refused6", 2, NFPROTO_IPV6, ipv6AddressType, 8, 16};

struct RuleDeleter {
  void operator()(nftnl_rule* rule) const { nftnl_rule_free(rule); }
};

// A rule under construction; each helper appends expressions.
class Rule {
 public:
  explicit Rule(const char* chain) : rule_(nftnl_rule_alloc()) {
    nftnl_rule_set_u32(rule_.get(), NFTNL_RULE_FAMILY, NFPROTO_INET);
    nftnl_rule_set_str(rule_.get(), NFTNL_RULE_TABLE, std::string(UdpInterceptionTable::tableName).c_str());
    nftnl_rule_set_str(rule_.get(), NFTNL_RULE_CHAIN, chain);
  }
  nftnl_rule* get() const { return rule_.get(); }

  Rule& nfproto(std::uint8_t family) {
    metaLoad(NFT_META_NFPROTO, NFT_REG_1);
    return equals(&family, sizeof family);
  }
  Rule& udpToQuicPort() {
    const std::uint8_t udp = IPPROTO_UDP;
    metaLoad(NFT_META_L4PROTO, NFT_REG_1);
    equals(&udp, sizeof udp);
    const std::uint16_t port = htons(quicPort);
    payloadLoad(NFT_PAYLOAD_TRANSPORT_HEADER, 2, sizeof port, NFT_REG_1);
    return equals(&port, sizeof port);
  }
  // (meta mark or ct mark) & bits == value
  Rule& markBits(bool connectionMark, std::uint32_t bits, std::uint32_t value) {
    loadMark(connectionMark);
    bitwise(bits, 0);
    return equals(&value, sizeof value);
  }
  Rule& addToConnectionMark(std::uint32_t bits) {
    loadMark(true);
    bitwise(~bits, bits);
    return storeMark(true);
  }
  Rule& clearFromPacketMark(std::uint32_t bits) {
    loadMark(false);
    bitwise(~bits, 0);
    return storeMark(false);
  }
  // Loads the family's flow key into the registers from NFT_REG32_00 on.
  Rule& flowKey(const RefusedFlows& family) {
    std::uint32_t reg = NFT_REG32_00;
    payloadLoad(NFT_PAYLOAD_NETWORK_HEADER, family.addressOffset, family.addressLength, reg);
    reg += family.addressLength / 4;
    payloadLoad(NFT_PAYLOAD_TRANSPORT_HEADER, 0, 2, reg++);
    payloadLoad(NFT_PAYLOAD_NETWORK_HEADER, family.addressOffset + family.addressLength, family.addressLength, reg);
    return *this;
  }
  Rule& inSet(const RefusedFlows& family) {
    nftnl_expr* lookup = add("lookup");
    nftnl_expr_set_u32(lookup, NFTNL_EXPR_LOOKUP_SREG, NFT_REG32_00);
    nftnl_expr_set_str(lookup, NFTNL_EXPR_LOOKUP_SET, family.setName);
    nftnl_expr_set_u32(lookup, NFTNL_EXPR_LOOKUP_SET_ID, family.setId);
    return *this;
  }
  // Adds the key, or restarts its timeout.
  Rule& updateSet(const RefusedFlows& family) {
    nftnl_expr* dynset = add("dynset");
    nftnl_expr_set_u32(dynset, NFTNL_EXPR_DYNSET_SREG_KEY, NFT_REG32_00);
    nftnl_expr_set_u32(dynset, NFTNL_EXPR_DYNSET_OP, NFT_DYNSET_OP_UPDATE);
    nftnl_expr_set_str(dynset, NFTNL_EXPR_DYNSET_SET_NAME, family.setName);
    nftnl_expr_set_u32(dynset, NFTNL_EXPR_DYNSET_SET_ID, family.setId);
    return *this;
  }
  Rule& reject() {
    nftnl_expr* reject = add("reject");
    nftnl_expr_set_u32(reject, NFTNL_EXPR_REJECT_TYPE, NFT_REJECT_ICMPX_UNREACH);
    nftnl_expr_set_u8(reject, NFTNL_EXPR_REJECT_CODE, NFT_REJECT_ICMPX_PORT_UNREACH);
    return *this;
  }
  // With bypass: packets pass while nobody listens on the queue.
  Rule& queue(std::uint16_t number, QueueExpression expression) {
    if (expression == QueueExpression::native) {
      nftnl_expr* queue = add("queue");
      nftnl_expr_set_u16(queue, NFTNL_EXPR_QUEUE_NUM, number);
      nftnl_expr_set_u16(queue, NFTNL_EXPR_QUEUE_TOTAL, 1);
      nftnl_expr_set_u16(queue, NFTNL_EXPR_QUEUE_FLAGS, NFT_QUEUE_FLAG_BYPASS);
      return *this;
    }
    nftnl_expr* target = add("target");
    nftnl_expr_set_str(target, NFTNL_EXPR_TG_NAME, "NFQUEUE");
    nftnl_expr_set_u32(target, NFTNL_EXPR_TG_REV, nfqueueTargetRevision);
    // libnftnl takes the info block over and frees it with the expression.
    auto* info = static_cast<xt_NFQ_info_v3*>(std::calloc(1, sizeof(xt_NFQ_info_v3)));
    if (info == nullptr) throw std::bad_alloc();
    info->queuenum = number;
    info->queues_total = 1;
    info->flags = NFQ_FLAG_BYPASS;
    nftnl_expr_set(target, NFTNL_EXPR_TG_INFO, info, sizeof *info);
    return *this;
  }

 private:
  nftnl_expr* add(const char* name) {
    nftnl_expr* expr = nftnl_expr_alloc(name);
    if (expr == nullptr) throw std::bad_alloc();
    nftnl_rule_add_expr(rule_.get(), expr);
    return expr;
  }
  void metaLoad(std::uint32_t key, std::uint32_t reg) {
    nftnl_expr* meta = add("meta");
    nftnl_expr_set_u32(meta, NFTNL_EXPR_META_KEY, key);
    nftnl_expr_set_u32(meta, NFTNL_EXPR_META_DREG, reg);
  }
  void payloadLoad(std::uint32_t base, std::uint32_t offset, std::uint32_t length, std::uint32_t reg) {
    nftnl_expr* payload = add("payload");
    nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_BASE, base);
    nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_OFFSET, offset);
    nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_LEN, length);
    nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_DREG, reg);
  }
  Rule& equals(const void* data, std::uint32_t length) {
    nftnl_expr* cmp = add("cmp");
    nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
    nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_OP, NFT_CMP_EQ);
    nftnl_expr_set(cmp, NFTNL_EXPR_CMP_DATA, data, length);
    return *this;
  }
  // register 1 = (register 1 & mask) ^ xorValue
  void bitwise(std::uint32_t mask, std::uint32_t xorValue) {
    nftnl_expr* bitwise = add("bitwise");
    nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_SREG, NFT_REG_1);
    nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_DREG, NFT_REG_1);
    nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_LEN, sizeof mask);
    nftnl_expr_set(bitwise, NFTNL_EXPR_BITWISE_MASK, &mask, sizeof mask);
    nftnl_expr_set(bitwise, NFTNL_EXPR_BITWISE_XOR, &xorValue, sizeof xorValue);
  }
  void loadMark(bool connectionMark) {
    if (connectionMark) {
      nftnl_expr* ct = add("ct");
      nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_KEY, NFT_CT_MARK);
      nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_DREG, NFT_REG_1);
    } else {
      metaLoad(NFT_META_MARK, NFT_REG_1);
    }
  }
  Rule& storeMark(bool connectionMark) {
    if (connectionMark) {
      nftnl_expr* ct = add("ct");
      nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_KEY, NFT_CT_MARK);
      nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_SREG, NFT_REG_1);
    } else {
      nftnl_expr* meta = add("meta");
      nftnl_expr_set_u32(meta, NFTNL_EXPR_META_KEY, NFT_META_MARK);
      nftnl_expr_set_u32(meta, NFTNL_EXPR_META_SREG, NFT_REG_1);
    }
    return *this;
  }

  std::unique_ptr<nftnl_rule, RuleDeleter> rule_;
};

// The messages of one transaction, between batch begin and end.
class Batch {
 public:
  Batch() : buffer_(batchBufferBytes), batch_(mnl_nlmsg_batch_start(buffer_.data(), buffer_.size())) {
    nftnl_batch_begin(static_cast<char*>(mnl_nlmsg_batch_current(batch_)), sequence_++);
    mnl_nlmsg_batch_next(batch_);
  }
  ~Batch() { mnl_nlmsg_batch_stop(batch_); }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  nlmsghdr* next(std::uint16_t type, std::uint16_t flags) {
    if (last_ != nullptr) mnl_nlmsg_batch_next(batch_);
    last_ = nftnl_nlmsg_build_hdr(static_cast<char*>(mnl_nlmsg_batch_current(batch_)), type, NFPROTO_INET, flags,
                                  sequence_++);
    return last_;
  }
  // Only the last message asks for an acknowledgement: one answer for the
  // whole transaction, or the errors that aborted it.
  void commit(mnl_socket* socket) {
    last_->nlmsg_flags |= NLM_F_ACK;
    mnl_nlmsg_batch_next(batch_);
    nftnl_batch_end(static_cast<char*>(mnl_nlmsg_batch_current(batch_)), sequence_++);
    mnl_nlmsg_batch_next(batch_);
    if (mnl_socket_sendto(socket, mnl_nlmsg_batch_head(batch_), mnl_nlmsg_batch_size(batch_)) < 0) {
      throwErrno("nftables UDP table");
    }
    std::vector<char> answer(answerBufferBytes);
    const ssize_t received = mnl_socket_recvfrom(socket, answer.data(), answer.size());
    if (received < 0) throwErrno("nftables UDP table");
    if (mnl_cb_run(answer.data(), static_cast<std::size_t>(received), 0, mnl_socket_get_portid(socket), nullptr,
                   nullptr) < 0) {
      throwErrno("nftables UDP table");
    }
  }

 private:
  std::vector<char> buffer_;
  mnl_nlmsg_batch* batch_;
  nlmsghdr* last_ = nullptr;
  std::uint32_t sequence_ = 1;
};

void addTable(Batch& batch) {
  nftnl_table* table = nftnl_table_alloc();
  nftnl_table_set_u32(table, NFTNL_TABLE_FAMILY, NFPROTO_INET);
  nftnl_table_set_str(table, NFTNL_TABLE_NAME, std::string(UdpInterceptionTable::tableName).c_str());
  nftnl_table_set_u32(table, NFTNL_TABLE_FLAGS, NFT_TABLE_F_OWNER);
  nftnl_table_nlmsg_build_payload(batch.next(NFT_MSG_NEWTABLE, NLM_F_CREATE | NLM_F_EXCL), table);
  nftnl_table_free(table);
}

void addChain(Batch& batch, const char* name, std::int32_t priority) {
  nftnl_chain* chain = nftnl_chain_alloc();
  nftnl_chain_set_u32(chain, NFTNL_CHAIN_FAMILY, NFPROTO_INET);
  nftnl_chain_set_str(chain, NFTNL_CHAIN_TABLE, std::string(UdpInterceptionTable::tableName).c_str());
  nftnl_chain_set_str(chain, NFTNL_CHAIN_NAME, name);
  nftnl_chain_set_str(chain, NFTNL_CHAIN_TYPE, "filter");
  nftnl_chain_set_u32(chain, NFTNL_CHAIN_HOOKNUM, NF_INET_LOCAL_OUT);
  nftnl_chain_set_s32(chain, NFTNL_CHAIN_PRIO, priority);
  nftnl_chain_nlmsg_build_payload(batch.next(NFT_MSG_NEWCHAIN, NLM_F_CREATE | NLM_F_EXCL), chain);
  nftnl_chain_free(chain);
}

void addSet(Batch& batch, const RefusedFlows& family) {
  nftnl_set* set = nftnl_set_alloc();
  nftnl_set_set_u32(set, NFTNL_SET_FAMILY, NFPROTO_INET);
  nftnl_set_set_str(set, NFTNL_SET_TABLE, std::string(UdpInterceptionTable::tableName).c_str());
  nftnl_set_set_str(set, NFTNL_SET_NAME, family.setName);
  nftnl_set_set_u32(set, NFTNL_SET_ID, family.setId);
  nftnl_set_set_u32(set, NFTNL_SET_FLAGS, NFT_SET_TIMEOUT | NFT_SET_EVAL);
  nftnl_set_set_u32(set, NFTNL_SET_KEY_TYPE, family.keyType());
  nftnl_set_set_u32(set, NFTNL_SET_KEY_LEN, family.keyLength());
  nftnl_set_set_u32(set, NFTNL_SET_DESC_SIZE, refusedFlowSetSize);
  nftnl_set_set_u64(set, NFTNL_SET_TIMEOUT, std::uint64_t{UdpInterceptionTable::refusedFlowMemorySeconds} * 1000);
  nftnl_set_nlmsg_build_payload(batch.next(NFT_MSG_NEWSET, NLM_F_CREATE | NLM_F_EXCL), set);
  nftnl_set_free(set);
}

void addRule(Batch& batch, const Rule& rule) {
  nftnl_rule_nlmsg_build_payload(batch.next(NFT_MSG_NEWRULE, NLM_F_CREATE | NLM_F_APPEND), rule.get());
}

}  // namespace

QueueExpression detectQueueExpression(const UdpQueueSettings& settings) {
  nft_ctx* context = nft_ctx_new(NFT_CTX_DEFAULT);
  nft_ctx_set_dry_run(context, true);
  nft_ctx_buffer_output(context);
  nft_ctx_buffer_error(context);
  const std::string probe = "add table inet vosk_filter_queue_probe\n"
                            "add chain inet vosk_filter_queue_probe probe { type filter hook output priority 0; }\n"
                            "add rule inet vosk_filter_queue_probe probe queue num " +
                            std::to_string(settings.queueNumber) + " bypass\n";
  const int result = nft_run_cmd_from_buffer(context, probe.c_str());
  nft_ctx_free(context);
  return result == 0 ? QueueExpression::native : QueueExpression::compat;
}

UdpInterceptionTable::UdpInterceptionTable(const UdpQueueSettings& settings, QueueExpression queueExpression) {
  socket_ = mnl_socket_open(NETLINK_NETFILTER);
  if (socket_ == nullptr) throwErrno("nftables socket");
  try {
    if (mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) throwErrno("nftables socket");
    Batch batch;
    addTable(batch);
    addChain(batch, queueChain, queueChainPriority);
    addChain(batch, verdictChain, verdictChainPriority);
    for (const RefusedFlows* family : {&refusedIpv4, &refusedIpv6}) {
      addSet(batch, *family);
      addRule(batch, Rule(queueChain).nfproto(family->nfproto).udpToQuicPort().flowKey(*family).inSet(*family).reject());
    }
    addRule(batch, Rule(queueChain)
                       .udpToQuicPort()
                       .markBits(true, settings.declineMark, 0)
                       .queue(settings.queueNumber, queueExpression));
    addRule(batch, Rule(verdictChain)
                       .markBits(false, settings.declineMark, settings.declineMark)
                       .udpToQuicPort()
                       .addToConnectionMark(settings.declineMark)
                       .clearFromPacketMark(settings.declineMark));
    for (const RefusedFlows* family : {&refusedIpv4, &refusedIpv6}) {
      addRule(batch, Rule(verdictChain)
                         .markBits(false, settings.refuseMark, settings.refuseMark)
                         .nfproto(family->nfproto)
                         .udpToQuicPort()
                         .flowKey(*family)
                         .updateSet(*family)
                         .reject());
    }
    batch.commit(socket_);
  } catch (...) {
    mnl_socket_close(socket_);
    throw;
  }
}

UdpInterceptionTable::~UdpInterceptionTable() { mnl_socket_close(socket_); }

}  // namespace vosk::backend
