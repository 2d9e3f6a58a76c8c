#include "provider/transparent_proxy_provider.hpp"

namespace vosk {

// Until the flow path exists every flow is left to the system.
bool TransparentProxyProvider::handleNewFlow(const std::shared_ptr<Flow>&) { return false; }

}  // namespace vosk
