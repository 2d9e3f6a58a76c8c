#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/configuration_file.hpp"
#include "linux/nft/forwarded_interfaces.hpp"
#include "linux/nft/interception_table.hpp"
#include "platform/proxy_provider.hpp"

namespace vosk::backend {

// The hosting system on Linux: hands the provider the configuration read
// from the file, and turns its interception rules into our nftables table.
// On the daemon's one event loop, as is the provider that calls it.
class LinuxProviderHost final : public ProviderHost {
 public:
  // Takes the UDP rules, which the table cannot redirect; absent = UDP is not
  // intercepted.
  using UdpInterception = std::function<Failure(const std::vector<NetworkRule>& udpRules,
                                                const ForwardedInterfaces& forwarded, bool blockingEnabled)>;

  // Takes the TCP ports judged in the packet path by the kernel engine (none
  // while the relay carries flows).
  using PacketPathInterception =
      std::function<Failure(const std::vector<std::uint16_t>& ports, const ForwardedInterfaces& forwarded, bool strict)>;

  explicit LinuxProviderHost(InterceptionTarget target) : target_(target) {}

  std::optional<ConfigurationDictionary> providerConfiguration() const override;
  void setTunnelNetworkSettings(const TransparentProxyNetworkSettings& settings,
                                SettingsCompletion completion) override;

  // What the next start reads; absent = no readable configuration, which
  // keeps strict mode as it was, as the provider keeps its state.
  void setProviderConfiguration(std::optional<ConfigurationDictionary> configuration);
  void setUdpInterception(UdpInterception udpInterception);
  void setPacketPathInterception(PacketPathInterception packetPathInterception);
  // What carries the flows the next start intercepts.
  void setEngine(config::Engine engine) { engine_ = engine; }
  // What the next start filters on the forward path besides the host's own traffic.
  void setForwardedInterfaces(ForwardedInterfaces forwarded);
  // Removes the interception at once (also done by the kernel when we die).
  void removeInterception();

 private:
  const InterceptionTarget target_;
  InterceptionTable table_;
  std::optional<ConfigurationDictionary> configuration_;
  bool strictMode_ = false;  // port 853 refused, DNS over TCP redirected
  bool blockingEnabled_ = false;
  ForwardedInterfaces forwarded_;
  UdpInterception udpInterception_;
  PacketPathInterception packetPathInterception_;
  config::Engine engine_ = config::Engine::relay;
};

}  // namespace vosk::backend
