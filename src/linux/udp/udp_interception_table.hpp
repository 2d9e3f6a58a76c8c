#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "linux/nft/forwarded_interfaces.hpp"
#include "linux/nft/nftnl_owner_table.hpp"
#include "linux/udp/udp_queue_settings.hpp"

namespace vosk::backend {

// The process's own table for outbound UDP to port 443, in an inet table
// (IPv4 and IPv6) with the owner flag: the kernel deletes it when this object
// goes or the process dies, even on SIGKILL.
//   queue chain (output, priority 0):
//     flows refused lately                     → reject (ICMP port unreachable)
//     ct mark not passed in `passedMark`'s generation → NFQUEUE, bypassed when nobody listens
//   verdict chain (output, priority 10):
//     decline mark → `passedMark` recorded in the ct mark, cleared from the packet
//     refuse mark  → flow remembered for refusedFlowMemory seconds, rejected
// The same pair of chains on the forward hook, for packets arriving on the
// forwarded interfaces, when there are any.
// Refused flows are remembered in sets, not in the ct mark: a rejected
// packet's connection is never confirmed, so its mark would be lost.
class UdpInterceptionTable {
 public:
  static constexpr std::string_view tableName = "vosk_filter_udp";
  static constexpr unsigned refusedFlowMemorySeconds = 30;

  // The table in place, or null with `failure` saying why the kernel refused it.
  static std::unique_ptr<UdpInterceptionTable> create(const UdpQueueSettings& settings,
                                                      QueueExpression queueExpression,
                                                      const ForwardedInterfaces& forwarded, std::uint32_t passedMark,
                                                      Failure& failure);

 private:
  explicit UdpInterceptionTable(std::unique_ptr<NftOwnerTable> table) : table_(std::move(table)) {}

  std::unique_ptr<NftOwnerTable> table_;
};

}  // namespace vosk::backend
