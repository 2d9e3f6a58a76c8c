// voskctl: steers vosk-filter through its control socket and shows its state.
#include <termios.h>
#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "config/blocking_rules.hpp"
#include "config/configuration_file.hpp"
#include "config/number_text.hpp"
#include "config/paths.hpp"
#include "config/schedule.hpp"
#include "control/interface.hpp"
#include "control/setting_changes.hpp"
#include "control/settings_edit.hpp"
#include "ctl/control_client.hpp"
#include "dashboard/password_file.hpp"

namespace {

using namespace vosk;
using namespace std::chrono;
using Json = nlohmann::json;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kDefaultHistoryDays = 7;
constexpr std::size_t kChartWidth = 40;

const std::string kUsageText = fmt::format(
    "Usage: voskctl [--socket PATH] [--config FILE] COMMAND [ARGS...]\n"
    "\n"
    "Steers vosk-filter through its control socket and shows what it does.\n"
    "\n"
    "  status [--json]              what the daemon does now: blocking and why, lock, pause, pending changes\n"
    "  list [--json]                the sites and their domains\n"
    "  add SITE DOMAIN...           block these domains (and their subdomains) as SITE\n"
    "  remove SITE|DOMAIN...        unblock whole sites or single domains\n"
    "  on | off                     switch blocking on (ending a pause) or off\n"
    "  pause MINUTES                switch blocking off now; it comes back on by itself (at most {} minutes)\n"
    "  lock --for DURATION | --until TIME\n"
    "                               refuse every change that weakens blocking until then (DURATION: 90m, 8h, 2d;\n"
    "                               TIME: RFC 3339, 2026-12-24T18:00:00Z; at most {} days); a lock is never shortened\n"
    "  strict on | off              strict mode: closes the usual ways around the block list\n"
    "  import [--site NAME] FILE|-  add the names of a hosts file, adblock-style list or plain list (to site \"{}\")\n"
    "  schedule list [--json]       the windows in which blocking is on (none: always)\n"
    "  schedule add DAYS FROM TO    block in this window too (DAYS: mon-fri, sat,sun, mon,wed-fri, daily;\n"
    "                               FROM, TO: HH:MM in local time; TO before FROM runs past midnight)\n"
    "  schedule remove N | clear    drop window N (as list numbers them), or every window (blocking always on)\n"
    "  cancel N                     drop pending change N (status lists them)\n"
    "  history [--days N] [--site NAME] [--json]\n"
    "                               blocked attempts per day and site, and the last ones (root or the\n"
    "                               administrators' group only)\n"
    "  dashboard password           set vosk-dashboard's password (root only): the first line of standard input,\n"
    "                               or typed twice at a terminal; kept as an Argon2id hash beside the settings file\n"
    "\n"
    "Any user may strengthen blocking; weakening it (remove, off, pause, strict off, a schedule that blocks\n"
    "less) needs root or the administrators' group, is refused under a lock and may wait out a delay.\n"
    "\n"
    "  --socket PATH     the daemon's control socket (default {})\n"
    "  --config FILE     with no daemon running, root edits this file directly (default {})\n"
    "  --help, --version\n"
    "Exit status: 0 done, 1 refused, pending or failed, 2 bad usage.\n",
    control::longestPause.count(), duration_cast<days>(control::longestLock).count(), control::defaultImportSite,
    config::defaultControlSocketPath, config::defaultConfigurationPath);

struct UsageError {
  std::string message;
};
struct Failure {
  std::string message;
};


void noArguments(const std::vector<std::string>& args) {
  if (!args.empty()) throw UsageError{fmt::format("unexpected \"{}\"", args.front())};
}

bool jsonFlag(const std::vector<std::string>& args) {
  if (args.empty()) return false;
  if (args.size() == 1 && args[0] == "--json") return true;
  throw UsageError{fmt::format("unexpected \"{}\"", args.back())};
}

void print(const Json& value) { std::printf("%s\n", value.dump(2).c_str()); }

std::string text(const Json& value, const char* key) {
  const auto it = value.find(key);
  return it != value.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A command as a call: what it asks the daemon, and the bytes an import streams.
struct Request {
  control::Call call;
  std::string raw;
  std::string label;  // an import's source, for its summary
};

std::string readImport(const std::string& source) {
  if (source == "-") return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  auto read = config::readFile(source);
  if (auto* problem = std::get_if<config::ConfigurationProblem>(&read)) {
    throw Failure{config::describeProblem(source, *problem)};
  }
  return std::move(std::get<std::string>(read));
}

// The call a changing command makes; nothing for the commands that only read.
std::optional<Request> changeRequest(const std::string& command, std::vector<std::string> args) {
  const auto call = [](const char* method, Json parameters = Json::object()) {
    return Request{control::Call{method, std::move(parameters)}, {}, {}};
  };
  if (command == "add") {
    if (args.size() < 2) throw UsageError{"add needs a site name and at least one domain"};
    return call(control::addDomainsMethod, {{"site", args[0]}, {"domains", std::vector(args.begin() + 1, args.end())}});
  }
  if (command == "remove") {
    if (args.empty()) throw UsageError{"remove needs a site name or a domain"};
    return call(control::removeMethod, {{"names", args}});
  }
  if (command == "on" || command == "off") {
    noArguments(args);
    return call(control::setBlockingMethod, {{"enabled", command == "on"}});
  }
  if (command == "strict") {
    if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) throw UsageError{"strict needs on or off"};
    return call(control::setStrictModeMethod, {{"enabled", args[0] == "on"}});
  }
  if (command == "pause") {
    const std::optional<seconds> length = args.size() == 1 ? config::parseDuration(args[0], minutes(1)) : std::nullopt;
    if (!length || *length > control::longestPause || *length < minutes(1)) {
      throw UsageError{fmt::format("pause needs minutes from 1 to {}", control::longestPause.count())};
    }
    return call(control::pauseMethod, {{"minutes", duration_cast<minutes>(*length).count()}});
  }
  if (command == "lock") {
    if (args.size() != 2 || (args[0] != "--for" && args[0] != "--until")) {
      throw UsageError{"lock needs --for DURATION or --until TIME"};
    }
    std::optional<config::WallTime> until;
    if (args[0] == "--for") {
      if (const std::optional<seconds> length = config::parseDuration(args[1], minutes(1))) until = config::wallNow() + *length;
    } else {
      until = config::parseWallTime(args[1]);
    }
    if (!until) throw UsageError{fmt::format("{} cannot read \"{}\"", args[0], args[1])};
    return call(control::lockMethod, {{"until", config::formatWallTime(*until)}});
  }
  if (command == "cancel") {
    const std::optional<std::int64_t> id = args.size() == 1 ? config::parseWholeNumber<std::int64_t>(args[0]) : std::nullopt;
    if (!id) throw UsageError{"cancel needs the number of a pending change, as status shows it"};
    return call(control::cancelPendingMethod, {{"id", *id}});
  }
  if (command == "import") {
    std::string site = control::defaultImportSite;
    if (args.size() == 3 && args[0] == "--site") {
      site = args[1];
      args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() != 1) throw UsageError{"import needs [--site NAME] and one FILE, or - for standard input"};
    Request request{control::Call{control::importMethod, {}}, readImport(args[0]), args[0]};
    request.call.parameters = {{"site", site}, {"bytes", request.raw.size()}};
    request.call.upgrade = true;
    return request;
  }
  if (command == "schedule" && !args.empty() && args[0] != "list") {
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "add") {
      if (rest.size() != 3) throw UsageError{"schedule add needs DAYS FROM TO"};
      return call(control::addWindowMethod, {{"days", rest[0]}, {"from", rest[1]}, {"to", rest[2]}});
    }
    if (args[0] == "remove") {
      const auto number = rest.size() == 1 ? config::parseWholeNumber<std::int64_t>(rest[0]) : std::nullopt;
      if (!number) throw UsageError{"schedule remove needs the number of a window, as schedule list shows it"};
      return call(control::removeWindowMethod, {{"number", *number}});
    }
    if (args[0] == "clear") {
      noArguments(rest);
      return call(control::clearScheduleMethod);
    }
    throw UsageError{fmt::format("unknown schedule command \"{}\"", args[0])};
  }
  return std::nullopt;
}

