#include "provider/process_entry.hpp"

#include <cstdlib>

namespace vosk {

void runSystemExtension(const ProviderEnvironment& environment,
                        const StartSystemExtensionMode& startSystemExtensionMode) {
  // Lives as long as the process: dispatchMain never returns.
  const std::shared_ptr<TransparentProxyProvider> provider = TransparentProxyProvider::create(environment);
  startSystemExtensionMode(provider);
  environment.mainQueue.dispatchMain();
  // The compiler cannot see [[noreturn]] through the virtual call.
  std::abort();
}

}  // namespace vosk
