#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vosk::dashboard {

// The dashboard's password is kept beside the configuration file, as an
// Argon2id hash only; root sets it (voskctl dashboard password).
inline constexpr const char* passwordFileName = "dashboard-password";
// The system group the dashboard runs as: it may read the hash, nobody else.
inline constexpr const char* dashboardGroup = "vosk-dashboard";
inline constexpr std::size_t longestPassword = 1024;

std::string passwordPathBeside(const std::string& configurationPath);

// False only when libsodium cannot start (no source of randomness).
bool startSodium();

// The Argon2id hash of `password` in libsodium's text form, nothing when
// memory for it cannot be had.
std::optional<std::string> hashPassword(std::string_view password);
bool passwordMatches(const std::string& hash, std::string_view password);

// Writes the hash atomically, mode 0640, group `dashboardGroup` when the
// group exists; why not otherwise.
std::optional<std::string> storePasswordHash(const std::string& path, const std::string& hash);
// The stored hash; nothing when no password has been set.
std::optional<std::string> readPasswordHash(const std::string& path);

}  // namespace vosk::dashboard
