#include "linux/nft/conntrack_marks.hpp"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <sys/socket.h>

#include <cerrno>

#include "linux/nft/conntrack_tuple.hpp"

namespace vosk::backend {
namespace {

// One request, or the kernel's answer to it (an acknowledgement, or an error
// echoing the request), with room to spare.
constexpr std::size_t messageBufferBytes = 8192;
constexpr const char* markWhat = "conntrack mark";

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
