#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/main_queue.hpp"

namespace vosk::backend {

// Work waiting for its deadline, for a loop that serves it with one timer.
// Work of one delay ends in the order it was added, so each delay keeps one
// list in deadline order: adding and cancelling cost no timer operation,
// which matters because a time limit guards every step of every flow.
// One thread only.
class DelayLines {
  struct Line;

 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  // Work gives up what it holds once it has run or been cancelled: it often
  // holds the object that holds its handle. Cancelled work is destroyed
  // later, at a point the owner picks, never inside cancel(): the caller may
  // be an object that only the work still holds.
  class Work final : public DelayedWork {
   public:
    explicit Work(MainQueue::Work work) : work_(std::move(work)) {}
    void cancel() override;

   private:
    friend class DelayLines;
    MainQueue::Work work_;
    TimePoint deadline_{};
    Line* line_ = nullptr;  // while waiting in one
    std::shared_ptr<Work> next_;  // a line owns its work front to back
    Work* previous_ = nullptr;
    bool finished_ = false;  // ran or cancelled
  };

  // `whenRetired` runs when cancelled work starts waiting to be destroyed by
  // destroyRetired(), which the owner calls later, from no one's call.
  explicit DelayLines(std::function<void()> whenRetired) : whenRetired_(std::move(whenRetired)) {}
  DelayLines(const DelayLines&) = delete;
  DelayLines& operator=(const DelayLines&) = delete;
  ~DelayLines();

  // Puts made work in line to run `delay` after `now`; cancelled work stays out.
  void add(const std::shared_ptr<Work>& work, TimePoint now, Duration delay);
  // The earliest deadline waiting.
  std::optional<TimePoint> earliest() const;
  // Runs the work due at `now`, earliest first; work it adds runs too when due.
  void runDue(TimePoint now);
  void destroyRetired();

 private:
  struct Line {
    DelayLines* owner;
    Duration delay;
    std::shared_ptr<Work> front;
    Work* back = nullptr;
  };
  // Returns the line's hold on the work, which is out of line after it.
  std::shared_ptr<Work> take(Work& work);
  Line* earliestLine() const;
  void retire(MainQueue::Work work);

  const std::function<void()> whenRetired_;
  std::vector<std::unique_ptr<Line>> lines_;  // few: one per delay in use
  std::vector<MainQueue::Work> retired_;
};

}  // namespace vosk::backend
