#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "provider/transparent_proxy_provider.hpp"
#include "relay/relayed_flow.hpp"

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
  std::size_t connectionsInJudgement() const { return p_.packetPathFlows.connectionsInJudgement(); }
  std::size_t carriedConnections() const { return p_.packetPathFlows.carriedConnections(); }
  std::size_t followedConnections() const { return p_.packetPathFlows.followedConnections(); }
  std::unordered_map<Uuid, Instant>& lastBlockedAttempt() { return p_.lastBlockedAttempt; }

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
  // Hands an admitted flow upstream as sniffing does; false when the cap refused it.
  bool connectUpstream(std::shared_ptr<TCPFlow> flow, Bytes initialBytes, std::optional<std::string> hostname) {
    if (!p_.admitTrackedFlow()) return false;
    RelayedFlow::connectUpstream(p_.shared_from_this(), std::move(flow), TrackedFlowTicket(p_.weak_from_this()), std::move(initialBytes),
                                 std::move(hostname));
    return true;
  }

 private:
  TransparentProxyProvider& p_;
};

}  // namespace vosk
