#pragma once

#include <memory>

#include "linux/failure.hpp"
#include "linux/netlink/netlink_requests.hpp"
#include "platform/packet_path.hpp"

namespace vosk::backend {

// Ends the host's own TCP sockets at once, through sock_diag's destroy
// (CAP_NET_ADMIN; a kernel built with INET_DIAG_DESTROY): the socket's
// owner reads ECONNABORTED and the peer gets a reset, as when the relay
// closes both sides. One thread at a time.
class LocalSockets {
 public:
  static std::unique_ptr<LocalSockets> open(Failure& failure);

  // The socket on the client's side of `tuple`, if it is one of this host's
  // (in this network namespace); none is no failure.
  Failure destroy(const ConnectionTuple& tuple);

 private:
  explicit LocalSockets(std::unique_ptr<NetlinkRequests> requests) : requests_(std::move(requests)) {}

  const std::unique_ptr<NetlinkRequests> requests_;
};

}  // namespace vosk::backend