// What a change did, in words; pending and "nothing to do" say so.
int reportChange(const Request& request, const Json& reply) {
  if (request.call.method == std::string_view(control::importMethod)) {
    const std::string summary = ctl::importSummary(request.label, reply);
    std::printf("%s\n", summary.c_str());
  }
  const Json& outcome = reply.at("outcome");
  std::printf("%s\n", text(outcome, "message").c_str());
  return text(outcome, "outcome") == "pending" ? kFailed : kDone;
}

// One line typed at the terminal without echo.
std::string promptHidden(const char* prompt) {
  std::fprintf(stderr, "%s", prompt);
  termios saved{};
  const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::string line;
  std::getline(std::cin, line);
  if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fprintf(stderr, "\n");
  return line;
}

// The new password: the first line of standard input when a program gives
// it, else typed twice.
std::string readNewPassword() {
  if (!isatty(STDIN_FILENO)) {
    std::string line;
    std::getline(std::cin, line);
    if (line.ends_with('\r')) line.pop_back();
    return line;
  }
  std::string password = promptHidden("New dashboard password: ");
  if (promptHidden("The same again: ") != password) throw Failure{"the two passwords differ; nothing changed"};
  return password;
}

int setDashboardPassword(const std::vector<std::string>& args, const std::string& configPath) {
  if (args.size() != 1 || args[0] != "password") throw UsageError{"dashboard needs \"password\""};
  // The password gives the dashboard's administrator rights to whoever
  // holds it, so only root, who owns the settings, may set it.
  if (geteuid() != 0) throw Failure{"only root may set the dashboard's password"};
  const std::string password = readNewPassword();
  if (password.empty() || password.size() > dashboard::longestPassword) {
    throw Failure{fmt::format("a password needs 1 to {} bytes; nothing changed", dashboard::longestPassword)};
  }
  if (!dashboard::startSodium()) throw Failure{"libsodium cannot start: no source of random numbers"};
  const std::optional<std::string> hash = dashboard::hashPassword(password);
  if (!hash) throw Failure{"not enough memory to hash the password"};
  const std::string path = dashboard::passwordPathBeside(configPath);
  if (auto problem = dashboard::storePasswordHash(path, *hash)) throw Failure{*problem};
  std::printf("dashboard password set (its hash is in %s)\n", path.c_str());
  return kDone;
}

