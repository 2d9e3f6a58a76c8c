#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/blocked_decision_log.hpp"

struct sqlite3;
struct sqlite3_stmt;

// The filter's own history of blocked decisions, in one SQLite file.
namespace vosk::history {

using WallTime = std::chrono::sys_seconds;

struct Decision {
  WallTime time;
  BlockedKind kind;
  std::string site;
  std::string host;
};

// "tls", "http", "encrypted-dns" or "quic", as the history shows a kind.
std::string_view kindName(BlockedKind kind);

enum class Bucket { hour, day };

struct BucketCount {
  std::string bucket;  // local time: "YYYY-MM-DD" or "YYYY-MM-DD HH:00"
  std::string site;
  std::int64_t count;
};

struct Totals {
  std::int64_t all;
  std::array<std::int64_t, 4> byKind;  // indexed by BlockedKind
};

// One connection to the history file; not thread-safe. Open returns what
// failed as text; after that a failing statement throws std::runtime_error.
class HistoryStore {
 public:
  // Creates the file (mode 0600: it tells who tried to reach what) and its
  // tables when missing.
  static std::variant<HistoryStore, std::string> open(const std::string& path);

  HistoryStore(HistoryStore&&) noexcept;
  HistoryStore& operator=(HistoryStore&&) noexcept;
  ~HistoryStore();

  // All of them or none, in one transaction.
  void insert(std::span<const Decision> decisions);
  // Removes the decisions older than `keepDays` days before `now`; 0 removes all.
  void prune(WallTime now, int keepDays);

  // Decisions in [from, to) per local hour or day and site, ordered by
  // bucket then site; only `site`'s when one is given.
  std::vector<BucketCount> counts(Bucket bucket, WallTime from, WallTime to, const std::optional<std::string>& site);
  // The newest `count` decisions (of `site` only, when given), newest first.
  std::vector<Decision> last(std::size_t count, const std::optional<std::string>& site);
  // Decisions in [from, to), all and per kind.
  Totals totals(WallTime from, WallTime to);

 private:
  struct CloseDatabase {
    void operator()(sqlite3* database) const;
  };
  struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const;
  };
  using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

  HistoryStore() = default;

  // Declared first: the statements are finalised before the connection closes.
  std::unique_ptr<sqlite3, CloseDatabase> database_;
  Statement addDecision_, addSiteQuarter_, addKindQuarter_;
  Statement pruneDecisions_, pruneSiteQuarters_, pruneKindQuarters_, recountSiteQuarter_, recountKindQuarter_;
  Statement siteCounts_, kindCounts_, newest_, newestOfSite_;
};

}  // namespace vosk::history
