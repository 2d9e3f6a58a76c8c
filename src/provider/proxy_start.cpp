#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "provider/transparent_proxy_provider.hpp"

namespace vosk {
namespace {

constexpr std::string_view blockingEnabledKey = "blockingEnabled";
constexpr std::string_view sitesDataKey = "sitesData";

// The traffic handed to the provider: outbound TCP to 443 and 80, and QUIC,
// for any address of either family.
struct InterceptedTraffic {
  std::string_view anyAddress;
  std::string_view port;
  NetworkRuleProtocol protocol;
};
constexpr std::array<InterceptedTraffic, 6> interceptedTraffic{{
    {"0.0.0.0", "443", NetworkRuleProtocol::tcp},
    {"0.0.0.0", "80", NetworkRuleProtocol::tcp},
    {"0.0.0.0", "443", NetworkRuleProtocol::udp},
    {"::", "443", NetworkRuleProtocol::tcp},
    {"::", "80", NetworkRuleProtocol::tcp},
    {"::", "443", NetworkRuleProtocol::udp},
}};

TransparentProxyNetworkSettings interceptionSettings() {
  TransparentProxyNetworkSettings settings{std::string(tunnelRemoteAddress), {}};
  for (const InterceptedTraffic& traffic : interceptedTraffic) {
    settings.includedNetworkRules.push_back(NetworkRule{
        HostEndpoint(std::string(traffic.anyAddress), std::string(traffic.port)),
        /*remotePrefix=*/0, /*localNetwork=*/std::nullopt, /*localPrefix=*/0, traffic.protocol,
        TrafficDirection::outbound});
  }
  return settings;
}

std::string joinedKeys(const std::optional<ConfigurationDictionary>& options) {
  std::string keys;
  if (!options) return keys;
  for (const auto& [key, value] : *options) {
    if (!keys.empty()) keys += ',';
    keys += key;
  }
  return keys;
}

}  // namespace

void TransparentProxyProvider::startProxyWithOptions(const std::optional<ConfigurationDictionary>& options,
                                                     StartCompletion completionHandler) {
  startProxyTime.store(clock.now());
  startSweepTimer();
  logger.log("🟢 Transparent proxy startProxy called, options keys: {}", joinedKeys(options));

  if (const std::optional<ConfigurationDictionary> configuration = providerConfiguration()) {
    applyProviderConfiguration(*configuration);
    logger.log("🔧 applied protocolConfiguration: blockingEnabled={}, sites={}", cachedBlockingEnabled.load(),
               cachedSites.load()->sites().size());
  } else {
    logger.log(
        "⚠️ startProxy has no readable protocolConfiguration.providerConfiguration — keeping previous cached state "
        "(blockingEnabled={})",
        cachedBlockingEnabled.load());
  }

  // Flows already relayed are judged by the new list and switch at once, not at the next tick.
  mainQueue.post([weakSelf = weak_from_this()] {
    if (const auto self = weakSelf.lock()) self->sweepIdleFlows();
  });

  setTunnelNetworkSettings(interceptionSettings(), [weakSelf = weak_from_this(),
                                                    completionHandler = std::move(completionHandler)](
                                                       std::optional<Error> error) {
    if (const auto self = weakSelf.lock()) {
      if (error) {
        self->logger.log("❌ setTunnelNetworkSettings failed: {}", error->localizedDescription);
      } else {
        self->logger.log("✅ setTunnelNetworkSettings succeeded — intercepting all outbound TCP :443/:80 and UDP :443");
      }
    }
    completionHandler(std::move(error));
  });
}

void TransparentProxyProvider::startSweepTimer() {
  // Created once; a later start leaves it on its own schedule.
  if (sweepTimer) return;
  sweepTimer = mainQueue.makeRepeatingTimer(sweepInterval, sweepInterval, [weakSelf = weak_from_this()] {
    if (const auto self = weakSelf.lock()) self->sweepIdleFlows();
  });
}

void TransparentProxyProvider::applyProviderConfiguration(const ConfigurationDictionary& configuration) {
  // Only a real Boolean switches blocking on; anything else, or nothing, switches it off.
  const auto blocking = configuration.find(std::string(blockingEnabledKey));
  const bool* enabled = blocking == configuration.end() ? nullptr : std::get_if<bool>(&blocking->second);
  cachedBlockingEnabled.store(enabled != nullptr && *enabled);

  // A list replaces the one in force only when it decodes whole. The matching
  // index is built here, on the caller's thread, never on the flow path.
  const auto sitesData = configuration.find(std::string(sitesDataKey));
  if (sitesData == configuration.end()) return;
  const Bytes* json = std::get_if<Bytes>(&sitesData->second);
  if (json == nullptr) return;
  if (std::optional<std::vector<BlockedSite>> sites = decodeBlockedSiteList(*json)) {
    cachedSites.store(std::make_shared<const BlockList>(std::move(*sites)));
  }
}

}  // namespace vosk
