#include "linux/nft/nftnl_owner_table.hpp"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnftnl/chain.h>
#include <libnftnl/common.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <libnftnl/set.h>
#include <libnftnl/table.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netfilter/nf_conntrack_tuple_common.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/xt_NFQUEUE.h>
#include <net/if.h>
#include <netinet/in.h>
#include <nftables/libnftables.h>

#include <array>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace vosk::backend {
namespace {

constexpr std::size_t batchBufferBytes = 64 * 1024;
constexpr std::size_t answerBufferBytes = 8192;
constexpr std::uint32_t nfqueueTargetRevision = 3;
constexpr std::size_t registerBytes = 16;

constexpr std::uint32_t noBits = 0;

// A mark value as the register holds it.
std::span<const std::uint8_t> bytesOf(const std::uint32_t& value) {
  return {reinterpret_cast<const std::uint8_t*>(&value), sizeof value};
}

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
  Failure commit(mnl_socket* socket, const std::string& what) {
    last_->nlmsg_flags |= NLM_F_ACK;
    mnl_nlmsg_batch_next(batch_);
    nftnl_batch_end(static_cast<char*>(mnl_nlmsg_batch_current(batch_)), sequence_++);
    mnl_nlmsg_batch_next(batch_);
    if (mnl_socket_sendto(socket, mnl_nlmsg_batch_head(batch_), mnl_nlmsg_batch_size(batch_)) < 0) {
      return errnoFailure(what);
    }
    std::vector<char> answer(answerBufferBytes);
    const ssize_t received = mnl_socket_recvfrom(socket, answer.data(), answer.size());
    if (received < 0) return errnoFailure(what);
    if (mnl_cb_run(answer.data(), static_cast<std::size_t>(received), 0, mnl_socket_get_portid(socket), nullptr,
                   nullptr) < 0) {
      return errnoFailure(what);
    }
    return {};
  }

 private:
  std::vector<char> buffer_;
  mnl_nlmsg_batch* batch_;
  nlmsghdr* last_ = nullptr;
  std::uint32_t sequence_ = 1;
};

void addTable(Batch& batch, const std::string& name) {
  nftnl_table* table = nftnl_table_alloc();
  nftnl_table_set_u32(table, NFTNL_TABLE_FAMILY, NFPROTO_INET);
  nftnl_table_set_str(table, NFTNL_TABLE_NAME, name.c_str());
  nftnl_table_set_u32(table, NFTNL_TABLE_FLAGS, NFT_TABLE_F_OWNER);
  nftnl_table_nlmsg_build_payload(batch.next(NFT_MSG_NEWTABLE, NLM_F_CREATE | NLM_F_EXCL), table);
  nftnl_table_free(table);
}

void addChain(Batch& batch, const std::string& table, const NftBaseChain& base) {
  nftnl_chain* chain = nftnl_chain_alloc();
  nftnl_chain_set_u32(chain, NFTNL_CHAIN_FAMILY, NFPROTO_INET);
  nftnl_chain_set_str(chain, NFTNL_CHAIN_TABLE, table.c_str());
  nftnl_chain_set_str(chain, NFTNL_CHAIN_NAME, base.name);
  if (base.hook != NftBaseChain::regular) {
    nftnl_chain_set_str(chain, NFTNL_CHAIN_TYPE, "filter");
    nftnl_chain_set_u32(chain, NFTNL_CHAIN_HOOKNUM, base.hook);
    nftnl_chain_set_s32(chain, NFTNL_CHAIN_PRIO, base.priority);
  }
  nftnl_chain_nlmsg_build_payload(batch.next(NFT_MSG_NEWCHAIN, NLM_F_CREATE | NLM_F_EXCL), chain);
  nftnl_chain_free(chain);
}