class Voskctl {
 public:
  Voskctl(std::string socketPath, std::string configPath)
      : socketPath_(std::move(socketPath)), configPath_(std::move(configPath)) {}

  int run(const std::string& command, const std::vector<std::string>& args) {
    if (std::optional<Request> change = changeRequest(command, args)) return this->change(*change);
    if (command == "status") return status(jsonFlag(args));
    if (command == "list") return list(jsonFlag(args));
    if (command == "schedule") return scheduleList(jsonFlag(std::vector(args.begin() + (args.empty() ? 0 : 1), args.end())));
    if (command == "history") return history(args);
    if (command == "dashboard") return setDashboardPassword(args, configPath_);
    throw UsageError{fmt::format("unknown command \"{}\"", command)};
  }

 private:
  // The daemon's answer, or nothing when no daemon listens.
  std::optional<Json> ask(const Request& request) {
    if (!client_) {
      auto connected = ctl::ControlClient::connect(socketPath_);
      if (auto* failure = std::get_if<ctl::ConnectFailure>(&connected)) {
        if (failure->noDaemon) return std::nullopt;
        throw Failure{failure->message};
      }
      client_.emplace(std::move(std::get<ctl::ControlClient>(connected)));
    }
    auto answered = client_->call(request.call, request.raw);
    if (auto* failure = std::get_if<std::string>(&answered)) throw Failure{*failure};
    control::Reply& reply = std::get<control::Reply>(answered);
    if (reply.error) throw Failure{ctl::errorText(*reply.error, reply.parameters)};
    return std::move(reply.parameters);
  }

