#include "control/interface.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace vosk::control {

std::string_view interfaceDescription() {
  return R"(# vosk-filter's control API: read and steer the running filter.
interface com.brelvant.vosk.Control

type Site (id: string, name: string, domains: []string, domainCount: ?int)
type Window (days: []string, from: string, to: string)
type Pending (id: int, what: string, method: string, appliesAt: string, requestedBy: int)
type Outcome (outcome: string, message: string, pending: ?Pending)
type Status (blocking: bool, why: string, nextChange: ?string, blockingEnabled: bool, strictMode: bool, strictModeActive: bool, pausedUntil: ?string, lockedUntil: ?string, gatewayInterfaces: []string, sites: int, domains: int, flowsOpen: int, blockedToday: ?int, historyDropped: int, schedule: []Window, pending: []Pending, weakenDelaySeconds: int, adminGroup: string, engine: string, configuration: string, administrator: bool)
type Decision (time: string, kind: string, site: string, host: string)
type Count (bucket: string, site: string, count: int)

method Status() -> (status: Status)
method ListSites(search: ?string, offset: ?int, limit: ?int, domainLimit: ?int) -> (sites: []Site, total: int)
method AddDomains(site: string, domains: []string) -> (outcome: Outcome)
method Remove(names: []string) -> (outcome: Outcome)
method SetBlocking(enabled: bool) -> (outcome: Outcome)
method Pause(minutes: int) -> (outcome: Outcome)
method Lock(until: string) -> (outcome: Outcome)
method SetStrictMode(enabled: bool) -> (outcome: Outcome)
method AddWindow(days: string, from: string, to: string) -> (outcome: Outcome)
method RemoveWindow(number: int) -> (outcome: Outcome)
method ClearSchedule() -> (outcome: Outcome)
method Import(site: string, bytes: int) -> (outcome: Outcome, linesRead: int, added: int, folded: int, skipped: int, firstSkipped: []string)
method CancelPending(id: int) -> (outcome: Outcome)
method History(days: int, site: ?string, bucket: ?string) -> (counts: []Count, total: int, last: []Decision)

error Refused (reason: string, message: string)
error InvalidInput (message: string)
error TooLarge (limit: int)
error Busy (limit: int)
error Timeout (seconds: int)
)";
}

nlohmann::json serviceInfo(std::string_view version) {
  return {{"vendor", "vosk-filter"},
          {"product", "vosk-filter"},
          {"version", std::string(version)},
          {"url", ""},
          {"interfaces", {serviceInterface, controlInterface}}};
}

}  // namespace vosk::control
