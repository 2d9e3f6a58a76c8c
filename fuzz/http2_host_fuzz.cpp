// libFuzzer target for the reader of HTTP/2 sent with prior knowledge.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_checks.hpp"
#include "policy/host_extraction.hpp"

using vosk::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const vosk::HostExtraction result = vosk::fuzz::checkCommonInvariants(vosk::extractHTTP2Host, input);
  if (!vosk::startsWithHTTP2Preface(input)) check(!result.host && !result.needsMoreData, "no preface, no host");
  if (!result.host) return 0;
  check(!result.host->empty(), "a found host is not empty");
  // The host is named only by a whole header block: every shorter input waits for more.
  for (const std::size_t length : vosk::fuzz::sampledPrefixLengths(size)) {
    const vosk::HostExtraction earlier = vosk::extractHTTP2Host(input.first(length));
    check(earlier.needsMoreData || earlier.host == result.host, "before its block is whole, a host waits");
  }
  return 0;
}
