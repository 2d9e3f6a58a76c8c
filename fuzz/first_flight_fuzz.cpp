// libFuzzer target for the first-flight reassembly. The input cuts a captured
// first flight (TLS ClientHellos, HTTP requests) into segments and delivers
// them in any order, again and again, and, in its hostile half, with other
// bytes, out-of-range sequence numbers and URG among them.
//  - Always: every segment let through agrees byte for byte with the prefix
//    and leaves no gap in it, so any server reads the prefix; and the prefix
//    only grows.
//  - An honest client (the same bytes each time, resent until through): the
//    prefix becomes the whole flight, and the first host found is the host of
//    the whole flight.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_checks.hpp"
#include "packet/first_flight.hpp"
#include "policy/host_extraction.hpp"
#include "support/test_data.hpp"

namespace {

using vosk::fuzz::check;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kCapacity = 65536;
constexpr std::size_t kMaxSegments = 64;
constexpr std::size_t kMaxSends = 512;

struct Flight {
  Bytes bytes;
  vosk::fuzz::Parser parse;
};
std::vector<Flight> flights;

void load(const char* directory, vosk::fuzz::Parser parse) {
  for (const auto& file : vosk::test::testDataFiles(directory)) flights.push_back({vosk::test::readFileBytes(file), parse});
}

struct Segment {
  std::uint32_t offset;  // from the first byte of the stream
  Bytes bytes;
  bool urgent = false;
};

// Sends one segment and checks what holds whatever it carries.
class Wire {
 public:
  explicit Wire(std::uint32_t syn) : syn_(syn), flight_(kCapacity) { flight_.syn(syn, {}, false); }

  bool send(const Segment& segment) {
    const Bytes before(flight_.prefix().begin(), flight_.prefix().end());
    const bool passed = flight_.segment(syn_ + 1 + segment.offset, segment.bytes, segment.urgent) ==
                        vosk::FirstFlight::Verdict::accept;
    const std::span<const std::uint8_t> prefix = flight_.prefix();
    check(prefix.size() >= before.size() && std::equal(before.begin(), before.end(), prefix.begin()),
          "the prefix only grows");
    if (passed) {
      check(!segment.urgent, "no urgent segment passes");
      const std::size_t end = std::min<std::size_t>(segment.offset + segment.bytes.size(), kCapacity);
      check(segment.offset <= prefix.size() && end <= prefix.size(), "a segment let through leaves no gap");
      check(std::equal(prefix.begin() + segment.offset, prefix.begin() + end, segment.bytes.begin()),
            "a segment let through agrees with the prefix");
    }
    return passed;
  }
  std::span<const std::uint8_t> prefix() const { return flight_.prefix(); }

 private:
  const std::uint32_t syn_;
  vosk::FirstFlight flight_;
};

std::vector<Segment> cut(const Bytes& bytes, FuzzedDataProvider& input) {
  std::vector<Segment> segments;
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    const std::size_t remaining = bytes.size() - offset;
    const std::size_t length = segments.size() + 1 == kMaxSegments
                                   ? remaining
                                   : std::min(remaining, 1 + input.ConsumeIntegralInRange<std::size_t>(0, 1500));
    segments.push_back({static_cast<std::uint32_t>(offset), Bytes(bytes.begin() + offset, bytes.begin() + offset + length)});
    offset += length;
  }
  return segments;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  load("tls", vosk::extractTLSServerName);
  load("http", vosk::extractHTTPHost);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const Flight& flight = flights[input.ConsumeIntegralInRange<std::size_t>(0, flights.size() - 1)];
  Wire wire(input.ConsumeIntegral<std::uint32_t>());
  const bool hostile = input.ConsumeBool();
  const std::vector<Segment> segments = cut(flight.bytes, input);
  std::vector<bool> through(segments.size(), false);

  std::optional<vosk::HostExtraction> firstDecision;
  const auto judge = [&] {
    if (firstDecision) return;
    const vosk::HostExtraction extraction = flight.parse(wire.prefix());
    if (!extraction.needsMoreData) firstDecision = extraction;
  };
  for (std::size_t sends = 0; sends < kMaxSends && input.remaining_bytes() > 0; ++sends) {
    const std::size_t index = input.ConsumeIntegralInRange<std::size_t>(0, segments.size() - 1);
    Segment segment = segments[index];
    if (hostile && input.ConsumeBool()) {
      segment.offset += input.ConsumeIntegralInRange<std::uint32_t>(0, 64) - 32;
      if (!segment.bytes.empty()) segment.bytes[input.ConsumeIntegral<std::size_t>() % segment.bytes.size()] ^= 1;
      segment.urgent = input.ConsumeBool();
    }
    if (wire.send(segment) && !hostile) through[index] = true;
    if (!hostile) judge();
  }
  if (hostile) return 0;

  // The client resends what did not pass, in order, as its timers would.
  for (std::size_t index = 0; index < segments.size(); ++index) {
    if (through[index]) continue;
    check(wire.send(segments[index]), "an honest resend in order passes");
    judge();
  }
  check(std::equal(wire.prefix().begin(), wire.prefix().end(), flight.bytes.begin(), flight.bytes.end()),
        "an honest client's flight is taken whole");
  const vosk::HostExtraction whole = flight.parse(flight.bytes);
  check(firstDecision && firstDecision->host == whole.host, "the first decision is that of the whole flight");
  return 0;
}
