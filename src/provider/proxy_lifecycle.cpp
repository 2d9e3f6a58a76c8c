#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

// Until start and stop exist they only complete.
void TransparentProxyProvider::startProxyWithOptions(const std::optional<ConfigurationDictionary>&,
                                                     StartCompletion completionHandler) {
  completionHandler(std::nullopt);
}

void TransparentProxyProvider::stopProxyWithReason(std::int64_t, StopCompletion completionHandler) {
  completionHandler();
}

}  // namespace vosk
