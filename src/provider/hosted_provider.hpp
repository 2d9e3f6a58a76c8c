#pragma once

#include <functional>
#include <memory>
#include <span>

#include "platform/blocked_decision_log.hpp"
#include "platform/clock.hpp"
#include "platform/connection.hpp"
#include "platform/flow.hpp"
#include "platform/logger.hpp"
#include "platform/main_queue.hpp"
#include "platform/notification_poster.hpp"
#include "platform/packet_path.hpp"
#include "platform/proxy_provider.hpp"

// The provider as a hosting platform sees it: what it is given, what it may
// call. A backend includes this header (and the platform contracts) only.
namespace vosk {

// What the hosting platform gives the provider. Everything here outlives it.
struct ProviderEnvironment {
  MainQueue& mainQueue;
  const Clock& clock;
  std::shared_ptr<LogSink> logSink;
  NotificationPoster& notificationPoster;
  ConnectionFactory& connectionFactory;
  ProviderHost& host;
  BlockedDecisionLog& decisions;
  PacketPath& packetPath;
};

class HostedProvider : public AppProxyProvider {
 public:
  using AppProxyProvider::AppProxyProvider;

  // Carries a TCP flow that handleNewFlow declined (over the flow cap): the
  // interception must never drop a flow. It stays outside the flow count and
  // the registry; while strict mode is in force it is judged first, as any
  // other flow. Called where the platform offers flows.
  virtual void carryDeclinedFlow(std::shared_ptr<TCPFlow> flow) = 0;

  // The flows held under the cap now (any thread).
  virtual std::int64_t openFlowCount() const = 0;

  // The verdict on a client's segment that the packet path holds until its
  // connection is judged (the IP packet, from its header). On the main queue.
  virtual SegmentVerdict judgeHeldSegment(std::span<const std::uint8_t> packet) = 0;
  // The kernel no longer tracks this connection, let through by a verdict. On the main queue.
  virtual void carriedConnectionEnded(const ConnectionTuple& connection) = 0;
};

using StartSystemExtensionMode = std::function<void(std::shared_ptr<HostedProvider> provider)>;

// The process entry: creates the one provider, hands it to the host, which
// from then on calls its overrides, then serves the main queue for ever.
[[noreturn]] void runSystemExtension(const ProviderEnvironment& environment,
                                     const StartSystemExtensionMode& startSystemExtensionMode);

}  // namespace vosk
