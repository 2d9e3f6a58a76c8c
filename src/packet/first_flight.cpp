#include "packet/first_flight.hpp"

#include <algorithm>

namespace vosk {

FirstFlight::Verdict FirstFlight::syn(std::uint32_t sequence, std::span<const std::uint8_t> payload, bool urgent) {
  if (synSequence_ != sequence) {
    // Another start once bytes are taken would move them in the stream.
    if (!prefix_.empty()) return Verdict::drop;
    synSequence_ = sequence;
  }
  // The SYN takes one sequence number; its payload follows it.
  return payload.empty() ? Verdict::accept : segment(sequence + 1, payload, urgent);
}

FirstFlight::Verdict FirstFlight::segment(std::uint32_t sequence, std::span<const std::uint8_t> payload, bool urgent) {
  if (!synSequence_ || urgent) return Verdict::drop;
  // Offsets wrap with the sequence space; one past 2^31 ahead reads as behind.
  const auto offset = static_cast<std::int32_t>(sequence - (*synSequence_ + 1));
  if (offset < 0) return Verdict::drop;
  const auto start = static_cast<std::size_t>(offset);
  if (start > prefix_.size()) return Verdict::drop;  // a gap
  const std::size_t repeated = std::min(prefix_.size() - start, payload.size());
  if (!std::equal(payload.begin(), payload.begin() + repeated, prefix_.begin() + start)) return Verdict::drop;
  const std::span<const std::uint8_t> fresh = payload.subspan(repeated);
  if (fresh.empty()) return Verdict::accept;
  if (full()) return Verdict::drop;
  const std::size_t kept = std::min(fresh.size(), capacity_ - prefix_.size());
  prefix_.insert(prefix_.end(), fresh.begin(), fresh.begin() + kept);
  return Verdict::accept;
}

}  // namespace vosk
