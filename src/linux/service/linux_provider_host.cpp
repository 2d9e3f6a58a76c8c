#include "linux/service/linux_provider_host.hpp"

#include "config/configuration_file.hpp"

namespace vosk::backend {

std::optional<ConfigurationDictionary> LinuxProviderHost::providerConfiguration() const {
  std::lock_guard lock(mutex_);
  return configuration_;
}

void LinuxProviderHost::setProviderConfiguration(std::optional<ConfigurationDictionary> configuration) {
  std::lock_guard lock(mutex_);
  if (configuration) strictMode_ = config::strictModeActive(*configuration);
  configuration_ = std::move(configuration);
}

void LinuxProviderHost::setUdpInterception(UdpInterception udpInterception) {
  std::lock_guard lock(mutex_);
  udpInterception_ = std::move(udpInterception);
}

void LinuxProviderHost::setGatewayInterfaces(std::vector<std::string> interfaces) {
  std::lock_guard lock(mutex_);
  gatewayInterfaces_ = std::move(interfaces);
}

void LinuxProviderHost::setTunnelNetworkSettings(const TransparentProxyNetworkSettings& settings,
                                                 SettingsCompletion completion) {
  UdpInterception udpInterception;
  bool strictMode = false;
  std::vector<std::string> gatewayInterfaces;
  {
    std::lock_guard lock(mutex_);
    udpInterception = udpInterception_;
    strictMode = strictMode_;
    gatewayInterfaces = gatewayInterfaces_;
  }
  auto planned = planInterception(settings.includedNetworkRules, target_, gatewayInterfaces);
  if (auto* error = std::get_if<Error>(&planned)) return completion(*error);
  const InterceptionPlan& plan = std::get<InterceptionPlan>(planned);
  const std::string table = plan.tableDefinition + (strictMode ? encryptedDnsPortRefusal(gatewayInterfaces) : "");
  if (std::optional<Error> error = table_.install(table)) return completion(error);
  if (udpInterception) return completion(udpInterception(plan.udpRules, gatewayInterfaces));
  completion(std::nullopt);
}

void LinuxProviderHost::removeInterception() { table_.remove(); }

}  // namespace vosk::backend
