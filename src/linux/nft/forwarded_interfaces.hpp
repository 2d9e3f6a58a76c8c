#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vosk::backend {

// Whose forwarded traffic is filtered as the host's own: the gateway
// interfaces named in the configuration; with none named and strict mode in
// force, every interface (local virtual machines, containers, bridges), since
// strict mode leaves no way around the block list through the host; else none.
struct ForwardedInterfaces {
  bool every = false;
  std::vector<std::string> named;  // when not every

  static ForwardedInterfaces of(std::vector<std::string> gatewayInterfaces, bool strictMode) {
    const bool every = gatewayInterfaces.empty() && strictMode;
    return {every, std::move(gatewayInterfaces)};
  }
  bool any() const { return every || !named.empty(); }
  // What one rule per interface matches on: each name, or a single null
  // (no interface match at all) for every interface.
  std::vector<const std::string*> matches() const {
    std::vector<const std::string*> matches;
    if (every) matches.push_back(nullptr);
    for (const std::string& name : named) matches.push_back(&name);
    return matches;
  }
  bool operator==(const ForwardedInterfaces&) const = default;
};

}  // namespace vosk::backend
