// libFuzzer target for the HTTP Host parser.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// The input with every "%" and two hex digits replaced by the byte they
// encode: where a host taken from a percent-encoded target is found.
std::vector<std::uint8_t> percentDecoded(std::span<const std::uint8_t> input) {
  const auto hex = [](std::uint8_t c) { return std::isxdigit(c) != 0; };
  std::vector<std::uint8_t> decoded;
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] == '%' && i + 2 < input.size() && hex(input[i + 1]) && hex(input[i + 2])) {
      const char digits[] = {static_cast<char>(input[i + 1]), static_cast<char>(input[i + 2]), '\0'};
      decoded.push_back(static_cast<std::uint8_t>(std::strtoul(digits, nullptr, 16)));
      i += 2;
    } else {
      decoded.push_back(input[i]);
    }
  }
  return decoded;
}

// Never cut short: the host is followed in `text` by the rest of its line and its end.
bool foundWithItsLineEnd(std::span<const std::uint8_t> text, const std::vector<std::uint8_t>& host) {
  const auto at = std::search(text.begin(), text.end(), host.begin(), host.end());
  return at != text.end() && std::find(at + static_cast<std::ptrdiff_t>(host.size()), text.end(), '\n') != text.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const vosk::HostExtraction result = vosk::fuzz::checkCommonInvariants(vosk::extractHTTPHost, input);
  if (!result.host) return 0;
  check(!result.host->empty(), "a found host is not empty");

  // A target's host is percent-decoded, the Host line's is taken as sent.
  const std::vector<std::uint8_t> host = utf8ToLatin1(*result.host);
  check(foundWithItsLineEnd(input, host) || foundWithItsLineEnd(percentDecoded(input), host),
        "a found host is part of the input (percent-decoded for a target) on a line that has ended");
  return 0;
}
