#include "config/schedule.hpp"

#include <algorithm>
#include <array>
#include <bitset>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "config/number_text.hpp"

namespace vosk::config {
namespace {

constexpr std::array<std::string_view, 7> kWeekdayNames{"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
constexpr int kMinutesPerHour = 60;
constexpr int kMinutesPerDay = 24 * kMinutesPerHour;
constexpr std::uint8_t kEveryDay = 0x7F;
// A window that began yesterday may still run; a week ahead, plus the window
// that runs past its last midnight, holds the next change of any schedule.
constexpr int kDaysBefore = 1;
constexpr int kDaysAhead = 8;
constexpr std::time_t kWeek = 7 * 24 * 3600;
constexpr std::size_t kMinutesPerWeek = 7 * kMinutesPerDay;

// The minutes of the week (from Sunday 00:00) a schedule blocks.
std::bitset<kMinutesPerWeek> blockedMinutes(const Schedule& schedule) {
  std::bitset<kMinutesPerWeek> minutes;
  if (schedule.empty()) return minutes.set();
  for (const ScheduleWindow& window : schedule) {
    const int length = window.to > window.from ? window.to - window.from : kMinutesPerDay - window.from + window.to;
    for (int day = 0; day < 7; ++day) {
      if (!(window.days & (1U << day))) continue;
      for (int minute = 0; minute < length; ++minute) {
        minutes.set(static_cast<std::size_t>(day * kMinutesPerDay + window.from + minute) % kMinutesPerWeek);
      }
    }
  }
  return minutes;
}

// Local time `minutes` after midnight, `dayOffset` days after `date`; the C
// library moves it across daylight-saving changes.
std::time_t localTime(const std::tm& date, int dayOffset, int minutes) {
  std::tm moment{};
  moment.tm_year = date.tm_year;
  moment.tm_mon = date.tm_mon;
  moment.tm_mday = date.tm_mday + dayOffset;
  moment.tm_hour = minutes / kMinutesPerHour;
  moment.tm_min = minutes % kMinutesPerHour;
  moment.tm_isdst = -1;
  return std::mktime(&moment);
}

struct Interval {
  std::time_t start;
  std::time_t end;
  std::size_t window;
};

// One or two digits of a clock time.
std::optional<int> parseNumber(std::string_view digits) {
  if (digits.size() > 2) return std::nullopt;
  return parseWholeNumber<int>(digits);
}

}  // namespace

std::optional<int> parseWeekday(std::string_view name) {
  const auto it = std::find(kWeekdayNames.begin(), kWeekdayNames.end(), name);
  if (it == kWeekdayNames.end()) return std::nullopt;
  return static_cast<int>(it - kWeekdayNames.begin());
}

std::optional<int> parseClockTime(std::string_view text, bool isEnd) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || text.size() - colon != 3) return std::nullopt;
  const std::optional<int> hours = parseNumber(text.substr(0, colon));
  const std::optional<int> minutes = parseNumber(text.substr(colon + 1));
  if (!hours || !minutes || *hours < 0 || *minutes < 0 || *minutes >= kMinutesPerHour) return std::nullopt;
  const int total = *hours * kMinutesPerHour + *minutes;
  if (total > kMinutesPerDay || (total == kMinutesPerDay && !isEnd)) return std::nullopt;
  return total;
}

std::optional<std::uint8_t> parseDayList(std::string_view text) {
  if (text == "daily") return kEveryDay;
  std::uint8_t days = 0;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    const std::string_view part = text.substr(start, end - start);
    const std::size_t dash = part.find('-');
    const std::optional<int> first = parseWeekday(part.substr(0, dash));
    const std::optional<int> last = dash == std::string_view::npos ? first : parseWeekday(part.substr(dash + 1));
    if (!first || !last) return std::nullopt;
    // Ranges run Monday to Sunday, as weeks are read: "sat-mon" wraps.
    for (int day = *first;; day = (day + 1) % 7) {
      days |= static_cast<std::uint8_t>(1U << day);
      if (day == *last) break;
    }
    start = end + 1;
  }
  return days;
}

std::string formatClockTime(int minutes) {
  return fmt::format("{:02}:{:02}", minutes / kMinutesPerHour, minutes % kMinutesPerHour);
}

