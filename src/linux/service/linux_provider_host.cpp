#include "linux/service/linux_provider_host.hpp"

#include "config/configuration_file.hpp"

namespace vosk::backend {

std::optional<ConfigurationDictionary> LinuxProviderHost::providerConfiguration() const { return configuration_; }

void LinuxProviderHost::setProviderConfiguration(std::optional<ConfigurationDictionary> configuration) {
  if (configuration) strictMode_ = config::strictModeActive(*configuration);
  configuration_ = std::move(configuration);
}

void LinuxProviderHost::setUdpInterception(UdpInterception udpInterception) {
  udpInterception_ = std::move(udpInterception);
}

void LinuxProviderHost::setGatewayInterfaces(std::vector<std::string> interfaces) {
  gatewayInterfaces_ = std::move(interfaces);
}

void LinuxProviderHost::setTunnelNetworkSettings(const TransparentProxyNetworkSettings& settings,
                                                 SettingsCompletion completion) {
  auto planned = planInterception(settings.includedNetworkRules, target_, gatewayInterfaces_);
  if (auto* error = std::get_if<Error>(&planned)) return completion(*error);
  const InterceptionPlan& plan = std::get<InterceptionPlan>(planned);
  const std::string table = plan.tableDefinition + (strictMode_ ? encryptedDnsPortRefusal(gatewayInterfaces_) : "");
  if (std::optional<Error> error = table_.install(table)) return completion(error);
  if (udpInterception_) return completion(udpInterception_(plan.udpRules, gatewayInterfaces_));
  completion(std::nullopt);
}

void LinuxProviderHost::removeInterception() { table_.remove(); }

}  // namespace vosk::backend
