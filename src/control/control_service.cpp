#include "control/control_service.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>
#include <utility>

#include "config/configuration_file.hpp"
#include "config/configuration_keys.hpp"
#include "control/interface.hpp"
#include "control/setting_changes.hpp"
#include "control/settings_edit.hpp"

namespace vosk::control {
namespace {

using Json = nlohmann::json;

constexpr int mostHistoryDays = config::mostHistoryDays;
constexpr std::size_t lastDecisionsShown = 20;
// A page of ListSites: enough for any screen, small enough to answer at once.
constexpr std::int64_t mostSitesAPage = 1000;

// Whether `text` holds `search`, ASCII letters compared without case.
bool holds(std::string_view text, std::string_view search) {
  return search.empty() || std::search(text.begin(), text.end(), search.begin(), search.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         }) != text.end();
}

struct SitesQuery {
  std::string search;
  std::size_t offset = 0;
  std::optional<std::size_t> limit;
  std::optional<std::size_t> domainLimit;
};

SitesQuery sitesQuery(const Json& parameters) {
  SitesQuery query;
  for (const auto& [key, value] : parameters.items()) {
    if (value.is_null()) continue;
    const bool count = value.is_number_integer() && value.get<std::int64_t>() >= 0;
    if (key == "search" && value.is_string()) {
      query.search = value.get<std::string>();
    } else if (key == "offset" && count) {
      query.offset = value.get<std::size_t>();
    } else if (key == "limit" && count && value.get<std::int64_t>() <= mostSitesAPage) {
      query.limit = value.get<std::size_t>();
    } else if (key == "domainLimit" && count) {
      query.domainLimit = value.get<std::size_t>();
    } else {
      throw invalidParameter(key);
    }
  }
  return query;
}

// A site matching by name lists all its domains, else only those that match.
Json selectSites(const std::vector<BlockedSite>& sites, const SitesQuery& query) {
  Json selected = Json::array();
  std::size_t total = 0;
  for (const BlockedSite& site : sites) {
    const bool nameMatches = holds(site.name, query.search);
    const auto listed = [&](const std::string& domain) { return nameMatches || holds(domain, query.search); };
    if (!nameMatches && std::none_of(site.domains.begin(), site.domains.end(), listed)) continue;
    const std::size_t index = total++;
    if (index < query.offset || (query.limit && index - query.offset >= *query.limit)) continue;
    Json domains = Json::array();
    std::size_t count = 0;
    for (const std::string& domain : site.domains) {
      if (listed(domain) && ++count <= query.domainLimit.value_or(count)) domains.push_back(domain);
    }
    Json entry{{"id", site.id.toString()}, {"name", site.name}, {"domains", std::move(domains)}};
    if (query.domainLimit) entry["domainCount"] = count;
    selected.push_back(std::move(entry));
  }
  return Json{{"sites", std::move(selected)}, {"total", total}};
}

Json optionalTime(std::optional<config::WallTime> time) {
  return time ? Json(config::formatWallTime(*time)) : Json(nullptr);
}

Json outcomeJson(const char* outcome, const std::string& message, Json pending = nullptr) {
  return Json{{"outcome", outcome}, {"message", message}, {"pending", std::move(pending)}};
}

}  // namespace

ControlService::ControlService(FilterHost& host, std::string settingsPath, std::string version)
    : host_(host), settingsPath_(std::move(settingsPath)), version_(std::move(version)) {}

void ControlService::handle(const Call& call, const Caller& caller, std::string_view raw, Respond respond) {
  try {
    if (call.method == getInfoMethod) return respond(encodeReply(serviceInfo(version_)));
    if (call.method == getInterfaceDescriptionMethod) {
      const auto interface = call.parameters.find("interface");
      if (interface == call.parameters.end() || *interface != controlInterface) {
        throw WireError{interfaceNotFound, Json{{"interface", interface == call.parameters.end() ? Json() : *interface}}};
      }
      return respond(encodeReply(Json{{"description", interfaceDescription()}}));
    }
    if (call.method == statusMethod) {
      return host_.blockedToday([this, caller, respond = std::move(respond)](std::optional<std::int64_t> today) {
        respond(status(caller, today));
      });
    }
    if (call.method == listSitesMethod) return respond(listSites(call));
    if (call.method == cancelPendingMethod) return respond(cancel(call));
    if (call.method == historyMethod) return history(call, caller, respond);
    if (isChange(call.method)) return respond(change(call, caller, raw, host_.state().weakenDelay));
    throw WireError{methodNotFound, Json{{"method", call.method}}};
  } catch (const WireError& error) {
    respond(encodeError(error.error, error.parameters));
  }
}

