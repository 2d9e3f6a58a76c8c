#include "dashboard/login_throttle.hpp"

#include <algorithm>

namespace vosk::dashboard {

double LoginThrottle::lockedFor(const std::string& address) {
  const std::lock_guard lock(mutex_);
  const auto it = records_.find(address);
  if (it == records_.end() || it->second.failures < failuresBeforeLockout) return 0;
  return std::max(0.0, lockoutSeconds - (clock_.now() - it->second.lastFailure));
}

void LoginThrottle::failed(const std::string& address) {
  const std::lock_guard lock(mutex_);
  const Instant now = clock_.now();
  std::erase_if(records_, [&](const auto& entry) { return now - entry.second.lastFailure >= lockoutSeconds; });
  if (records_.size() >= mostThrottledAddresses && !records_.contains(address)) {
    records_.erase(std::min_element(records_.begin(), records_.end(), [](const auto& a, const auto& b) {
      return a.second.lastFailure < b.second.lastFailure;
    }));
  }
  Record& record = records_[address];
  ++record.failures;
  record.lastFailure = now;
}

void LoginThrottle::succeeded(const std::string& address) {
  const std::lock_guard lock(mutex_);
  records_.erase(address);
}

}  // namespace vosk::dashboard
