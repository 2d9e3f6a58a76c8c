#pragma once

#include <functional>
#include <memory>

#include "platform/proxy_provider.hpp"
#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

// Hands the provider to the hosting system, which from then on calls its
// overrides (start, stop, new flows) from its own threads. The provider's
// other public members (strict mode's decision on flows it declines) are the
// host's to use too.
using StartSystemExtensionMode = std::function<void(std::shared_ptr<TransparentProxyProvider> provider)>;

// The process entry: creates the one provider, hands it to the host, then
// serves the main queue for ever.
[[noreturn]] void runSystemExtension(const ProviderEnvironment& environment,
                                     const StartSystemExtensionMode& startSystemExtensionMode);

}  // namespace vosk