void addSet(Batch& batch, const std::string& table, const NftTimeoutSet& timeoutSet) {
  nftnl_set* set = nftnl_set_alloc();
  nftnl_set_set_u32(set, NFTNL_SET_FAMILY, NFPROTO_INET);
  nftnl_set_set_str(set, NFTNL_SET_TABLE, table.c_str());
  nftnl_set_set_str(set, NFTNL_SET_NAME, timeoutSet.name);
  nftnl_set_set_u32(set, NFTNL_SET_ID, timeoutSet.id);
  nftnl_set_set_u32(set, NFTNL_SET_FLAGS, NFT_SET_TIMEOUT | NFT_SET_EVAL);
  nftnl_set_set_u32(set, NFTNL_SET_KEY_TYPE, timeoutSet.keyType);
  nftnl_set_set_u32(set, NFTNL_SET_KEY_LEN, timeoutSet.keyLength);
  nftnl_set_set_u32(set, NFTNL_SET_DESC_SIZE, timeoutSet.size);
  nftnl_set_set_u64(set, NFTNL_SET_TIMEOUT, timeoutSet.timeoutMilliseconds);
  nftnl_set_nlmsg_build_payload(batch.next(NFT_MSG_NEWSET, NLM_F_CREATE | NLM_F_EXCL), set);
  nftnl_set_free(set);
}

}  // namespace

QueueExpression detectQueueExpression(std::uint16_t queueNumber) {
  nft_ctx* context = nft_ctx_new(NFT_CTX_DEFAULT);
  nft_ctx_set_dry_run(context, true);
  nft_ctx_buffer_output(context);
  nft_ctx_buffer_error(context);
  const std::string probe = "add table inet vosk_filter_queue_probe\n"
                            "add chain inet vosk_filter_queue_probe probe { type filter hook output priority 0; }\n"
                            "add rule inet vosk_filter_queue_probe probe queue num " +
                            std::to_string(queueNumber) + " bypass\n";
  const int result = nft_run_cmd_from_buffer(context, probe.c_str());
  nft_ctx_free(context);
  return result == 0 ? QueueExpression::native : QueueExpression::compat;
}

void NftRule::Deleter::operator()(nftnl_rule* rule) const { nftnl_rule_free(rule); }

NftRule::NftRule(const std::string& table, const char* chain) : rule_(nftnl_rule_alloc()) {
  nftnl_rule_set_u32(rule_.get(), NFTNL_RULE_FAMILY, NFPROTO_INET);
  nftnl_rule_set_str(rule_.get(), NFTNL_RULE_TABLE, table.c_str());
  nftnl_rule_set_str(rule_.get(), NFTNL_RULE_CHAIN, chain);
}

NftRule& NftRule::nfproto(std::uint8_t family) {
  metaLoad(NFT_META_NFPROTO);
  return compare(NFT_CMP_EQ, &family, sizeof family);
}

NftRule& NftRule::udpDestinationPort(std::uint16_t number) { return port(IPPROTO_UDP, 2, number); }
NftRule& NftRule::udpSourcePort(std::uint16_t number) { return port(IPPROTO_UDP, 0, number); }
NftRule& NftRule::tcpDestinationPort(std::uint16_t number) { return port(IPPROTO_TCP, 2, number); }

NftRule& NftRule::tcp() { return transportProtocol(IPPROTO_TCP); }

NftRule& NftRule::originalDirection() {
  nftnl_expr* ct = add("ct");
  nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_KEY, NFT_CT_DIRECTION);
  nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_DREG, NFT_REG_1);
  const std::uint8_t original = IP_CT_DIR_ORIGINAL;
  return compare(NFT_CMP_EQ, &original, sizeof original);
}

NftRule& NftRule::tcpFlags(std::uint8_t mask, std::uint8_t value) {
  constexpr std::uint32_t flagsOffset = 13;
  transportProtocol(IPPROTO_TCP);
  payloadLoad(NFT_PAYLOAD_TRANSPORT_HEADER, flagsOffset, 1, NFT_REG_1);
  const std::uint8_t masks[1] = {mask};
  const std::uint8_t zero[1] = {0};
  bitwise(masks, zero);
  return compare(NFT_CMP_EQ, &value, 1);
}

NftRule& NftRule::interfaceName(bool input, const std::string& name) {
  // The kernel compares the whole name buffer, NUL-padded.
  std::array<char, IFNAMSIZ> padded{};
  if (name.size() >= padded.size()) throw std::invalid_argument("interfaceName");
  name.copy(padded.data(), name.size());
  metaLoad(input ? NFT_META_IIFNAME : NFT_META_OIFNAME);
  return compare(NFT_CMP_EQ, padded.data(), padded.size());
}

