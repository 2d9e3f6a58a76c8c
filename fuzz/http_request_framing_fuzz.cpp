// libFuzzer target for the following of a client's requests: HTTP/1.x framing, HTTP/2 frames after the preface.

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

#include "fuzz_checks.hpp"
#include "support/request_frames.hpp"

namespace {

using vosk::RequestFrame;
using vosk::fuzz::check;

// Inputs this short are also framed one byte at a time (a run stays fast).
constexpr std::size_t kByteByByteMaximum = 512;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const vosk::test::FramedStream whole = vosk::test::frameInPieces(input, {});
  check(whole.framedBytes + whole.passedBytes + whole.unframedBytes == size, "frames add up to the bytes given");
  std::uint64_t lengths = 0;
  for (const RequestFrame& frame : whole.frames) {
    const bool ends = frame.kind == RequestFrame::Kind::stop || frame.kind == RequestFrame::Kind::malformed;
    check(ends == (frame.length == 0), "every frame but the last moves on");
    lengths += frame.length;
  }
  check(lengths - whole.bodyLeft == whole.framedBytes, "frames add up to the bytes given");

  for (const std::size_t cut : vosk::fuzz::sampledPrefixLengths(size)) {
    check(vosk::test::frameInPieces(input, {cut}).frames == whole.frames, "a split anywhere frames alike");
  }
  if (size <= kByteByByteMaximum) {
    std::vector<std::size_t> everyByte(size);
    std::iota(everyByte.begin(), everyByte.end(), 0);
    check(vosk::test::frameInPieces(input, everyByte).frames == whole.frames, "a split anywhere frames alike");
  }
  return 0;
}
