#include "dashboard/sessions.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <utility>

namespace vosk::dashboard {

std::string randomToken() {
  std::array<unsigned char, tokenBytes> bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  std::array<char, tokenBytes * 2 + 1> hex{};
  sodium_bin2hex(hex.data(), hex.size(), bytes.data(), bytes.size());
  return std::string(hex.data(), tokenBytes * 2);
}

bool tokensEqual(const std::string& a, const std::string& b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

Session SessionStore::open() {
  Session session{randomToken(), randomToken()};
  const std::lock_guard lock(mutex_);
  const Instant now = clock_.now();
  std::erase_if(sessions_, [&](const auto& entry) { return now - entry.second.lastUse > sessionIdleSeconds; });
  if (sessions_.size() >= mostSessions) {
    sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
      return a.second.lastUse < b.second.lastUse;
    }));
  }
  sessions_.emplace(session.token, Entry{session.csrf, now, {}});
  return session;
}

std::optional<Session> SessionStore::use(const std::string& token) {
  const std::lock_guard lock(mutex_);
  const auto it = sessions_.find(token);
  if (it == sessions_.end()) return std::nullopt;
  const Instant now = clock_.now();
  if (now - it->second.lastUse > sessionIdleSeconds) {
    sessions_.erase(it);
    return std::nullopt;
  }
  it->second.lastUse = now;
  return Session{token, it->second.csrf};
}

void SessionStore::close(const std::string& token) {
  const std::lock_guard lock(mutex_);
  sessions_.erase(token);
}

void SessionStore::leaveNotices(const std::string& token, Notices notices) {
  const std::lock_guard lock(mutex_);
  if (const auto it = sessions_.find(token); it != sessions_.end()) it->second.notices = std::move(notices);
}

Notices SessionStore::takeNotices(const std::string& token) {
  const std::lock_guard lock(mutex_);
  const auto it = sessions_.find(token);
  return it == sessions_.end() ? Notices{} : std::exchange(it->second.notices, {});
}

}  // namespace vosk::dashboard
