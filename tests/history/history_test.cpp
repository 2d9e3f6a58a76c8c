#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "history/history_recorder.hpp"
#include "history/history_store.hpp"
#include "support/scoped_time_zone.hpp"
#include "support/temporary_directory.hpp"

namespace vosk::history {

bool operator==(const BucketCount& a, const BucketCount& b) {
  return a.bucket == b.bucket && a.site == b.site && a.count == b.count;
}
void PrintTo(const BucketCount& count, std::ostream* out) {
  *out << count.bucket << ' ' << count.site << ' ' << count.count;
}

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr sys_days kJune1 = 2026y / June / 1;
constexpr sys_days kOctober25 = 2026y / October / 25;
// Bounds on a quarter hour, around every decision below.
constexpr WallTime kLongAgo = sys_days{2000y / January / 1};
constexpr WallTime kFarAhead = sys_days{2100y / January / 1};

// Spread so that local days and hours split them apart in zones whose offset
// is not a whole hour; two fall in the hour Berlin repeats in autumn.
const std::vector<Decision> kDecisions = {
    {kJune1 + 18h + 20min, BlockedKind::tls, "a", "www.a.test"},
    {kJune1 + 18h + 40min, BlockedKind::http, "a", "a.test"},
    {kJune1 + 19h + 5min, BlockedKind::encryptedDns, "b", "dns.b.test"},
    {kJune1 + 19h + 10min, BlockedKind::tls, "b", "b.test"},
    {kJune1 + 24h + 10min, BlockedKind::quic, "", "198.18.0.7"},
    {kOctober25 + 30min, BlockedKind::tls, "a", "www.a.test"},
    {kOctober25 + 1h + 30min, BlockedKind::tls, "a", "a.test"},
};

class HistoryTest : public ::testing::Test {
 protected:

  static HistoryStore open(const std::string& path) {
    auto opened = HistoryStore::open(path);
    if (auto* problem = std::get_if<std::string>(&opened)) throw std::runtime_error(*problem);
    return std::move(std::get<HistoryStore>(opened));
  }

  // The decisions stored, as both rollups count them: they must agree.
  static std::int64_t stored(HistoryStore& store) {
    std::int64_t perSite = 0;
    for (const BucketCount& count : store.counts(Bucket::day, kLongAgo, kFarAhead, std::nullopt)) perSite += count.count;
    const std::int64_t all = store.totals(kLongAgo, kFarAhead).all;
    EXPECT_EQ(perSite, all);
    return all;
  }

  static std::int64_t recorded(HistoryRecorder& recorder) {
    std::int64_t count = -1;
    recorder.query([&count](HistoryStore* store) { count = store ? stored(*store) : -1; });
    recorder.flush();
    return count;
  }

  HistoryRecorder recorder(int keepDays) {
    return {path_, keepDays, [this] { return WallTime(seconds(now_.load())); },
            [this](std::string problem) { reports_.push_back(std::move(problem)); }};
  }