std::string ControlService::change(const Call& call, const Caller& caller, std::string_view raw,
                                   std::chrono::seconds weakenDelay) {
  auto opened = SettingsEdit::open(settingsPath_);
  if (auto* problem = std::get_if<std::string>(&opened)) throw invalidInput(*problem);
  SettingsEdit& edit = std::get<SettingsEdit>(opened);
  const config::WallTime now = host_.now();
  ChangeOutcome outcome = applyChange(edit, call, raw, now);
  Json reply = std::move(outcome.details);
  if (!outcome.changed) {
    reply["outcome"] = outcomeJson("unchanged", outcome.message);
    return encodeReply(reply);
  }
  auto written = edit.result();
  if (auto* problem = std::get_if<std::string>(&written)) throw invalidInput(*problem);
  const FilterState state = host_.state();
  const std::string why = edit.weakening(std::get<SettingsEdit::Written>(written), now);
  const Verdict verdict = judgeChange(caller, why, state.lock, now, weakenDelay, state.adminGroup);
  if (verdict.kind == Verdict::Kind::refused) {
    throw WireError{refusedError, Json{{"reason", verdict.reason}, {"message", verdict.message}}};
  }
  if (verdict.kind == Verdict::Kind::pending) {
    Pending& pending = pending_.emplace_back(Pending{nextPendingId_++, call, std::string(raw), caller.uid,
                                                     now + weakenDelay, outcome.message});
    const Json pendingJson{{"id", pending.id}, {"what", pending.what}, {"method", call.method},
                           {"appliesAt", config::formatWallTime(pending.appliesAt)}, {"requestedBy", caller.uid}};
    reply["outcome"] = outcomeJson(
        "pending",
        fmt::format("pending as change {} ({}, {}): applied at {} unless cancelled", pending.id, outcome.message, why,
                    config::formatWallTime(pending.appliesAt)),
        pendingJson);
    host_.pendingChanged();
    return encodeReply(reply);
  }
  reply["outcome"] = commit(edit, std::get<SettingsEdit::Written>(written).text, outcome.message);
  return encodeReply(reply);
}

Json ControlService::commit(SettingsEdit& edit, const std::string& text, const std::string& message) {
  if (std::string problem = edit.write(text); !problem.empty()) throw invalidInput(std::move(problem));
  if (std::string refusal = host_.reload(); !refusal.empty()) {
    edit.restore();  // the daemon keeps the configuration in force; so does the file
    throw WireError{refusedError, Json{{"reason", "locked"}, {"message", "refused: " + refusal}}};
  }
  return outcomeJson("applied", message);
}

std::optional<config::WallTime> ControlService::nextDue() const {
  std::optional<config::WallTime> due;
  for (const Pending& pending : pending_) {
    if (!due || pending.appliesAt < *due) due = pending.appliesAt;
  }
  return due;
}

// A pending change is made again on the file as it is now, and only when no
// lock has come to hold meanwhile.
void ControlService::applyDue() {
  const config::WallTime now = host_.now();
  std::vector<Pending> due;
  std::erase_if(pending_, [&](Pending& pending) {
    if (pending.appliesAt > now) return false;
    due.push_back(std::move(pending));
    return true;
  });
  for (const Pending& pending : due) {
    // Its time has come: no further delay, but a lock taken meanwhile holds it back.
    const Caller requester{pending.requestedBy, true};
    try {
      change(pending.call, requester, pending.raw, std::chrono::seconds(0));
      host_.note(fmt::format("✅ pending change {} applied: {}", pending.id, pending.what));
    } catch (const WireError& error) {
      host_.note(fmt::format("⚠️ pending change {} ({}) dropped: {}", pending.id, pending.what,
                             error.parameters.value("message", error.error)));
    }
  }
}

