// libFuzzer target for the HTTP Host parser.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz_checks.hpp"
#include "policy/host_extraction.hpp"

namespace {

using vosk::fuzz::check;

// The host comes back as UTF-8 of Latin-1 text: two-byte sequences only.
std::vector<std::uint8_t> utf8ToLatin1(const std::string& utf8) {
  std::vector<std::uint8_t> latin1;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(utf8[i]);
    if (byte < 0x80) {
      latin1.push_back(byte);
      continue;
    }
    check(byte == 0xC2 || byte == 0xC3, "a host is Latin-1 text");
    check(i + 1 < utf8.size(), "a host is Latin-1 text");
    latin1.push_back(static_cast<std::uint8_t>((byte & 0x03) << 6 | (utf8[++i] & 0x3F)));
  }
  return latin1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const vosk::HostExtraction result = vosk::fuzz::checkCommonInvariants(vosk::extractHTTPHost, input);
  if (!result.host) return 0;
  check(!result.host->empty(), "a found host is not empty");

  // Never cut short: the host is followed in the input by the rest of its line and its end.
  const std::vector<std::uint8_t> host = utf8ToLatin1(*result.host);
  const auto at = std::search(input.begin(), input.end(), host.begin(), host.end());
  check(at != input.end(), "a found host is part of the input");
  const std::string_view rest(reinterpret_cast<const char*>(&*at) + host.size(),
                              static_cast<std::size_t>(input.end() - at) - host.size());
  check(rest.find('\n') != std::string_view::npos, "a found host comes from a line that has ended");
  return 0;
}
