#include <gtest/gtest.h>

#include <string>

#include "config/blocking_rules.hpp"
#include "config/configuration_file.hpp"
#include "support/scoped_time_zone.hpp"

namespace vosk::config {
namespace {

using namespace std::chrono;

const WallTime noon = sys_days(year(2026) / 12 / 7) + hours(12);

ConfigurationDictionary file(const std::string& members) {
  return std::get<Configuration>(parseConfiguration("{" + members + "}")).dictionary;
}

std::string sites(const std::string& domains) {
  return R"("sitesData": [{"id": "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8", "name": "S", "domains": [)" + domains + "]}]";
}

bool blockingIn(const ConfigurationDictionary& configuration, WallTime now) {
  return std::get<bool>(effectiveConfiguration(configuration, {}, now).at("blockingEnabled"));
}

TEST(BlockingRulesTest, WallTimesAreRfc3339) {
  EXPECT_EQ(parseWallTime("2026-12-07T12:00:00Z"), noon);
  EXPECT_EQ(parseWallTime("2026-12-07t13:30:00.250+01:30"), noon);
  EXPECT_EQ(parseWallTime("2026-12-07T10:00:00-02:00"), noon);
  EXPECT_EQ(formatWallTime(noon + seconds(5)), "2026-12-07T12:00:05Z");
  EXPECT_EQ(parseWallTime(formatWallTime(noon)), noon);
  for (const char* bad : {"2026-12-07T12:00:00", "2026-02-30T12:00:00Z", "2026-12-07T24:00:00Z", "2026-12-07 12:00Z",
                          "2026-12-07T12:00:00.Z", "2026-12-07T12:00:00+1:00", "tomorrow", ""}) {
    EXPECT_EQ(parseWallTime(bad), std::nullopt) << bad;
  }
}

TEST(BlockingRulesTest, APauseSwitchesBlockingOffUntilItsEnd) {
  const ConfigurationDictionary paused = file(R"("blockingEnabled": true, "pausedUntil": "2026-12-07T12:00:00Z")");
  EXPECT_FALSE(blockingIn(paused, noon - seconds(1)));
  EXPECT_TRUE(blockingIn(paused, noon));
  EXPECT_TRUE(blockingIn(paused, noon + hours(24)));  // a daemon started later starts with blocking on
  EXPECT_FALSE(blockingIn(file(R"("blockingEnabled": false, "pausedUntil": "2026-12-07T12:00:00Z")"), noon));
  EXPECT_TRUE(blockingIn(file(R"("blockingEnabled": true, "pausedUntil": "soon")"), noon - hours(1)));
  EXPECT_EQ(effectiveConfiguration(file(R"("blockingEnabled": true)"), {}, noon).size(), 1u);
}

// The switch, then a pause, then the schedule; and when that next changes.
TEST(BlockingRulesTest, BlockingNowAndWhy) {
  const test::ScopedTimeZone utc("UTC");
  const Schedule workdays{{0b0111110, 9 * 60, 17 * 60}};  // 2026-12-07 is a Monday
  const auto at = [&](const std::string& members, WallTime now) { return blockingAt(file(members), workdays, now); };
  const std::string on = R"("blockingEnabled": true)";

  BlockingNow now = at(on, noon);
  EXPECT_TRUE(now.on);
  EXPECT_EQ(now.why, "in window mon-fri 09:00-17:00");
  EXPECT_EQ(now.nextChange, noon + hours(5));
  now = at(on, noon + hours(6));
  EXPECT_FALSE(now.on);
  EXPECT_EQ(now.why, "outside the schedule");
  EXPECT_EQ(now.nextChange, noon + hours(21));
  now = at(on + R"(, "pausedUntil": "2026-12-07T13:00:00Z")", noon);
  EXPECT_EQ(now.why, "paused until 2026-12-07T13:00:00Z");
  EXPECT_EQ(now.nextChange, noon + hours(1));
  // A pause that ends outside the schedule: blocking returns with the next window.
  EXPECT_EQ(at(on + R"(, "pausedUntil": "2026-12-07T18:00:00Z")", noon).nextChange, noon + hours(21));
  now = at(R"("blockingEnabled": false)", noon);
  EXPECT_EQ(std::tuple(now.on, now.why, now.nextChange), std::tuple(false, std::string("switched off"), std::nullopt));
  EXPECT_FALSE(std::get<bool>(effectiveConfiguration(file(on), workdays, noon + hours(6)).at("blockingEnabled")));

  EXPECT_EQ(scheduleWeakening(file(on), {}, workdays), "its schedule blocks for less of the week");
  EXPECT_EQ(scheduleWeakening(file(R"("blockingEnabled": false)"), {}, workdays), "");
}

TEST(BlockingRulesTest, WhatWeakensBlocking) {
  const std::string on = R"("blockingEnabled": true, "strictMode": true, )";
  const ConfigurationDictionary before =
      file(on + R"("pausedUntil": "2026-12-07T11:00:00Z", )" + sites(R"("a.test", "www.b.test", "c.test.")"));
  const auto why = [&](const std::string& after) { return weakening(before, file(after), noon - hours(2)); };

  EXPECT_EQ(why(R"("blockingEnabled": false)"), "it switches blocking off");
  EXPECT_EQ(why(R"("blockingEnabled": true, "strictMode": false)"), "it switches strict mode off");
  EXPECT_EQ(why(on + R"("pausedUntil": "2026-12-07T12:00:00Z")"), "it pauses blocking until 2026-12-07T12:00:00Z");
  EXPECT_EQ(why(on + sites(R"("a.test", "c.test")")), "it no longer blocks \"www.b.test\"");
  std::string many = R"("a.test", "c.test")";
  for (int i = 0; i < 30; ++i) many += ", \"n" + std::to_string(i) + ".b.test\"";
  EXPECT_EQ(why(on + sites(many)), "it no longer blocks \"www.b.test\"");
  EXPECT_EQ(why(on + sites(many + R"(, "b.test")")), "");
  // Stronger or equal: a shorter pause, no pause, a parent domain for a subdomain, more
  // domains, no list at all (the list in force is kept), a lock.
  EXPECT_EQ(why(on + R"("pausedUntil": "2026-12-07T10:30:00Z")"), "");
  EXPECT_EQ(why(on + sites(R"("c.test", "b.test", "a.test", "d.test")")), "");
  EXPECT_EQ(why(on + R"("lockedUntil": "2026-12-08T00:00:00Z")"), "");
  // Switching on while paused is no weakening, whatever else the file says.
  EXPECT_EQ(weakening(file(R"("blockingEnabled": false)"), file(on + R"("pausedUntil": "2026-12-07T13:00:00Z")"), noon),
            "");
}

TEST(BlockingRulesTest, ALockIsLengthenedNeverShortened) {
  const std::optional<WallTime> held = noon;
  EXPECT_EQ(laterLock(held, noon + hours(1)), noon + hours(1));
  EXPECT_EQ(laterLock(held, noon - hours(1)), noon);
  EXPECT_EQ(laterLock(held, std::nullopt), noon);
  EXPECT_EQ(laterLock(std::nullopt, noon), noon);
  EXPECT_TRUE(lockHolds(held, noon - seconds(1)));
  EXPECT_FALSE(lockHolds(held, noon));
  EXPECT_FALSE(lockHolds(std::nullopt, noon));
}

}  // namespace
}  // namespace vosk::config
