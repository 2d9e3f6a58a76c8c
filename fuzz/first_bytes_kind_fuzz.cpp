// libFuzzer target for firstBytesKind, the reading of a connection's first
// bytes on ports without a protocol of their own (strict mode, kernel
// engine). A kind once decided stays: every longer input that begins with the
// same bytes is of the same kind, so that bytes arriving in any segmentation
// are read alike, and no more bytes turn a request into `other`.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_checks.hpp"
#include "policy/first_bytes_kind.hpp"

namespace {

// Small, so that the cap is reached within the inputs.
constexpr std::size_t kCap = 256;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const vosk::FirstBytesKind whole = vosk::firstBytesKind(bytes, kCap);
  for (std::size_t length = 0; length <= size; ++length) {
    const vosk::FirstBytesKind prefix = vosk::firstBytesKind(bytes.first(length), kCap);
    vosk::fuzz::check(prefix == vosk::FirstBytesKind::undecided || prefix == whole,
                      "a kind decided on a prefix stays");
  }
  vosk::fuzz::check(whole != vosk::FirstBytesKind::undecided || size < kCap, "decided by the cap");
  return 0;
}
