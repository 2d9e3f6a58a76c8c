#pragma once

#include <memory>

#include "platform/flow.hpp"

namespace vosk {

class TransparentProxyProvider;

// An admitted flow's place under maxTrackedFlows. Whoever holds the ticket
// holds the place; it is given back exactly once, by release() or else by
// the destructor, so no path of a flow can keep it or return it twice.
// Giving it back once the provider is gone does nothing.
class TrackedFlowTicket {
 public:
  TrackedFlowTicket() = default;  // holds no place
  explicit TrackedFlowTicket(std::weak_ptr<TransparentProxyProvider> provider) : provider_(std::move(provider)) {}
  TrackedFlowTicket(TrackedFlowTicket&& other) noexcept = default;
  TrackedFlowTicket& operator=(TrackedFlowTicket&& other) noexcept {
    if (this != &other) {
      release();
      provider_ = std::move(other.provider_);
    }
    return *this;
  }
  TrackedFlowTicket(const TrackedFlowTicket&) = delete;
  TrackedFlowTicket& operator=(const TrackedFlowTicket&) = delete;
  ~TrackedFlowTicket() { release(); }

  void release();

 private:
  std::weak_ptr<TransparentProxyProvider> provider_;
};

// A flow the provider took and its place (an empty ticket for a flow carried
// over the cap).
struct TrackedFlow {
  std::shared_ptr<Flow> flow;
  TrackedFlowTicket ticket;

  // Ends a flow that has no upstream connection: read side, write side, its place.
  void closeAndRelease() {
    flow->closeRead();
    flow->closeWrite();
    ticket.release();
  }
};

}  // namespace vosk
