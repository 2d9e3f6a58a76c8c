#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "policy/host_extraction.hpp"

namespace vosk::fuzz {

// Prefixes of an input that the invariants are checked on: a fixed number
// of evenly spaced lengths plus the one just short of the whole, so that
// a run stays linear in the input.
constexpr std::size_t kSampledPrefixCount = 16;

using Parser = HostExtraction (*)(std::span<const std::uint8_t>);

inline void check(bool holds, const char* invariant) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", invariant);
  std::abort();
}

inline std::vector<std::size_t> sampledPrefixLengths(std::size_t size) {
  std::vector<std::size_t> lengths;
  for (std::size_t k = 0; k < kSampledPrefixCount; ++k) lengths.push_back(size * k / kSampledPrefixCount);
  if (size > 0) lengths.push_back(size - 1);
  return lengths;
}

// Checks that hold for either parser; returns the result for the whole input.
inline HostExtraction checkCommonInvariants(Parser parse, std::span<const std::uint8_t> input) {
  const HostExtraction result = parse(input);
  check(!(result.host && result.needsMoreData), "incomplete never comes with a host");
  for (const std::size_t length : sampledPrefixLengths(input.size())) {
    const HostExtraction earlier = parse(input.first(length));
    check(!(earlier.host && earlier.needsMoreData), "incomplete never comes with a host");
    // A host once found is never revised by the bytes that follow.
    if (earlier.host) check(result.host == earlier.host, "a found host stays as it is when more bytes arrive");
  }
  return result;
}

}  // namespace vosk::fuzz