  int change(const Request& request) {
    if (std::optional<Json> reply = ask(request)) return reportChange(request, *reply);
    // No daemon: root edits the file itself, under the lock the file holds.
    if (request.call.method == std::string_view(control::cancelPendingMethod)) {
      throw Failure{"vosk-filter is not running: there are no pending changes"};
    }
    if (geteuid() != 0) {
      throw Failure{fmt::format("vosk-filter is not running (nothing answers at {}); only root may then edit {}",
                                socketPath_, configPath_)};
    }
    auto opened = control::SettingsEdit::open(configPath_);
    if (auto* problem = std::get_if<std::string>(&opened)) throw Failure{*problem};
    control::SettingsEdit& edit = std::get<control::SettingsEdit>(opened);
    const config::WallTime now = config::wallNow();
    control::ChangeOutcome outcome;
    try {
      outcome = control::applyChange(edit, request.call, request.raw, now);
    } catch (const control::WireError& error) {
      throw Failure{ctl::errorText(error.error, error.parameters)};
    }
    Json reply = outcome.details;
    reply["outcome"] = {{"outcome", "applied"}, {"message", outcome.message}};
    if (outcome.changed) {
      auto written = edit.result();
      if (auto* problem = std::get_if<std::string>(&written)) throw Failure{*problem};
      const auto& result = std::get<control::SettingsEdit::Written>(written);
      const std::optional<config::WallTime> lock =
          config::timeMember(edit.before().dictionary, config::lockedUntilKey);
      if (const std::string why = edit.weakening(result, now); !why.empty() && config::lockHolds(lock, now)) {
        throw Failure{fmt::format("refused: blocking is locked until {} and this change weakens it: {}",
                                  config::formatWallTime(*lock), why)};
      }
      if (std::string problem = edit.write(result.text); !problem.empty()) throw Failure{problem};
    }
    std::printf("vosk-filter is not running: %s edited directly; the change applies when it starts\n",
                configPath_.c_str());
    return reportChange(request, reply);
  }

  Json daemonStatus() {
    std::optional<Json> reply = ask(Request{control::Call{control::statusMethod, Json::object()}, {}, {}});
    if (!reply) return nullptr;
    return reply->at("status");
  }