std::string ControlService::cancel(const Call& call) {
  const auto id = call.parameters.find("id");
  if (call.parameters.size() != 1 || id == call.parameters.end() || !id->is_number_integer()) {
    throw invalidParameter("id");
  }
  const auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.id == *id; });
  if (it == pending_.end()) throw invalidInput(fmt::format("no pending change {}", id->get<std::int64_t>()));
  const std::string message = fmt::format("pending change {} cancelled ({})", it->id, it->what);
  pending_.erase(it);
  host_.pendingChanged();
  return encodeReply(Json{{"outcome", outcomeJson("cancelled", message)}});
}

Json ControlService::pendingJson() const {
  Json list = Json::array();
  for (const Pending& pending : pending_) {
    list.push_back(Json{{"id", pending.id}, {"what", pending.what}, {"method", pending.call.method},
                        {"appliesAt", config::formatWallTime(pending.appliesAt)}, {"requestedBy", pending.requestedBy}});
  }
  return list;
}

std::string ControlService::status(const Caller& caller, std::optional<std::int64_t> blockedToday) const {
  const FilterState state = host_.state();
  const config::WallTime now = host_.now();
  static const ConfigurationDictionary nothing;
  static const config::Schedule always;
  const ConfigurationDictionary& inForce = state.inForce ? *state.inForce : nothing;
  const config::Schedule& schedule = state.schedule ? *state.schedule : always;
  const config::BlockingNow blocking = config::blockingAt(inForce, schedule, now);
  Json windows = Json::array();
  for (const config::ScheduleWindow& window : schedule) windows.push_back(config::windowJson(window));
  const bool paused = config::pausedAt(inForce, now);
  Json status{{"blocking", blocking.on},
              {"why", blocking.why},
              {"nextChange", optionalTime(blocking.nextChange)},
              {"blockingEnabled", config::isTrue(inForce, config::blockingEnabledKey)},
              {"strictMode", config::isTrue(inForce, config::strictModeKey)},
              {"strictModeActive", blocking.on && config::isTrue(inForce, config::strictModeKey)},
              {"pausedUntil", paused ? optionalTime(config::timeMember(inForce, config::pausedUntilKey)) : Json()},
              {"lockedUntil", config::lockHolds(state.lock, now) ? optionalTime(state.lock) : Json()},
              {"gatewayInterfaces", state.gatewayInterfaces},
              {"sites", state.list.sites},
              {"domains", state.list.domains},
              {"flowsOpen", state.flowsOpen},
              {"blockedToday", blockedToday ? Json(*blockedToday) : Json()},
              {"historyDropped", state.historyDropped},
              {"schedule", windows},
              {"pending", pendingJson()},
              {"weakenDelaySeconds", state.weakenDelay.count()},
              {"adminGroup", state.adminGroup},
              {"engine", config::engineNames[static_cast<int>(state.engine)]},
              {"configuration", settingsPath_},
              {"administrator", caller.administrator}};
  return encodeReply(Json{{"status", std::move(status)}});
}

std::string ControlService::listSites(const Call& call) const {
  const SitesQuery query = sitesQuery(call.parameters);
  auto opened = SettingsEdit::open(settingsPath_);
  if (auto* problem = std::get_if<std::string>(&opened)) throw invalidInput(*problem);
  return encodeReply(selectSites(std::get<SettingsEdit>(opened).sites(), query));
}

// The history tells who tried to reach what: administrators only.
void ControlService::history(const Call& call, const Caller& caller, Respond& respond) {
  if (!caller.administrator) {
    throw WireError{refusedError, Json{{"reason", "notAdministrator"},
                                       {"message", fmt::format("refused: only root or a member of group {} may read "
                                                               "the history",
                                                               host_.state().adminGroup)}}};
  }
  HistoryRequest request;
  request.last = lastDecisionsShown;
  for (const auto& [key, value] : call.parameters.items()) {
    if (key == "days" && value.is_number_integer() && value.get<std::int64_t>() >= 1 &&
        value.get<std::int64_t>() <= mostHistoryDays) {
      request.days = value.get<int>();
    } else if (key == "site" && (value.is_string() || value.is_null())) {
      if (value.is_string()) request.site = value.get<std::string>();
    } else if (key == "bucket" && (value == "day" || value == "hour" || value.is_null())) {
      request.hourly = value == "hour";
    } else {
      throw invalidParameter(key);
    }
  }
  // Moved only once nothing can be refused any more: a refusal answers through it.
  host_.history(request, [respond = std::move(respond)](Json reply) { respond(encodeReply(reply)); });
}

}  // namespace vosk::control
