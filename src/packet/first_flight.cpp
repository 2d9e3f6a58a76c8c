#include "packet/first_flight.hpp"

#include <algorithm>

namespace vosk {

FirstFlight::Verdict FirstFlight::syn(std::uint32_t sequence, std::span<const std::uint8_t> payload, bool urgent) {
  // The SYN takes one sequence number; its payload follows it.
  const std::uint32_t start = sequence + 1;
  if (!prefixSequence_ || *prefixSequence_ - static_cast<std::uint32_t>(released_) != start) {
    // Another start once bytes are taken would move them in the stream.
    if (!prefix_.empty() || released_ > 0) return Verdict::drop;
    prefixSequence_ = start;
  }
  return payload.empty() ? Verdict::accept : segment(sequence + 1, payload, urgent);
}

FirstFlight::Verdict FirstFlight::segment(std::uint32_t sequence, std::span<const std::uint8_t> payload, bool urgent) {
  if (!prefixSequence_ || urgent) return Verdict::drop;
  // Offsets wrap with the sequence space; one past 2^31 ahead reads as behind.
  const auto offset = static_cast<std::int32_t>(sequence - *prefixSequence_);
  std::size_t start = 0;
  if (offset < 0) {
    const auto behind = static_cast<std::uint64_t>(-static_cast<std::int64_t>(offset));
    if (behind > released_) return Verdict::drop;  // before the stream's start
    if (behind >= payload.size()) return Verdict::accept;  // released bytes alone
    payload = payload.subspan(static_cast<std::size_t>(behind));
  } else {
    start = static_cast<std::size_t>(offset);
  }
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

void FirstFlight::release(std::size_t count) {
  count = std::min(count, prefix_.size());
  if (count == 0) return;
  // All of it: the memory goes too, as a connection between requests keeps none.
  if (count == prefix_.size()) {
    prefix_ = {};
  } else {
    prefix_.erase(prefix_.begin(), prefix_.begin() + static_cast<std::ptrdiff_t>(count));
  }
  released_ += count;
  *prefixSequence_ += static_cast<std::uint32_t>(count);
}

}  // namespace vosk
