#include <gtest/gtest.h>

#include <ctime>

#include "config/schedule.hpp"
#include "support/scoped_time_zone.hpp"

namespace vosk::config {
namespace {

constexpr std::uint8_t kMonToFri = 0b0111110;
constexpr std::uint8_t kSaturday = 0b1000000;
constexpr std::uint8_t kSunday = 0b0000001;
constexpr std::uint8_t kMonday = 0b0000010;
constexpr std::uint8_t kDaily = 0x7F;
constexpr std::time_t kHour = 3600;

// A zone with daylight saving: 2026-03-29 02:00 → 03:00, 2026-10-25 03:00 → 02:00.
class ScheduleTest : public ::testing::Test {
 protected:
  static std::time_t local(int month, int day, int hour, int minute) {
    std::tm moment{};
    moment.tm_year = 2026 - 1900;
    moment.tm_mon = month - 1;
    moment.tm_mday = day;
    moment.tm_hour = hour;
    moment.tm_min = minute;
    moment.tm_isdst = -1;
    return std::mktime(&moment);
  }

 private:
  test::ScopedTimeZone zone_{"Europe/Berlin"};
};

TEST_F(ScheduleTest, WorkingHoursAcrossTheWeek) {
  const Schedule workdays{{kMonToFri, 9 * 60, 17 * 60}};
  // 2026-12-07 is a Monday.
  ScheduleState state = scheduleStateAt(workdays, local(12, 7, 8, 59));
  EXPECT_FALSE(state.inWindow);
  EXPECT_EQ(state.nextChange, local(12, 7, 9, 0));
  state = scheduleStateAt(workdays, local(12, 7, 9, 0));
  EXPECT_TRUE(state.inWindow);
  EXPECT_EQ(state.window, 0U);
  EXPECT_EQ(state.nextChange, local(12, 7, 17, 0));
  state = scheduleStateAt(workdays, local(12, 11, 17, 0));  // Friday evening: next is Monday
  EXPECT_FALSE(state.inWindow);
  EXPECT_EQ(state.nextChange, local(12, 14, 9, 0));
}

TEST_F(ScheduleTest, PastMidnightAndTouchingWindows) {
  const Schedule night{{kSaturday, 22 * 60, 2 * 60}};
  const ScheduleState sundayEarly = scheduleStateAt(night, local(12, 13, 1, 0));
  EXPECT_TRUE(sundayEarly.inWindow);
  EXPECT_EQ(sundayEarly.nextChange, local(12, 13, 2, 0));

  // Touching windows are one stretch; the first in list order is named.
  const Schedule split{{kMonday, 12 * 60, 17 * 60}, {kMonday | kSunday, 9 * 60, 12 * 60}};
  const ScheduleState monday = scheduleStateAt(split, local(12, 7, 12, 0));
  EXPECT_EQ(monday.window, 0U);
  EXPECT_EQ(monday.nextChange, local(12, 7, 17, 0));
  EXPECT_EQ(scheduleStateAt(split, local(12, 7, 10, 0)).nextChange, local(12, 7, 17, 0));

  // Always: no schedule, or a whole day every day.
  for (const Schedule& always : {Schedule{}, Schedule{{kDaily, 0, 0}}}) {
    const ScheduleState state = scheduleStateAt(always, local(12, 7, 10, 0));
    EXPECT_TRUE(state.inWindow);
    EXPECT_FALSE(state.nextChange);
  }
}

// Boundaries are read on the wall clock of each day, not 24 hours apart.
TEST_F(ScheduleTest, DaylightSavingDays) {
  const Schedule morning{{kDaily, 8 * 60, 9 * 60}};
  const std::time_t saturday = local(3, 28, 9, 0);
  EXPECT_EQ(*scheduleStateAt(morning, saturday).nextChange - saturday, 22 * kHour);
  const std::time_t autumnSaturday = local(10, 24, 9, 0);
  EXPECT_EQ(*scheduleStateAt(morning, autumnSaturday).nextChange - autumnSaturday, 24 * kHour);

  const Schedule acrossTheChange{{kSunday, 1 * 60, 4 * 60}};
  const std::time_t start = local(10, 25, 1, 0);
  EXPECT_EQ(*scheduleStateAt(acrossTheChange, start).nextChange - start, 4 * kHour);
}

TEST(ScheduleText, TimesAndDays) {
  EXPECT_EQ(parseClockTime("09:05", false), 9 * 60 + 5);
  EXPECT_EQ(parseClockTime("24:00", true), 24 * 60);
  for (const char* bad : {"24:00", "12:60", "25:00", "9:5", "0900", "-1:00", ""}) {
    EXPECT_FALSE(parseClockTime(bad, false)) << bad;
  }
  EXPECT_EQ(formatClockTime(9 * 60 + 5), "09:05");
  EXPECT_EQ(parseWeekday("sun"), 0);
  EXPECT_FALSE(parseWeekday("Mon"));
  EXPECT_EQ(formatDays(kMonToFri), "mon-fri");
  EXPECT_EQ(formatDays(kSaturday | kSunday), "sat,sun");
  EXPECT_EQ(formatDays(kMonday | 0b0111000), "mon,wed-fri");
  EXPECT_EQ(formatDays(kDaily), "daily");
  EXPECT_EQ(parseDayList("mon-fri"), kMonToFri);
  EXPECT_EQ(parseDayList("mon,wed-fri"), kMonday | 0b0111000);
  EXPECT_EQ(parseDayList("sat-mon"), kSaturday | kSunday | kMonday);
  EXPECT_EQ(parseDayList("daily"), kDaily);
  for (const char* bad : {"", "mon,", "Mon", "mon-", "weekdays"}) EXPECT_FALSE(parseDayList(bad)) << bad;
}

// What a lock must refuse: any minute of the week blocked before and not after.
TEST(ScheduleLock, BlocksLess) {
  const Schedule workdays{{kMonToFri, 9 * 60, 17 * 60}};
  EXPECT_FALSE(scheduleBlocksLess(workdays, {{kMonToFri, 8 * 60, 18 * 60}}));
  EXPECT_FALSE(scheduleBlocksLess(workdays, {}));  // always
  EXPECT_TRUE(scheduleBlocksLess({}, workdays));
  EXPECT_TRUE(scheduleBlocksLess(workdays, {{kMonToFri, 9 * 60, 16 * 60 + 59}}));
  // Past midnight: Saturday 22:00 to Sunday 02:00 covers Sunday 01:00.
  EXPECT_FALSE(scheduleBlocksLess({{kSunday, 0, 2 * 60}}, {{kSaturday, 22 * 60, 2 * 60}}));
  EXPECT_TRUE(scheduleBlocksLess({{kSunday, 0, 2 * 60}}, {{kSunday, 22 * 60, 2 * 60}}));
}

}  // namespace
}  // namespace vosk::config
