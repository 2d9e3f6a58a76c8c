#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace vosk::config {

// When blocking is on by the clock on the wall: windows on days of the week,
// in the host's local time zone. A window whose end is not after its start
// runs past midnight into the next day (equal: a whole day).
struct ScheduleWindow {
  std::uint8_t days = 0;  // bit d for weekday d, 0 = Sunday (as struct tm counts)
  int from = 0;           // minutes after midnight
  int to = 0;             // minutes after midnight, up to 24 * 60

  friend bool operator==(const ScheduleWindow&, const ScheduleWindow&) = default;
};

using Schedule = std::vector<ScheduleWindow>;

// "mon" … "sun"; nothing for anything else.
std::optional<int> parseWeekday(std::string_view name);
// "HH:MM" on a 24-hour clock ("24:00" allowed as an end); nothing otherwise.
std::optional<int> parseClockTime(std::string_view text, bool isEnd);
// "mon-fri", "sat,sun", "mon,wed-fri", "daily"; nothing for anything else.
std::optional<std::uint8_t> parseDayList(std::string_view text);
// "HH:MM", and day lists in the form parseDayList reads (runs as ranges).
std::string formatClockTime(int minutes);
std::string formatDays(std::uint8_t days);
// "mon-fri 09:00-17:00"
std::string formatWindow(const ScheduleWindow& window);
// The window as the configuration file holds it: {"days": ["mon", …], "from": "09:00", "to": "17:00"}.
nlohmann::json windowJson(const ScheduleWindow& window);
// The window windowJson writes, or what is wrong with the JSON value.
std::variant<ScheduleWindow, std::string> windowFromJson(const nlohmann::json& value);

// Whether `after` leaves some minute of the week unblocked that `before`
// blocks (no schedule blocks all of it).
bool scheduleBlocksLess(const Schedule& before, const Schedule& after);

struct ScheduleState {
  bool inWindow = false;
  std::optional<std::size_t> window;       // the first window, in list order, that holds now
  std::optional<std::time_t> nextChange;  // when inWindow next flips; none within a week
};

// An empty schedule means "always": in a window, with no change.
ScheduleState scheduleStateAt(const Schedule& schedule, std::time_t now);

}  // namespace vosk::config