NftRule& NftRule::tcpHeadersOnly(std::uint8_t ipv4Words, std::uint8_t tcpWords) {
  constexpr std::uint32_t ipv6HeaderBytes = 40;
  constexpr std::uint32_t dataOffset = 12;
  constexpr std::uint8_t lowNibble = 0x0f, highNibble = 0xf0;
  const std::uint8_t ipv4Word[1] = {ipv4Words};
  const std::uint8_t tcpWord[1] = {static_cast<std::uint8_t>(tcpWords << 4)};
  nfproto(ipv4Words == 0 ? NFPROTO_IPV6 : NFPROTO_IPV4);
  transportProtocol(IPPROTO_TCP);
  if (ipv4Words != 0) {
    payloadLoad(NFT_PAYLOAD_NETWORK_HEADER, 0, 1, NFT_REG_1);
    const std::uint8_t mask[1] = {lowNibble};
    const std::uint8_t zero[1] = {0};
    bitwise(mask, zero);
    compare(NFT_CMP_EQ, ipv4Word, 1);
  }
  payloadLoad(NFT_PAYLOAD_TRANSPORT_HEADER, dataOffset, 1, NFT_REG_1);
  const std::uint8_t mask[1] = {highNibble};
  const std::uint8_t zero[1] = {0};
  bitwise(mask, zero);
  compare(NFT_CMP_EQ, tcpWord, 1);
  // The packet's length is its headers' exactly: nothing beyond them.
  const std::uint32_t length = (ipv4Words == 0 ? ipv6HeaderBytes : 4U * ipv4Words) + 4U * tcpWords;
  metaLoad(NFT_META_LEN);
  return compare(NFT_CMP_EQ, &length, sizeof length);
}

NftRule& NftRule::transportProtocol(std::uint8_t protocol) {
  metaLoad(NFT_META_L4PROTO);
  return compare(NFT_CMP_EQ, &protocol, sizeof protocol);
}

NftRule& NftRule::port(std::uint8_t protocol, std::uint32_t offset, std::uint16_t number) {
  transportProtocol(protocol);
  const std::uint16_t networkOrder = htons(number);
  payloadLoad(NFT_PAYLOAD_TRANSPORT_HEADER, offset, sizeof networkOrder, NFT_REG_1);
  return compare(NFT_CMP_EQ, &networkOrder, sizeof networkOrder);
}

NftRule& NftRule::networkBytesDiffer(std::uint32_t offset, std::span<const std::uint8_t> mask,
                                     std::span<const std::uint8_t> value) {
  if (mask.size() != value.size() || value.size() > registerBytes) throw std::invalid_argument("networkBytesDiffer");
  const auto length = static_cast<std::uint32_t>(value.size());
  payloadLoad(NFT_PAYLOAD_NETWORK_HEADER, offset, length, NFT_REG_1);
  const std::array<std::uint8_t, registerBytes> zero{};
  bitwise(mask, std::span(zero).first(length));
  return compare(NFT_CMP_NEQ, value.data(), length);
}

NftRule& NftRule::markBits(bool connectionMark, std::uint32_t bits, std::uint32_t value) {
  return compareMarkBits(connectionMark, bits, NFT_CMP_EQ, value);
}

NftRule& NftRule::markBitsDiffer(bool connectionMark, std::uint32_t bits, std::uint32_t value) {
  return compareMarkBits(connectionMark, bits, NFT_CMP_NEQ, value);
}

NftRule& NftRule::compareMarkBits(bool connectionMark, std::uint32_t bits, std::uint32_t op, std::uint32_t value) {
  loadMark(connectionMark);
  bitwise(bytesOf(bits), bytesOf(noBits));
  return compare(op, &value, sizeof value);
}

NftRule& NftRule::setConnectionMarkBits(std::uint32_t bits, std::uint32_t value) {
  loadMark(true);
  const std::uint32_t others = ~bits;
  bitwise(bytesOf(others), bytesOf(value));
  return storeMark(true);
}

NftRule& NftRule::clearFromPacketMark(std::uint32_t bits) {
  loadMark(false);
  const std::uint32_t others = ~bits;
  bitwise(bytesOf(others), bytesOf(noBits));
  return storeMark(false);
}

NftRule& NftRule::flowKey(std::uint32_t addressOffset, std::uint32_t addressLength) {
  // Each field of a concatenation takes whole 32-bit registers.
  std::uint32_t reg = NFT_REG32_00;
  payloadLoad(NFT_PAYLOAD_NETWORK_HEADER, addressOffset, addressLength, reg);
  reg += addressLength / 4;
  payloadLoad(NFT_PAYLOAD_TRANSPORT_HEADER, 0, 2, reg++);
  payloadLoad(NFT_PAYLOAD_NETWORK_HEADER, addressOffset + addressLength, addressLength, reg);
  return *this;
}

