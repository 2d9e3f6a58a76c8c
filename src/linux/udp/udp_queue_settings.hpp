#pragma once

#include <cstdint>

namespace vosk::backend {

// The NFQUEUE number and the two packet-mark bits by which the verdicts speak
// to our rules: "decline" lets the flow's later packets skip the queue,
// "refuse" rejects the packet. Matched under their own bit and on UDP to port
// 443 only, so other users of packet marks (the daemon's own TCP connections
// among them) keep theirs.
struct UdpQueueSettings {
  std::uint16_t queueNumber = 7443;
  std::uint32_t declineMark = 0x40000000;
  std::uint32_t refuseMark = 0x80000000;
};

}  // namespace vosk::backend
