#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/configuration_keys.hpp"
#include "config/schedule.hpp"
#include "model/blocked_site.hpp"

#include "platform/proxy_provider.hpp"

namespace vosk::config {

// Pause and lock, as the daemon enforces them and voskctl checks them before
// writing. Pure: the wall-clock time is always passed in.
using WallTime = std::chrono::sys_seconds;

// The programs' one reading of the wall clock, to the second as the settings keep times.
inline WallTime wallNow() { return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()); }

// RFC 3339 date and time ("2026-12-07T10:00:00Z", fractions of a second and
// "+01:00" offsets accepted; fractions are dropped).
std::optional<WallTime> parseWallTime(std::string_view text);
// UTC, whole seconds: "2026-12-07T10:00:00Z".
std::string formatWallTime(WallTime time);

// The time held by `key` when it is a valid RFC 3339 text; absent otherwise.
std::optional<WallTime> timeMember(const ConfigurationDictionary& configuration, std::string_view key);

// Whether the file pauses blocking at `now`: it is paused until a time after now.
bool pausedAt(const ConfigurationDictionary& configuration, WallTime now);

// Whether blocking is on at `now` and why: the switch first, then a pause,
// then the schedule; and when that next changes (none: not within a week).
struct BlockingNow {
  bool on = false;
  std::string why;  // "switched off", "paused until …", "always", "in window mon-fri 09:00-17:00", "outside the schedule"
  std::optional<WallTime> nextChange;
};
BlockingNow blockingAt(const ConfigurationDictionary& configuration, const Schedule& schedule, WallTime now);

// What the provider is handed at `now`: the file as it is, with
// "blockingEnabled" false while a pause lasts or outside the schedule.
ConfigurationDictionary effectiveConfiguration(ConfigurationDictionary configuration, const Schedule& schedule,
                                               WallTime now);

// Why `after` blocks less than `before` at `now` (blocking or strict mode
// switched off, a new or longer pause, a listed domain no longer covered by
// the list); empty when it does not. A file without a valid "sitesData" keeps
// the list in force, so it removes nothing.
std::string weakening(const ConfigurationDictionary& before, const ConfigurationDictionary& after, WallTime now);
// The switches alone: blocking or strict mode off, a new or longer pause.
std::string switchWeakening(const ConfigurationDictionary& before, const ConfigurationDictionary& after, WallTime now);
// The schedule alone: a schedule that leaves some minute of the week
// unblocked that the one before blocked, while blocking was on.
std::string scheduleWeakening(const ConfigurationDictionary& before, const Schedule& scheduleBefore,
                              const Schedule& scheduleAfter);
// The lists alone: the first domain of `before` that neither `after` nor a
// parent domain listed there covers (entries compared as stored, less a
// trailing dot); empty when every one is covered.
std::string firstUncovered(const std::vector<BlockedSite>& before, const std::vector<BlockedSite>& after);

// Whether the configuration's block list ("sitesData") blocks a host name:
// a listed domain and all its subdomains, as flows are matched. Its index is
// built here, so once per configuration; empty when there is no list that
// decodes.
std::function<bool(std::string_view host)> blockedHostsOf(const ConfigurationDictionary& configuration);

// The lock in force after seeing a file's lock: the later of the two, so a
// lock is lengthened but never shortened or dropped before it expires.
std::optional<WallTime> laterLock(std::optional<WallTime> held, std::optional<WallTime> seen);
inline bool lockHolds(std::optional<WallTime> lock, WallTime now) { return lock && now < *lock; }

}  // namespace vosk::config
