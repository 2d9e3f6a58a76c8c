#include "dns/dns_stream.hpp"

namespace vosk::dns {

std::size_t rewriteDnsStream(std::span<const std::uint8_t> received, const BlockedName& blocked,
                             std::vector<std::uint8_t>& out) {
  std::size_t used = 0;
  while (received.size() - used >= lengthPrefixBytes) {
    const std::size_t length = std::size_t{received[used]} << 8 | received[used + 1];
    if (received.size() - used - lengthPrefixBytes < length) break;
    const std::span<const std::uint8_t> framed = received.subspan(used, lengthPrefixBytes + length);
    used += framed.size();
    const auto rewritten = rewriteDnsAnswer(framed.subspan(lengthPrefixBytes), blocked);
    if (!rewritten) {
      out.insert(out.end(), framed.begin(), framed.end());
      continue;
    }
    // A rewrite only takes bytes away, so the new length fits the prefix too.
    out.push_back(static_cast<std::uint8_t>(rewritten->size() >> 8));
    out.push_back(static_cast<std::uint8_t>(rewritten->size() & 0xFF));
    out.insert(out.end(), rewritten->begin(), rewritten->end());
  }
  return used;
}

}  // namespace vosk::dns
