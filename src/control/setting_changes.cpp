#include "control/setting_changes.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <random>
#include <unordered_set>

#include "config/configuration_keys.hpp"
#include "config/domain_entry.hpp"
#include "config/schedule.hpp"
#include "control/import_list.hpp"
#include "control/interface.hpp"

namespace vosk::control {
namespace {

using namespace std::chrono;
using Json = nlohmann::json;

Uuid freshUuid() {
  std::random_device random;
  std::array<std::uint8_t, 16> bytes{};
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return Uuid(bytes);
}

std::string comparableEntry(std::string_view written) {
  std::string entry = config::normaliseDomainEntry(written).entry;
  if (!entry.empty() && entry.back() == '.') entry.pop_back();
  return entry;
}

std::vector<std::string> allDomains(const std::vector<BlockedSite>& sites) {
  std::vector<std::string> domains;
  for (const BlockedSite& site : sites) domains.insert(domains.end(), site.domains.begin(), site.domains.end());
  return domains;
}

BlockedSite& siteNamed(std::vector<BlockedSite>& sites, const std::string& name) {
  const auto it = std::find_if(sites.begin(), sites.end(), [&](const BlockedSite& site) { return site.name == name; });
  if (it != sites.end()) return *it;
  return sites.emplace_back(BlockedSite{freshUuid(), name, {}});
}

// The parameters of one call: each read once, by name and type; any other is refused.
class Parameters {
 public:
  Parameters(const Json& parameters, std::initializer_list<const char*> names) : parameters_(parameters) {
    for (const auto& member : parameters.items()) {
      const std::string& key = member.key();
      if (std::none_of(names.begin(), names.end(), [&](const char* name) { return key == name; })) {
        throw invalidParameter(key);
      }
    }
  }
  template <typename T>
  T get(const char* name) const {
    const auto it = parameters_.find(name);
    if (it == parameters_.end() || !holds<T>(*it)) throw invalidParameter(name);
    return it->get<T>();
  }

