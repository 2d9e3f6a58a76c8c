#include "linux/service/linux_provider_host.hpp"

#include <algorithm>

#include "config/configuration_file.hpp"
#include "config/number_text.hpp"

namespace vosk::backend {

std::optional<ConfigurationDictionary> LinuxProviderHost::providerConfiguration() const { return configuration_; }

void LinuxProviderHost::setProviderConfiguration(std::optional<ConfigurationDictionary> configuration) {
  if (configuration) {
    strictMode_ = config::strictModeActive(*configuration);
    blockingEnabled_ = config::blockingEnabled(*configuration);
  }
  configuration_ = std::move(configuration);
}

void LinuxProviderHost::setUdpInterception(UdpInterception udpInterception) {
  udpInterception_ = std::move(udpInterception);
}

void LinuxProviderHost::setPacketPathInterception(PacketPathInterception packetPathInterception) {
  packetPathInterception_ = std::move(packetPathInterception);
}

void LinuxProviderHost::setForwardedInterfaces(ForwardedInterfaces forwarded) { forwarded_ = std::move(forwarded); }

void LinuxProviderHost::setTunnelNetworkSettings(const TransparentProxyNetworkSettings& settings,
                                                 SettingsCompletion completion) {
  // The contract's completion takes the contract's Error.
  const auto finish = [&completion](const Failure& failure) {
    completion(failure ? std::optional(Error{failure.message()}) : std::nullopt);
  };
  // The kernel engine takes every TCP rule of every address to one port; the
  // table redirects the rest.
  std::vector<NetworkRule> redirected;
  std::vector<std::uint16_t> judgedPorts;
  for (const NetworkRule& rule : settings.includedNetworkRules) {
    const auto port = config::parseWholeNumber<std::uint16_t>(rule.remoteNetwork.port());
    const bool judged = engine_ == config::Engine::kernel && packetPathInterception_ &&
                        rule.protocol == NetworkRuleProtocol::tcp && rule.remotePrefix == 0 && port && *port != 0;
    if (judged) judgedPorts.push_back(*port);
    else redirected.push_back(rule);
  }
  InterceptionPlan plan;
  if (Failure failure = planInterception(redirected, target_, forwarded_, plan)) return finish(failure);
  const std::string table =
      plan.tableDefinition +
      (strictMode_ ? encryptedDnsPortRefusal(forwarded_) + dnsOverTcpRedirect(target_, forwarded_) : "");
  if (Failure failure = table_.install(table)) return finish(failure);
  if (packetPathInterception_) {
    std::sort(judgedPorts.begin(), judgedPorts.end());
    judgedPorts.erase(std::unique(judgedPorts.begin(), judgedPorts.end()), judgedPorts.end());
    if (Failure failure = packetPathInterception_(judgedPorts, forwarded_, strictMode_)) return finish(failure);
  }
  finish(udpInterception_ ? udpInterception_(plan.udpRules, forwarded_, blockingEnabled_) : Failure{});
}

void LinuxProviderHost::removeInterception() { table_.remove(); }

}  // namespace vosk::backend
