#include "provider/hosted_provider.hpp"
#include "provider/transparent_proxy_provider.hpp"

#include <cstdlib>

namespace vosk {

void runSystemExtension(const ProviderEnvironment& environment,
                        const StartSystemExtensionMode& startSystemExtensionMode) {
  // Lives as long as the process: dispatchMain never returns.
  const std::shared_ptr<HostedProvider> provider = TransparentProxyProvider::create(environment);
  startSystemExtensionMode(provider);
  environment.mainQueue.dispatchMain();
  // The compiler cannot see [[noreturn]] through the virtual call.
  std::abort();
}

}  // namespace vosk
