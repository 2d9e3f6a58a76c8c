#include "history/history_recorder.hpp"

#include <fmt/format.h>

#include <exception>
#include <future>
#include <optional>
#include <utility>
#include <variant>

namespace vosk::history {

HistoryRecorder::HistoryRecorder(std::string path, int keepDays, WallClock wallClock, Report report)
    : path_(std::move(path)), wallClock_(std::move(wallClock)), report_(std::move(report)), keepDays_(keepDays) {}

HistoryRecorder::~HistoryRecorder() {
  {
    std::lock_guard lock(mutex_);
    if (!writer_.joinable()) return;
    stopping_ = true;
    wake_.notify_one();
  }
  writer_.join();
}

void HistoryRecorder::recordBlocked(BlockedKind kind, std::string_view site, std::string_view host) {
  const WallTime now = wallClock_();
  std::lock_guard lock(mutex_);
  if (keepDays_ <= 0) return;
  if (queue_.size() >= maxQueuedDecisions) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  queue_.push_back({now, kind, std::string(site), std::string(host)});
  startWriter();
  if (std::exchange(sleeping_, false)) wake_.notify_one();
}

void HistoryRecorder::setKeepDays(int days) {
  std::lock_guard lock(mutex_);
  keepDays_ = days;
  pruneDue_ = true;
  wake_.notify_one();
}

void HistoryRecorder::query(Job job) {
  std::lock_guard lock(mutex_);
  jobs_.push_back(std::move(job));
  startWriter();
  wake_.notify_one();
}

void HistoryRecorder::flush() {
  std::promise<void> written;
  std::future<void> done = written.get_future();
  query([&written](HistoryStore*) { written.set_value(); });
  done.wait();
}

void HistoryRecorder::startWriter() {
  if (writer_.joinable()) return;
  // Room for a full queue from the start: growing it would copy every
  // decision queued, in a caller's time.
  queue_.reserve(maxQueuedDecisions);
  writer_ = std::thread([this] { write(); });
}

void HistoryRecorder::write() {
  std::optional<HistoryStore> store;
  std::variant<HistoryStore, std::string> opened = HistoryStore::open(path_);
  if (auto* problem = std::get_if<std::string>(&opened)) {
    report_(fmt::format("{}; blocked decisions are not recorded", *problem));
  } else {
    store.emplace(std::move(std::get<HistoryStore>(opened)));
  }

  std::optional<WallTime> lastPrune;
  std::vector<Decision> batch;  // swapped with the queue: both keep their room
  batch.reserve(maxQueuedDecisions);
  std::vector<Job> jobs;
  std::unique_lock lock(mutex_);
  for (;;) {
    sleeping_ = true;
    wake_.wait(lock, [this] { return stopping_ || pruneDue_ || !jobs_.empty() || !queue_.empty(); });
    sleeping_ = false;
    // A query, a flush or the end is served at once.
    wake_.wait_for(lock, gatherTime, [this] { return stopping_ || !jobs_.empty(); });
    batch.swap(queue_);
    jobs.swap(jobs_);
    const int keepDays = keepDays_;
    const bool pruneDue = std::exchange(pruneDue_, false);
    const bool stopping = stopping_;
    lock.unlock();

    if (store) {
      if (!batch.empty()) attempt([&] { store->insert(batch); });
      const WallTime now = wallClock_();
      // Also when the wall clock was set back.
      if (pruneDue || !lastPrune || now - *lastPrune >= pruneInterval || now < *lastPrune) {
        lastPrune = now;
        attempt([&] { store->prune(now, keepDays); });
      }
    }
    batch.clear();
    for (Job& job : jobs) attempt([&] { job(store ? &*store : nullptr); });
    jobs.clear();
    if (stopping) return;
    lock.lock();
  }
}

void HistoryRecorder::attempt(const std::function<void()>& step) {
  try {
    step();
    failing_ = false;
  } catch (const std::exception& error) {
    if (!std::exchange(failing_, true)) report_(fmt::format("history {}: {}", path_, error.what()));
  }
}

}  // namespace vosk::history