 private:
  template <typename T>
  static bool holds(const Json& value) {
    if constexpr (std::is_same_v<T, bool>) return value.is_boolean();
    else if constexpr (std::is_same_v<T, std::int64_t>) return value.is_number_integer();
    else if constexpr (std::is_same_v<T, std::string>) return value.is_string();
    else return value.is_array() && std::all_of(value.begin(), value.end(), [](const Json& v) { return v.is_string(); });
  }
  const Json& parameters_;
};

using Strings = std::vector<std::string>;

ChangeOutcome addDomains(SettingsEdit& edit, const Parameters& parameters) {
  const auto name = parameters.get<std::string>("site");
  const auto written = parameters.get<Strings>("domains");
  if (name.empty() || written.empty()) throw invalidInput("a site name and at least one domain are needed");
  Strings domains;
  for (const std::string& entry : written) {
    config::NormalisedEntry normalised = config::normaliseDomainEntry(entry);
    if (!normalised.problem.empty()) throw invalidInput(fmt::format("\"{}\" is no domain: {}", entry, normalised.problem));
    domains.push_back(std::move(normalised.entry));
  }
  BlockedSite& site = siteNamed(edit.sites(), name);
  std::unordered_set<std::string> listed;
  for (const std::string& entry : site.domains) listed.insert(comparableEntry(entry));
  std::size_t added = 0;
  for (std::string& domain : domains) {
    if (!listed.insert(comparableEntry(domain)).second) continue;
    site.domains.push_back(std::move(domain));
    ++added;
  }
  if (added == 0) return {false, fmt::format("site \"{}\" already lists every one of these domains", site.name)};
  return {true, fmt::format("site \"{}\": {} domain{} added", site.name, added, added == 1 ? "" : "s")};
}

ChangeOutcome remove(SettingsEdit& edit, const Parameters& parameters) {
  const auto names = parameters.get<Strings>("names");
  if (names.empty()) throw invalidInput("a site name or a domain is needed");
  std::vector<BlockedSite>& sites = edit.sites();
  for (const std::string& name : names) {
    const std::size_t sitesBefore = sites.size();
    std::erase_if(sites, [&](const BlockedSite& site) { return site.name == name; });
    if (sites.size() != sitesBefore) continue;
    const std::string entry = comparableEntry(name);
    std::size_t removed = 0;
    for (BlockedSite& site : sites) {
      removed += std::erase_if(site.domains, [&](const std::string& domain) { return comparableEntry(domain) == entry; });
    }
    if (removed == 0) throw invalidInput(fmt::format("no site or domain \"{}\" on the block list; nothing changed", name));
  }
  return {true, fmt::format("removed: {}", fmt::join(names, ", "))};
}

bool blockingSwitchedOn(const SettingsEdit& edit) {
  const auto& before = edit.before().dictionary;
  const auto it = before.find(config::blockingEnabledKey);
  return it != before.end() && it->second == ConfigurationValue(true);
}

ChangeOutcome setBlocking(SettingsEdit& edit, const Parameters& parameters, config::WallTime now) {
  const bool on = parameters.get<bool>("enabled");
  const bool paused = config::pausedAt(edit.before().dictionary, now);
  if (on == blockingSwitchedOn(edit) && !(on && paused)) return {false, on ? "blocking is on already" : "blocking is off already"};
  edit.document()[config::blockingEnabledKey] = on;
  if (on) edit.document().erase(config::pausedUntilKey);
  return {true, on ? "blocking on" : "blocking off"};
}

ChangeOutcome setStrictMode(SettingsEdit& edit, const Parameters& parameters) {
  const bool on = parameters.get<bool>("enabled");
  const auto& before = edit.before().dictionary;
  const auto it = before.find(config::strictModeKey);
  if ((it != before.end() && it->second == ConfigurationValue(true)) == on) {
    return {false, on ? "strict mode is on already" : "strict mode is off already"};
  }
  edit.document()[config::strictModeKey] = on;
  return {true, on ? "strict mode on (it acts while blocking is on)" : "strict mode off"};
}

ChangeOutcome pause(SettingsEdit& edit, const Parameters& parameters, config::WallTime now) {
  const std::int64_t length = parameters.get<std::int64_t>("minutes");
  if (length < 1 || minutes(length) > longestPause) {
    throw invalidInput(fmt::format("a pause lasts from 1 to {} minutes, not {}", longestPause.count(), length));
  }
  if (!blockingSwitchedOn(edit)) throw invalidInput("blocking is off: there is nothing to pause");
  const std::string until = config::formatWallTime(now + minutes(length));
  edit.document()[config::pausedUntilKey] = until;
  return {true, fmt::format("blocking paused until {}; it comes back on by itself", until)};
}

ChangeOutcome lock(SettingsEdit& edit, const Parameters& parameters, config::WallTime now) {
  const auto text = parameters.get<std::string>("until");
  const std::optional<config::WallTime> until = config::parseWallTime(text);
  if (!until) throw invalidInput(fmt::format("\"{}\" is no RFC 3339 time", text));
  if (*until <= now) throw invalidInput(fmt::format("{} is not in the future", config::formatWallTime(*until)));
  if (*until - now > longestLock) {
    throw invalidInput(fmt::format("a lock lasts at most {} days", duration_cast<days>(longestLock).count()));
  }
  const std::optional<config::WallTime> held = config::timeMember(edit.before().dictionary, config::lockedUntilKey);
  if (config::lockHolds(held, now) && *held > *until) {
    throw invalidInput(fmt::format("blocking is locked until {}; a lock can be lengthened, never shortened",
                                   config::formatWallTime(*held)));
  }
  const std::string formatted = config::formatWallTime(*until);
  edit.document()[config::lockedUntilKey] = formatted;
  return {true, fmt::format("locked until {}: changes that weaken blocking are refused until then", formatted)};
}

ChangeOutcome addWindow(SettingsEdit& edit, const Parameters& parameters) {
  const auto days = parameters.get<std::string>("days");
  const auto from = config::parseClockTime(parameters.get<std::string>("from"), false);
  const auto to = config::parseClockTime(parameters.get<std::string>("to"), true);
  const std::optional<std::uint8_t> dayBits = config::parseDayList(days);
  if (!dayBits) throw invalidInput(fmt::format("no days \"{}\": use mon-fri, sat,sun, mon,wed-fri or daily", days));
  if (!from || !to) throw invalidInput("from and to are times of day, HH:MM (to up to 24:00)");
  const config::ScheduleWindow window{*dayBits, *from, *to};
  Json& windows = edit.document()[config::scheduleKey];
  if (!windows.is_array()) windows = Json::array();
  windows.push_back(config::windowJson(window));
  return {true, fmt::format("schedule: blocking on {}", config::formatWindow(window))};
}

// Windows are numbered as the file lists them.
ChangeOutcome removeWindow(SettingsEdit& edit, const Parameters& parameters) {
  const std::int64_t number = parameters.get<std::int64_t>("number");
  Json& document = edit.document();
  const auto windows = document.find(config::scheduleKey);
  if (windows == document.end() || !windows->is_array() || number < 1 || static_cast<std::size_t>(number) > windows->size()) {
    throw invalidInput(fmt::format("no schedule window {}", number));
  }
  windows->erase(static_cast<std::size_t>(number - 1));
  if (windows->empty()) document.erase(config::scheduleKey);
  return {true, fmt::format("schedule window {} removed", number)};
}

ChangeOutcome clearSchedule(SettingsEdit& edit) {
  if (!edit.document().contains(config::scheduleKey)) return {false, "there is no schedule"};
  edit.document().erase(config::scheduleKey);
  return {true, "schedule cleared: blocking is on at any time it is switched on"};
}

ChangeOutcome import(SettingsEdit& edit, const Parameters& parameters, std::string_view text) {
  const auto name = parameters.get<std::string>("site");
  parameters.get<std::int64_t>("bytes");  // the length of `text`, read by the server
  if (name.empty()) throw invalidInput("the site to import into needs a name");
  ImportedNames imported = importNames(text, allDomains(edit.sites()));
  Json skipped = Json::array();
  for (const SkippedEntry& entry : imported.firstSkipped) skipped.push_back(fmt::format("{}: {}", entry.line, entry.reason));
  ChangeOutcome outcome{!imported.added.empty(), {},
                        Json{{"linesRead", imported.linesRead}, {"added", imported.added.size()},
                             {"folded", imported.folded}, {"skipped", imported.skipped}, {"firstSkipped", skipped}}};
  if (imported.added.empty()) {
    outcome.message = "nothing to add";
    return outcome;
  }
  BlockedSite& site = siteNamed(edit.sites(), name);
  site.domains.insert(site.domains.end(), std::make_move_iterator(imported.added.begin()),
                      std::make_move_iterator(imported.added.end()));
  outcome.message = fmt::format("site \"{}\" now lists {} domains", site.name, site.domains.size());
  return outcome;
}

using Change = std::function<ChangeOutcome(SettingsEdit&, const Json&, std::string_view, config::WallTime)>;

const std::map<std::string_view, Change>& changes() {
  static const std::map<std::string_view, Change> table{
      {addDomainsMethod, [](auto& e, auto& p, auto, auto) { return addDomains(e, Parameters(p, {"site", "domains"})); }},
      {removeMethod, [](auto& e, auto& p, auto, auto) { return remove(e, Parameters(p, {"names"})); }},
      {setBlockingMethod, [](auto& e, auto& p, auto, auto now) { return setBlocking(e, Parameters(p, {"enabled"}), now); }},
      {setStrictModeMethod, [](auto& e, auto& p, auto, auto) { return setStrictMode(e, Parameters(p, {"enabled"})); }},
      {pauseMethod, [](auto& e, auto& p, auto, auto now) { return pause(e, Parameters(p, {"minutes"}), now); }},
      {lockMethod, [](auto& e, auto& p, auto, auto now) { return lock(e, Parameters(p, {"until"}), now); }},
      {addWindowMethod, [](auto& e, auto& p, auto, auto) { return addWindow(e, Parameters(p, {"days", "from", "to"})); }},
      {removeWindowMethod, [](auto& e, auto& p, auto, auto) { return removeWindow(e, Parameters(p, {"number"})); }},
      {clearScheduleMethod, [](auto& e, auto& p, auto, auto) { Parameters(p, {}); return clearSchedule(e); }},
      {importMethod, [](auto& e, auto& p, auto raw, auto) { return import(e, Parameters(p, {"site", "bytes"}), raw); }},
  };
  return table;
}

}  // namespace

WireError invalidParameter(std::string_view name) {
  return WireError{invalidParameterError, Json{{"parameter", name}}};
}

WireError invalidInput(std::string message) { return WireError{invalidInputError, Json{{"message", std::move(message)}}}; }

bool isChange(std::string_view method) { return changes().contains(method); }

ChangeOutcome applyChange(SettingsEdit& edit, const Call& call, std::string_view raw, config::WallTime now) {
  const auto change = changes().find(call.method);
  if (change == changes().end()) throw WireError{methodNotFound, Json{{"method", call.method}}};
  return change->second(edit, call.parameters, raw, now);
}

}  // namespace vosk::control
