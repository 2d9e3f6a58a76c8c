#include "dns/dns_rewrite.hpp"
#include "dns/dns_stream.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/blocking_rules.hpp"
#include "support/test_data.hpp"

namespace vosk::dns {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes answerFile(const std::string& name) {
  return test::readFileBytes(std::filesystem::path(VOSK_TEST_DATA_DIR) / "dns" / name);
}

// The test block list, as the daemon builds it from a configuration.
BlockedName blockedExample() {
  const std::string sites =
      R"([{"id": "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8", "name": "Blocked", "domains": ["blocked.example"]}])";
  return config::blockedHostsOf({{config::sitesDataKey, Bytes(sites.begin(), sites.end())}});
}

// Answers encoded by dnspython (tests/data/dns/make_answers.py), rewritten
// with blocked.example blocked: each NAME.bin must become NAME.expected.bin,
// encoded independently without `ech` (or as NXDOMAIN: the canary, names
// under blocked.example in any case), and stay as it is when there is none:
// notblocked.example only ends like a blocked name; fuzz_*.bin are inputs the
// fuzzer found that an earlier rewrite changed wrongly (a name reaching across
// changed bytes, parameter keys repeated, a question pointing into the header
// an NXDOMAIN changes, the canary's text as one label).
TEST(DnsRewriteTest, AnswersBecomeWhatAnIndependentEncoderWritesWithoutEchOrAsNxdomain) {
  const BlockedName blocked = blockedExample();
  ASSERT_TRUE(blocked);
  int checked = 0;
  for (const auto& path : test::testDataFiles("dns")) {
    const std::string name = path.filename().string();
    if (path.extension() != ".bin" || name.ends_with(".expected.bin")) continue;
    SCOPED_TRACE(name);
    const Bytes message = test::readFileBytes(path);
    const auto expectedPath = std::filesystem::path(path).replace_extension(".expected.bin");
    const auto rewritten = rewriteDnsAnswer(message, blocked);
    if (!std::filesystem::exists(expectedPath)) {
      EXPECT_FALSE(rewritten.has_value());
      continue;
    }
    const Bytes expected = test::readFileBytes(expectedPath);
    ASSERT_TRUE(rewritten.has_value());
    EXPECT_EQ(*rewritten, expected);
    EXPECT_FALSE(rewriteDnsAnswer(expected, blocked).has_value()) << "a rewritten answer has nothing left to change";
    ++checked;
  }
  EXPECT_EQ(checked, 8);

  // Without a usable list the daemon keeps the names in force.
  const std::string notAList = R"({"sites": []})";
  EXPECT_FALSE(config::blockedHostsOf({}));
  EXPECT_FALSE(config::blockedHostsOf({{config::sitesDataKey, Bytes(notAList.begin(), notAList.end())}}));
}

TEST(DnsRewriteTest, WhatCannotBeRewrittenSoundlyStaysAsItIs) {
  const Bytes https = answerFile("https_ech.bin");
  for (std::size_t length = 0; length < https.size(); ++length) {
    EXPECT_FALSE(rewriteDnsAnswer(std::span(https).first(length)).has_value()) << "cut at " << length;
  }

  Bytes query = answerFile("canary.bin");
  query[2] &= 0x7F;  // QR clear: a query, not an answer
  EXPECT_FALSE(rewriteDnsAnswer(query).has_value());

  // An extra record whose owner name points into the ech value: removing the
  // value would leave that pointer nowhere.
  Bytes pointsIntoEch = https;
  const std::uint8_t echParameter = 67;
  ASSERT_EQ(pointsIntoEch[echParameter], 0x00);
  ASSERT_EQ(pointsIntoEch[echParameter + 1], 0x05);
  pointsIntoEch.insert(pointsIntoEch.end(), {0xC0, echParameter + 8, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 198, 18, 0, 1});
  ++pointsIntoEch[11];
  EXPECT_FALSE(rewriteDnsAnswer(pointsIntoEch).has_value());

  // A NAPTR record may hold a compressed name this rewrite does not walk.
  Bytes naptr = https;
  const Bytes naptrRecord{0xC0, 12, 0, 35, 0, 1, 0, 0, 0, 60, 0, 8, 0, 10, 0, 10, 0, 0, 0, 0};
  naptr.insert(naptr.end(), naptrRecord.begin(), naptrRecord.end());
  ++naptr[11];
  ASSERT_TRUE(rewriteDnsAnswer(https).has_value());
  EXPECT_FALSE(rewriteDnsAnswer(naptr).has_value());
}

TEST(DnsRewriteTest, TheCanaryIsMatchedByItsExactLabelsOnly) {
  const Bytes canary = answerFile("canary.bin");
  const auto answered = rewriteDnsAnswer(canary);
  ASSERT_TRUE(answered.has_value());
  EXPECT_EQ((*answered)[3] & 0x0F, 3) << "NXDOMAIN";

  Bytes lowerCase = canary;
  for (std::size_t i = 13; i < 13 + 19; ++i) lowerCase[i] = static_cast<std::uint8_t>(std::tolower(lowerCase[i]));
  EXPECT_TRUE(rewriteDnsAnswer(lowerCase).has_value());

  // The OPT record (last, 11 bytes) carries the upper bits of the RCODE in
  // its TTL; they must not turn NXDOMAIN into another code.
  Bytes extendedRcode = canary;
  const std::size_t extendedRcodeAt = canary.size() - 6;
  ASSERT_EQ(extendedRcode[canary.size() - 9], 41);  // OPT
  extendedRcode[extendedRcodeAt] = 1;
  const auto answeredExtended = rewriteDnsAnswer(extendedRcode);
  ASSERT_TRUE(answeredExtended.has_value());
  EXPECT_EQ(*answeredExtended, *answered);

  Bytes otherName = canary;
  otherName[13] = 'x';  // xSE-Application-DNS.net
  EXPECT_FALSE(rewriteDnsAnswer(otherName).has_value());
}

// One's-complement sum of 16-bit words, folded: 0xFFFF over a checksummed range.
std::uint16_t onesComplementSum(const Bytes& bytes, std::size_t from, std::size_t to, std::uint32_t sum = 0) {
  for (std::size_t i = from; i < to; i += 2) sum += static_cast<std::uint32_t>(bytes[i] << 8 | (i + 1 < to ? bytes[i + 1] : 0));
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

std::uint16_t u16(const Bytes& bytes, std::size_t at) { return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]); }

