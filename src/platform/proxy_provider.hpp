#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/error.hpp"
#include "platform/flow.hpp"

namespace vosk {

// A value of the provider configuration or of the start options.
using ConfigurationValue = std::variant<bool, std::int64_t, double, std::string, Bytes>;
using ConfigurationDictionary = std::map<std::string, ConfigurationValue>;

enum class NetworkRuleProtocol { any = 0, tcp = 1, udp = 2 };
enum class TrafficDirection { any = 0, inbound = 1, outbound = 2 };

struct NetworkRule {
  HostEndpoint remoteNetwork;
  int remotePrefix = 0;
  std::optional<HostEndpoint> localNetwork;
  int localPrefix = 0;
  NetworkRuleProtocol protocol = NetworkRuleProtocol::any;
  TrafficDirection direction = TrafficDirection::outbound;
};

struct TransparentProxyNetworkSettings {
  std::string tunnelRemoteAddress;
  std::vector<NetworkRule> includedNetworkRules;
};

// What the hosting system does for a provider.
class ProviderHost {
 public:
  using SettingsCompletion = std::function<void(std::optional<Error>)>;

  virtual ~ProviderHost() = default;
  // The provider configuration of the tunnel-provider protocol configuration;
  // absent when there is none, it is of another kind, or it carries none.
  virtual std::optional<ConfigurationDictionary> providerConfiguration() const = 0;
  // Applies the interception rules; the completion runs once, on any thread.
  virtual void setTunnelNetworkSettings(const TransparentProxyNetworkSettings& settings,
                                        SettingsCompletion completion) = 0;
};

// The provider base class: the three overrides the hosting system calls, on its
// own threads, and the two services it offers to the provider.
class AppProxyProvider {
 public:
  using StartCompletion = std::function<void(std::optional<Error>)>;
  using StopCompletion = std::function<void()>;

  explicit AppProxyProvider(ProviderHost& host) : host_(host) {}
  virtual ~AppProxyProvider() = default;

  virtual void startProxyWithOptions(const std::optional<ConfigurationDictionary>& options,
                                     StartCompletion completionHandler) = 0;
  virtual void stopProxyWithReason(std::int64_t reason, StopCompletion completionHandler) = 0;
  // true: the provider owns the flow; false: the system carries it unfiltered.
  virtual bool handleNewFlow(const std::shared_ptr<Flow>& flow) = 0;

 protected:
  std::optional<ConfigurationDictionary> providerConfiguration() const {
    return host_.providerConfiguration();
  }
  void setTunnelNetworkSettings(const TransparentProxyNetworkSettings& settings,
                                ProviderHost::SettingsCompletion completion) {
    host_.setTunnelNetworkSettings(settings, std::move(completion));
  }

 private:
  ProviderHost& host_;
};

}  // namespace vosk
