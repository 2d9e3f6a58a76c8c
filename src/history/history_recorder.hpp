#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "history/history_store.hpp"
#include "platform/blocked_decision_log.hpp"

namespace vosk::history {

// Records blocked decisions from the flow path into the history file, on a
// writer thread of its own: the flow path only queues. Recording never stops
// filtering: a store that cannot be opened or written is reported, and the
// decisions are dropped.
class HistoryRecorder final : public BlockedDecisionLog {
 public:
  using WallClock = std::function<WallTime()>;  // called from the caller's thread and the writer's
  using Report = std::function<void(std::string)>;  // one line a problem, from the writer thread
  using Job = std::function<void(HistoryStore*)>;

  // Beyond this many decisions waiting to be written, new ones are dropped.
  static constexpr std::size_t maxQueuedDecisions = 65536;
  // How long the writer gathers decisions after the first one wakes it, so
  // that a busy filter writes a batch a second, not a transaction a decision.
  static constexpr std::chrono::milliseconds gatherTime{1000};
  // Old decisions are removed when the store opens, then at most this often.
  static constexpr std::chrono::hours pruneInterval{1};

  // Nothing happens before the first record or query: the file is opened by
  // the writer thread, after the daemon has dropped root.
  HistoryRecorder(std::string path, int keepDays, WallClock wallClock, Report report);
  // Writes what is queued, then ends the writer.
  ~HistoryRecorder() override;
  HistoryRecorder(const HistoryRecorder&) = delete;
  HistoryRecorder& operator=(const HistoryRecorder&) = delete;

  // Returns at once; with keepDays 0, records nothing.
  void recordBlocked(BlockedKind kind, std::string_view site, std::string_view host) override;
  // Takes effect for the next record; old decisions go at the next batch.
  void setKeepDays(int days);
  // Runs `job` on the writer thread once the decisions queued before it are
  // written; the store is null when it could not be opened.
  void query(Job job);
  // Waits until the decisions queued so far are written.
  void flush();
  std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  void startWriter();  // with mutex_ held
  void write();
  // Runs one step of the writer; a failure is reported once until a step succeeds again.
  void attempt(const std::function<void()>& step);

  const std::string path_;
  const WallClock wallClock_;
  const Report report_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Decision> queue_;
  std::vector<Job> jobs_;
  int keepDays_;
  bool pruneDue_ = false;
  bool sleeping_ = false;  // the writer waits for work: the next record wakes it
  bool stopping_ = false;
  std::atomic<std::uint64_t> dropped_{0};
  std::thread writer_;

  // Writer thread only.
  bool failing_ = false;
};

}  // namespace vosk::history
