#include "linux/nft/conntrack_tuple.hpp"

#include <arpa/inet.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

namespace vosk::backend {
namespace {

constexpr std::size_t ipv4AddressBytes = sizeof(in_addr);
constexpr std::size_t ipv6AddressBytes = sizeof(in6_addr);

int keepAttribute(const nlattr* attribute, void* data) {
  auto& table = *static_cast<std::span<const nlattr*>*>(data);
  const std::uint16_t type = mnl_attr_get_type(attribute);
  if (type < table.size()) table[type] = attribute;
  return MNL_CB_OK;
}

// The nest's attributes when it is one; an empty table otherwise.
void collectNested(const nlattr* nest, std::span<const nlattr*> table) {
  if (nest != nullptr) mnl_attr_parse_nested(nest, keepAttribute, &table);
}

}  // namespace

void collectAttributes(const nlmsghdr* message, std::size_t headerBytes, std::span<const nlattr*> table) {
  mnl_attr_parse(message, static_cast<unsigned int>(headerBytes), keepAttribute, &table);
}

const nlattr* validAttribute(std::span<const nlattr* const> table, std::uint16_t type, mnl_attr_data_type dataType,
                             std::size_t bytes) {
  const nlattr* const attribute = table[type];
  if (attribute == nullptr) return nullptr;
  const int valid =
      bytes == 0 ? mnl_attr_validate(attribute, dataType) : mnl_attr_validate2(attribute, dataType, bytes);
  return valid < 0 ? nullptr : attribute;
}

void putOriginalTuple(nlmsghdr* message, const ConnectionTuple& tuple) {
  const bool ipv4 = tuple.ipVersion == 4;
  const std::size_t addressBytes = ipv4 ? ipv4AddressBytes : ipv6AddressBytes;
  nlattr* const original = mnl_attr_nest_start(message, CTA_TUPLE_ORIG);
  nlattr* const addresses = mnl_attr_nest_start(message, CTA_TUPLE_IP);
  mnl_attr_put(message, ipv4 ? CTA_IP_V4_SRC : CTA_IP_V6_SRC, addressBytes, tuple.client.data());
  mnl_attr_put(message, ipv4 ? CTA_IP_V4_DST : CTA_IP_V6_DST, addressBytes, tuple.server.data());
  mnl_attr_nest_end(message, addresses);
  nlattr* const protocol = mnl_attr_nest_start(message, CTA_TUPLE_PROTO);
  mnl_attr_put_u8(message, CTA_PROTO_NUM, IPPROTO_TCP);
  mnl_attr_put_u16(message, CTA_PROTO_SRC_PORT, htons(tuple.clientPort));
  mnl_attr_put_u16(message, CTA_PROTO_DST_PORT, htons(tuple.serverPort));
  mnl_attr_nest_end(message, protocol);
  mnl_attr_nest_end(message, original);
}

std::optional<ConnectionTuple> parseOriginalTuple(const nlattr* original, int family) {
  if (family != AF_INET && family != AF_INET6) return std::nullopt;
  const bool ipv4 = family == AF_INET;
  const std::size_t addressBytes = ipv4 ? ipv4AddressBytes : ipv6AddressBytes;

  std::array<const nlattr*, CTA_TUPLE_MAX + 1> tuple{};
  collectNested(original, tuple);
  std::array<const nlattr*, CTA_IP_MAX + 1> addresses{};
  collectNested(validAttribute(tuple, CTA_TUPLE_IP, MNL_TYPE_NESTED), addresses);
  std::array<const nlattr*, CTA_PROTO_MAX + 1> protocol{};
  collectNested(validAttribute(tuple, CTA_TUPLE_PROTO, MNL_TYPE_NESTED), protocol);

  const nlattr* const source =
      validAttribute(addresses, ipv4 ? CTA_IP_V4_SRC : CTA_IP_V6_SRC, MNL_TYPE_BINARY, addressBytes);
  const nlattr* const destination =
      validAttribute(addresses, ipv4 ? CTA_IP_V4_DST : CTA_IP_V6_DST, MNL_TYPE_BINARY, addressBytes);
  const nlattr* const number = validAttribute(protocol, CTA_PROTO_NUM, MNL_TYPE_U8);
  const nlattr* const sourcePort = validAttribute(protocol, CTA_PROTO_SRC_PORT, MNL_TYPE_U16);
  const nlattr* const destinationPort = validAttribute(protocol, CTA_PROTO_DST_PORT, MNL_TYPE_U16);
  if (source == nullptr || destination == nullptr || number == nullptr || sourcePort == nullptr ||
      destinationPort == nullptr || mnl_attr_get_u8(number) != IPPROTO_TCP) {
    return std::nullopt;
  }
  ConnectionTuple parsed;
  parsed.ipVersion = ipv4 ? 4 : 6;
  std::memcpy(parsed.client.data(), mnl_attr_get_payload(source), addressBytes);
  std::memcpy(parsed.server.data(), mnl_attr_get_payload(destination), addressBytes);
  parsed.clientPort = ntohs(mnl_attr_get_u16(sourcePort));
  parsed.serverPort = ntohs(mnl_attr_get_u16(destinationPort));
  return parsed;
}

}  // namespace vosk::backend
