#include "platform/linux/pause_and_lock.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <utility>

#include "config/atomic_file.hpp"
#include "config/configuration_file.hpp"

namespace vosk::backend {
namespace {

// A pause's end is looked at least this often, so that a step of the wall
// clock (suspend, a time correction) delays it by no more than this.
constexpr std::chrono::seconds kPauseCheckInterval{30};
constexpr const char* kLockFileName = "/lock.json";
constexpr mode_t kLockFileMode = 0600;

}  // namespace

PauseAndLock::PauseAndLock(asio::io_context& context, const Logger& logger, std::string stateDirectory,
                           WallClock wallClock, Apply applyAtPauseEnd)
    : pauseTimer_(context),
      logger_(logger),
      lockFilePath_(std::move(stateDirectory) + kLockFileName),
      wallClock_(std::move(wallClock)),
      applyAtPauseEnd_(std::move(applyAtPauseEnd)) {
  auto text = config::readFile(lockFilePath_);
  if (std::holds_alternative<config::ConfigurationProblem>(text)) return;  // no lock kept
  auto kept = config::parseConfiguration(std::get<std::string>(text));
  if (auto* problem = std::get_if<config::ConfigurationProblem>(&kept)) {
    logger_.log("⚠️ kept lock unreadable, ignored: {}", config::describeProblem(lockFilePath_, *problem));
    return;
  }
  lock_ = config::timeMember(std::get<config::Configuration>(kept).dictionary, config::lockedUntilKey);
  if (config::lockHolds(lock_, wallClock_())) {
    logger_.log("🔒 blocking locked until {} (kept in {})", config::formatWallTime(*lock_), lockFilePath_);
  }
}

std::optional<ConfigurationDictionary> PauseAndLock::admit(ConfigurationDictionary file) {
  const config::WallTime now = wallClock_();
  holdLock(config::timeMember(file, config::lockedUntilKey));
  if (applied_ && config::lockHolds(lock_, now)) {
    if (const std::string why = config::weakening(*applied_, file, now); !why.empty()) {
      logger_.log("⚠️ configuration not applied: blocking is locked until {} and {}; keeping the one in force",
                  config::formatWallTime(*lock_), why);
      return std::nullopt;
    }
  }
  applied_ = std::move(file);
  if (config::pausedAt(*applied_, now)) {
    logger_.log("⏸️ blocking paused until {}",
                config::formatWallTime(*config::timeMember(*applied_, config::pausedUntilKey)));
  }
  armPauseTimer();
  return config::effectiveConfiguration(*applied_, now);
}

void PauseAndLock::holdLock(std::optional<config::WallTime> seen) {
  const std::optional<config::WallTime> later = config::laterLock(lock_, seen);
  if (later == lock_) return;
  lock_ = later;
  logger_.log("🔒 blocking locked until {}", config::formatWallTime(*lock_));
  const std::string text =
      nlohmann::json{{std::string(config::lockedUntilKey), config::formatWallTime(*lock_)}}.dump() + "\n";
  if (const auto problem = config::replaceFile(lockFilePath_, text, kLockFileMode)) {
    logger_.log("⚠️ the lock will not outlive a restart: {}", config::describeProblem(lockFilePath_, *problem));
  }
}

void PauseAndLock::armPauseTimer() {
  pauseTimer_.cancel();
  const config::WallTime now = wallClock_();
  const std::optional<config::WallTime> until = config::timeMember(*applied_, config::pausedUntilKey);
  if (!until || now >= *until) return;
  pauseTimer_.expires_after(std::min<std::chrono::seconds>(*until - now, kPauseCheckInterval));
  pauseTimer_.async_wait([this](std::error_code error) {
    if (error) return;  // a newer file took over
    const config::WallTime now = wallClock_();
    if (config::pausedAt(*applied_, now)) return armPauseTimer();
    logger_.log("▶️ pause over: applying the configuration again");
    applyAtPauseEnd_(config::effectiveConfiguration(*applied_, now));
  });
}

}  // namespace vosk::backend
