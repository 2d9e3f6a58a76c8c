// Host-to-site matching against generated block lists: the index against the
// linear rule it replaces, building the index, and whole decisions (host
// extraction from captured first bytes, then matching).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "model/blocked_site.hpp"
#include "model/site_block_list_manager.hpp"
#include "policy/block_list.hpp"
#include "policy/host_extraction.hpp"
#include "support/test_data.hpp"

namespace {

constexpr std::uint64_t kSeed = 7;
constexpr std::size_t kDomainsPerSite = 8;
// Hosts are taken in turn from a pool this large, so that successive
// decisions do not find their part of the index already in the cache.
constexpr std::size_t kHostPoolSize = 4096;
// The host the captured clients asked for; every generated list blocks it
// halfway down, so that decisions on those bytes end in a match.
constexpr const char* kCapturedHost = "allowed.test";

class NameGenerator {
 public:
  // A registrable name, now and then below a subdomain: "k3x9qa.net", "img.w0rdsm1th.co.uk".
  std::string domain() {
    static constexpr std::array<const char*, 6> kSuffixes = {"com", "net", "org", "io", "co.uk", "de"};
    std::string name = pick(4) == 0 ? label(2, 6) + "." : "";
    return name + label(5, 14) + "." + kSuffixes[pick(kSuffixes.size())];
  }

  // Half of the hosts fall under a listed domain, at various depths.
  std::string host(const std::vector<std::string>& listed) {
    static constexpr std::array<const char*, 4> kPrefixes = {"", "www.", "cdn.static.", "a.b.c."};
    if (pick(2) == 0) return "www." + domain();
    return kPrefixes[pick(kPrefixes.size())] + listed[pick(listed.size())];
  }

 private:
  std::string label(std::size_t shortest, std::size_t longest) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string text(shortest + pick(longest - shortest + 1), 'a');
    for (char& c : text) c = kLetters[pick(sizeof kLetters - 1)];
    return text;
  }

  std::size_t pick(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }

  std::mt19937_64 random_{kSeed};
};

struct Fixture {
  std::vector<vosk::BlockedSite> sites;
  vosk::BlockList index;
  std::vector<std::string> hosts;
};

vosk::BlockedSite siteNumber(std::size_t number, std::vector<std::string> domains) {
  std::array<std::uint8_t, 16> id{};
  for (std::size_t i = 0; i < sizeof number; ++i) id[15 - i] = static_cast<std::uint8_t>(number >> (8 * i));
  return vosk::BlockedSite{vosk::Uuid(id), "site", std::move(domains)};
}

std::vector<vosk::BlockedSite> generateSites(std::size_t domainCount, NameGenerator& names,
                                             std::vector<std::string>& listed) {
  std::vector<vosk::BlockedSite> sites;
  for (std::size_t first = 0; first < domainCount; first += kDomainsPerSite) {
    std::vector<std::string> domains;
    for (std::size_t i = first; i < std::min(first + kDomainsPerSite, domainCount); ++i) {
      domains.push_back(names.domain());
      listed.push_back(domains.back());
    }
    sites.push_back(siteNumber(sites.size(), std::move(domains)));
    if (first == domainCount / kDomainsPerSite / 2 * kDomainsPerSite) {
      sites.push_back(siteNumber(sites.size(), {kCapturedHost}));
    }
  }
  return sites;
}

// One fixture per list size, made on first use and kept for the whole run.
const Fixture& fixture(std::size_t domainCount) {
  static std::map<std::size_t, std::unique_ptr<Fixture>> fixtures;
  std::unique_ptr<Fixture>& made = fixtures[domainCount];
  if (!made) {
    NameGenerator names;
    std::vector<std::string> listed;
    std::vector<vosk::BlockedSite> sites = generateSites(domainCount, names, listed);
    vosk::BlockList index(sites);
    std::vector<std::string> hosts;
    for (std::size_t i = 0; i < kHostPoolSize; ++i) hosts.push_back(names.host(listed));
    made = std::make_unique<Fixture>(Fixture{std::move(sites), std::move(index), std::move(hosts)});
  }
  return *made;
}

void BM_MatchIndex(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.index.match(f.hosts[next++ % kHostPoolSize]));
  }
}
BENCHMARK(BM_MatchIndex)->Arg(1'000)->Arg(100'000)->Arg(1'000'000);

void BM_MatchLinear(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vosk::SiteBlockListManager::matchBlockedSite(f.hosts[next++ % kHostPoolSize], f.sites));
  }
}
BENCHMARK(BM_MatchLinear)->Arg(1'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);

void BM_BuildIndex(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    // The provider moves the decoded list in; copying it here is not the index's cost.
    state.PauseTiming();
    std::vector<vosk::BlockedSite> sites = f.sites;
    state.ResumeTiming();
    auto index = std::make_unique<vosk::BlockList>(std::move(sites));
    state.PauseTiming();
    index.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_BuildIndex)->Arg(1'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void runDecision(benchmark::State& state, vosk::HostExtraction (*extract)(std::span<const std::uint8_t>),
                 const char* capturedBytes) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  const std::vector<std::uint8_t> bytes =
      vosk::test::readFileBytes(std::filesystem::path(VOSK_TEST_DATA_DIR) / capturedBytes);
  const vosk::HostExtraction found = extract(bytes);
  if (!found.host || f.index.match(*found.host) == nullptr) state.SkipWithError("the captured host is not blocked");
  for (auto _ : state) {
    const vosk::HostExtraction extraction = extract(bytes);
    benchmark::DoNotOptimize(extraction.host ? f.index.match(*extraction.host) : nullptr);
  }
}

void BM_DecisionTls(benchmark::State& state) { runDecision(state, vosk::extractTLSServerName, "tls/clienthello-curl.bin"); }
BENCHMARK(BM_DecisionTls)->Arg(1'000)->Arg(100'000)->Arg(1'000'000);

void BM_DecisionHttp(benchmark::State& state) { runDecision(state, vosk::extractHTTPHost, "http/request-curl.bin"); }
BENCHMARK(BM_DecisionHttp)->Arg(1'000)->Arg(100'000)->Arg(1'000'000);

}  // namespace
