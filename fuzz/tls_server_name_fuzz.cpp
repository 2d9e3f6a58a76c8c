// libFuzzer target for the TLS server-name parser.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_checks.hpp"
#include "policy/host_extraction.hpp"
#include "support/tls_records.hpp"

namespace {

using vosk::fuzz::check;
using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t kRecordHeaderLength = 5;
constexpr std::size_t kHandshakeHeaderLength = 4;
constexpr std::uint8_t kHandshakeContentType = 0x16;

// The complete handshake records at the start of the input: their payloads
// joined, and the input offset at which each record ends.
struct LeadingRecords {
  std::vector<std::uint8_t> payload;
  std::vector<std::size_t> ends;
  std::vector<std::size_t> payloadTotals;
};

LeadingRecords leadingHandshakeRecords(Bytes input) {
  LeadingRecords records;
  std::size_t position = 0;
  while (position + kRecordHeaderLength <= input.size() && input[position] == kHandshakeContentType) {
    const std::size_t end = position + kRecordHeaderLength + (input[position + 3] << 8 | input[position + 4]);
    if (end > input.size()) break;
    records.payload.insert(records.payload.end(), input.begin() + position + kRecordHeaderLength, input.begin() + end);
    records.ends.push_back(end);
    records.payloadTotals.push_back(records.payload.size());
    position = end;
  }
  return records;
}

// Input offset of the end of the record that completes the first handshake message.
std::optional<std::size_t> clientHelloEnd(const LeadingRecords& records) {
  if (records.payload.size() < kHandshakeHeaderLength) return std::nullopt;
  const std::size_t messageLength =
      kHandshakeHeaderLength + (records.payload[1] << 16 | records.payload[2] << 8 | records.payload[3]);
  for (std::size_t i = 0; i < records.ends.size(); ++i) {
    if (records.payloadTotals[i] >= messageLength) return records.ends[i];
  }
  return std::nullopt;
}

bool contains(Bytes haystack, const std::string& needle) {
  const auto sameByte = [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); };
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(), sameByte) != haystack.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes input(data, size);
  const vosk::HostExtraction result = vosk::fuzz::checkCommonInvariants(vosk::extractTLSServerName, input);
  if (!result.host) return 0;

  const LeadingRecords records = leadingHandshakeRecords(input);
  check(contains(input, *result.host) || contains(records.payload, *result.host),
        "a found name is made of bytes of the input");

  const std::optional<std::size_t> end = clientHelloEnd(records);
  check(end.has_value(), "a name is found only in a complete ClientHello");
  for (const std::size_t length : vosk::fuzz::sampledPrefixLengths(*end)) {
    check(vosk::extractTLSServerName(input.first(length)).needsMoreData,
          "a prefix of a complete ClientHello is incomplete");
  }

  // One record holding exactly the message and nothing after it: the same
  // message re-sent over several records must give the same name.
  const bool singleExactRecord = records.ends.size() == 1 && *end == size &&
                                 records.payload.size() == kHandshakeHeaderLength + (input[6] << 16 | input[7] << 8 | input[8]);
  if (singleExactRecord) {
    const std::array<std::size_t, 2> fragmentLengths{1U + input[size - 1] % 64U, 1U + input[size / 2] % 512U};
    const std::vector<std::uint8_t> split = vosk::test::splitIntoRecords(input, fragmentLengths);
    check(vosk::extractTLSServerName(split).host == result.host, "the name survives re-splitting into records");
    check(vosk::extractTLSServerName(Bytes(split).first(split.size() - 1)).needsMoreData,
          "a re-split ClientHello one byte short is incomplete");
  }
  return 0;
}
