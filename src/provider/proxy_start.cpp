#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "provider/transparent_proxy_provider.hpp"

namespace vosk {
namespace {

constexpr std::string_view blockingEnabledKey = "blockingEnabled";
constexpr std::string_view sitesDataKey = "sitesData";
constexpr std::string_view strictModeKey = "strictMode";
constexpr std::string_view encryptedDnsServersKey = "encryptedDnsServers";

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

// Only a real Boolean true counts; anything else, or nothing, is false.
bool isTrue(const ConfigurationDictionary& configuration, std::string_view key) {
  const auto it = configuration.find(std::string(key));
  const bool* value = it == configuration.end() ? nullptr : std::get_if<bool>(&it->second);
  return value != nullptr && *value;
}

// The encrypted-DNS endpoints ("encryptedDnsServers": a JSON array of names)
// as one site listing them all, so the block list's index matches them.
std::optional<BlockList> encryptedDnsList(const ConfigurationDictionary& configuration) {
  const auto it = configuration.find(std::string(encryptedDnsServersKey));
  const Bytes* json = it == configuration.end() ? nullptr : std::get_if<Bytes>(&it->second);
  if (json == nullptr) return std::nullopt;
  const nlohmann::json names = nlohmann::json::parse(*json, nullptr, /*allow_exceptions=*/false);
  if (!names.is_array()) return std::nullopt;
  BlockedSite site{Uuid{}, std::string(encryptedDnsSiteName), {}};
  for (const nlohmann::json& name : names) {
    if (!name.is_string()) return std::nullopt;
    site.domains.push_back(name.get<std::string>());
  }
  return BlockList({std::move(site)});
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
    if (strictModeActive()) {
      const std::shared_ptr<const BlockList> endpoints = cachedEncryptedDns.load();
      logger.log("🔒 strict mode in force: {} encrypted-DNS endpoints closed, flows over the cap judged",
                 endpoints->sites().empty() ? 0 : endpoints->sites().front().domains.size());
    }
  } else {
    logger.log(
        "⚠️ startProxy has no readable protocolConfiguration.providerConfiguration — keeping previous cached state "
        "(blockingEnabled={})",
        cachedBlockingEnabled.load());
  }

  // Flows already relayed or carried by the kernel are judged by the new list
  // and switch at once, not at the next tick.
  mainQueue.post([weakSelf = weak_from_this()] {
    if (const auto self = weakSelf.lock()) {
      self->sweepIdleFlows();
      self->packetPathFlows.judgeCarriedAgain();
    }
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
  cachedBlockingEnabled.store(isTrue(configuration, blockingEnabledKey));
  cachedStrictMode.store(isTrue(configuration, strictModeKey));
  // Like the block list: a list that does not decode keeps the one in force.
  if (std::optional<BlockList> endpoints = encryptedDnsList(configuration)) {
    cachedEncryptedDns.store(std::make_shared<const BlockList>(std::move(*endpoints)));
  }

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
