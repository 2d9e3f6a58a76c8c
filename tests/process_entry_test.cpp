#include <gtest/gtest.h>

#include <cstdlib>

#include "provider/hosted_provider.hpp"
#include "support/relayed_flow.hpp"

namespace vosk::test {
namespace {

constexpr int kServed = 7;

TEST(ProcessEntryDeathTest, HandsTheProviderToTheHostThenServesTheMainQueueForEver) {
  EXPECT_EXIT(
      {
        TestPlatform platform;
        runSystemExtension(platform.environment(), [&](std::shared_ptr<HostedProvider> provider) {
          // What the host does with it: a flow is already relayed, then the proxy starts.
          TransparentProxyProviderPeer peer(static_cast<TransparentProxyProvider&>(*provider));
          relayFlow(platform, peer, "a.example", 1300);
          provider->startProxyWithOptions(std::nullopt, [](std::optional<Error>) {});
          // Only a served main queue runs the start's sweep and this check.
          platform.mainQueue.schedule(1, [&] {
            std::_Exit(platform.log->contains("🧹 Sweeping connection to a.example: idleFor=1300s") ? kServed : 1);
          });
        });
      },
      ::testing::ExitedWithCode(kServed), "");
}

}  // namespace
}  // namespace vosk::test
