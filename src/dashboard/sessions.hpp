#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.hpp"

namespace vosk::dashboard {

inline constexpr double sessionIdleSeconds = 12 * 3600.0;
// Past it, a new login ends the session idle longest.
inline constexpr std::size_t mostSessions = 256;
inline constexpr std::size_t tokenBytes = 32;  // 256 random bits

// 256 random bits as 64 hexadecimal digits.
std::string randomToken();
// Compares in time independent of where they differ.
bool tokensEqual(const std::string& a, const std::string& b);

// What came of a change, by the form that asked for it, kept for the page
// the browser is sent to next (so that reloading it repeats nothing).
using Notices = std::map<std::string, std::string>;

struct Session {
  std::string token;  // the cookie's value
  std::string csrf;   // every changing form carries it back
};

// The logged-in sessions, shared by the server's threads.
class SessionStore {
 public:
  explicit SessionStore(const Clock& clock) : clock_(clock) {}

  Session open();
  // The session of this token, its idle time restarted; nothing when the
  // token is unknown or the session sat idle too long (then it ends).
  std::optional<Session> use(const std::string& token);
  void close(const std::string& token);
  void leaveNotices(const std::string& token, Notices notices);
  // The notices left, once.
  Notices takeNotices(const std::string& token);

 private:
  struct Entry {
    std::string csrf;
    Instant lastUse;
    Notices notices;
  };
  const Clock& clock_;
  std::mutex mutex_;
  std::map<std::string, Entry> sessions_;
};

}  // namespace vosk::dashboard