  int status(bool json) {
    const Json status = daemonStatus();
    if (status.is_null()) {
      // No daemon: what the file says, and that nothing enforces it.
      auto loaded = config::loadConfigurationFile(configPath_);
      const std::string summary = std::holds_alternative<config::Configuration>(loaded)
                                      ? std::get<config::Configuration>(loaded).summary
                                      : config::describeProblem(configPath_, std::get<config::ConfigurationProblem>(loaded));
      if (json) {
        print(Json{{"running", false}, {"configuration", configPath_}, {"summary", summary}});
      } else {
        std::printf("vosk-filter: not running (nothing answers at %s); nothing is filtered\n", socketPath_.c_str());
        std::printf("file:        %s: %s\n", configPath_.c_str(), summary.c_str());
      }
      return kDone;
    }
    if (json) {
      Json out = status;
      out["running"] = true;
      print(out);
      return kDone;
    }
    std::printf("vosk-filter: running (control socket %s)\n", socketPath_.c_str());
    const std::string next = status["nextChange"].is_null() ? "" : ", changes at " + ctl::localTimeText(status["nextChange"]);
    std::printf("blocking:    %s now (%s)%s\n", status.value("blocking", false) ? "on" : "off",
                text(status, "why").c_str(), next.c_str());
    printSchedule(status["schedule"], "schedule:    ");
    std::printf("strict mode: %s\n", !status.value("strictMode", false)        ? "off"
                                     : status.value("strictModeActive", false) ? "on, in force"
                                                                               : "on, not in force while blocking is off");
    std::printf("lock:        %s\n", status["lockedUntil"].is_null()
                                         ? "none"
                                         : fmt::format("locked until {}", text(status, "lockedUntil")).c_str());
    std::printf("block list:  %d site%s, %d domain%s\n", status.value("sites", 0), status.value("sites", 0) == 1 ? "" : "s",
                status.value("domains", 0), status.value("domains", 0) == 1 ? "" : "s");
    if (!status["gatewayInterfaces"].empty()) {
      std::printf("gateway:     %s\n", fmt::format("{}", fmt::join(status["gatewayInterfaces"].get<std::vector<std::string>>(), " ")).c_str());
    }
    std::printf("engine:      %s\n", text(status, "engine").c_str());
    std::printf("flows open:  %d\n", status.value("flowsOpen", 0));
    if (!status["blockedToday"].is_null()) std::printf("blocked today: %d\n", status.value("blockedToday", 0));
    for (const Json& pending : status["pending"]) {
      std::printf("pending %d:   %s, applied at %s unless cancelled (voskctl cancel %d)\n", pending.value("id", 0),
                  text(pending, "what").c_str(), ctl::localTimeText(pending["appliesAt"]).c_str(), pending.value("id", 0));
    }
    std::printf("you:         %s\n", status.value("administrator", false)
                                         ? "an administrator: you may strengthen and weaken blocking"
                                         : fmt::format("may strengthen blocking; weakening needs root or group {}",
                                                       text(status, "adminGroup"))
                                               .c_str());
    return kDone;
  }

  static void printSchedule(const Json& windows, const char* heading) {
    for (std::size_t i = 0; i < windows.size(); ++i) {
      const auto window = config::windowFromJson(windows[i]);
      const std::string shown = std::holds_alternative<config::ScheduleWindow>(window)
                                    ? config::formatWindow(std::get<config::ScheduleWindow>(window))
                                    : windows[i].dump();
      std::printf("%s%zu. %s\n", i == 0 ? heading : "             ", i + 1, shown.c_str());
    }
  }

  int scheduleList(bool json) {
    const Json status = daemonStatus();
    Json windows = Json::array();
    if (status.is_null()) {
      auto loaded = config::loadConfigurationFile(configPath_);
      if (auto* configuration = std::get_if<config::Configuration>(&loaded)) {
        for (const config::ScheduleWindow& window : configuration->schedule) windows.push_back(config::windowJson(window));
      }
    } else {
      windows = status["schedule"];
    }
    if (json) {
      print(windows);
      return kDone;
    }
    if (windows.empty()) std::printf("no schedule: blocking is on at any time it is switched on\n");
    printSchedule(windows, "");
    return kDone;
  }

