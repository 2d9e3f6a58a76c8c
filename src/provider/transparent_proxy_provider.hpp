#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "flows/flow_host.hpp"
#include "flows/packet_path_flows.hpp"
#include "model/blocked_site.hpp"
#include "platform/clock.hpp"
#include "platform/connection.hpp"
#include "platform/flow.hpp"
#include "platform/logger.hpp"
#include "platform/main_queue.hpp"
#include "platform/notification_poster.hpp"
#include "platform/proxy_provider.hpp"
#include "policy/block_list.hpp"
#include "policy/host_extraction.hpp"
#include "provider/active_flow.hpp"
#include "provider/constants.hpp"
#include "provider/hosted_provider.hpp"
#include "provider/tracked_flow_ticket.hpp"

namespace vosk {

// The block list in force, written by the start on the platform's thread and
// read on the main queue and in flow admission: readers always get a whole
// immutable list. The lock is held only to copy the pointer.
class PublishedBlockList {
 public:
  std::shared_ptr<const BlockList> load() const {
    std::lock_guard lock(mutex_);
    return list_;
  }
  void store(std::shared_ptr<const BlockList> list) {
    std::lock_guard lock(mutex_);
    list_ = std::move(list);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const BlockList> list_ = std::make_shared<const BlockList>();
};

// The transparent proxy: offered every new outbound TCP flow to ports 443 and
// 80 and UDP flow to 443, it blocks flows to listed sites and relays the rest.
// It keeps what all flows share (switches, lists, the registry, the count,
// the timers); each flow's own state lives in its flow object (SniffingFlow,
// then RelayedFlow). Owned by a shared pointer; every deferred callback holds
// it weakly.
class TransparentProxyProvider final : public HostedProvider,
                                       public FlowHost,
                                       public std::enable_shared_from_this<TransparentProxyProvider> {
 public:
  static std::shared_ptr<TransparentProxyProvider> create(const ProviderEnvironment& environment);

  // AppProxyProvider overrides, called on the platform's threads.
  void startProxyWithOptions(const std::optional<ConfigurationDictionary>& options,
                             StartCompletion completionHandler) override;
  void stopProxyWithReason(std::int64_t reason, StopCompletion completionHandler) override;
  bool handleNewFlow(const std::shared_ptr<Flow>& flow) override;
  void carryDeclinedFlow(std::shared_ptr<TCPFlow> flow) override;
  std::int64_t openFlowCount() const override;
  SegmentVerdict judgeHeldSegment(std::span<const std::uint8_t> packet) override {
    return packetPathFlows.judgeSegment(packet);
  }
  void carriedConnectionEnded(const ConnectionTuple& connection) override {
    packetPathFlows.carriedConnectionEnded(connection);
  }

  // FlowJudge
  bool strictModeActive() const override { return cachedBlockingEnabled.load() && cachedStrictMode.load(); }
  FlowDecision decideFlow(const std::optional<std::string>& host, std::string_view portText,
                          std::size_t bytesRead) const override;
  void reportBlocked(const FlowDecision& decision, const std::optional<std::string>& host,
                     std::string_view portText) override;
  bool closesNow(const std::optional<std::string>& host, std::string_view portText) const override;
  void recordClosedNow(const std::string& host, std::string_view portText) override;

  // FlowHost
  const Logger& log() const override { return logger; }
  MainQueue& queue() const override { return mainQueue; }
  const Clock& time() const override { return clock; }
  ConnectionFactory& connections() const override { return connectionFactory; }
  ActiveFlowRegistry& registry() override { return activeFlows; }

  void notifySiteBlocked(std::string_view host, const BlockedSite& site);
  // Hands a decision that closes a flow to the filter's history.
  void recordBlocked(const FlowDecision& decision, std::string_view host, std::string_view portText);

 private:
  friend class TransparentProxyProviderPeer;  // tests' view of the internals
  friend class TrackedFlowTicket;             // gives the place back
  // The decision on a named host under the lists in force, without its line.
  FlowDecision judgeHost(const std::string& host, std::string_view portText, bool blockingEnabled) const;

  explicit TransparentProxyProvider(const ProviderEnvironment& environment);

  // Tracked-flow count (any thread).
  bool admitTrackedFlow();
  void releaseTrackedFlow();

  // Proxy start, stop and the sweeper.
  void startSweepTimer();
  void applyProviderConfiguration(const ConfigurationDictionary& configuration);
  static void tearDownActiveFlows(std::weak_ptr<TransparentProxyProvider> weakSelf, StopCompletion completion);
  void sweepIdleFlows();

  // Flow interception.
  // Admits an offered TCP or UDP flow under maxTrackedFlows. At the cap a flow
  // `takenAtCap` gets a ticket holding no place; any other is refused, with a line.
  std::optional<TrackedFlowTicket> admitOfferedFlow(std::string_view kind, bool takenAtCap);
  void handleTCPFlow(std::shared_ptr<TCPFlow> flow, TrackedFlowTicket ticket);
  bool handleUDPFlow(std::shared_ptr<UDPFlow> flow);

  // Blocking policy.
  static bool isStaleBlockedAttempt(const std::pair<const Uuid, Instant>& entry, Instant now);
  bool shouldSweepFlow(const RelayedFlow& flow, Instant now) const;
  // A flow to a public encrypted-DNS endpoint while strict mode is in force.
  bool isEncryptedDnsFlow(std::string_view host, std::string_view portText) const;

  // The hosting platform.
  MainQueue& mainQueue;
  const Clock& clock;
  NotificationPoster& notificationPoster;
  ConnectionFactory& connectionFactory;
  BlockedDecisionLog& decisions;

  // Provider state.
  const Logger logger;
  PublishedBlockList cachedSites;
  std::atomic<bool> cachedBlockingEnabled{false};
  // Strict mode: its switch and the encrypted-DNS endpoints, one site holding every name.
  std::atomic<bool> cachedStrictMode{false};
  PublishedBlockList cachedEncryptedDns;
  ActiveFlowRegistry activeFlows;
  std::unique_ptr<RepeatingTimer> sweepTimer;
  std::int64_t trackedFlowCount = 0;
  mutable std::mutex trackedFlowCountLock;
  std::unordered_map<Uuid, Instant> lastBlockedAttempt;
  std::atomic<Instant> startProxyTime{Instant::distantPast()};
  // The connections the kernel carries, while their first flight is judged.
  PacketPathFlows packetPathFlows;
};

}  // namespace vosk