Bytes udpPacket(int version, const Bytes& payload, std::uint16_t sourcePort = 53) {
  const auto udpLength = static_cast<std::uint16_t>(8 + payload.size());
  Bytes packet;
  if (version == 4) {
    const auto total = static_cast<std::uint16_t>(20 + udpLength);
    packet = {0x45, 0, static_cast<std::uint8_t>(total >> 8), static_cast<std::uint8_t>(total), 0x12, 0x34, 0x40, 0,
              64, 17, 0, 0, 198, 18, 10, 2, 198, 18, 10, 1};
  } else {
    packet = {0x60, 0, 0, 0, static_cast<std::uint8_t>(udpLength >> 8), static_cast<std::uint8_t>(udpLength), 17, 64};
    const Bytes addresses{0x20, 0x01, 0x0d, 0xb8, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2,
                          0x20, 0x01, 0x0d, 0xb8, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    packet.insert(packet.end(), addresses.begin(), addresses.end());
  }
  packet.insert(packet.end(), {static_cast<std::uint8_t>(sourcePort >> 8), static_cast<std::uint8_t>(sourcePort), 0xD4,
                               0x31, static_cast<std::uint8_t>(udpLength >> 8), static_cast<std::uint8_t>(udpLength),
                               0xAB, 0xCD});
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

TEST(DnsRewriteTest, PacketsGetTheNewAnswerWithLengthsAndChecksumsRight) {
  const Bytes answer = answerFile("https_chain_compressed.bin");
  const Bytes expected = answerFile("https_chain_compressed.expected.bin");
  for (const int version : {4, 6}) {
    SCOPED_TRACE(version);
    const auto rewritten = rewriteDnsPacket(udpPacket(version, answer));
    ASSERT_TRUE(rewritten.has_value());
    const Bytes& packet = *rewritten;
    const std::size_t udp = version == 4 ? 20 : 40;
    ASSERT_EQ(packet.size(), udp + 8 + expected.size());
    EXPECT_EQ(Bytes(packet.begin() + static_cast<std::ptrdiff_t>(udp + 8), packet.end()), expected);
    EXPECT_EQ(u16(packet, udp + 4), 8 + expected.size());
    std::uint32_t pseudoHeader = 17 + u16(packet, udp + 4);
    if (version == 4) {
      EXPECT_EQ(u16(packet, 2), packet.size());
      EXPECT_EQ(onesComplementSum(packet, 0, 20), 0xFFFF) << "IPv4 header checksum";
      pseudoHeader += onesComplementSum(packet, 12, 20);
    } else {
      EXPECT_EQ(u16(packet, 4), 8 + expected.size());
      pseudoHeader += onesComplementSum(packet, 8, 40);
    }
    EXPECT_EQ(onesComplementSum(packet, udp, packet.size(), pseudoHeader), 0xFFFF) << "UDP checksum";
  }

  const auto blocked = rewriteDnsPacket(udpPacket(6, answerFile("blocked_a.bin")), blockedExample());
  ASSERT_TRUE(blocked.has_value());
  EXPECT_EQ(Bytes(blocked->begin() + 48, blocked->end()), answerFile("blocked_a.expected.bin"));

  Bytes fragment = udpPacket(4, answer);
  fragment[6] |= 0x20;  // more fragments follow
  EXPECT_FALSE(rewriteDnsPacket(fragment).has_value());
  const Bytes cutShort = udpPacket(6, answer);
  EXPECT_FALSE(rewriteDnsPacket(std::span(cutShort).first(cutShort.size() - 1)).has_value());
  EXPECT_FALSE(rewriteDnsPacket(udpPacket(4, answer, 5353)).has_value());
  EXPECT_FALSE(rewriteDnsPacket(udpPacket(6, Bytes(200, 0xEE))).has_value());
}

Bytes framed(const Bytes& message) {
  Bytes framed{static_cast<std::uint8_t>(message.size() >> 8), static_cast<std::uint8_t>(message.size())};
  framed.insert(framed.end(), message.begin(), message.end());
  return framed;
}

// What goes on to the client when the server's bytes arrive in pieces of at
// most `piece` bytes, each taken as the guard takes a read; `held` is what
// waits for the rest of its message at the end.
Bytes passedOn(const Bytes& stream, std::size_t piece, const BlockedName& blocked, Bytes& held) {
  Bytes out;
  held.clear();
  for (std::size_t from = 0; from < stream.size(); from += piece) {
    const auto to = static_cast<std::ptrdiff_t>(std::min(stream.size(), from + piece));
    held.insert(held.end(), stream.begin() + static_cast<std::ptrdiff_t>(from), stream.begin() + to);
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(rewriteDnsStream(held, blocked, out)));
  }
  return out;
}

// Answers that change (a new, shorter length in front) and one that does
// not, however the reads cut them: in one read, byte by byte, and in two
// reads split at every byte.
TEST(DnsStreamTest, EachMessageIsPassedOnRewrittenBehindItsNewLengthWhereverTheReadsCutTheStream) {
  const BlockedName blocked = blockedExample();
  Bytes stream, expected;
  for (const auto& [name, passedAs] : std::vector<std::pair<std::string, std::string>>{
           {"https_ech.bin", "https_ech.expected.bin"},
           {"a_answer.bin", "a_answer.bin"},
           {"blocked_a.bin", "blocked_a.expected.bin"},
           {"canary.bin", "canary.expected.bin"}}) {
    const Bytes message = framed(answerFile(name));
    stream.insert(stream.end(), message.begin(), message.end());
    const Bytes passed = framed(answerFile(passedAs));
    expected.insert(expected.end(), passed.begin(), passed.end());
  }
  ASSERT_NE(stream, expected);
  Bytes held;
  for (const std::size_t piece : {stream.size(), std::size_t{1}}) {
    EXPECT_EQ(passedOn(stream, piece, blocked, held), expected) << "pieces of " << piece;
    EXPECT_TRUE(held.empty());
  }
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    Bytes out;
    const std::size_t used = rewriteDnsStream(std::span(stream).first(cut), blocked, out);
    rewriteDnsStream(std::span(stream).subspan(used), blocked, out);
    EXPECT_EQ(out, expected) << "cut at " << cut;
  }
}

// The framing's largest message is held until its last byte; the next
// message starts right after it.
TEST(DnsStreamTest, TheLargestMessageWaitsForItsLastByte) {
  Bytes stream = framed(Bytes(maxMessageBytes, 0xEE));
  ASSERT_EQ(stream.size(), maxFramedMessageBytes);
  const Bytes next = framed(answerFile("a_answer.bin"));
  stream.insert(stream.end(), next.begin(), next.end());
  Bytes out;
  EXPECT_EQ(rewriteDnsStream(std::span(stream).first(maxFramedMessageBytes - 1), {}, out), 0u);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(rewriteDnsStream(std::span(stream).first(maxFramedMessageBytes + 1), {}, out), maxFramedMessageBytes);
  EXPECT_EQ(rewriteDnsStream(stream, {}, out), stream.size());
  EXPECT_EQ(out.size(), maxFramedMessageBytes + stream.size());
  EXPECT_TRUE(std::equal(next.begin(), next.end(), out.end() - static_cast<std::ptrdiff_t>(next.size())));
}

}  // namespace
}  // namespace vosk::dns
