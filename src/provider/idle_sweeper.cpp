#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

void TransparentProxyProvider::sweepIdleFlows() {
  const Instant now = clock.now();

  // Collect first: the teardowns are posted and change the registry only later.
  std::vector<std::shared_ptr<ActiveFlow>> swept;
  for (const auto& [connection, entry] : activeFlows.entries()) {
    if (shouldSweepFlow(*entry, now)) swept.push_back(entry);
  }
  for (const std::shared_ptr<ActiveFlow>& entry : swept) {
    const auto idleFor = static_cast<std::int64_t>(now - entry->lastActivity);  // truncates toward zero
    logger.log("🧹 Sweeping connection to {}: idleFor={}s",
               entry->hostname ? std::string_view(*entry->hostname) : std::string_view("unknown"), idleFor);
    closeFlow(entry->flow, entry->connection);
  }

  std::erase_if(lastBlockedAttempt, [now](const auto& attempt) { return isStaleBlockedAttempt(attempt, now); });
}

}  // namespace vosk
