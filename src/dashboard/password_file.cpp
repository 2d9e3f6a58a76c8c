#include "dashboard/password_file.hpp"

#include <grp.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "config/atomic_file.hpp"

namespace vosk::dashboard {

std::string passwordPathBeside(const std::string& configurationPath) {
  return (std::filesystem::path(configurationPath).parent_path() / passwordFileName).string();
}

bool startSodium() { return sodium_init() >= 0; }

std::optional<std::string> hashPassword(std::string_view password) {
  std::array<char, crypto_pwhash_STRBYTES> hash{};
  // Interactive limits: a login answers within a fraction of a second on a
  // small gateway, and each guess costs an attacker as much.
  if (crypto_pwhash_str(hash.data(), password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
    return std::nullopt;
  }
  return std::string(hash.data());
}

bool passwordMatches(const std::string& hash, std::string_view password) {
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::optional<std::string> storePasswordHash(const std::string& path, const std::string& hash) {
  if (auto problem = config::replaceFile(path, hash + "\n", 0640)) {
    return fmt::format("cannot write {}: {}", path, problem->message);
  }
  const group* entry = ::getgrnam(dashboardGroup);
  const gid_t gid = entry != nullptr ? entry->gr_gid : ::getegid();
  if (::chown(path.c_str(), ::geteuid(), gid) != 0 || ::chmod(path.c_str(), 0640) != 0) {
    return fmt::format("cannot hand {} to group {}: {}", path, dashboardGroup, std::strerror(errno));
  }
  return std::nullopt;
}

std::optional<std::string> readPasswordHash(const std::string& path) {
  auto read = config::readFile(path);
  auto* text = std::get_if<std::string>(&read);
  if (text == nullptr) return std::nullopt;
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
  if (text->empty()) return std::nullopt;
  return *std::move(text);
}

}  // namespace vosk::dashboard