NftRule& NftRule::inSet(const char* set, std::uint32_t setId) {
  nftnl_expr* lookup = add("lookup");
  nftnl_expr_set_u32(lookup, NFTNL_EXPR_LOOKUP_SREG, NFT_REG32_00);
  nftnl_expr_set_str(lookup, NFTNL_EXPR_LOOKUP_SET, set);
  nftnl_expr_set_u32(lookup, NFTNL_EXPR_LOOKUP_SET_ID, setId);
  return *this;
}

NftRule& NftRule::updateSet(const char* set, std::uint32_t setId) {
  nftnl_expr* dynset = add("dynset");
  nftnl_expr_set_u32(dynset, NFTNL_EXPR_DYNSET_SREG_KEY, NFT_REG32_00);
  nftnl_expr_set_u32(dynset, NFTNL_EXPR_DYNSET_OP, NFT_DYNSET_OP_UPDATE);
  nftnl_expr_set_str(dynset, NFTNL_EXPR_DYNSET_SET_NAME, set);
  nftnl_expr_set_u32(dynset, NFTNL_EXPR_DYNSET_SET_ID, setId);
  return *this;
}

NftRule& NftRule::reject() {
  nftnl_expr* reject = add("reject");
  nftnl_expr_set_u32(reject, NFTNL_EXPR_REJECT_TYPE, NFT_REJECT_ICMPX_UNREACH);
  nftnl_expr_set_u8(reject, NFTNL_EXPR_REJECT_CODE, NFT_REJECT_ICMPX_PORT_UNREACH);
  return *this;
}

NftRule& NftRule::rejectWithReset() {
  transportProtocol(IPPROTO_TCP);
  nftnl_expr* reject = add("reject");
  nftnl_expr_set_u32(reject, NFTNL_EXPR_REJECT_TYPE, NFT_REJECT_TCP_RST);
  nftnl_expr_set_u8(reject, NFTNL_EXPR_REJECT_CODE, 0);
  return *this;
}

NftRule& NftRule::accept() { return verdict(NF_ACCEPT, nullptr); }
NftRule& NftRule::drop() { return verdict(NF_DROP, nullptr); }

NftRule& NftRule::invalidForConntrack() {
  nftnl_expr* ct = add("ct");
  nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_KEY, NFT_CT_STATE);
  nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_DREG, NFT_REG_1);
  const std::uint32_t invalid = NF_CT_STATE_INVALID_BIT;
  bitwise(bytesOf(invalid), bytesOf(noBits));
  return compare(NFT_CMP_NEQ, &noBits, sizeof noBits);
}

NftRule& NftRule::raiseHopLimit(bool ipv6, std::uint8_t floor) {
  constexpr std::uint32_t ttlOffset = 8, hopLimitOffset = 7, ipv4ChecksumOffset = 10;
  const std::uint32_t offset = ipv6 ? hopLimitOffset : ttlOffset;
  nfproto(ipv6 ? NFPROTO_IPV6 : NFPROTO_IPV4);
  payloadLoad(NFT_PAYLOAD_NETWORK_HEADER, offset, 1, NFT_REG_1);
  compare(NFT_CMP_LT, &floor, sizeof floor);
  nftnl_expr* immediate = add("immediate");
  nftnl_expr_set_u32(immediate, NFTNL_EXPR_IMM_DREG, NFT_REG_1);
  nftnl_expr_set(immediate, NFTNL_EXPR_IMM_DATA, &floor, sizeof floor);
  nftnl_expr* payload = add("payload");
  nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_SREG, NFT_REG_1);
  nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_BASE, NFT_PAYLOAD_NETWORK_HEADER);
  nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_OFFSET, offset);
  nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_LEN, 1);
  if (!ipv6) {
    nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_CSUM_TYPE, NFT_PAYLOAD_CSUM_INET);
    nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_CSUM_OFFSET, ipv4ChecksumOffset);
  }
  return *this;
}
NftRule& NftRule::jump(const char* chain) { return verdict(NFT_JUMP, chain); }

