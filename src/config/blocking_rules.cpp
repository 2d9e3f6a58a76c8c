#include "config/blocking_rules.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config/configuration_file.hpp"
#include "config/number_text.hpp"
#include "model/blocked_site.hpp"
#include "policy/block_list.hpp"

namespace vosk::config {
namespace {

using namespace std::chrono;

constexpr std::size_t kSmallerSideRatio = 8;

// Fixed-width decimal digits at text[at, at + width).
std::optional<int> digitsAt(std::string_view text, std::size_t at, std::size_t width) {
  if (at + width > text.size()) return std::nullopt;
  const std::optional<unsigned> value = parseWholeNumber<unsigned>(text.substr(at, width));
  if (!value) return std::nullopt;
  return static_cast<int>(*value);
}

// Matching ignores one trailing dot.
std::string_view comparable(std::string_view domain) {
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  return domain;
}

std::optional<std::vector<BlockedSite>> sitesOf(const ConfigurationDictionary& configuration) {
  const auto it = configuration.find(std::string(sitesDataKey));
  if (it == configuration.end() || !std::holds_alternative<Bytes>(it->second)) return std::nullopt;
  return decodeBlockedSiteList(std::get<Bytes>(it->second));
}

// The entry itself and each parent domain: "a.b.test", "b.test", "test".
template <typename Visit>
void forEachSuffix(std::string_view domain, Visit visit) {
  std::string_view suffix = comparable(domain);
  visit(suffix);
  for (std::size_t dot = suffix.find('.'); dot != std::string_view::npos; dot = suffix.find('.')) {
    suffix.remove_prefix(dot + 1);
    visit(suffix);
  }
}

}  // namespace

std::function<bool(std::string_view host)> blockedHostsOf(const ConfigurationDictionary& configuration) {
  std::optional<std::vector<BlockedSite>> sites = sitesOf(configuration);
  if (!sites) return {};
  auto list = std::make_shared<const BlockList>(std::move(*sites));
  return [list](std::string_view host) { return isHostBlocked(host, *list); };
}

std::string firstUncovered(const std::vector<BlockedSite>& before, const std::vector<BlockedSite>& after) {
  // A hash table of `after`, unless `before` is much the smaller: then of
  // `before`'s suffixes (an import adds a million names to a few).
  std::size_t beforeCount = 0, afterCount = 0;
  for (const BlockedSite& site : before) beforeCount += site.domains.size();
  for (const BlockedSite& site : after) afterCount += site.domains.size();

  if (afterCount <= kSmallerSideRatio * beforeCount) {
    std::unordered_set<std::string_view> listed;
    listed.reserve(afterCount);
    for (const BlockedSite& site : after) {
      for (const std::string& domain : site.domains) listed.insert(comparable(domain));
    }
    for (const BlockedSite& site : before) {
      for (const std::string& domain : site.domains) {
        bool covered = false;
        forEachSuffix(domain, [&](std::string_view suffix) { covered = covered || listed.contains(suffix); });
        if (!covered) return domain;
      }
    }
    return {};
  }
  // Each parent-or-self suffix of a domain of `before`, with the domain it covers.
  std::unordered_multimap<std::string_view, const std::string*> coverers;
  for (const BlockedSite& site : before) {
    for (const std::string& domain : site.domains) {
      forEachSuffix(domain, [&](std::string_view suffix) { coverers.emplace(suffix, &domain); });
    }
  }
  std::unordered_set<const std::string*> covered;
  for (const BlockedSite& site : after) {
    for (const std::string& domain : site.domains) {
      const auto [first, last] = coverers.equal_range(comparable(domain));
      for (auto it = first; it != last; ++it) covered.insert(it->second);
    }
  }
  for (const BlockedSite& site : before) {
    for (const std::string& domain : site.domains) {
      if (!covered.contains(&domain)) return domain;
    }
  }
  return {};
}

std::optional<WallTime> parseWallTime(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS, then [.fraction], then Z or ±HH:MM.
  const auto year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
  const auto hour = digitsAt(text, 11, 2), minute = digitsAt(text, 14, 2), second = digitsAt(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != 't' && text[10] != ' ') ||
      text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  const year_month_day date{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                            std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
  std::size_t at = 19;
  if (at < text.size() && text[at] == '.') {
    const std::size_t fractionStart = ++at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == fractionStart) return std::nullopt;
  }
  WallTime time = sys_days(date) + hours(*hour) + minutes(*minute) + seconds(*second);
  const std::string_view zone = text.substr(std::min(at, text.size()));
  if (zone == "Z" || zone == "z") return time;
  const auto offsetHours = digitsAt(zone, 1, 2), offsetMinutes = digitsAt(zone, 4, 2);
  if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':' || !offsetHours || !offsetMinutes ||
      *offsetHours > 23 || *offsetMinutes > 59) {
    return std::nullopt;
  }
  const minutes offset = hours(*offsetHours) + minutes(*offsetMinutes);
  return zone[0] == '+' ? time - offset : time + offset;
}

