#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/clock.hpp"
#include "platform/connection.hpp"
#include "platform/flow.hpp"

namespace vosk {

enum class RelayDirection { flowToUpstream, upstreamToFlow };

// One relayed TCP flow.
struct ActiveFlow {
  const std::optional<std::string> hostname;
  const std::shared_ptr<TCPFlow> flow;
  const std::shared_ptr<Connection> connection;
  Instant lastActivity;
  // Directions that have reached their end of stream; the flow ends when both
  // have. Kept here because the entry is exactly as long-lived as the relay
  // and is already looked up on the main queue for every activity: an end
  // that finds no entry belongs to a flow that has been torn down.
  bool flowToUpstreamEnded = false;
  bool upstreamToFlowEnded = false;
};

// The registry of relayed flows, keyed by the identity of the upstream
// connection. Changed and iterated only on the main queue; size() may be read
// from any thread (the stop reports it from the platform's thread).
class ActiveFlowRegistry {
 public:
  using Map = std::unordered_map<const Connection*, std::shared_ptr<ActiveFlow>>;

  void insert(std::shared_ptr<ActiveFlow> entry) {
    const Connection* key = entry->connection.get();
    entries_.insert_or_assign(key, std::move(entry));
    size_.store(entries_.size(), std::memory_order_relaxed);
  }
  void erase(const Connection* key) {
    entries_.erase(key);
    size_.store(entries_.size(), std::memory_order_relaxed);
  }
  // Replaces the registry with an empty one in one step.
  void clear() {
    Map empty;
    entries_.swap(empty);
    size_.store(0, std::memory_order_relaxed);
  }
  ActiveFlow* find(const Connection* key) const {
    const auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second.get();
  }
  const Map& entries() const { return entries_; }
  std::size_t size() const { return size_.load(std::memory_order_relaxed); }

 private:
  Map entries_;
  std::atomic<std::size_t> size_{0};
};

}  // namespace vosk