NftRule& NftRule::verdict(std::int32_t code, const char* chain) {
  nftnl_expr* immediate = add("immediate");
  nftnl_expr_set_u32(immediate, NFTNL_EXPR_IMM_DREG, NFT_REG_VERDICT);
  nftnl_expr_set_u32(immediate, NFTNL_EXPR_IMM_VERDICT, static_cast<std::uint32_t>(code));
  if (chain) nftnl_expr_set_str(immediate, NFTNL_EXPR_IMM_CHAIN, chain);
  return *this;
}

NftRule& NftRule::queue(std::uint16_t number, QueueExpression expression) {
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

nftnl_expr* NftRule::add(const char* name) {
  nftnl_expr* expr = nftnl_expr_alloc(name);
  if (expr == nullptr) throw std::bad_alloc();
  nftnl_rule_add_expr(rule_.get(), expr);
  return expr;
}

void NftRule::metaLoad(std::uint32_t key) {
  nftnl_expr* meta = add("meta");
  nftnl_expr_set_u32(meta, NFTNL_EXPR_META_KEY, key);
  nftnl_expr_set_u32(meta, NFTNL_EXPR_META_DREG, NFT_REG_1);
}

void NftRule::payloadLoad(std::uint32_t base, std::uint32_t offset, std::uint32_t length, std::uint32_t reg) {
  nftnl_expr* payload = add("payload");
  nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_BASE, base);
  nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_OFFSET, offset);
  nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_LEN, length);
  nftnl_expr_set_u32(payload, NFTNL_EXPR_PAYLOAD_DREG, reg);
}

NftRule& NftRule::compare(std::uint32_t op, const void* data, std::uint32_t length) {
  nftnl_expr* cmp = add("cmp");
  nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
  nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_OP, op);
  nftnl_expr_set(cmp, NFTNL_EXPR_CMP_DATA, data, length);
  return *this;
}

// register 1 = (register 1 & mask) ^ xorValue
void NftRule::bitwise(std::span<const std::uint8_t> mask, std::span<const std::uint8_t> xorValue) {
  nftnl_expr* bitwise = add("bitwise");
  nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_SREG, NFT_REG_1);
  nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_DREG, NFT_REG_1);
  nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_LEN, static_cast<std::uint32_t>(mask.size()));
  nftnl_expr_set(bitwise, NFTNL_EXPR_BITWISE_MASK, mask.data(), static_cast<std::uint32_t>(mask.size()));
  nftnl_expr_set(bitwise, NFTNL_EXPR_BITWISE_XOR, xorValue.data(), static_cast<std::uint32_t>(xorValue.size()));
}

void NftRule::loadMark(bool connectionMark) {
  if (connectionMark) {
    nftnl_expr* ct = add("ct");
    nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_KEY, NFT_CT_MARK);
    nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_DREG, NFT_REG_1);
  } else {
    metaLoad(NFT_META_MARK);
  }
}

NftRule& NftRule::storeMark(bool connectionMark) {
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

std::unique_ptr<NftOwnerTable> NftOwnerTable::create(const std::string& name, std::span<const NftBaseChain> chains,
                                                     std::span<const NftTimeoutSet> sets,
                                                     const std::vector<NftRule>& rules, Failure& failure) {
  const std::string what = "nftables table " + name;
  mnl_socket* const socket = mnl_socket_open(NETLINK_NETFILTER);
  if (socket == nullptr) {
    failure = errnoFailure(what);
    return nullptr;
  }
  std::unique_ptr<NftOwnerTable> table(new NftOwnerTable(socket));
  if (mnl_socket_bind(table->socket_, 0, MNL_SOCKET_AUTOPID) < 0) {
    failure = errnoFailure(what);
    return nullptr;
  }
  Batch batch;
  addTable(batch, name);
  for (const NftBaseChain& chain : chains) addChain(batch, name, chain);
  for (const NftTimeoutSet& set : sets) addSet(batch, name, set);
  for (const NftRule& rule : rules) {
    nftnl_rule_nlmsg_build_payload(batch.next(NFT_MSG_NEWRULE, NLM_F_CREATE | NLM_F_APPEND), rule.get());
  }
  failure = batch.commit(table->socket_, what);
  if (failure) return nullptr;
  return table;
}

NftOwnerTable::~NftOwnerTable() {
  if (socket_ != nullptr) mnl_socket_close(socket_);
}

}  // namespace vosk::backend
