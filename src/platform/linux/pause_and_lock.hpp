#pragma once

#include <asio/io_context.hpp>
#include <asio/system_timer.hpp>

#include <functional>
#include <optional>
#include <string>

#include "config/blocking_rules.hpp"
#include "platform/logger.hpp"
#include "platform/proxy_provider.hpp"

namespace vosk::backend {

// The daemon's side of pause and lock: which configuration the provider is
// given, blocking back on when a pause ends (without a reload), and the lock,
// held at its latest end across reloads and restarts (kept in the state
// directory) and refusing files that weaken blocking while it holds.
class PauseAndLock {
 public:
  using WallClock = std::function<config::WallTime()>;
  // Hands the provider a configuration and restarts it, as a reload does.
  using Apply = std::function<void(ConfigurationDictionary)>;

  PauseAndLock(asio::io_context& context, const Logger& logger, std::string stateDirectory, WallClock wallClock,
               Apply applyAtPauseEnd);

  // What the provider is to be given for a file just read, or nothing when
  // the file weakens blocking while the lock holds (logged; the state in
  // force is kept).
  std::optional<ConfigurationDictionary> admit(ConfigurationDictionary file);

 private:
  void holdLock(std::optional<config::WallTime> seen);
  void armPauseTimer();

  asio::system_timer pauseTimer_;
  const Logger& logger_;
  const std::string lockFilePath_;
  const WallClock wallClock_;
  const Apply applyAtPauseEnd_;
  std::optional<ConfigurationDictionary> applied_;  // the file in force, as read
  std::optional<config::WallTime> lock_;
};

}  // namespace vosk::backend
