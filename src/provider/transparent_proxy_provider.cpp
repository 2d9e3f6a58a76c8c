#include "provider/transparent_proxy_provider.hpp"

#include <algorithm>

namespace vosk {

std::shared_ptr<TransparentProxyProvider> TransparentProxyProvider::create(const ProviderEnvironment& environment) {
  return std::shared_ptr<TransparentProxyProvider>(new TransparentProxyProvider(environment));
}

TransparentProxyProvider::TransparentProxyProvider(const ProviderEnvironment& environment)
    : HostedProvider(environment.host),
      mainQueue(environment.mainQueue),
      clock(environment.clock),
      notificationPoster(environment.notificationPoster),
      connectionFactory(environment.connectionFactory),
      decisions(environment.decisions),
      logger(std::string(logSubsystem), std::string(logCategory), environment.logSink),
      packetPathFlows(*this, environment.packetPath) {}

std::int64_t TransparentProxyProvider::openFlowCount() const {
  std::lock_guard lock(trackedFlowCountLock);
  return trackedFlowCount;
}

bool TransparentProxyProvider::admitTrackedFlow() {
  std::lock_guard lock(trackedFlowCountLock);
  if (trackedFlowCount > maxTrackedFlows - 1) return false;
  ++trackedFlowCount;
  return true;
}

void TransparentProxyProvider::releaseTrackedFlow() {
  std::lock_guard lock(trackedFlowCountLock);
  trackedFlowCount = std::max<std::int64_t>(trackedFlowCount - 1, 0);
}

}  // namespace vosk

namespace vosk {

void TrackedFlowTicket::release() {
  if (const auto provider = provider_.lock()) provider->releaseTrackedFlow();
  provider_.reset();
}

}  // namespace vosk
