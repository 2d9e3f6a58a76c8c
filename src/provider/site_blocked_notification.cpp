#include "provider/transparent_proxy_provider.hpp"
#include "relay/relayed_flow.hpp"

namespace vosk {

void TransparentProxyProvider::notifySiteBlocked(std::string_view host, const BlockedSite& site) {
  const Instant now = clock.now();
  if (now - startProxyTime.load() <= startupNotifyGrace) return;

  const auto previous = lastBlockedAttempt.find(site.id);
  if (previous != lastBlockedAttempt.end() && now - previous->second < blockedNotifyWindow) {
    // Still the same burst: stay silent, and let the burst run on from here.
    previous->second = now;
    return;
  }
  lastBlockedAttempt.insert_or_assign(site.id, now);
  // Logged once the signal has left: a bus that refuses it is reported by the poster instead.
  notificationPoster.post(siteBlockedNotificationName, [logger = logger, host = std::string(host)] {
    logger.log("📣 Posted siteBlocked Darwin notification (blocked host: {})", host);
  });
}

bool TransparentProxyProvider::isStaleBlockedAttempt(const std::pair<const Uuid, Instant>& entry, Instant now) {
  return now - entry.second >= blockedNotifyWindow;
}

bool TransparentProxyProvider::closesNow(const std::optional<std::string>& host, std::string_view portText) const {
  if (!host) return strictModeActive();
  return judgeHost(*host, portText, cachedBlockingEnabled.load()).closes();
}

// A flow without a host is closed in strict mode before it gets here.
bool TransparentProxyProvider::shouldSweepFlow(const RelayedFlow& flow, Instant now) const {
  const bool idleTooLong = now - flow.lastActivity() > idleFlowLimit;
  return idleTooLong || (flow.hostname() && closesNow(flow.hostname(), portTextOf(flow.flow())));
}

}  // namespace vosk
