#include "packet/first_flight.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vosk {
namespace {

using Verdict = FirstFlight::Verdict;

std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }
std::string text(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

constexpr std::size_t kCapacity = 64;
// Close to the wrap of the sequence space, so that every case crosses it.
constexpr std::uint32_t kSyn = 0xFFFFFFF8;
constexpr std::uint32_t kFirst = kSyn + 1;

TEST(FirstFlightTest, TakesOnlyTheNextBytesInOrderAndDropsSegmentsLeavingAGap) {
  FirstFlight flight(kCapacity);
  EXPECT_EQ(flight.segment(kFirst, bytes("GET"), false), Verdict::drop) << "no stream start before the SYN";
  ASSERT_EQ(flight.syn(kSyn, {}, false), Verdict::accept);
  // A name sent out of order first never enters the prefix.
  EXPECT_EQ(flight.segment(kFirst + 5, bytes("blocked"), false), Verdict::drop);
  EXPECT_EQ(flight.segment(kFirst, bytes("GET /"), false), Verdict::accept);
  EXPECT_EQ(flight.segment(kFirst + 5, bytes(" HTTP/1.1"), false), Verdict::accept);
  EXPECT_EQ(text(flight.prefix()), "GET / HTTP/1.1");
  EXPECT_EQ(flight.segment(kSyn, bytes("xGET"), false), Verdict::drop) << "bytes before the start";
  EXPECT_EQ(flight.segment(kFirst - 0x80000000U, bytes("x"), false), Verdict::drop) << "half the space away";
  EXPECT_EQ(flight.segment(kFirst + 14, bytes("\r\n"), true), Verdict::drop) << "urgent data";
  EXPECT_EQ(text(flight.prefix()), "GET / HTTP/1.1");
}

TEST(FirstFlightTest, ARetransmissionPassesOnlyWhenWhatItRepeatsIsIdentical) {
  for (const auto& [first, second] : {std::pair{"allowed.test", "blocked.test"}, {"blocked.test", "allowed.test"}}) {
    FirstFlight flight(kCapacity);
    flight.syn(kSyn, {}, false);
    ASSERT_EQ(flight.segment(kFirst, bytes(first), false), Verdict::accept);
    EXPECT_EQ(flight.segment(kFirst, bytes(second), false), Verdict::drop);
    EXPECT_EQ(flight.segment(kFirst + 1, bytes(std::string(second) + "/x"), false), Verdict::drop);
    EXPECT_EQ(text(flight.prefix()), first);
    // The same bytes again, and more after them: the overlap agrees.
    EXPECT_EQ(flight.segment(kFirst + 8, bytes(std::string(first).substr(8) + "/x"), false), Verdict::accept);
    EXPECT_EQ(flight.segment(kFirst, bytes(first), false), Verdict::accept);
    EXPECT_EQ(text(flight.prefix()), std::string(first) + "/x");
  }
}

TEST(FirstFlightTest, ASynRestartsOnlyBeforeAnyByteIsTakenAndItsPayloadComesFirst) {
  FirstFlight flight(kCapacity);
  flight.syn(100, {}, false);
  EXPECT_EQ(flight.syn(kSyn, bytes("GET"), false), Verdict::accept) << "Fast Open";
  EXPECT_EQ(flight.syn(kSyn, bytes("GET"), false), Verdict::accept) << "the SYN sent again";
  EXPECT_EQ(flight.syn(kSyn, bytes("PUT"), false), Verdict::drop);
  EXPECT_EQ(flight.syn(200, {}, false), Verdict::drop) << "a new start would move the bytes taken";
  EXPECT_EQ(flight.segment(kFirst + 3, bytes(" /"), false), Verdict::accept);
  EXPECT_EQ(text(flight.prefix()), "GET /");
}

TEST(FirstFlightTest, KeepsAtMostItsCapacity) {
  FirstFlight flight(8);
  flight.syn(kSyn, {}, false);
  EXPECT_EQ(flight.segment(kFirst, bytes("0123456789"), false), Verdict::accept);
  EXPECT_TRUE(flight.full());
  EXPECT_EQ(text(flight.prefix()), "01234567");
  EXPECT_EQ(flight.segment(kFirst + 4, bytes("4567"), false), Verdict::accept);
  EXPECT_EQ(flight.segment(kFirst + 10, bytes("ab"), false), Verdict::drop) << "beyond the prefix, once judged";
}

TEST(FirstFlightTest, ReleasedBytesAreForgottenAndTheirRepeatsPassUnread) {
  FirstFlight flight(8);
  flight.syn(kSyn, {}, false);
  flight.segment(kFirst, bytes("GET /a\r\n"), false);
  flight.release(4);
  EXPECT_EQ(text(flight.prefix()), "/a\r\n");
  EXPECT_EQ(flight.segment(kFirst, bytes("PUT /a"), false), Verdict::accept) << "released: the server has them";
  EXPECT_EQ(flight.segment(kFirst + 2, bytes("T /b"), false), Verdict::drop) << "kept bytes still compared";
  EXPECT_EQ(flight.segment(kFirst + 8, bytes("\r\n0123"), false), Verdict::accept) << "room again after a release";
  EXPECT_EQ(text(flight.prefix()), "/a\r\n\r\n01");
  EXPECT_EQ(flight.segment(kSyn, bytes("xGET"), false), Verdict::drop) << "still nothing before the start";
  EXPECT_EQ(flight.syn(kSyn, {}, false), Verdict::accept) << "the SYN sent again";
  flight.release(8);
  EXPECT_TRUE(flight.prefix().empty());
  EXPECT_EQ(flight.syn(200, {}, false), Verdict::drop) << "a new start, though nothing is kept";
  EXPECT_EQ(flight.segment(kFirst + 12, bytes("23"), false), Verdict::accept);
  EXPECT_EQ(text(flight.prefix()), "23");
}

}  // namespace
}  // namespace vosk
