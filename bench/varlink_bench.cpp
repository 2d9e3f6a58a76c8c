// The control socket's message reader: its cost grows with the stream, not
// with the square of it, however the stream is chunked and taken.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "control/interface.hpp"
#include "control/varlink.hpp"

namespace {

constexpr std::size_t kSmallChunkBytes = 7;

// `count` calls of about 60 bytes, one after the other.
std::string callStream(std::int64_t count) {
  std::string stream;
  for (std::int64_t i = 0; i < count; ++i) {
    stream += vosk::control::encodeCall({vosk::control::pauseMethod, {{"minutes", i}}});
  }
  return stream;
}

void takeAll(vosk::control::MessageReader& reader) {
  while (auto message = reader.next()) benchmark::DoNotOptimize(message);
}

// The stream appended in small chunks, its messages taken after every chunk
// (as the daemon reads a connection) or only after the last (a client that
// sends calls ahead).
void readInSmallChunks(benchmark::State& state, bool takeAfterEveryChunk) {
  const std::string stream = callStream(state.range(0));
  for (auto _ : state) {
    vosk::control::MessageReader reader;
    for (std::size_t at = 0; at < stream.size(); at += kSmallChunkBytes) {
      reader.append(std::string_view(stream).substr(at, kSmallChunkBytes));
      if (takeAfterEveryChunk) takeAll(reader);
    }
    takeAll(reader);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
  state.SetComplexityN(state.range(0));
}
void BM_ReaderTakesAfterEverySmallChunk(benchmark::State& state) { readInSmallChunks(state, true); }
void BM_ReaderTakesAfterTheLastChunk(benchmark::State& state) { readInSmallChunks(state, false); }
BENCHMARK(BM_ReaderTakesAfterEverySmallChunk)->RangeMultiplier(4)->Range(1 << 8, 1 << 14)->Complexity(benchmark::oN);
BENCHMARK(BM_ReaderTakesAfterTheLastChunk)->RangeMultiplier(4)->Range(1 << 8, 1 << 14)->Complexity(benchmark::oN);

// One long message arriving a byte at a time, looked for after every byte.
void BM_ReaderLongMessageByteByByte(benchmark::State& state) {
  const std::string message(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    vosk::control::MessageReader reader;
    for (const char byte : message) {
      reader.append(std::string_view(&byte, 1));
      benchmark::DoNotOptimize(reader.next());
    }
    reader.append(std::string_view("", 1));
    benchmark::DoNotOptimize(reader.next());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ReaderLongMessageByteByByte)->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Complexity(benchmark::oN);

}  // namespace
