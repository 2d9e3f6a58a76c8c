#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

// The tests' view of a provider's internals. Main-queue state is read from
// the test thread, which runs the virtual main queue itself.
class TransparentProxyProviderPeer {
 public:
  explicit TransparentProxyProviderPeer(TransparentProxyProvider& provider) : p_(provider) {}

  std::int64_t trackedFlowCount() const {
    std::lock_guard lock(p_.trackedFlowCountLock);
    return p_.trackedFlowCount;
  }
  bool admitTrackedFlow() { return p_.admitTrackedFlow(); }
  void releaseTrackedFlow() { p_.releaseTrackedFlow(); }

  const ActiveFlowRegistry& activeFlows() const { return p_.activeFlows; }
  std::unordered_map<Uuid, Instant>& lastBlockedAttempt() { return p_.lastBlockedAttempt; }
  std::size_t connectionsHoldingUnit() const { return p_.connectionsHoldingUnit.size(); }
  bool hasSweepTimer() const { return p_.sweepTimer != nullptr; }

  bool cachedBlockingEnabled() const { return p_.cachedBlockingEnabled.load(); }
  std::vector<BlockedSite> cachedSites() const { return p_.cachedSites.load()->sites(); }
  Instant startProxyTime() const { return p_.startProxyTime.load(); }

  // Puts a block list and switch in force without a proxy start.
  void setBlocking(bool enabled, std::vector<BlockedSite> sites) {
    p_.cachedSites.store(std::make_shared<const BlockList>(std::move(sites)));
    p_.cachedBlockingEnabled.store(enabled);
  }
  void setStartProxyTime(Instant at) { p_.startProxyTime.store(at); }

  void sweepIdleFlows() { p_.sweepIdleFlows(); }
  void notifySiteBlocked(std::string_view host, const BlockedSite& site) { p_.notifySiteBlocked(host, site); }
  static bool isStaleBlockedAttempt(const std::pair<const Uuid, Instant>& entry, Instant now) {
    return TransparentProxyProvider::isStaleBlockedAttempt(entry, now);
  }
  bool shouldSweepFlow(const ActiveFlow& flow, Instant now) const { return p_.shouldSweepFlow(flow, now); }
  void connectUpstream(std::shared_ptr<TCPFlow> flow, Bytes initialBytes, std::optional<std::string> hostname) {
    p_.connectUpstream(std::move(flow), std::move(initialBytes), std::move(hostname));
  }
  void closeFlow(std::shared_ptr<TCPFlow> flow, std::shared_ptr<Connection> connection) {
    p_.closeFlow(std::move(flow), std::move(connection));
  }
  void recordActivity(std::shared_ptr<Connection> connection) { p_.recordActivity(std::move(connection)); }

  // Registers a relayed flow as the replay would: admitted, holding its unit, in the registry.
  void insertRelayedFlow(std::optional<std::string> hostname, std::shared_ptr<TCPFlow> flow,
                         std::shared_ptr<Connection> connection, Instant lastActivity) {
    p_.admitTrackedFlow();
    p_.connectionsHoldingUnit.insert(connection.get());
    p_.activeFlows.insert(std::make_shared<ActiveFlow>(
        ActiveFlow{std::move(hostname), std::move(flow), std::move(connection), lastActivity}));
  }

 private:
  TransparentProxyProvider& p_;
};

}  // namespace vosk