  const test::TemporaryDirectory temporary_;
  const std::string& directory_ = temporary_.path();
  std::string path_ = directory_ + "/history.sqlite";
  std::atomic<std::int64_t> now_{WallTime(kJune1 + 12h).time_since_epoch().count()};
  std::vector<std::string> reports_;  // read once a flush returned
};

TEST_F(HistoryTest, PruneKeepsExactlyTheLastDays) {
  // Off the quarter hour: the cutoff splits a quarter the rollups count.
  const WallTime now = kJune1 + 12h + 7min + 30s;
  std::vector<Decision> decisions;
  for (const seconds age : std::initializer_list<seconds>{0s, 1h, 24h - 1s, 24h, 24h + 1s, 72h, 72h + 1s, days(40)}) {
    decisions.push_back({now - age, BlockedKind::tls, "a", "a.test"});
  }
  struct Case {
    int keepDays;
    std::int64_t kept;
  };
  for (const Case& c : {Case{1, 4}, Case{3, 6}, Case{30, 7}, Case{45, 8}, Case{0, 0}}) {
    SCOPED_TRACE(c.keepDays);
    HistoryStore store = open(directory_ + "/" + std::to_string(c.keepDays));
    store.insert(decisions);
    store.prune(now, c.keepDays);
    EXPECT_EQ(stored(store), c.kept);
    EXPECT_EQ(static_cast<std::int64_t>(store.last(100, std::nullopt).size()), c.kept);
  }
}

TEST_F(HistoryTest, CountsPerLocalBucketAndSite) {
  HistoryStore store = open(path_);
  store.insert(kDecisions);
  const WallTime juneFrom = kJune1;
  const WallTime juneTo = kJune1 + 48h;
  struct Case {
    const char* zone;
    Bucket bucket;
    std::optional<std::string> site;
    WallTime from, to;
    std::vector<BucketCount> expected;
  };
  const std::vector<Case> cases = {
      {"UTC", Bucket::day, std::nullopt, juneFrom, juneTo,
       {{"2026-06-01", "a", 2}, {"2026-06-01", "b", 2}, {"2026-06-02", "", 1}}},
      {"UTC", Bucket::hour, "a", juneFrom, juneTo, {{"2026-06-01 18:00", "a", 2}}},
      // UTC+5:30.
      {"Asia/Kolkata", Bucket::day, std::nullopt, juneFrom, juneTo,
       {{"2026-06-01", "a", 1}, {"2026-06-02", "", 1}, {"2026-06-02", "a", 1}, {"2026-06-02", "b", 2}}},
      {"Asia/Kolkata", Bucket::hour, std::nullopt, juneFrom, juneTo,
       {{"2026-06-01 23:00", "a", 1}, {"2026-06-02 00:00", "a", 1}, {"2026-06-02 00:00", "b", 2},
        {"2026-06-02 05:00", "", 1}}},
      {"Asia/Kolkata", Bucket::hour, "b", juneFrom, juneTo, {{"2026-06-02 00:00", "b", 2}}},
      // Bounds inside a quarter hour; `to` is left out.
      {"UTC", Bucket::hour, std::nullopt, kJune1 + 18h + 25min, kJune1 + 19h + 10min,
       {{"2026-06-01 18:00", "a", 1}, {"2026-06-01 19:00", "b", 1}}},
      {"UTC", Bucket::hour, std::nullopt, kJune1 + 19h + 1min, kJune1 + 19h + 9min, {{"2026-06-01 19:00", "b", 1}}},
      // 03:00 summer time becomes 02:00 winter time: one bucket for both hours.
      {"Europe/Berlin", Bucket::hour, std::nullopt, kOctober25, kOctober25 + 2h, {{"2026-10-25 02:00", "a", 2}}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(testing::Message() << "case " << i << " in " << c.zone);
    const test::ScopedTimeZone zone(c.zone);
    EXPECT_EQ(store.counts(c.bucket, c.from, c.to, c.site), c.expected);
  }
}

TEST_F(HistoryTest, LastNewestFirst) {
  HistoryStore store = open(path_);
  store.insert(kDecisions);
  const std::vector<Decision> newest = store.last(3, std::nullopt);
  ASSERT_EQ(newest.size(), 3u);
  for (std::size_t i = 0; i < newest.size(); ++i) {
    const Decision& expected = kDecisions[kDecisions.size() - 1 - i];
    EXPECT_EQ(newest[i].time, expected.time);
    EXPECT_EQ(newest[i].kind, expected.kind);
    EXPECT_EQ(newest[i].site, expected.site);
    EXPECT_EQ(newest[i].host, expected.host);
  }
  const std::vector<Decision> ofB = store.last(10, "b");
  ASSERT_EQ(ofB.size(), 2u);
  EXPECT_EQ(ofB[0].host, "b.test");
  EXPECT_EQ(ofB[1].host, "dns.b.test");
}

TEST_F(HistoryTest, TotalsByKind) {
  HistoryStore store = open(path_);
  store.insert(kDecisions);
  struct Case {
    WallTime from, to;
    std::int64_t all;
    std::array<std::int64_t, 4> byKind;  // tls, http, encrypted DNS, QUIC
  };
  for (const Case& c : {Case{kLongAgo, kFarAhead, 7, {4, 1, 1, 1}},
                        Case{kJune1 + 18h + 25min, kJune1 + 19h + 10min, 2, {0, 1, 1, 0}},
                        Case{kFarAhead, kLongAgo, 0, {0, 0, 0, 0}}}) {
    const Totals totals = store.totals(c.from, c.to);
    EXPECT_EQ(totals.all, c.all);
    EXPECT_EQ(totals.byKind, c.byKind);
  }
}

TEST_F(HistoryTest, TheFileIsPrivateAndKeptAcrossOpens) {
  open(path_).insert(kDecisions);
  struct stat status {};
  ASSERT_EQ(::stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  HistoryStore reopened = open(path_);
  EXPECT_EQ(stored(reopened), static_cast<std::int64_t>(kDecisions.size()));
}

// Pruning in injected wall time: at open, then at most once an hour, and
// at once when the number of days kept changes.
TEST_F(HistoryTest, RecorderPrunesHourly) {
  const std::int64_t start = now_.load();
  const auto at = [&](seconds later) { now_ = start + later.count(); };
  HistoryRecorder recorder = this->recorder(1);
  recorder.recordBlocked(BlockedKind::tls, "a", "a.test");
  EXPECT_EQ(recorded(recorder), 1);
  at(23h + 30min);  // pruned: the first decision is younger than a day
  recorder.recordBlocked(BlockedKind::tls, "a", "a.test");
  EXPECT_EQ(recorded(recorder), 2);
  at(24h + 10min);  // the first is older than a day, but the last prune was 40 minutes ago
  recorder.recordBlocked(BlockedKind::tls, "a", "a.test");
  EXPECT_EQ(recorded(recorder), 3);
  at(seconds(24h + 30min) + 1s);
  recorder.recordBlocked(BlockedKind::tls, "a", "a.test");
  EXPECT_EQ(recorded(recorder), 3);

  recorder.setKeepDays(0);
  EXPECT_EQ(recorded(recorder), 0);
  recorder.recordBlocked(BlockedKind::tls, "a", "a.test");
  EXPECT_EQ(recorded(recorder), 0);
  EXPECT_TRUE(reports_.empty());
}

TEST_F(HistoryTest, AFullQueueDropsOnlyWhatDoesNotFit) {
  HistoryRecorder recorder = this->recorder(30);
  std::latch started(1);
  std::latch release(1);
  recorder.query([&](HistoryStore*) {
    started.count_down();
    release.wait();
  });
  started.wait();
  for (std::size_t i = 0; i < HistoryRecorder::maxQueuedDecisions + 3; ++i) {
    recorder.recordBlocked(BlockedKind::tls, "a", "a.test");
  }
  EXPECT_EQ(recorder.dropped(), 3u);
  release.count_down();
  EXPECT_EQ(recorded(recorder), static_cast<std::int64_t>(HistoryRecorder::maxQueuedDecisions));
  EXPECT_EQ(recorder.dropped(), 3u);
}

TEST_F(HistoryTest, AnUnopenableStoreIsReportedOnce) {
  path_ = directory_ + "/missing/history.sqlite";
  HistoryRecorder recorder = this->recorder(30);
  for (int round = 0; round < 2; ++round) {
    recorder.recordBlocked(BlockedKind::http, "a", "a.test");
    EXPECT_EQ(recorded(recorder), -1);  // the job is given no store
  }
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find(path_), std::string::npos) << reports_[0];
}

}  // namespace
}  // namespace vosk::history
