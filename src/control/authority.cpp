#include "control/authority.hpp"

#include <fmt/format.h>

namespace vosk::control {

Verdict judgeChange(const Caller& caller, std::string_view weakening, std::optional<config::WallTime> lock,
                    config::WallTime now, std::chrono::seconds weakenDelay, std::string_view adminGroup) {
  if (weakening.empty()) return {};
  if (!caller.administrator) {
    return {Verdict::Kind::refused, "notAdministrator",
            fmt::format("refused: {}, and only root or a member of group {} may weaken blocking", weakening,
                        adminGroup)};
  }
  if (config::lockHolds(lock, now)) {
    return {Verdict::Kind::refused, "locked",
            fmt::format("refused: blocking is locked until {} and this change weakens it: {}",
                        config::formatWallTime(*lock), weakening)};
  }
  if (weakenDelay > std::chrono::seconds(0)) return {Verdict::Kind::pending, {}, {}};
  return {};
}

}  // namespace vosk::control
