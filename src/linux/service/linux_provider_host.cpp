#include "linux/service/linux_provider_host.hpp"

#include "config/configuration_file.hpp"

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

void LinuxProviderHost::setForwardedInterfaces(ForwardedInterfaces forwarded) { forwarded_ = std::move(forwarded); }

void LinuxProviderHost::setTunnelNetworkSettings(const TransparentProxyNetworkSettings& settings,
                                                 SettingsCompletion completion) {
  // The contract's completion takes the contract's Error.
  const auto finish = [&completion](const Failure& failure) {
    completion(failure ? std::optional(Error{failure.message()}) : std::nullopt);
  };
  InterceptionPlan plan;
  if (Failure failure = planInterception(settings.includedNetworkRules, target_, forwarded_, plan)) {
    return finish(failure);
  }
  const std::string table =
      plan.tableDefinition +
      (strictMode_ ? encryptedDnsPortRefusal(forwarded_) + dnsOverTcpRedirect(target_, forwarded_) : "");
  if (Failure failure = table_.install(table)) return finish(failure);
  finish(udpInterception_ ? udpInterception_(plan.udpRules, forwarded_, blockingEnabled_) : Failure{});
}

void LinuxProviderHost::removeInterception() { table_.remove(); }

}  // namespace vosk::backend
