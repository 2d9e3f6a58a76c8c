#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "provider/transparent_proxy_provider.hpp"
#include "relay/relayed_flow.hpp"

namespace vosk {

void TransparentProxyProvider::sweepIdleFlows() {
  const Instant now = clock.now();
  const bool strict = strictModeActive();

  // Collect first: the teardowns are posted and change the registry only later.
  std::vector<std::shared_ptr<RelayedFlow>> swept;
  for (const auto& [connection, flow] : activeFlows.entries()) {
    if (strict && !flow->hostname()) {
      // Passed unjudged (opened before strict mode, or over the cap without
      // it): strict mode lets no such flow through, old or new.
      logger.log("🔒 No hostname was read for open :{} flow — closed in strict mode", portTextOf(flow->flow()));
      swept.push_back(flow);
    } else if (shouldSweepFlow(*flow, now)) {
      const auto idleFor = static_cast<std::int64_t>(now - flow->lastActivity());  // truncates toward zero
      logger.log("🧹 Sweeping connection to {}: idleFor={}s",
                 flow->hostname() ? std::string_view(*flow->hostname()) : std::string_view("unknown"), idleFor);
      if (flow->hostname()) recordClosedNow(*flow->hostname(), portTextOf(flow->flow()));
      swept.push_back(flow);
    }
  }
  for (const std::shared_ptr<RelayedFlow>& flow : swept) flow->closeFlow();

  std::erase_if(lastBlockedAttempt, [now](const auto& attempt) { return isStaleBlockedAttempt(attempt, now); });
}

}  // namespace vosk
