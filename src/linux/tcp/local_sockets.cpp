#include "linux/tcp/local_sockets.hpp"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace vosk::backend {

std::unique_ptr<LocalSockets> LocalSockets::open(Failure& failure) {
  std::unique_ptr<NetlinkRequests> requests = NetlinkRequests::open(NETLINK_SOCK_DIAG, "socket destroy", failure);
  if (!requests) return nullptr;
  return std::unique_ptr<LocalSockets>(new LocalSockets(std::move(requests)));
}

Failure LocalSockets::destroy(const ConnectionTuple& tuple) {
  nlmsghdr* const message = requests_->start(SOCK_DESTROY);
  auto* const request = static_cast<inet_diag_req_v2*>(mnl_nlmsg_put_extra_header(message, sizeof(inet_diag_req_v2)));
  request->sdiag_family = tuple.ipVersion == 4 ? AF_INET : AF_INET6;
  request->sdiag_protocol = IPPROTO_TCP;
  // Any state but listening: the lookup is by the four addresses and ports.
  request->idiag_states = ~(1U << TCP_LISTEN);
  // The socket's own view: its source is the client.
  request->id.idiag_sport = htons(tuple.clientPort);
  request->id.idiag_dport = htons(tuple.serverPort);
  const std::size_t addressBytes = tuple.ipVersion == 4 ? 4 : 16;
  std::memcpy(request->id.idiag_src, tuple.client.data(), addressBytes);
  std::memcpy(request->id.idiag_dst, tuple.server.data(), addressBytes);
  request->id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request->id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  return requests_->send(message, ENOENT);
}

}  // namespace vosk::backend
