#include "linux/service/blocking_clock.hpp"

#include <sys/timerfd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <utility>

#include "config/atomic_file.hpp"
#include "config/configuration_file.hpp"

namespace vosk::backend {
namespace {

constexpr const char* kLockFileName = "/lock.json";
constexpr mode_t kLockFileMode = 0600;
// With nothing to wait for, the alarm still has to be armed to hear of clock steps.
constexpr std::chrono::days kQuietWait{365};

}  // namespace

WallClockAlarm::WallClockAlarm(asio::io_context& context) : timer_(context) {
  const int descriptor = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
  if (descriptor < 0) {
    noTimer_ = errnoFailure("timerfd_create");
    return;
  }
  std::error_code error;
  timer_.assign(descriptor, error);
  if (error) {
    ::close(descriptor);
    noTimer_ = Failure{"timerfd_create", error};
  }
}

Failure WallClockAlarm::wakeAt(std::optional<config::WallTime> when, std::function<void()> woken) {
  if (noTimer_) return noTimer_;
  timer_.cancel();
  const auto at = when.value_or(std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) + kQuietWait);
  itimerspec setting{};
  setting.it_value.tv_sec = std::chrono::system_clock::to_time_t(at);
  if (timerfd_settime(timer_.native_handle(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &setting, nullptr) != 0) {
    return errnoFailure("timerfd_settime");
  }
  timer_.async_wait(asio::posix::stream_descriptor::wait_read,
                    [this, woken = std::move(woken)](std::error_code error) {
                      if (error) return;  // a newer wait took over
                      // Expired, or ECANCELED for a clock step: either way the time is read again.
                      std::uint64_t expirations = 0;
                      [[maybe_unused]] const ssize_t ignored =
                          ::read(timer_.native_handle(), &expirations, sizeof expirations);
                      woken();
                    });
  return {};
}

BlockingClock::BlockingClock(asio::io_context& context, const Logger& logger, std::string stateDirectory,
                             WallClock wallClock, Apply applyAtChange)
    : alarm_(context),
      logger_(logger),
      lockFilePath_(std::move(stateDirectory) + kLockFileName),
      wallClock_(std::move(wallClock)),
      applyAtChange_(std::move(applyAtChange)) {
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

std::variant<ConfigurationDictionary, std::string> BlockingClock::admit(ConfigurationDictionary file, config::Schedule schedule) {
  const config::WallTime now = wallClock_();
  holdLock(config::timeMember(file, config::lockedUntilKey));
  if (applied_ && config::lockHolds(lock_, now)) {
    std::string why = config::weakening(*applied_, file, now);
    if (why.empty()) why = config::scheduleWeakening(*applied_, schedule_, schedule);
    if (!why.empty()) {
      std::string refusal = fmt::format("blocking is locked until {} and {}", config::formatWallTime(*lock_), why);
      logger_.log("⚠️ configuration not applied: {}; keeping the one in force", refusal);
      return refusal;
    }
  }
  applied_ = std::move(file);
  schedule_ = std::move(schedule);
  const config::BlockingNow state = config::blockingAt(*applied_, schedule_, now);
  if (config::pausedAt(*applied_, now)) {
    logger_.log("⏸️ blocking paused until {}",
                config::formatWallTime(*config::timeMember(*applied_, config::pausedUntilKey)));
  } else if (!schedule_.empty()) {
    logger_.log("🗓️ blocking {} by the schedule: {}{}", state.on ? "on" : "off", state.why,
                state.nextChange ? ", until " + config::formatWallTime(*state.nextChange) : std::string());
  }
  follow(state);
  return config::effectiveConfiguration(*applied_, schedule_, now);
}

void BlockingClock::holdLock(std::optional<config::WallTime> seen) {
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

void BlockingClock::follow(const config::BlockingNow& state) {
  handedOver_ = state;
  if (const Failure failure = alarm_.wakeAt(state.nextChange, [this] { onAlarm(); })) {
    logger_.log("⚠️ no wall-clock alarm ({}): pauses and schedule windows change blocking at the next reload only",
                failure.message());
  }
}

// A boundary was reached or the clock stepped: the switch is applied as a
// reload would apply it, only when it changes.
void BlockingClock::onAlarm() {
  const config::WallTime now = wallClock_();
  const config::BlockingNow state = config::blockingAt(*applied_, schedule_, now);
  if (state.on != handedOver_.on) {
    logger_.log("{} blocking {}: {} (was: {})", state.on ? "▶️" : "⏹️", state.on ? "on" : "off", state.why,
                handedOver_.why);
    applyAtChange_(config::effectiveConfiguration(*applied_, schedule_, now));
  }
  follow(state);
}

}  // namespace vosk::backend
