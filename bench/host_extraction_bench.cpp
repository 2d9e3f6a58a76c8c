// Host extraction from first bytes captured from real clients.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "policy/host_extraction.hpp"
#include "support/test_data.hpp"
#include "support/tls_records.hpp"

namespace {

// Small enough that a post-quantum hello spans several records, as it
// would from a client that fragments its handshake.
constexpr std::size_t kSplitFragmentLength = 512;

std::vector<std::uint8_t> captured(const char* relativePath) {
  return vosk::test::readFileBytes(std::filesystem::path(VOSK_TEST_DATA_DIR) / relativePath);
}

void runParser(benchmark::State& state, vosk::HostExtraction (*parse)(std::span<const std::uint8_t>),
               const std::vector<std::uint8_t>& bytes) {
  if (!parse(bytes).host) state.SkipWithError("no host in the captured bytes");
  for (auto _ : state) {
    benchmark::DoNotOptimize(parse(bytes));
  }
}

void BM_TlsServerNameCurl(benchmark::State& state) {
  runParser(state, vosk::extractTLSServerName, captured("tls/clienthello-curl.bin"));
}
BENCHMARK(BM_TlsServerNameCurl);

void BM_TlsServerNamePostQuantum(benchmark::State& state) {
  runParser(state, vosk::extractTLSServerName, captured("tls/clienthello-pq-crafted.bin"));
}
BENCHMARK(BM_TlsServerNamePostQuantum);

void BM_TlsServerNamePostQuantumSplit(benchmark::State& state) {
  const std::size_t fragmentLengths[] = {kSplitFragmentLength};
  runParser(state, vosk::extractTLSServerName,
            vosk::test::splitIntoRecords(captured("tls/clienthello-pq-crafted.bin"), fragmentLengths));
}
BENCHMARK(BM_TlsServerNamePostQuantumSplit);

void BM_HttpHostCurl(benchmark::State& state) {
  runParser(state, vosk::extractHTTPHost, captured("http/request-curl.bin"));
}
BENCHMARK(BM_HttpHostCurl);

// Includes a fresh header decoder per call, as the reader makes one.
void BM_Http2HostCurl(benchmark::State& state) {
  runParser(state, vosk::extractHTTP2Host, captured("http/h2/prior-knowledge-curl.bin"));
}
BENCHMARK(BM_Http2HostCurl);

}  // namespace
