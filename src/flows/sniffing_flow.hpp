#pragma once

#include <memory>
#include <optional>
#include <string>

#include "flows/flow_host.hpp"
#include "platform/flow.hpp"
#include "platform/main_queue.hpp"
#include "provider/time_limit.hpp"
#include "provider/tracked_flow_ticket.hpp"

namespace vosk {

// Opens a flow under flowOpenTimeout. `onOpened(error)` runs on the main
// queue when the open completes first and the provider still exists; at the
// time limit the flow is closed and released instead.
void openFlow(const std::shared_ptr<FlowHost>& provider, std::shared_ptr<TrackedFlow> tracked,
              std::string_view kind, std::function<void(std::optional<Error> error)> onOpened);

// One TCP flow from its admission until its first bytes are judged: it owns
// the flow's place, the sniff buffer and the time limit of the step in
// progress. Lives on the main queue (completions are posted there); a flow
// that goes on becomes a RelayedFlow, which takes its place over.
class SniffingFlow final : public std::enable_shared_from_this<SniffingFlow> {
 public:
  enum class Mode {
    judged,     // its first bytes decide
    unjudged,   // carried over the cap with strict mode off: straight upstream
  };

  SniffingFlow(const std::shared_ptr<FlowHost>& provider, std::shared_ptr<TCPFlow> flow,
               TrackedFlowTicket ticket, Mode mode);

  // Opens the flow, then reads and judges its first bytes (handleTCPFlow's work).
  void start();

 private:
  void readInitialBytes();
  void handleInitialBytes(std::optional<Bytes> data, std::optional<Error> error);
  void goUpstream(std::optional<std::string> hostname);
  // Made from a TCP flow: the tracked flow's only type here.
  TCPFlow& flow() { return static_cast<TCPFlow&>(*tracked_.flow); }

  const std::weak_ptr<FlowHost> provider_;
  MainQueue& queue_;
  TrackedFlow tracked_;
  const Mode mode_;
  const std::string portText_;
  Bytes buffer_;
  std::optional<TimeLimit> readTimeLimit_;  // the read in progress
};

}  // namespace vosk
