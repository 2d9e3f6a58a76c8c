#pragma once

#include <string>

#include "linux/failure.hpp"

namespace vosk::backend {

// The user a daemon started as root runs as, unless --user says otherwise.
inline constexpr const char* defaultUnprivilegedUser = "nobody";

// Becomes `userName` (its uid and gid, no supplementary groups) keeping only
// CAP_NET_ADMIN (when it is ours to keep), which the rules, the queue verdicts
// and the upstream sockets' mark need, and forbids regaining privileges. Capabilities are per
// thread: call it before any thread starts. An unknown or root user is
// refused before anything changes.
[[nodiscard]] Failure dropPrivileges(const std::string& userName);

// Creates `path` if missing and gives it to `userName`, so that the daemon can
// keep its state there once it has left root.
[[nodiscard]] Failure handDirectoryTo(const std::string& path, const std::string& userName);

}  // namespace vosk::backend
