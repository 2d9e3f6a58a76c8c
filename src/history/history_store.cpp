#include "history/history_store.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <stdexcept>
#include <utility>

namespace vosk::history {
namespace {

// The rollup tables count per quarter hour: every time zone's offset is a
// whole number of quarter hours, so a quarter falls in one local hour.
constexpr std::int64_t kQuarterSeconds = 15 * 60;
constexpr std::int64_t kDaySeconds = 24 * 60 * 60;
// A cutoff later than any decision's time (and far from overflow).
constexpr std::int64_t kEndOfTime = std::numeric_limits<std::int64_t>::max() / 2;

// Decisions keep their time in seconds since 1970 (UTC). The two rollup
// tables are kept with them, so that counts read a row per quarter hour and
// site (or kind) rather than one per decision. With the write-ahead log,
// synchronous=NORMAL syncs at checkpoints only: a power cut may lose the last
// batches, never the file.
constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS decisions (
  time INTEGER NOT NULL,
  kind INTEGER NOT NULL CHECK (kind BETWEEN 0 AND 3),
  site TEXT NOT NULL,
  host TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS decisions_by_time ON decisions (time);
CREATE INDEX IF NOT EXISTS decisions_by_site ON decisions (site, time);
CREATE TABLE IF NOT EXISTS site_quarters (
  quarter INTEGER NOT NULL, site TEXT NOT NULL, count INTEGER NOT NULL,
  PRIMARY KEY (quarter, site)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS kind_quarters (
  quarter INTEGER NOT NULL, kind INTEGER NOT NULL, count INTEGER NOT NULL,
  PRIMARY KEY (quarter, kind)) WITHOUT ROWID;
PRAGMA synchronous = NORMAL;
)";

// A range [from, to) as whole quarters [?1, ?2), read from the rollup
// tables, and the parts of a quarter at either end, [?3, ?4) and [?5, ?6),
// read from the decisions. (Times are after 1970: division rounds down.)
using QuarterSpan = std::array<std::int64_t, 6>;

// The rows of a span: (time, site, count) and (kind, count). The edges are
// ranges on decisions_by_time, searched apart (SQLite's OR by index).
constexpr const char* kSiteCounts = R"(
SELECT quarter * {0}, site, count FROM site_quarters
  WHERE quarter >= ?1 AND quarter < ?2 AND (?7 IS NULL OR site = ?7)
UNION ALL
SELECT time, site, 1 FROM decisions
  WHERE ((time >= ?3 AND time < ?4) OR (time >= ?5 AND time < ?6)) AND (?7 IS NULL OR site = ?7))";
constexpr const char* kKindCounts = R"(
SELECT kind, count FROM kind_quarters WHERE quarter >= ?1 AND quarter < ?2
UNION ALL
SELECT kind, 1 FROM decisions WHERE (time >= ?3 AND time < ?4) OR (time >= ?5 AND time < ?6))";

std::int64_t secondsOf(WallTime time) { return time.time_since_epoch().count(); }

QuarterSpan quarterSpan(WallTime from, WallTime to) {
  const std::int64_t start = secondsOf(from);
  const std::int64_t end = secondsOf(to);
  const std::int64_t firstQuarter = start / kQuarterSeconds + (start % kQuarterSeconds > 0 ? 1 : 0);
  const std::int64_t endQuarter = std::max(firstQuarter, end / kQuarterSeconds);
  return {firstQuarter, endQuarter, start, std::min(end, firstQuarter * kQuarterSeconds),
          std::max(start, endQuarter * kQuarterSeconds), end};
}

[[noreturn]] void fail(sqlite3* database, std::string_view what) {
  throw std::runtime_error(fmt::format("{}: {}", what, sqlite3_errmsg(database)));
}

void execute(sqlite3* database, const char* sql) {
  if (sqlite3_exec(database, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(database, "cannot write");
}

// One use of a prepared statement: binds ?1, ?2, … in order, steps, and
// resets the statement when it goes.
class Run {
 public:
  template <typename... Values>
  explicit Run(sqlite3_stmt* statement, const Values&... values) : statement_(statement) {
    [[maybe_unused]] int index = 0;  // unused for a statement without values
    (bind(index, values), ...);
  }
  ~Run() { sqlite3_reset(statement_); }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // True for each row, false once done.
  bool step() {
    const int result = sqlite3_step(statement_);
    if (result != SQLITE_ROW && result != SQLITE_DONE) fail(sqlite3_db_handle(statement_), "a statement failed");
    return result == SQLITE_ROW;
  }
  std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
  std::string text(int column) const {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))) : "";
  }

