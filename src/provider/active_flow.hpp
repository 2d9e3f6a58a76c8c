#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <unordered_map>

#include "platform/connection.hpp"

namespace vosk {

class RelayedFlow;

// The registry of relayed flows (activeFlows), keyed by the identity of each
// flow's upstream connection. Changed and iterated only on the main queue;
// size() may be read from any thread (the stop reports it from the platform's
// thread).
class ActiveFlowRegistry {
 public:
  using Map = std::unordered_map<const Connection*, std::shared_ptr<RelayedFlow>>;

  void insert(const Connection* key, std::shared_ptr<RelayedFlow> flow) {
    entries_.insert_or_assign(key, std::move(flow));
    size_.store(entries_.size(), std::memory_order_relaxed);
  }
  void erase(const Connection* key) {
    entries_.erase(key);
    size_.store(entries_.size(), std::memory_order_relaxed);
  }
  // Empties the registry in one step and hands back what it held.
  Map takeAll() {
    Map taken;
    entries_.swap(taken);
    size_.store(0, std::memory_order_relaxed);
    return taken;
  }
  RelayedFlow* find(const Connection* key) const {
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
