// Importing a 1,000,000-line hosts file (parsing, normalising, folding), and
// decisions against the block list that import makes.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "control/import_list.hpp"
#include "model/blocked_site.hpp"
#include "policy/block_list.hpp"
#include "policy/host_extraction.hpp"
#include "support/test_data.hpp"

namespace {

constexpr std::size_t kLines = 1'000'000;
constexpr std::size_t kHostPoolSize = 4096;
// The host the captured ClientHello names; the list blocks it.
constexpr const char* kCapturedHost = "allowed.test";

// As published block lists are: mostly one name a line, now and then two,
// comments, the machine's own names, a few subdomains of listed names.
std::string hostsFile() {
  std::string text = "# generated\n127.0.0.1 localhost\n::1 ip6-localhost\n";
  text += std::string("0.0.0.0 ") + kCapturedHost + "\n";
  for (std::size_t i = 4; i < kLines; ++i) {
    const std::string name = "ads" + std::to_string(i * 7919 % 1'000'003) + ".tracker" + std::to_string(i % 97) + ".test";
    text += i % 10 == 0 ? "0.0.0.0 " + name + " www." + name + " # two\n" : "0.0.0.0 " + name + "\n";
  }
  return text;
}

const std::string& hostsText() {
  static const std::string text = hostsFile();
  return text;
}

void BM_ImportHostsFile(benchmark::State& state) {
  const std::string& text = hostsText();
  for (auto _ : state) {
    benchmark::DoNotOptimize(vosk::control::importNames(text, {}));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ImportHostsFile)->Unit(benchmark::kMillisecond)->Iterations(3);

struct ImportedList {
  vosk::BlockList index;
  std::vector<std::string> hosts;
};

const ImportedList& importedList() {
  static const ImportedList list = [] {
    vosk::control::ImportedNames imported = vosk::control::importNames(hostsText(), {});
    std::vector<std::string> hosts;
    for (std::size_t i = 0; i < kHostPoolSize; ++i) {
      const std::string& listed = imported.added[i * 241 % imported.added.size()];
      hosts.push_back(i % 2 == 0 ? "cdn." + listed : "www.unlisted" + std::to_string(i) + ".example");
    }
    vosk::BlockList index({vosk::BlockedSite{vosk::Uuid(), "Imported", std::move(imported.added)}});
    return ImportedList{std::move(index), std::move(hosts)};
  }();
  return list;
}

void BM_MatchImportedList(benchmark::State& state) {
  const ImportedList& list = importedList();
  std::size_t next = 0;
  for (auto _ : state) benchmark::DoNotOptimize(list.index.match(list.hosts[next++ % kHostPoolSize]));
}
BENCHMARK(BM_MatchImportedList);

// A whole decision: the server name read from a captured ClientHello, then matched.
void BM_DecisionTlsImportedList(benchmark::State& state) {
  const ImportedList& list = importedList();
  const std::vector<std::uint8_t> bytes =
      vosk::test::readFileBytes(std::filesystem::path(VOSK_TEST_DATA_DIR) / "tls/clienthello-curl.bin");
  const vosk::HostExtraction found = vosk::extractTLSServerName(bytes);
  if (!found.host || list.index.match(*found.host) == nullptr) state.SkipWithError("the captured host is not blocked");
  for (auto _ : state) {
    const vosk::HostExtraction extraction = vosk::extractTLSServerName(bytes);
    benchmark::DoNotOptimize(extraction.host ? list.index.match(*extraction.host) : nullptr);
  }
}
BENCHMARK(BM_DecisionTlsImportedList);

}  // namespace
