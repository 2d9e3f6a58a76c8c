#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

// Until the stop exists it only completes.
void TransparentProxyProvider::stopProxyWithReason(std::int64_t, StopCompletion completionHandler) {
  completionHandler();
}

}  // namespace vosk
