#pragma once

#include <cstdint>

namespace vosk::backend {

// The NFQUEUE number and the two packet-mark bits by which the verdicts speak
// to our rules: "decline" lets the flow's later packets skip the queue,
// "refuse" rejects the packet. Matched under their own bit and on UDP to port
// 443 only, so other users of packet marks (the daemon's own TCP connections
// among them) keep theirs.
// A declined flow's connection keeps, in the ct mark bits `passedBits`, the
// pass generation in force; only flows of the current generation skip the
// queue, so a new generation (blocking coming on) sends every flow passed
// before back to the queue, where it is refused as a new one would be.
struct UdpQueueSettings {
  std::uint16_t queueNumber = 7443;
  std::uint32_t declineMark = 0x40000000;
  std::uint32_t refuseMark = 0x80000000;
  std::uint32_t passedBits = 0x3f000000;
};

// The ct mark of a flow passed in `generation`: the generations cycle
// through the nonzero values of passedBits (zero is a flow never passed).
constexpr std::uint32_t passedMark(const UdpQueueSettings& settings, std::uint32_t generation) {
  const std::uint32_t lowestBit = settings.passedBits & (~settings.passedBits + 1);
  const std::uint32_t nonzeroValues = settings.passedBits / lowestBit;
  return (generation % nonzeroValues + 1) * lowestBit;
}

}  // namespace vosk::backend