  int list(bool json) {
    Json sites = Json::array();
    if (std::optional<Json> reply = ask(Request{control::Call{control::listSitesMethod, Json::object()}, {}, {}})) {
      sites = reply->at("sites");
    } else {
      auto opened = control::SettingsEdit::open(configPath_);
      if (auto* problem = std::get_if<std::string>(&opened)) throw Failure{*problem};
      for (const BlockedSite& site : std::get<control::SettingsEdit>(opened).sites()) sites.push_back(encodeBlockedSite(site));
    }
    if (json) {
      print(sites);
      return kDone;
    }
    std::string out;
    for (const Json& site : sites) {
      out += fmt::format("{}  ({})\n", text(site, "name"), text(site, "id"));
      for (const Json& domain : site["domains"]) out += fmt::format("  {}\n", domain.get<std::string>());
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return kDone;
  }

  int history(const std::vector<std::string>& args) {
    Json parameters{{"days", kDefaultHistoryDays}};
    bool json = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (args[i] == "--json") {
        json = true;
      } else if (args[i] == "--days" && i + 1 < args.size()) {
        const auto days = config::parseWholeNumber<int>(args[++i]);
        if (!days || *days < 1 || *days > config::mostHistoryDays) {
          throw UsageError{fmt::format("--days needs a number from 1 to {}", config::mostHistoryDays)};
        }
        parameters["days"] = *days;
      } else if (args[i] == "--site" && i + 1 < args.size()) {
        parameters["site"] = args[++i];
      } else {
        throw UsageError{fmt::format("unexpected \"{}\"", args[i])};
      }
    }
    std::optional<Json> reply = ask(Request{control::Call{control::historyMethod, parameters}, {}, {}});
    if (!reply) throw Failure{fmt::format("vosk-filter is not running (nothing answers at {}): the history is kept by it", socketPath_)};
    if (json) {
      print(*reply);
      return kDone;
    }
    printHistory(*reply, parameters["days"].get<int>());
    return kDone;
  }

  static void printHistory(const Json& reply, int days) {
    std::printf("blocked attempts in the last %d day%s: %d\n", days, days == 1 ? "" : "s", reply.value("total", 0));
    if (reply["counts"].empty()) return;
    std::printf("\n%-12s %-24s %8s\n", "day", "site", "attempts");
    std::map<std::string, std::int64_t> perDay;
    for (const Json& count : reply["counts"]) {
      const std::string site = text(count, "site").empty() ? "(QUIC)" : text(count, "site");
      std::printf("%-12s %-24s %8lld\n", text(count, "bucket").c_str(), site.c_str(),
                  static_cast<long long>(count.value("count", std::int64_t{0})));
      perDay[text(count, "bucket")] += count.value("count", std::int64_t{0});
    }
    if (isatty(STDOUT_FILENO)) {
      const std::int64_t most = std::max_element(perDay.begin(), perDay.end(), [](auto& a, auto& b) { return a.second < b.second; })->second;
      std::printf("\n");
      for (const auto& [day, count] : perDay) {
        const auto width = static_cast<std::size_t>((count * static_cast<std::int64_t>(kChartWidth) + most - 1) / most);
        std::string bar;
        for (std::size_t i = 0; i < width; ++i) bar += "█";
        std::printf("%s %s %lld\n", day.c_str(), bar.c_str(), static_cast<long long>(count));
      }
    }
    std::printf("\nlast blocked:\n");
    for (const Json& decision : reply["last"]) {
      std::printf("  %s  %-13s %-20s %s\n", ctl::localTimeText(decision["time"]).c_str(), text(decision, "kind").c_str(),
                  text(decision, "site").c_str(), text(decision, "host").c_str());
    }
  }

  std::string socketPath_;
  std::string configPath_;
  std::optional<ctl::ControlClient> client_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string socketPath = config::defaultControlSocketPath;
  std::string configPath = config::defaultConfigurationPath;
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
      if ((args[i] != "--config" && args[i] != "--socket") || i + 1 == args.size()) {
        throw UsageError{fmt::format("unknown option or missing value: \"{}\"", args[i])};
      }
      (args[i] == "--config" ? configPath : socketPath) = args[i + 1];
    }
    if (i == args.size()) throw UsageError{"no command"};
    Voskctl voskctl(socketPath, configPath);
    return voskctl.run(args[i], std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end()));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "voskctl: %s\n%s", error.message.c_str(), kUsageText.c_str());
    return kUsage;
  } catch (const Failure& failure) {
    std::fprintf(stderr, "voskctl: %s\n", failure.message.c_str());
    return kFailed;
  }
}
