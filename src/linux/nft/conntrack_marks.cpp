#include "linux/nft/conntrack_marks.hpp"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace vosk::backend {
namespace {

// One request, or the kernel's answer to it (an acknowledgement, or an error
// echoing the request), with room to spare.
constexpr std::size_t messageBufferBytes = 8192;
constexpr std::size_t ipv4AddressBytes = sizeof(in_addr);
constexpr std::size_t ipv6AddressBytes = sizeof(in6_addr);

constexpr const char* markWhat = "conntrack mark";

// The connection's original direction: client to server.
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

}  // namespace

ConntrackMarks::ConntrackMarks(mnl_socket* socket) : socket_(socket), buffer_(messageBufferBytes) {}

std::unique_ptr<ConntrackMarks> ConntrackMarks::open(Failure& failure) {
  mnl_socket* const socket = mnl_socket_open(NETLINK_NETFILTER);
  if (socket == nullptr) {
    failure = errnoFailure("conntrack socket");
    return nullptr;
  }
  std::unique_ptr<ConntrackMarks> marks(new ConntrackMarks(socket));
  if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0) {
    failure = errnoFailure("conntrack bind");
    return nullptr;
  }
  marks->portId_ = mnl_socket_get_portid(socket);
  return marks;
}

ConntrackMarks::~ConntrackMarks() { mnl_socket_close(socket_); }

Failure ConntrackMarks::setMarkBits(const ConnectionTuple& tuple, std::uint32_t bits, std::uint32_t value) {
  const std::uint32_t sequence = ++sequence_;
  nlmsghdr* const message = mnl_nlmsg_put_header(buffer_.data());
  message->nlmsg_type = (NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_NEW;
  // Without NLM_F_CREATE the kernel only changes an entry it has, or answers ENOENT.
  message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  message->nlmsg_seq = sequence;
  auto* const header = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
  header->nfgen_family = tuple.ipVersion == 4 ? AF_INET : AF_INET6;
  header->version = NFNETLINK_V0;
  header->res_id = 0;
  putOriginalTuple(message, tuple);
  // The kernel makes it (mark & ~CTA_MARK_MASK) ^ CTA_MARK: the xor sets the
  // bits within the mask exactly, and would flip any outside it.
  mnl_attr_put_u32(message, CTA_MARK, htonl(value & bits));
  mnl_attr_put_u32(message, CTA_MARK_MASK, htonl(bits));

  if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0) return errnoFailure(markWhat);
  for (;;) {
    const ssize_t received = mnl_socket_recvfrom(socket_, buffer_.data(), buffer_.size());
    if (received < 0) {
      if (errno == EINTR) continue;
      return errnoFailure(markWhat);
    }
    // The answer to an earlier request whose wait failed: taking it for this
    // one's would leave every later call reading its predecessor's.
    const auto* const answer = reinterpret_cast<const nlmsghdr*>(buffer_.data());
    if (mnl_nlmsg_ok(answer, static_cast<int>(received)) && !mnl_nlmsg_seq_ok(answer, sequence)) continue;
    if (mnl_cb_run(buffer_.data(), static_cast<std::size_t>(received), sequence, portId_, nullptr, nullptr) < 0 &&
        errno != ENOENT) {
      return errnoFailure(markWhat);
    }
    return {};
  }
}

}  // namespace vosk::backend