 private:
  void check(int result) {
    if (result != SQLITE_OK) fail(sqlite3_db_handle(statement_), "cannot bind a value");
  }
  void bind(int& index, std::int64_t value) { check(sqlite3_bind_int64(statement_, ++index, value)); }
  void bind(int& index, const std::string& value) {
    check(sqlite3_bind_text(statement_, ++index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
  }
  void bind(int& index, const std::optional<std::string>& value) {
    if (value) return bind(index, *value);
    check(sqlite3_bind_null(statement_, ++index));
  }
  void bind(int& index, const QuarterSpan& span) {
    for (const std::int64_t value : span) bind(index, value);
  }

  sqlite3_stmt* statement_;
};

// Rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* database) : database_(database) { execute(database_, "BEGIN"); }
  ~Transaction() {
    if (!committed_) sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit() {
    execute(database_, "COMMIT");
    committed_ = true;
  }

 private:
  sqlite3* database_;
  bool committed_ = false;
};

// The local hour or day of a time, as text; the last one is kept, as rows
// come a quarter at a time.
class BucketNames {
 public:
  explicit BucketNames(Bucket bucket) : format_(bucket == Bucket::day ? "%Y-%m-%d" : "%Y-%m-%d %H:00") {}
  const std::string& of(std::int64_t seconds) {
    if (seconds / kQuarterSeconds != quarter_ || name_.empty()) {
      quarter_ = seconds / kQuarterSeconds;
      const std::time_t time = seconds;
      std::tm local{};
      localtime_r(&time, &local);
      char text[32];
      name_.assign(text, std::strftime(text, sizeof text, format_, &local));
    }
    return name_;
  }

 private:
  const char* format_;
  std::int64_t quarter_ = 0;
  std::string name_;
};

}  // namespace

void HistoryStore::CloseDatabase::operator()(sqlite3* database) const { sqlite3_close_v2(database); }
void HistoryStore::FinalizeStatement::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

std::string_view kindName(BlockedKind kind) {
  switch (kind) {
    case BlockedKind::tls: return "tls";
    case BlockedKind::http: return "http";
    case BlockedKind::encryptedDns: return "encrypted-dns";
    case BlockedKind::quic: return "quic";
  }
  return "unknown";
}

std::variant<HistoryStore, std::string> HistoryStore::open(const std::string& path) {
  HistoryStore store;
  try {
    // Created here rather than by SQLite, which would honour the umask alone.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error(fmt::format("cannot create the file: {}", std::strerror(errno)));
    ::close(fd);

    sqlite3* database = nullptr;
    const int opened =
        sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    store.database_.reset(database);
    if (opened != SQLITE_OK) fail(database, "cannot open it");
    const auto prepare = [database](const std::string& sql) {
      sqlite3_stmt* statement = nullptr;
      const int prepared = sqlite3_prepare_v3(database, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
      Statement owned(statement);
      if (prepared != SQLITE_OK) fail(database, "cannot prepare a statement");
      return owned;
    };

    // The write-ahead log: a crash loses at most the last transaction, never the file.
    {
      const Statement journal = prepare("PRAGMA journal_mode = WAL");
      Run run(journal.get());
      if (!run.step() || run.text(0) != "wal") throw std::runtime_error("cannot use a write-ahead log");
    }
    if (sqlite3_exec(database, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) fail(database, "cannot create the tables");

    store.addDecision_ = prepare("INSERT INTO decisions (time, kind, site, host) VALUES (?1, ?2, ?3, ?4)");
    store.addSiteQuarter_ =
        prepare("INSERT INTO site_quarters VALUES (?1, ?2, 1) ON CONFLICT DO UPDATE SET count = count + 1");
    store.addKindQuarter_ =
        prepare("INSERT INTO kind_quarters VALUES (?1, ?2, 1) ON CONFLICT DO UPDATE SET count = count + 1");
    store.pruneDecisions_ = prepare("DELETE FROM decisions WHERE time < ?1");
    store.pruneSiteQuarters_ = prepare("DELETE FROM site_quarters WHERE quarter <= ?1");
    store.pruneKindQuarters_ = prepare("DELETE FROM kind_quarters WHERE quarter <= ?1");
    store.recountSiteQuarter_ = prepare(
        "INSERT INTO site_quarters SELECT ?1, site, count(*) FROM decisions WHERE time < ?2 GROUP BY site");
    store.recountKindQuarter_ = prepare(
        "INSERT INTO kind_quarters SELECT ?1, kind, count(*) FROM decisions WHERE time < ?2 GROUP BY kind");
    store.siteCounts_ = prepare(fmt::format(kSiteCounts, kQuarterSeconds));
    store.kindCounts_ = prepare(kKindCounts);
    store.newest_ = prepare("SELECT time, kind, site, host FROM decisions ORDER BY time DESC, rowid DESC LIMIT ?1");
    store.newestOfSite_ = prepare(
        "SELECT time, kind, site, host FROM decisions WHERE site = ?2 ORDER BY time DESC, rowid DESC LIMIT ?1");
  } catch (const std::runtime_error& error) {
    return fmt::format("history {}: {}", path, error.what());
  }
  return store;
}

HistoryStore::HistoryStore(HistoryStore&&) noexcept = default;
HistoryStore& HistoryStore::operator=(HistoryStore&&) noexcept = default;
HistoryStore::~HistoryStore() = default;

void HistoryStore::insert(std::span<const Decision> decisions) {
  Transaction transaction(database_.get());
  for (const Decision& decision : decisions) {
    const std::int64_t time = secondsOf(decision.time);
    const auto kind = static_cast<std::int64_t>(decision.kind);
    Run(addDecision_.get(), time, kind, decision.site, decision.host).step();
    Run(addSiteQuarter_.get(), time / kQuarterSeconds, decision.site).step();
    Run(addKindQuarter_.get(), time / kQuarterSeconds, kind).step();
  }
  transaction.commit();
}

void HistoryStore::prune(WallTime now, int keepDays) {
  // The quarters up to the cutoff's go from the rollups; what is left of the
  // cutoff's own quarter is counted again.
  const std::int64_t cutoff = keepDays <= 0 ? kEndOfTime : secondsOf(now) - keepDays * kDaySeconds;
  const std::int64_t quarter = cutoff / kQuarterSeconds;
  const std::int64_t quarterEnd = (quarter + 1) * kQuarterSeconds;
  Transaction transaction(database_.get());
  Run(pruneDecisions_.get(), cutoff).step();
  Run(pruneSiteQuarters_.get(), quarter).step();
  Run(pruneKindQuarters_.get(), quarter).step();
  Run(recountSiteQuarter_.get(), quarter, quarterEnd).step();
  Run(recountKindQuarter_.get(), quarter, quarterEnd).step();
  transaction.commit();
}

std::vector<BucketCount> HistoryStore::counts(Bucket bucket, WallTime from, WallTime to,
                                              const std::optional<std::string>& site) {
  BucketNames names(bucket);
  std::map<std::pair<std::string, std::string>, std::int64_t> sums;
  Run run(siteCounts_.get(), quarterSpan(from, to), site);
  while (run.step()) sums[{names.of(run.integer(0)), run.text(1)}] += run.integer(2);

  std::vector<BucketCount> counts;
  counts.reserve(sums.size());
  for (auto& [key, count] : sums) counts.push_back({key.first, key.second, count});
  return counts;
}

std::vector<Decision> HistoryStore::last(std::size_t count, const std::optional<std::string>& site) {
  const auto limit = static_cast<std::int64_t>(count);
  Run run = site ? Run(newestOfSite_.get(), limit, *site) : Run(newest_.get(), limit);
  std::vector<Decision> decisions;
  while (run.step()) {
    decisions.push_back({WallTime(std::chrono::seconds(run.integer(0))), static_cast<BlockedKind>(run.integer(1)),
                         run.text(2), run.text(3)});
  }
  return decisions;
}

Totals HistoryStore::totals(WallTime from, WallTime to) {
  Totals totals{};
  Run run(kindCounts_.get(), quarterSpan(from, to));
  while (run.step()) {
    totals.byKind.at(static_cast<std::size_t>(run.integer(0))) += run.integer(1);
    totals.all += run.integer(1);
  }
  return totals;
}

}  // namespace vosk::history
