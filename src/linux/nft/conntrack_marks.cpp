#include "linux/nft/conntrack_marks.hpp"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <sys/socket.h>

#include <cerrno>

#include "linux/nft/conntrack_tuple.hpp"

namespace vosk::backend {

std::unique_ptr<ConntrackMarks> ConntrackMarks::open(Failure& failure) {
  std::unique_ptr<NetlinkRequests> requests = NetlinkRequests::open(NETLINK_NETFILTER, "conntrack mark", failure);
  if (!requests) return nullptr;
  return std::unique_ptr<ConntrackMarks>(new ConntrackMarks(std::move(requests)));
}

Failure ConntrackMarks::setMarkBits(const ConnectionTuple& tuple, std::uint32_t bits, std::uint32_t value) {
  // Without NLM_F_CREATE the kernel only changes an entry it has, or answers ENOENT.
  nlmsghdr* const message = requests_->start((NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_NEW);
  auto* const header = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
  header->nfgen_family = tuple.ipVersion == 4 ? AF_INET : AF_INET6;
  header->version = NFNETLINK_V0;
  header->res_id = 0;
  putOriginalTuple(message, tuple);
  // The kernel makes it (mark & ~CTA_MARK_MASK) ^ CTA_MARK: the xor sets the
  // bits within the mask exactly, and would flip any outside it.
  mnl_attr_put_u32(message, CTA_MARK, htonl(value & bits));
  mnl_attr_put_u32(message, CTA_MARK_MASK, htonl(bits));
  return requests_->send(message, ENOENT);
}

}  // namespace vosk::backend