std::string formatDays(std::uint8_t days) {
  if ((days & kEveryDay) == kEveryDay) return "daily";
  // Monday first, as weeks are read; runs of three or more days as ranges.
  std::vector<std::string> parts;
  const auto weekdayAt = [](int i) { return (i + 1) % 7; };
  for (int i = 0; i < 7;) {
    if (!(days & (1U << weekdayAt(i)))) {
      ++i;
      continue;
    }
    int last = i;
    while (last + 1 < 7 && (days & (1U << weekdayAt(last + 1)))) ++last;
    const std::string_view first = kWeekdayNames[weekdayAt(i)];
    if (last - i >= 2) {
      parts.push_back(fmt::format("{}-{}", first, kWeekdayNames[weekdayAt(last)]));
    } else {
      for (int k = i; k <= last; ++k) parts.emplace_back(kWeekdayNames[weekdayAt(k)]);
    }
    i = last + 1;
  }
  return fmt::format("{}", fmt::join(parts, ","));
}

std::string formatWindow(const ScheduleWindow& window) {
  return fmt::format("{} {}-{}", formatDays(window.days), formatClockTime(window.from), formatClockTime(window.to));
}

nlohmann::json windowJson(const ScheduleWindow& window) {
  nlohmann::json days = nlohmann::json::array();
  for (int i = 1; i <= 7; ++i) {
    if (window.days & (1U << (i % 7))) days.push_back(kWeekdayNames[i % 7]);
  }
  return {{"days", std::move(days)}, {"from", formatClockTime(window.from)}, {"to", formatClockTime(window.to)}};
}

std::variant<ScheduleWindow, std::string> windowFromJson(const nlohmann::json& value) {
  if (!value.is_object()) return "it is not an object with \"days\", \"from\" and \"to\"";
  ScheduleWindow window;
  const auto days = value.find("days");
  if (days == value.end() || !days->is_array() || days->empty()) {
    return "\"days\" must list days as \"mon\" … \"sun\"";
  }
  for (const nlohmann::json& day : *days) {
    const std::optional<int> weekday = day.is_string() ? parseWeekday(day.get<std::string>()) : std::nullopt;
    if (!weekday) return fmt::format("{} is no day: days are \"mon\" … \"sun\"", day.dump());
    window.days |= static_cast<std::uint8_t>(1U << *weekday);
  }
  for (const auto& [key, minutes] : {std::pair{"from", &window.from}, std::pair{"to", &window.to}}) {
    const auto time = value.find(key);
    const bool isEnd = minutes == &window.to;
    const std::optional<int> parsed =
        time != value.end() && time->is_string() ? parseClockTime(time->get<std::string>(), isEnd) : std::nullopt;
    if (!parsed) return fmt::format("\"{}\" must be a time of day \"HH:MM\"{}", key, isEnd ? " (up to 24:00)" : "");
    *minutes = *parsed;
  }
  return window;
}

bool scheduleBlocksLess(const Schedule& before, const Schedule& after) {
  return (blockedMinutes(before) & ~blockedMinutes(after)).any();
}

ScheduleState scheduleStateAt(const Schedule& schedule, std::time_t now) {
  if (schedule.empty()) return {true, std::nullopt, std::nullopt};
  std::tm today{};
  localtime_r(&now, &today);
  std::vector<Interval> intervals;
  for (int offset = -kDaysBefore; offset <= kDaysAhead; ++offset) {
    const int weekday = ((today.tm_wday + offset) % 7 + 7) % 7;
    for (std::size_t i = 0; i < schedule.size(); ++i) {
      const ScheduleWindow& window = schedule[i];
      if (!(window.days & (1U << weekday))) continue;
      const int endOffset = window.to > window.from ? offset : offset + 1;
      intervals.push_back({localTime(today, offset, window.from), localTime(today, endOffset, window.to), i});
    }
  }

  ScheduleState state;
  for (const Interval& interval : intervals) {
    if (interval.start <= now && now < interval.end && (!state.window || interval.window < *state.window)) {
      state.window = interval.window;
    }
  }
  state.inWindow = state.window.has_value();
  if (state.inWindow) {
    // Overlapping and touching windows are one stretch of blocking.
    std::time_t end = now;
    for (bool grew = true; grew;) {
      grew = false;
      for (const Interval& interval : intervals) {
        if (interval.start <= end && interval.end > end) {
          end = interval.end;
          grew = true;
        }
      }
    }
    if (end - now <= kWeek) state.nextChange = end;
  } else {
    for (const Interval& interval : intervals) {
      if (interval.start > now && (!state.nextChange || interval.start < *state.nextChange)) {
        state.nextChange = interval.start;
      }
    }
  }
  return state;
}

}  // namespace vosk::config
