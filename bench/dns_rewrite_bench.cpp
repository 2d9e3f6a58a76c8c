// Strict mode's DNS answer rewrite, on the answers of tests/data/dns, as a
// message, as the whole IPv6 packet the queue hands over and as a message in
// a TCP stream; blocked names looked up in a block list of a million domains.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "config/blocking_rules.hpp"
#include "dns/dns_rewrite.hpp"
#include "dns/dns_stream.hpp"
#include "support/test_data.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes answer(const char* name) {
  return vosk::test::readFileBytes(std::filesystem::path(VOSK_TEST_DATA_DIR) / "dns" / name);
}

// The answer in an IPv6 packet from port 53 (checksum left zero: the rewrite writes its own).
Bytes ipv6Packet(const Bytes& payload) {
  const auto udpLength = static_cast<std::uint16_t>(8 + payload.size());
  Bytes packet{0x60, 0, 0, 0, static_cast<std::uint8_t>(udpLength >> 8), static_cast<std::uint8_t>(udpLength), 17, 64};
  for (int address = 0; address < 2; ++address) {
    packet.insert(packet.end(), {0x20, 0x01, 0x0d, 0xb8, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  }
  packet.insert(packet.end(), {0, 53, 0xD4, 0x31, static_cast<std::uint8_t>(udpLength >> 8),
                               static_cast<std::uint8_t>(udpLength), 0, 0});
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

constexpr int listedDomains = 1'000'000;

// blocked.example among a million domains, built once as the daemon builds it from a configuration.
const vosk::dns::BlockedName& millionDomains() {
  static const vosk::dns::BlockedName blocked = [] {
    std::string json = R"([{"id": "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8", "name": "Many", "domains": ["blocked.example")";
    for (int i = 1; i < listedDomains; ++i) json += ",\"site" + std::to_string(i) + ".example\"";
    json += "]}]";
    return vosk::config::blockedHostsOf({{"sitesData", Bytes(json.begin(), json.end())}});
  }();
  return blocked;
}

void runAnswer(benchmark::State& state, const Bytes& message, bool changes, const vosk::dns::BlockedName& blocked = {}) {
  if (vosk::dns::rewriteDnsAnswer(message, blocked).has_value() != changes) state.SkipWithError("unexpected outcome");
  for (auto _ : state) benchmark::DoNotOptimize(vosk::dns::rewriteDnsAnswer(message, blocked));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

void runPacket(benchmark::State& state, const Bytes& packet, bool changes) {
  if (vosk::dns::rewriteDnsPacket(packet).has_value() != changes) state.SkipWithError("unexpected outcome");
  for (auto _ : state) benchmark::DoNotOptimize(vosk::dns::rewriteDnsPacket(packet));
}

// One HTTPS record with alpn, ech and address hints (174 bytes).
void BM_DnsRewriteHttpsAnswer(benchmark::State& state) { runAnswer(state, answer("https_ech.bin"), true); }
BENCHMARK(BM_DnsRewriteHttpsAnswer);

// A CNAME, two HTTPS records, compressed names moved back (326 bytes).
void BM_DnsRewriteCompressedChain(benchmark::State& state) {
  runAnswer(state, answer("https_chain_compressed.bin"), true);
}
BENCHMARK(BM_DnsRewriteCompressedChain);

// Sixteen HTTPS records with ech (2.5 KB).
void BM_DnsRewriteSixteenRecords(benchmark::State& state) { runAnswer(state, answer("https_many.bin"), true); }
BENCHMARK(BM_DnsRewriteSixteenRecords);

// The canary turned into NXDOMAIN.
void BM_DnsRewriteCanary(benchmark::State& state) { runAnswer(state, answer("canary.bin"), true); }
BENCHMARK(BM_DnsRewriteCanary);

// An address answer: walked, nothing to change, nothing copied.
void BM_DnsRewriteAddressAnswerUnchanged(benchmark::State& state) {
  runAnswer(state, answer("a_answer.bin"), false);
}
BENCHMARK(BM_DnsRewriteAddressAnswerUnchanged);

// A blocked name's address answer turned into NXDOMAIN.
void BM_DnsRewriteBlockedAddressAnswer(benchmark::State& state) {
  runAnswer(state, answer("blocked_a.bin"), true, millionDomains());
}
BENCHMARK(BM_DnsRewriteBlockedAddressAnswer);

// A blocked subdomain's HTTPS answer, asked in mixed case, turned into NXDOMAIN.
void BM_DnsRewriteBlockedHttpsAnswer(benchmark::State& state) {
  runAnswer(state, answer("blocked_case_https.bin"), true, millionDomains());
}
BENCHMARK(BM_DnsRewriteBlockedHttpsAnswer);

// An allowed name's HTTPS answer: looked up, then ech removed.
void BM_DnsRewriteAllowedHttpsAnswerWithList(benchmark::State& state) {
  runAnswer(state, answer("https_ech.bin"), true, millionDomains());
}
BENCHMARK(BM_DnsRewriteAllowedHttpsAnswerWithList);

// The TCP path: a blocked name's address answer behind its length, turned
// into NXDOMAIN behind its new length in the connection's reused buffer.
void BM_DnsRewriteStreamBlockedAddressAnswer(benchmark::State& state) {
  const Bytes message = answer("blocked_a.bin");
  Bytes stream{static_cast<std::uint8_t>(message.size() >> 8), static_cast<std::uint8_t>(message.size())};
  stream.insert(stream.end(), message.begin(), message.end());
  Bytes out;
  if (vosk::dns::rewriteDnsStream(stream, millionDomains(), out) != stream.size() || out == stream) {
    state.SkipWithError("unexpected outcome");
  }
  for (auto _ : state) {
    out.clear();
    benchmark::DoNotOptimize(vosk::dns::rewriteDnsStream(stream, millionDomains(), out));
  }
}
BENCHMARK(BM_DnsRewriteStreamBlockedAddressAnswer);

// The whole packet path: IPv6 and UDP headers, the rewrite, lengths and the UDP checksum.
void BM_DnsRewritePacketIpv6(benchmark::State& state) { runPacket(state, ipv6Packet(answer("https_ech.bin")), true); }
BENCHMARK(BM_DnsRewritePacketIpv6);

// 1200 bytes from port 53 that are not a DNS answer (QR clear): the header check alone.
void BM_DnsRewritePacketNotAnAnswer(benchmark::State& state) {
  runPacket(state, ipv6Packet(Bytes(1200, 0x17)), false);
}
BENCHMARK(BM_DnsRewritePacketNotAnAnswer);

}  // namespace
