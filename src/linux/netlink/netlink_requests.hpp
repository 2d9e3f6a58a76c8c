#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "linux/failure.hpp"

struct mnl_socket;
struct nlmsghdr;

namespace vosk::backend {

// A netlink socket for requests the kernel acknowledges one at a time: each
// request waits for its answer. One thread at a time.
class NetlinkRequests {
 public:
  // Bound to `bus` (NETLINK_NETFILTER, NETLINK_SOCK_DIAG, ...); null with
  // `failure` saying why.
  static std::unique_ptr<NetlinkRequests> open(int bus, const char* what, Failure& failure);
  ~NetlinkRequests();
  NetlinkRequests(const NetlinkRequests&) = delete;
  NetlinkRequests& operator=(const NetlinkRequests&) = delete;

  // A new request of `type`, asking for an acknowledgement, in the buffer;
  // the caller adds its body.
  nlmsghdr* start(std::uint16_t type);
  // Sends the request and waits for its answer. The kernel's error
  // `notFound` (ENOENT, ...) is no failure: the request is moot.
  Failure send(nlmsghdr* request, int notFound);

 private:
  NetlinkRequests(mnl_socket* socket, const char* what);

  mnl_socket* const socket_;
  const char* const what_;
  std::uint32_t portId_ = 0;
  std::uint32_t sequence_ = 0;
  std::vector<char> buffer_;
};

}  // namespace vosk::backend
