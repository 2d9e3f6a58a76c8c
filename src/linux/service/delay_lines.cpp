#include "linux/service/delay_lines.hpp"

#include <algorithm>

namespace vosk::backend {

void DelayLines::Work::cancel() {
  finished_ = true;
  if (line_ == nullptr) return;  // ran already, or not in line yet
  DelayLines& owner = *line_->owner;
  owner.take(*this);  // the caller's handle keeps this object alive
  owner.retire(std::move(work_));
}

void DelayLines::retire(MainQueue::Work work) {
  retired_.push_back(std::move(work));
  if (retired_.size() == 1) whenRetired_();
}

void DelayLines::destroyRetired() {
  // What is destroyed may cancel more: that waits for the next call.
  std::vector<MainQueue::Work> retired;
  retired.swap(retired_);
}

// No cancel() reaches a line from here on, and a long line is released front
// to back rather than by recursion.
DelayLines::~DelayLines() {
  for (const auto& line : lines_) {
    for (Work* work = line->front.get(); work != nullptr; work = work->next_.get()) work->line_ = nullptr;
  }
  for (const auto& line : lines_) {
    std::shared_ptr<Work> work = std::move(line->front);
    while (work) work = std::move(work->next_);
  }
}

void DelayLines::add(const std::shared_ptr<Work>& work, TimePoint now, Duration delay) {
  if (work->line_ != nullptr) return;
  if (work->finished_) return retire(std::move(work->work_));
  auto found = std::find_if(lines_.begin(), lines_.end(), [delay](const auto& line) { return line->delay == delay; });
  if (found == lines_.end()) found = lines_.insert(lines_.end(), std::make_unique<Line>(Line{this, delay, nullptr, nullptr}));
  Line& line = **found;
  work->deadline_ = now + delay;
  work->line_ = &line;
  work->previous_ = line.back;
  (line.back != nullptr ? line.back->next_ : line.front) = work;
  line.back = work.get();
}

std::shared_ptr<DelayLines::Work> DelayLines::take(Work& work) {
  Line& line = *work.line_;
  std::shared_ptr<Work>& hold = work.previous_ != nullptr ? work.previous_->next_ : line.front;
  std::shared_ptr<Work> taken = std::move(hold);
  if (work.next_ != nullptr) {
    work.next_->previous_ = work.previous_;
  } else {
    line.back = work.previous_;
  }
  hold = std::move(work.next_);
  work.line_ = nullptr;
  work.previous_ = nullptr;
  return taken;
}

DelayLines::Line* DelayLines::earliestLine() const {
  Line* earliest = nullptr;
  for (const auto& line : lines_) {
    if (line->front && (earliest == nullptr || line->front->deadline_ < earliest->front->deadline_)) {
      earliest = line.get();
    }
  }
  return earliest;
}

std::optional<DelayLines::TimePoint> DelayLines::earliest() const {
  const Line* line = earliestLine();
  if (line == nullptr) return std::nullopt;
  return line->front->deadline_;
}

void DelayLines::runDue(TimePoint now) {
  while (Line* line = earliestLine()) {
    if (line->front->deadline_ > now) break;
    const std::shared_ptr<Work> due = take(*line->front);
    due->finished_ = true;
    const MainQueue::Work work = std::move(due->work_);
    work();
  }
  // Lines of delays no longer in use go; a line is empty only when no work points at it.
  std::erase_if(lines_, [](const auto& line) { return !line->front; });
}

}  // namespace vosk::backend
