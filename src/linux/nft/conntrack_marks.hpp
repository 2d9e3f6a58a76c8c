#pragma once

#include <cstdint>
#include <memory>

#include "linux/failure.hpp"
#include "linux/netlink/netlink_requests.hpp"
#include "platform/packet_path.hpp"

namespace vosk::backend {

// Sets bits of the conntrack mark of connections the kernel tracks, through
// ctnetlink. Each call waits for the kernel's answer; one thread at a time.
class ConntrackMarks {
 public:
  // The ctnetlink socket, or null with `failure` saying why.
  static std::unique_ptr<ConntrackMarks> open(Failure& failure);

  // ct mark = (ct mark & ~bits) | value on the TCP connection whose original
  // direction is `tuple` (in conntrack's default zone); bits of value outside
  // `bits` are ignored. A connection conntrack does not (or no longer) have is
  // not a failure.
  Failure setMarkBits(const ConnectionTuple& tuple, std::uint32_t bits, std::uint32_t value);

 private:
  explicit ConntrackMarks(std::unique_ptr<NetlinkRequests> requests) : requests_(std::move(requests)) {}

  const std::unique_ptr<NetlinkRequests> requests_;
};

}  // namespace vosk::backend
