#include "dashboard/login_throttle.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <tuple>

namespace vosk::dashboard {
namespace {

constexpr std::size_t kIPv6PrefixBytes = 8;  // a /64: what one host on a LAN can pick its addresses from

// Who is counted: an IPv4 address, or an IPv6 address's /64, since a host
// takes new addresses from its prefix at will (privacy addresses) and would
// otherwise get five tries with each.
std::string counted(const std::string& address) {
  std::array<unsigned char, 16> bytes{};
  const auto* ipv6 = reinterpret_cast<const in6_addr*>(bytes.data());
  if (inet_pton(AF_INET6, address.c_str(), bytes.data()) != 1 || IN6_IS_ADDR_V4MAPPED(ipv6)) return address;
  std::fill(bytes.begin() + kIPv6PrefixBytes, bytes.end(), 0);
  std::array<char, INET6_ADDRSTRLEN> text{};
  inet_ntop(AF_INET6, bytes.data(), text.data(), text.size());
  return std::string(text.data()) + "/64";
}

}  // namespace

double LoginThrottle::lockedFor(const std::string& address) {
  const std::lock_guard lock(mutex_);
  const auto it = records_.find(counted(address));
  if (it == records_.end() || it->second.failures < failuresBeforeLockout) return 0;
  return std::max(0.0, lockoutSeconds - (clock_.now() - it->second.lastFailure));
}

void LoginThrottle::failed(const std::string& address) {
  const std::lock_guard lock(mutex_);
  const Instant now = clock_.now();
  const std::string key = counted(address);
  std::erase_if(records_, [&](const auto& entry) { return now - entry.second.lastFailure >= lockoutSeconds; });
  if (records_.size() >= mostThrottledAddresses && !records_.contains(key)) {
    // Those shut out are forgotten last, so failures from many addresses cannot lift a lockout.
    const auto order = [](const auto& entry) {
      return std::tuple(entry.second.failures >= failuresBeforeLockout, entry.second.lastFailure);
    };
    records_.erase(std::min_element(records_.begin(), records_.end(),
                                    [&](const auto& a, const auto& b) { return order(a) < order(b); }));
  }
  Record& record = records_[key];
  ++record.failures;
  record.lastFailure = now;
}

void LoginThrottle::succeeded(const std::string& address) {
  const std::lock_guard lock(mutex_);
  records_.erase(counted(address));
}

}  // namespace vosk::dashboard
