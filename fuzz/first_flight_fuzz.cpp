// libFuzzer target for the first-flight reassembly. The input cuts a captured
// first flight (TLS ClientHellos, HTTP requests) into segments and delivers
// them in any order, again and again, and, in its hostile half, with other
// bytes, out-of-range sequence numbers and URG among them; now and then the
// prefix read so far is released, as request following does.
//  - Always: every segment let through agrees byte for byte with the bytes
//    taken that are still kept and leaves no gap, so any server reads the
//    stream taken; and that stream only grows.
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

// Sends one segment and checks what holds whatever it carries; `stream`
// is every byte taken, released or not.
class Wire {
 public:
  explicit Wire(std::uint32_t syn) : syn_(syn), flight_(kCapacity) { flight_.syn(syn, {}, false); }

  bool send(const Segment& segment) {
    const bool passed = flight_.segment(syn_ + 1 + segment.offset, segment.bytes, segment.urgent) ==
                        vosk::FirstFlight::Verdict::accept;
    const std::span<const std::uint8_t> prefix = flight_.prefix();
    check(prefix.size() + released_ >= stream_.size() &&
              std::equal(stream_.begin() + static_cast<std::ptrdiff_t>(released_), stream_.end(), prefix.begin()),
          "the stream only grows");
    stream_.insert(stream_.end(), prefix.begin() + static_cast<std::ptrdiff_t>(stream_.size() - released_),
                   prefix.end());
    if (passed) {
      check(!segment.urgent, "no urgent segment passes");
      const std::size_t end = segment.offset + segment.bytes.size();
      check(segment.offset <= stream_.size() && end <= stream_.size(), "a segment let through leaves no gap");
      const std::size_t from = std::max<std::size_t>(segment.offset, released_);
      check(from >= end || std::equal(stream_.begin() + static_cast<std::ptrdiff_t>(from),
                                      stream_.begin() + static_cast<std::ptrdiff_t>(end),
                                      segment.bytes.begin() + static_cast<std::ptrdiff_t>(from - segment.offset)),
            "a segment let through agrees with the bytes kept");
    }
    return passed;
  }
  void release(std::size_t count) {
    flight_.release(count);
    released_ = stream_.size() - flight_.prefix().size();
  }
  const Bytes& stream() const { return stream_; }

 private:
  const std::uint32_t syn_;
  vosk::FirstFlight flight_;
  Bytes stream_;
  std::size_t released_ = 0;
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
    const vosk::HostExtraction extraction = flight.parse(wire.stream());
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
    if (input.ConsumeIntegralInRange(0, 7) == 0) wire.release(input.ConsumeIntegralInRange<std::size_t>(0, 2000));
  }
  if (hostile) return 0;

  // The client resends what did not pass, in order, as its timers would.
  for (std::size_t index = 0; index < segments.size(); ++index) {
    if (through[index]) continue;
    check(wire.send(segments[index]), "an honest resend in order passes");
    judge();
  }
  check(std::equal(wire.stream().begin(), wire.stream().end(), flight.bytes.begin(), flight.bytes.end()),
        "an honest client's flight is taken whole");
  const vosk::HostExtraction whole = flight.parse(flight.bytes);
  check(firstDecision && firstDecision->host == whole.host, "the first decision is that of the whole flight");
  return 0;
}
