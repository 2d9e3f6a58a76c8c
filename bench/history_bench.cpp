// The history of blocked decisions: what recording costs the flow path while
// the writer writes, what writing costs the writer, and the queries over a
// store of a month of decisions.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "history/history_recorder.hpp"
#include "history/history_store.hpp"
#include "support/scoped_time_zone.hpp"
#include "support/temporary_directory.hpp"

namespace {

using namespace std::chrono;
using vosk::BlockedKind;
using vosk::history::Bucket;
using vosk::history::Decision;
using vosk::history::HistoryRecorder;
using vosk::history::HistoryStore;
using vosk::history::WallTime;

constexpr std::size_t kSites = 50;
constexpr std::size_t kStoredDecisions = 1'000'000;
constexpr std::size_t kInsertBatch = 10'000;
constexpr days kStoredDays{30};
constexpr std::size_t kRecords = 50'000;  // five seconds at 10,000 a second
constexpr std::size_t kLastCount = 100;
// The stored month starts on a day in UTC; queries end 7.5 minutes before its
// end, off the quarter hour, as "the last N days" from now would.
constexpr WallTime kStoreStart = sys_days{2026y / November / 1};
constexpr WallTime kQueryEnd = kStoreStart + kStoredDays - 450s;

std::string siteName(std::size_t i) { return "site" + std::to_string(i % kSites) + ".test"; }

// The i-th of `count` decisions spread evenly from kStoreStart over the month.
Decision decision(std::size_t i, std::size_t count) {
  const auto offset = duration_cast<seconds>(kStoredDays) * static_cast<std::int64_t>(i) / static_cast<std::int64_t>(count);
  const std::size_t site = i * 7919 % kSites;
  return {kStoreStart + offset, static_cast<BlockedKind>(i / 3 % 4), siteName(site), "www." + siteName(site)};
}

HistoryStore openStore(const std::string& path) {
  auto opened = HistoryStore::open(path);
  if (auto* problem = std::get_if<std::string>(&opened)) {
    std::fprintf(stderr, "%s\n", problem->c_str());
    std::exit(1);
  }
  return std::move(std::get<HistoryStore>(opened));
}

// A month of decisions, written once for all the queries.
struct StoredMonth {
  StoredMonth() {
    std::vector<Decision> batch;
    for (std::size_t i = 0; i < kStoredDecisions; ++i) {
      batch.push_back(decision(i, kStoredDecisions));
      if (batch.size() == kInsertBatch) {
        store.insert(batch);
        batch.clear();
      }
    }
  }
  vosk::test::TemporaryDirectory directory;
  HistoryStore store = openStore(directory.path() + "/history.sqlite");
};

HistoryStore& storedMonth() {
  static StoredMonth month;
  return month.store;
}

// recordBlocked on the caller's side, while the writer writes: every 100 µs
// (10,000 calls a second), and back to back (caches warm, under the queue's
// limit); mean, median, 99th percentile and maximum per call (the
// mean takes in the times the caller was preempted).
void BM_RecordBlocked(benchmark::State& state) {
  const vosk::test::TemporaryDirectory directory;
  HistoryRecorder recorder(
      directory.path() + "/history.sqlite", 30, [] { return time_point_cast<seconds>(system_clock::now()); },
      [](const std::string& problem) { std::fprintf(stderr, "%s\n", problem.c_str()); });
  std::vector<std::string> sites, hosts;
  for (std::size_t i = 0; i < kSites; ++i) {
    sites.push_back(siteName(i));
    hosts.push_back("www." + siteName(i));
  }
  recorder.flush();  // the writer started and the store open

  std::vector<double> callNanoseconds;
  callNanoseconds.reserve(kRecords);
  const microseconds interval(state.range(0));
  auto next = steady_clock::now();
  std::size_t i = 0;
  for (auto _ : state) {
    const auto begin = steady_clock::now();
    recorder.recordBlocked(BlockedKind::tls, sites[i % kSites], hosts[i % kSites]);
    const duration<double> spent = steady_clock::now() - begin;
    state.SetIterationTime(spent.count());
    callNanoseconds.push_back(spent.count() * 1e9);
    ++i;
    next += interval;
    if (interval.count() > 0) std::this_thread::sleep_until(next);
  }
  recorder.flush();
  if (recorder.dropped() != 0) state.SkipWithError("decisions were dropped");
  std::sort(callNanoseconds.begin(), callNanoseconds.end());
  state.counters["median_ns"] = callNanoseconds[callNanoseconds.size() / 2];
  state.counters["p99_ns"] = callNanoseconds[callNanoseconds.size() * 99 / 100];
  state.counters["max_ns"] = callNanoseconds.back();
  state.counters["dropped"] = static_cast<double>(recorder.dropped());
}
BENCHMARK(BM_RecordBlocked)
    ->ArgName("intervalUs")
    ->Arg(100)
    ->Arg(0)
    ->UseManualTime()->Iterations(kRecords)->Unit(benchmark::kNanosecond);

// The writer's side: one transaction of 10,000 decisions into a growing store.
void BM_InsertBatch(benchmark::State& state) {
  const vosk::test::TemporaryDirectory directory;
  HistoryStore store = openStore(directory.path() + "/history.sqlite");
  std::vector<Decision> batch;
  std::size_t next = 0;
  for (auto _ : state) {
    state.PauseTiming();
    batch.clear();
    for (std::size_t i = 0; i < kInsertBatch; ++i) batch.push_back(decision(next++, kStoredDecisions));
    state.ResumeTiming();
    store.insert(batch);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kInsertBatch));
}
BENCHMARK(BM_InsertBatch)->Unit(benchmark::kMillisecond)->Iterations(20);

// Counts per day over the month or per hour over the last day, all sites or one.
void BM_Counts(benchmark::State& state) {
  HistoryStore& store = storedMonth();
  const vosk::test::ScopedTimeZone zone("Europe/Berlin");
  const Bucket bucket = state.range(0) != 0 ? Bucket::day : Bucket::hour;
  const WallTime from = kQueryEnd - days(state.range(1));
  const std::optional<std::string> site = state.range(2) != 0 ? std::optional(siteName(7)) : std::nullopt;
  std::size_t rows = 0;
  for (auto _ : state) rows = store.counts(bucket, from, kQueryEnd, site).size();
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_Counts)
    ->ArgNames({"perDay", "days", "oneSite"})
    ->Args({1, 30, 0})
    ->Args({1, 30, 1})
    ->Args({0, 1, 0})
    ->Args({0, 1, 1})
    ->Unit(benchmark::kMillisecond);

void BM_Last(benchmark::State& state) {
  HistoryStore& store = storedMonth();
  const std::optional<std::string> site = state.range(0) != 0 ? std::optional(siteName(7)) : std::nullopt;
  for (auto _ : state) benchmark::DoNotOptimize(store.last(kLastCount, site));
}
BENCHMARK(BM_Last)->ArgName("oneSite")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Totals(benchmark::State& state) {
  HistoryStore& store = storedMonth();
  const WallTime from = kQueryEnd - days(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(store.totals(from, kQueryEnd));
}
BENCHMARK(BM_Totals)->ArgName("days")->Arg(30)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
