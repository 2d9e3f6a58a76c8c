#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "config/blocking_rules.hpp"
#include "linux/failure.hpp"
#include "platform/logger.hpp"
#include "platform/proxy_provider.hpp"

namespace vosk::backend {

// Wakes once at a wall-clock time, or as soon as the wall clock is set
// (NTP, resume from suspend, a manual change), whichever comes first: a
// timerfd on CLOCK_REALTIME with TFD_TIMER_CANCEL_ON_SET.
class WallClockAlarm {
 public:
  explicit WallClockAlarm(asio::io_context& context);
  // Replaces any earlier wait; without a time it waits for a clock step
  // alone. A failure leaves no wait.
  [[nodiscard]] Failure wakeAt(std::optional<config::WallTime> when, std::function<void()> woken);

 private:
  asio::posix::stream_descriptor timer_;
  Failure noTimer_;  // why there is no timerfd, when there is none
};

// The daemon's side of pause, schedule and lock: which configuration the
// provider is given at each moment; the switch at each boundary by itself
// (a pause's end, a window's start or end), recomputed when the wall clock
// steps; and the lock, held at its latest end across reloads and restarts
// (kept in the state directory), refusing files that weaken blocking.
class BlockingClock {
 public:
  using WallClock = std::function<config::WallTime()>;
  // Hands the provider a configuration and restarts it, as a reload does.
  using Apply = std::function<void(ConfigurationDictionary)>;

  BlockingClock(asio::io_context& context, const Logger& logger, std::string stateDirectory, WallClock wallClock,
                Apply applyAtChange);

  // What the provider is to be given for a file just read, or why not: the
  // file weakens blocking while the lock holds (logged; the state in force
  // is kept).
  std::variant<ConfigurationDictionary, std::string> admit(ConfigurationDictionary file, config::Schedule schedule);

  // The file in force as read (none before the first), its schedule, and the lock held.
  const std::optional<ConfigurationDictionary>& applied() const { return applied_; }
  const config::Schedule& schedule() const { return schedule_; }
  std::optional<config::WallTime> lock() const { return lock_; }

 private:
  void holdLock(std::optional<config::WallTime> seen);
  void follow(const config::BlockingNow& state);
  void onAlarm();

  WallClockAlarm alarm_;
  const Logger& logger_;
  const std::string lockFilePath_;
  const WallClock wallClock_;
  const Apply applyAtChange_;
  std::optional<ConfigurationDictionary> applied_;  // the file in force, as read
  config::Schedule schedule_;                        // and its schedule
  config::BlockingNow handedOver_;                   // what the provider was last given
  std::optional<config::WallTime> lock_;
};

}  // namespace vosk::backend
