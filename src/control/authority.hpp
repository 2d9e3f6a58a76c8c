#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/blocking_rules.hpp"

namespace vosk::control {

// Who asks, as the kernel reports the peer of the control socket: never
// anything the client says about itself.
struct Caller {
  std::uint32_t uid = 0;
  bool administrator = false;  // root, or a member of the administrators' group
};

// What becomes of a change: any user may strengthen blocking; weakening
// needs an administrator, is refused by everyone while the lock holds, and
// waits out the cooling-off delay when one is set.
struct Verdict {
  enum class Kind { apply, pending, refused };
  Kind kind = Kind::apply;
  std::string reason;   // when refused: "locked" or "notAdministrator"
  std::string message;  // when refused: the reason in words
};

// `weakening`: why the change blocks less (empty: it does not).
Verdict judgeChange(const Caller& caller, std::string_view weakening, std::optional<config::WallTime> lock,
                    config::WallTime now, std::chrono::seconds weakenDelay, std::string_view adminGroup);

}  // namespace vosk::control
