#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/blocking_rules.hpp"
#include "config/configuration_file.hpp"
#include "control/authority.hpp"
#include "control/varlink.hpp"

namespace vosk::control {

// What the running filter holds now, as the control API reports it.
struct FilterState {
  const ConfigurationDictionary* inForce = nullptr;  // the file as applied; null before any
  const config::Schedule* schedule = nullptr;       // its schedule
  std::optional<config::WallTime> lock;             // the lock the daemon holds
  std::vector<std::string> gatewayInterfaces;
  config::ListSize list;                            // sites and domains in force
  std::int64_t flowsOpen = 0;
  std::uint64_t historyDropped = 0;
  std::chrono::seconds weakenDelay{0};
  std::string adminGroup;
  config::Engine engine = config::Engine::relay;   // what carries new allowed flows
};

// A history question, asked by an administrator.
struct HistoryRequest {
  int days = 7;
  std::optional<std::string> site;
  bool hourly = false;
  std::size_t last = 20;
};

// The daemon as the control service needs it. All calls on its one loop.
class FilterHost {
 public:
  virtual ~FilterHost() = default;
  virtual config::WallTime now() const = 0;
  virtual FilterState state() const = 0;
  // Reads the settings file again and applies it as SIGHUP does; why the
  // daemon refused it (the lock it holds), or empty when applied.
  virtual std::string reload() = 0;
  // Answers off the loop; `done` runs on the loop. `blockedToday` is absent
  // without a history.
  virtual void history(const HistoryRequest& request, std::function<void(nlohmann::json)> done) = 0;
  virtual void blockedToday(std::function<void(std::optional<std::int64_t>)> done) = 0;
  // The pending changes changed: nextDue may be another time.
  virtual void pendingChanged() = 0;
  // A line for the daemon's log (what became of a pending change).
  virtual void note(const std::string& line) = 0;
};

// The control API's methods: reads, changes judged by who asks (strengthen:
// anyone; weaken: administrators, never under the lock, after the cooling-off
// delay), and the pending changes that delay holds. The one writer of the
// settings file while the daemon runs; requests are handled in the order
// they arrive.
class ControlService {
 public:
  // An encoded reply or error, NUL included.
  using Respond = std::function<void(std::string)>;

  ControlService(FilterHost& host, std::string settingsPath, std::string version);

  // `raw`: the bytes an upgrade call streamed in (an import).
  void handle(const Call& call, const Caller& caller, std::string_view raw, Respond respond);

  // When the first pending change is due; applyDue applies those due at `now`.
  std::optional<config::WallTime> nextDue() const;
  void applyDue();

  // The pending changes as status lists them (any caller may cancel one).
  nlohmann::json pendingJson() const;

 private:
  struct Pending {
    std::int64_t id = 0;
    Call call;
    std::string raw;
    std::uint32_t requestedBy = 0;
    config::WallTime appliesAt;
    std::string what;
  };

  std::string change(const Call& call, const Caller& caller, std::string_view raw, std::chrono::seconds weakenDelay);
  std::string status(const Caller& caller, std::optional<std::int64_t> blockedToday) const;
  std::string listSites(const Call& call) const;
  std::string cancel(const Call& call);
  void history(const Call& call, const Caller& caller, Respond& respond);
  // Writes `edit` and has the daemon apply it; the reply parameters, or a WireError thrown.
  nlohmann::json commit(class SettingsEdit& edit, const std::string& text, const std::string& message);

  FilterHost& host_;
  const std::string settingsPath_;
  const std::string version_;
  std::vector<Pending> pending_;
  std::int64_t nextPendingId_ = 1;
};

}  // namespace vosk::control
