// voskctl: changes vosk-filter's configuration safely and shows its state.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <unordered_set>
#include <variant>
#include <vector>

#include "config/blocking_rules.hpp"
#include "config/configuration_file.hpp"
#include "config/configuration_keys.hpp"
#include "config/domain_entry.hpp"
#include "config/number_text.hpp"
#include "config/paths.hpp"
#include "config/schedule.hpp"
#include "ctl/configuration_edit.hpp"
#include "ctl/daemon_control.hpp"
#include "ctl/import_list.hpp"

namespace {

using namespace vosk;
using namespace std::chrono;
using ctl::ConfigurationEdit;
using ctl::DaemonControl;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kDefaultImportSite = "Imported";
// A pause is for a moment; a lock for a resolution, not for ever.
constexpr minutes kLongestPause = hours(24);
constexpr hours kLongestLock = days(30);

const std::string kUsageText = fmt::format(
    "Usage: voskctl [--config FILE] [--pid-file PATH] COMMAND [ARGS...]\n"
    "\n"
    "Changes vosk-filter's configuration (written atomically, then applied at once) and shows its state.\n"
    "\n"
    "  status [--json]              the daemon, blocking, pause, lock, the block list, the last blocked flows\n"
    "  list [--json]                the sites and their domains\n"
    "  add SITE DOMAIN...           block these domains (and their subdomains) as SITE\n"
    "  remove SITE|DOMAIN...        unblock whole sites or single domains\n"
    "  on | off                     switch blocking on (ending a pause) or off\n"
    "  pause MINUTES                switch blocking off now; it comes back on by itself (at most {} minutes)\n"
    "  lock --for DURATION | --until TIME\n"
    "                               refuse every change that weakens blocking until then (DURATION: 90m, 8h, 2d;\n"
    "                               TIME: RFC 3339, 2026-12-24T18:00:00Z; at most {} days); a lock is never shortened\n"
    "  import [--site NAME] FILE|-  add the names of a hosts file, adblock-style list or plain list (to site \"{}\")\n"
    "  schedule list [--json]       the windows in which blocking is on (none: always)\n"
    "  schedule add DAYS FROM TO    block in this window too (DAYS: mon-fri, sat,sun, mon,wed-fri, daily;\n"
    "                               FROM, TO: HH:MM in local time; TO before FROM runs past midnight)\n"
    "  schedule remove N | clear    drop window N (as list numbers them), or every window (blocking always on)\n"
    "\n"
    "  --config FILE     the configuration (default {})\n"
    "  --pid-file PATH   the daemon's pid file (default {}); naming it skips systemctl\n"
    "  --help, --version\n"
    "Exit status: 0 done, 1 refused or failed, 2 bad usage.\n",
    kLongestPause.count(), duration_cast<days>(kLongestLock).count(), kDefaultImportSite, config::defaultConfigurationPath,
    config::defaultPidFilePath);

struct UsageError {
  std::string message;
};
struct Failure {
  std::string message;
};

config::WallTime wallNow() { return floor<seconds>(system_clock::now()); }

// "2026-12-07 17:00 CET": schedules are read in local time.
std::string localTimeText(config::WallTime time) {
  const std::time_t moment = system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&moment, &local);
  std::array<char, 64> text{};
  return std::string(text.data(), std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M %Z", &local));
}

Uuid freshUuid() {
  std::random_device random;
  std::array<std::uint8_t, 16> bytes{};
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return Uuid(bytes);
}

// "90m", "8h", "2d", "45s"; a bare number counts in `unit`.
std::optional<seconds> parseDuration(std::string_view text, seconds unit) {
  const std::size_t digits = text.find_first_not_of("0123456789");
  const std::optional<std::int64_t> count = config::parseWholeNumber<std::int64_t>(text.substr(0, digits));
  if (!count || *count <= 0 || *count > 100000) return std::nullopt;
  const std::string_view suffix = text.substr(std::min(digits, text.size()));
  if (suffix == "s") unit = seconds(1);
  else if (suffix == "m") unit = minutes(1);
  else if (suffix == "h") unit = hours(1);
  else if (suffix == "d") unit = days(1);
  else if (!suffix.empty()) return std::nullopt;
  return *count * unit;
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

class Voskctl {
 public:
  Voskctl(std::string configPath, DaemonControl daemon) : configPath_(std::move(configPath)), daemon_(std::move(daemon)) {}

  int run(const std::string& command, const std::vector<std::string>& args) {
    if (command == "status") return status(jsonFlag(args));
    if (command == "list") return list(jsonFlag(args));
    if (command == "add") return add(args);
    if (command == "remove") return remove(args);
    if (command == "on" || command == "off") {
      noArguments(args);
      return switchBlocking(command == "on");
    }
    if (command == "pause") return pause(args);
    if (command == "lock") return lock(args);
    if (command == "import") return import(args);
    if (command == "schedule") return schedule(args);
    throw UsageError{fmt::format("unknown command \"{}\"", command)};
  }

 private:
  static bool jsonFlag(const std::vector<std::string>& args) {
    if (args.empty()) return false;
    if (args.size() == 1 && args[0] == "--json") return true;
    throw UsageError{fmt::format("unexpected \"{}\"", args.back())};
  }
  static void noArguments(const std::vector<std::string>& args) {
    if (!args.empty()) throw UsageError{fmt::format("unexpected \"{}\"", args.front())};
  }

  ConfigurationEdit open() const {
    auto opened = ConfigurationEdit::open(configPath_);
    if (auto* problem = std::get_if<std::string>(&opened)) throw Failure{*problem};
    return std::move(std::get<ConfigurationEdit>(opened));
  }

  int commit(ConfigurationEdit& edit, const std::string& what) const {
    const ConfigurationEdit::Outcome outcome = edit.commit(daemon_, wallNow());
    if (!outcome.done) throw Failure{outcome.message};
    std::printf("%s\n%s\n", what.c_str(), outcome.message.c_str());
    return kDone;
  }

  int status(bool json) const {
    ConfigurationEdit edit = open();
    const ConfigurationDictionary& file = edit.before();
    const config::WallTime now = wallNow();
    const DaemonControl::Process process = daemon_.find();
    const auto flag = [&](const char* key) -> std::optional<bool> {
      const auto it = file.find(key);
      if (it == file.end() || !std::holds_alternative<bool>(it->second)) return std::nullopt;
      return std::get<bool>(it->second);
    };
    const bool enabled = flag("blockingEnabled").value_or(false);
    const std::optional<bool> strict = flag("strictMode");
    const bool paused = enabled && config::pausedAt(file, now);
    const config::BlockingNow blocking = config::blockingAt(file, edit.scheduleBefore(), now);
    const std::optional<config::WallTime> pausedUntil = config::timeMember(file, config::pausedUntilKey);
    const std::optional<config::WallTime> lockedUntil = config::timeMember(file, config::lockedUntilKey);
    const bool locked = config::lockHolds(lockedUntil, now);
    const std::size_t domains = allDomains(edit.sites()).size();
    const std::vector<std::string> blocked = DaemonControl::lastBlockedDecisions();

    if (json) {
      nlohmann::json out{{"daemon", {{"running", process.running}, {"underSystemd", process.underSystemd}}},
                         {"blockingEnabled", enabled},
                         {"blocking", blocking.on},
                         {"why", blocking.why},
                         {"schedule", scheduleJson(edit.scheduleBefore())},
                         {"paused", paused},
                         {"locked", locked},
                         {"sites", edit.sites().size()},
                         {"domains", domains},
                         {"lastBlocked", blocked}};
      if (process.pid != 0) out["daemon"]["pid"] = process.pid;
      if (strict) out["strictMode"] = *strict;
      if (paused) out["pausedUntil"] = config::formatWallTime(*pausedUntil);
      if (locked) out["lockedUntil"] = config::formatWallTime(*lockedUntil);
      if (blocking.nextChange) out["nextChange"] = config::formatWallTime(*blocking.nextChange);
      std::printf("%s\n", out.dump(2).c_str());
      return kDone;
    }
    std::string daemonState = "not running";
    if (process.running) {
      daemonState = process.pid != 0 ? fmt::format("running (pid {})", process.pid) : "running (systemd unit vosk-filter)";
    }
    std::printf("vosk-filter: %s\n", daemonState.c_str());
    std::printf("blocking:    %s now (%s)%s\n", blocking.on ? "on" : "off", blocking.why.c_str(),
                blocking.nextChange ? fmt::format(", changes at {}", localTimeText(*blocking.nextChange)).c_str() : "");
    for (std::size_t i = 0; i < edit.scheduleBefore().size(); ++i) {
      std::printf("%s %zu. %s\n", i == 0 ? "schedule:   " : "            ", i + 1,
                  config::formatWindow(edit.scheduleBefore()[i]).c_str());
    }
    if (strict) std::printf("strict mode: %s\n", *strict ? "on" : "off");
    std::printf("lock:        %s\n",
                locked ? fmt::format("locked until {}", config::formatWallTime(*lockedUntil)).c_str() : "none");
    std::printf("block list:  %zu site%s, %zu domain%s\n", edit.sites().size(), edit.sites().size() == 1 ? "" : "s",
                domains, domains == 1 ? "" : "s");
    if (!blocked.empty()) {
      std::printf("last blocked:\n");
      for (const std::string& line : blocked) std::printf("  %s\n", line.c_str());
    }
    return kDone;
  }

  int list(bool json) const {
    ConfigurationEdit edit = open();
    if (json) {
      nlohmann::json sites = nlohmann::json::array();
      for (const BlockedSite& site : edit.sites()) sites.push_back(encodeBlockedSite(site));
      std::printf("%s\n", sites.dump(2).c_str());
      return kDone;
    }
    std::string out;
    for (const BlockedSite& site : edit.sites()) {
      out += fmt::format("{}  ({})\n", site.name, site.id.toString());
      for (const std::string& domain : site.domains) out += fmt::format("  {}\n", domain);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return kDone;
  }

  int add(const std::vector<std::string>& args) const {
    if (args.size() < 2) throw UsageError{"add needs a site name and at least one domain"};
    ConfigurationEdit edit = open();
    std::vector<std::string> domains;
    for (auto it = args.begin() + 1; it != args.end(); ++it) {
      config::NormalisedEntry normalised = config::normaliseDomainEntry(*it);
      if (!normalised.problem.empty()) throw Failure{fmt::format("\"{}\" is no domain: {}", *it, normalised.problem)};
      domains.push_back(std::move(normalised.entry));
    }
    BlockedSite& site = siteNamed(edit.sites(), args[0]);
    std::unordered_set<std::string> listed;
    for (const std::string& entry : site.domains) listed.insert(comparableEntry(entry));
    std::size_t added = 0;
    for (std::string& domain : domains) {
      if (!listed.insert(comparableEntry(domain)).second) continue;
      site.domains.push_back(std::move(domain));
      ++added;
    }
    if (added == 0) {
      std::printf("site \"%s\" already lists every one of these domains\n", site.name.c_str());
      return kDone;
    }
    return commit(edit, fmt::format("site \"{}\": {} domain{} added", site.name, added, added == 1 ? "" : "s"));
  }

  int remove(const std::vector<std::string>& args) const {
    if (args.empty()) throw UsageError{"remove needs a site name or a domain"};
    ConfigurationEdit edit = open();
    std::vector<BlockedSite>& sites = edit.sites();
    for (const std::string& arg : args) {
      const std::size_t sitesBefore = sites.size();
      std::erase_if(sites, [&](const BlockedSite& site) { return site.name == arg; });
      if (sites.size() != sitesBefore) continue;
      const std::string entry = comparableEntry(arg);
      std::size_t removed = 0;
      for (BlockedSite& site : sites) {
        removed += std::erase_if(site.domains, [&](const std::string& domain) { return comparableEntry(domain) == entry; });
      }
      if (removed == 0) throw Failure{fmt::format("no site or domain \"{}\" on the block list; nothing changed", arg)};
    }
    return commit(edit, "removed");
  }

  int switchBlocking(bool on) const {
    ConfigurationEdit edit = open();
    edit.document()[config::blockingEnabledKey] = on;
    if (on) edit.document().erase(config::pausedUntilKey);
    return commit(edit, on ? "blocking on" : "blocking off");
  }

  int pause(const std::vector<std::string>& args) const {
    if (args.size() != 1) throw UsageError{"pause needs a number of minutes"};
    const std::optional<seconds> length = parseDuration(args[0], minutes(1));
    if (!length || *length > kLongestPause) {
      throw UsageError{fmt::format("pause needs minutes from 1 to {}, not \"{}\"", kLongestPause.count(), args[0])};
    }
    ConfigurationEdit edit = open();
    const auto blocking = edit.before().find(config::blockingEnabledKey);
    if (blocking == edit.before().end() || blocking->second != ConfigurationValue(true)) {
      throw Failure{"blocking is off: there is nothing to pause"};
    }
    const std::string until = config::formatWallTime(wallNow() + *length);
    edit.document()[config::pausedUntilKey] = until;
    return commit(edit, fmt::format("blocking paused until {}; it comes back on by itself", until));
  }

  int lock(const std::vector<std::string>& args) const {
    if (args.size() != 2 || (args[0] != "--for" && args[0] != "--until")) {
      throw UsageError{"lock needs --for DURATION or --until TIME"};
    }
    const config::WallTime now = wallNow();
    std::optional<config::WallTime> until;
    if (args[0] == "--for") {
      if (const std::optional<seconds> length = parseDuration(args[1], minutes(1))) until = now + *length;
    } else {
      until = config::parseWallTime(args[1]);
    }
    if (!until) throw UsageError{fmt::format("{} cannot read \"{}\"", args[0], args[1])};
    if (*until <= now) throw Failure{fmt::format("{} is not in the future", config::formatWallTime(*until))};
    if (*until - now > kLongestLock) {
      throw Failure{fmt::format("a lock lasts at most {} days", duration_cast<days>(kLongestLock).count())};
    }
    ConfigurationEdit edit = open();
    const std::optional<config::WallTime> held = config::timeMember(edit.before(), config::lockedUntilKey);
    if (config::lockHolds(held, now) && *held > *until) {
      throw Failure{fmt::format("refused: blocking is locked until {}; a lock can be lengthened, never shortened",
                                config::formatWallTime(*held))};
    }
    const std::string text = config::formatWallTime(*until);
    edit.document()[config::lockedUntilKey] = text;
    return commit(edit, fmt::format("locked until {}: changes that weaken blocking are refused until then", text));
  }

  static nlohmann::json scheduleJson(const config::Schedule& schedule) {
    nlohmann::json windows = nlohmann::json::array();
    for (const config::ScheduleWindow& window : schedule) windows.push_back(config::windowJson(window));
    return windows;
  }

  // Windows are numbered as the file lists them; list shows those that can be read.
  int schedule(const std::vector<std::string>& args) const {
    const std::string sub = args.empty() ? "list" : args[0];
    const std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
    ConfigurationEdit edit = open();
    nlohmann::json& document = edit.document();
    if (sub == "list") {
      const config::Schedule& windows = edit.scheduleBefore();
      if (jsonFlag(rest)) {
        std::printf("%s\n", scheduleJson(windows).dump(2).c_str());
        return kDone;
      }
      if (windows.empty()) std::printf("no schedule: blocking is on at any time it is switched on\n");
      for (std::size_t i = 0; i < windows.size(); ++i) {
        std::printf("%zu. %s\n", i + 1, config::formatWindow(windows[i]).c_str());
      }
      return kDone;
    }
    if (sub == "add") {
      if (rest.size() != 3) throw UsageError{"schedule add needs DAYS FROM TO"};
      const std::optional<std::uint8_t> days = config::parseDayList(rest[0]);
      if (!days) throw UsageError{fmt::format("no days \"{}\": use mon-fri, sat,sun, mon,wed-fri or daily", rest[0])};
      const std::optional<int> from = config::parseClockTime(rest[1], false);
      const std::optional<int> to = config::parseClockTime(rest[2], true);
      if (!from || !to) throw UsageError{"FROM and TO are times of day, HH:MM (TO up to 24:00)"};
      const config::ScheduleWindow window{*days, *from, *to};
      nlohmann::json& windows = document[config::scheduleKey];
      if (!windows.is_array()) windows = nlohmann::json::array();
      windows.push_back(config::windowJson(window));
      return commit(edit, fmt::format("schedule: blocking on {}", config::formatWindow(window)));
    }
    if (sub == "remove") {
      const std::optional<std::size_t> parsed =
          rest.size() == 1 ? config::parseWholeNumber<std::size_t>(rest[0]) : std::nullopt;
      if (!parsed) throw UsageError{"schedule remove needs the number of a window, as schedule list shows it"};
      const std::size_t number = *parsed;
      const auto windows = document.find(config::scheduleKey);
      if (windows == document.end() || !windows->is_array() || number == 0 || number > windows->size()) {
        throw Failure{fmt::format("no schedule window {}", rest[0])};
      }
      windows->erase(number - 1);
      if (windows->empty()) document.erase(config::scheduleKey);
      return commit(edit, fmt::format("schedule window {} removed", number));
    }
    if (sub == "clear") {
      noArguments(rest);
      document.erase(config::scheduleKey);
      return commit(edit, "schedule cleared: blocking is on at any time it is switched on");
    }
    throw UsageError{fmt::format("unknown schedule command \"{}\"", sub)};
  }

  int import(std::vector<std::string> args) const {
    std::string siteName = kDefaultImportSite;
    if (args.size() == 3 && args[0] == "--site") {
      siteName = args[1];
      args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() != 1) throw UsageError{"import needs [--site NAME] and one FILE, or - for standard input"};
    std::string text;
    if (args[0] == "-") {
      text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
      auto read = config::readFile(args[0]);
      if (auto* problem = std::get_if<config::ConfigurationProblem>(&read)) {
        throw Failure{config::describeProblem(args[0], *problem)};
      }
      text = std::move(std::get<std::string>(read));
    }
    ConfigurationEdit edit = open();
    ctl::ImportedNames imported = ctl::importNames(text, allDomains(edit.sites()));
    std::string summary = fmt::format("{}: {} lines read, {} added, {} folded, {} skipped", args[0], imported.linesRead,
                                      imported.added.size(), imported.folded, imported.skipped);
    for (const ctl::SkippedEntry& skipped : imported.firstSkipped) {
      summary += fmt::format("\n  {}:{}: skipped: {}", args[0], skipped.line, skipped.reason);
    }
    if (imported.skipped > imported.firstSkipped.size()) {
      summary += fmt::format("\n  ... and {} more skipped", imported.skipped - imported.firstSkipped.size());
    }
    if (imported.added.empty()) {
      std::printf("%s\nnothing to add\n", summary.c_str());
      return kDone;
    }
    BlockedSite& site = siteNamed(edit.sites(), siteName);
    site.domains.insert(site.domains.end(), std::make_move_iterator(imported.added.begin()),
                        std::make_move_iterator(imported.added.end()));
    return commit(edit, fmt::format("{}\nsite \"{}\" now lists {} domains", summary, site.name, site.domains.size()));
  }

  std::string configPath_;
  DaemonControl daemon_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string configPath = config::defaultConfigurationPath;
  std::string pidFile = config::defaultPidFilePath;
  bool pidFileNamed = false;
  try {
    std::size_t i = 0;
    for (; i < args.size() && args[i].starts_with("-"); i += 2) {
      if (args[i] == "--help" || args[i] == "-h") {
        std::printf("%s", kUsageText.c_str());
        return kDone;
      }
      if (args[i] == "--version") {
        std::printf("voskctl %s\n", VOSK_VERSION);
        return kDone;
      }
      if ((args[i] != "--config" && args[i] != "--pid-file") || i + 1 == args.size()) {
        throw UsageError{fmt::format("unknown option or missing value: \"{}\"", args[i])};
      }
      (args[i] == "--config" ? configPath : pidFile) = args[i + 1];
      pidFileNamed = pidFileNamed || args[i] == "--pid-file";
    }
    if (i == args.size()) throw UsageError{"no command"};
    Voskctl voskctl(configPath, DaemonControl(pidFile, pidFileNamed));
    return voskctl.run(args[i], std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end()));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "voskctl: %s\n%s", error.message.c_str(), kUsageText.c_str());
    return kUsage;
  } catch (const Failure& failure) {
    std::fprintf(stderr, "voskctl: %s\n", failure.message.c_str());
    return kFailed;
  }
}