std::string formatWallTime(WallTime time) {
  const sys_days day = floor<days>(time);
  const year_month_day date(day);
  const hh_mm_ss<seconds> clock(time - day);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), clock.hours().count(),
                     clock.minutes().count(), clock.seconds().count());
}

std::optional<WallTime> timeMember(const ConfigurationDictionary& configuration, std::string_view key) {
  const auto it = configuration.find(std::string(key));
  if (it == configuration.end() || !std::holds_alternative<std::string>(it->second)) return std::nullopt;
  return parseWallTime(std::get<std::string>(it->second));
}

bool pausedAt(const ConfigurationDictionary& configuration, WallTime now) {
  const std::optional<WallTime> until = timeMember(configuration, pausedUntilKey);
  return until && now < *until;
}

BlockingNow blockingAt(const ConfigurationDictionary& configuration, const Schedule& schedule, WallTime now) {
  if (!isTrue(configuration, blockingEnabledKey)) return {false, "switched off", std::nullopt};
  const auto scheduleAt = [&schedule](WallTime time) {
    return scheduleStateAt(schedule, system_clock::to_time_t(time));
  };
  const auto wallTime = [](std::optional<std::time_t> time) -> std::optional<WallTime> {
    if (!time) return std::nullopt;
    return floor<seconds>(system_clock::from_time_t(*time));
  };
  if (pausedAt(configuration, now)) {
    // Blocking comes back at the pause's end, or at the next window after it.
    const WallTime end = *timeMember(configuration, pausedUntilKey);
    const ScheduleState after = scheduleAt(end);
    return {false, fmt::format("paused until {}", formatWallTime(end)),
            after.inWindow ? std::optional(end) : wallTime(after.nextChange)};
  }
  if (schedule.empty()) return {true, "always", std::nullopt};
  const ScheduleState state = scheduleAt(now);
  if (!state.inWindow) return {false, "outside the schedule", wallTime(state.nextChange)};
  return {true, fmt::format("in window {}", formatWindow(schedule[*state.window])), wallTime(state.nextChange)};
}

ConfigurationDictionary effectiveConfiguration(ConfigurationDictionary configuration, const Schedule& schedule,
                                               WallTime now) {
  if (isTrue(configuration, blockingEnabledKey) && !blockingAt(configuration, schedule, now).on) {
    configuration.insert_or_assign(std::string(blockingEnabledKey), false);
  }
  return configuration;
}

std::string scheduleWeakening(const ConfigurationDictionary& before, const Schedule& scheduleBefore,
                              const Schedule& scheduleAfter) {
  if (!isTrue(before, blockingEnabledKey) || !scheduleBlocksLess(scheduleBefore, scheduleAfter)) return {};
  return "its schedule blocks for less of the week";
}

std::string switchWeakening(const ConfigurationDictionary& before, const ConfigurationDictionary& after,
                            WallTime now) {
  const bool blockingBefore = isTrue(before, blockingEnabledKey);
  if (blockingBefore && !isTrue(after, blockingEnabledKey)) return "it switches blocking off";
  if (blockingBefore && isTrue(before, strictModeKey) && !isTrue(after, strictModeKey)) {
    return "it switches strict mode off";
  }
  if (blockingBefore && pausedAt(after, now)) {
    const WallTime pauseAfter = *timeMember(after, pausedUntilKey);
    const std::optional<WallTime> pauseBefore = timeMember(before, pausedUntilKey);
    if (!pauseBefore || *pauseBefore < pauseAfter) {
      return fmt::format("it pauses blocking until {}", formatWallTime(pauseAfter));
    }
  }
  return {};
}

std::string weakening(const ConfigurationDictionary& before, const ConfigurationDictionary& after, WallTime now) {
  if (std::string why = switchWeakening(before, after, now); !why.empty()) return why;
  const auto listBefore = before.find(std::string(sitesDataKey));
  const auto listAfter = after.find(std::string(sitesDataKey));
  if (listBefore != before.end() && listAfter != after.end() && listBefore->second == listAfter->second) return {};
  const std::optional<std::vector<BlockedSite>> sitesBefore = sitesOf(before);
  const std::optional<std::vector<BlockedSite>> sitesAfter = sitesOf(after);
  if (!sitesBefore || !sitesAfter) return {};
  const std::string removed = firstUncovered(*sitesBefore, *sitesAfter);
  return removed.empty() ? removed : fmt::format("it no longer blocks \"{}\"", removed);
}

std::optional<WallTime> laterLock(std::optional<WallTime> held, std::optional<WallTime> seen) {
  if (!held) return seen;
  if (!seen) return held;
  return std::max(*held, *seen);
}

}  // namespace vosk::config
