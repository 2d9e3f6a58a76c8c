#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "platform/clock.hpp"

namespace vosk::dashboard {

inline constexpr int failuresBeforeLockout = 5;
inline constexpr double lockoutSeconds = 15 * 60.0;
// Addresses remembered at most; past it, those quiet longest are forgotten
// first, those shut out last.
inline constexpr std::size_t mostThrottledAddresses = 4096;

// Five failed logins from one address shut it out for 15 minutes; an IPv6
// address counts by its /64. Failures older than the lockout are forgotten,
// as is every failure at a success.
class LoginThrottle {
 public:
  explicit LoginThrottle(const Clock& clock) : clock_(clock) {}

  // Seconds until `address` may try again; 0 when it may now.
  double lockedFor(const std::string& address);
  void failed(const std::string& address);
  void succeeded(const std::string& address);

 private:
  struct Record {
    int failures = 0;
    Instant lastFailure;
  };
  const Clock& clock_;
  std::mutex mutex_;
  std::map<std::string, Record> records_;
};

}  // namespace vosk::dashboard
