// libFuzzer target for the reader of a queued packet's TCP segment: whatever
// the bytes, a segment read from them has its payload inside them, at their
// end or before the padding an IPv4 total length leaves out.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fuzz_checks.hpp"
#include "packet/tcp_segment.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> packet(data, size);
  const std::optional<vosk::TCPSegment> segment = vosk::parseTCPSegment(packet);
  if (!segment) return 0;
  using vosk::fuzz::check;
  check(segment->ipVersion == packet[0] >> 4, "the version is the packet's");
  check(segment->payload.empty() ||
            (segment->payload.data() >= packet.data() &&
             segment->payload.data() + segment->payload.size() <= packet.data() + packet.size()),
        "the payload lies within the packet");
  if (segment->ipVersion == 6) {
    check(segment->payload.data() + segment->payload.size() == packet.data() + 40 + (packet[4] << 8 | packet[5]),
          "an IPv6 payload ends where the header says");
  } else {
    check(segment->payload.data() + segment->payload.size() == packet.data() + (packet[2] << 8 | packet[3]),
          "an IPv4 payload ends at the total length");
  }
  return 0;
}
