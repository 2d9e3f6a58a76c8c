#pragma once

#include <asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dns/dns_rewrite.hpp"
#include "linux/nft/forwarded_interfaces.hpp"
#include "linux/udp/nfqueue_listener.hpp"
#include "linux/nft/nftnl_owner_table.hpp"
#include "platform/logger.hpp"

namespace vosk::backend {

// Strict mode's DNS guard: while it is on, every UDP packet from port 53 of a
// non-loopback address (IPv4 and IPv6) waits on the input path in an NFQUEUE
// of its own and goes on as dns::rewriteDnsPacket makes it: `ech` removed
// from HTTPS and SVCB records, the canary and blocked names answered
// NXDOMAIN, anything else untouched. Answers forwarded to the machines behind
// the forwarded interfaces wait there too, on the forward path. The owner
// table exists only while the guard is on, and its queue rule is bypassed
// when nobody listens, so a dead or stalled daemon leaves DNS working. On the
// context's thread only.
class DnsGuard {
 public:
  static constexpr std::string_view tableName = "vosk_filter_dns";
  static constexpr std::uint16_t queueNumber = 7053;

  DnsGuard(asio::io_context& context, Logger logger) : context_(context), logger_(std::move(logger)) {}

  // Puts the guard in place, for the host and the forwarded interfaces, or
  // removes it; a failure is logged and leaves it off. The names answered
  // NXDOMAIN are `blockedNames` from now on; empty, those in force are kept.
  void apply(bool on, const ForwardedInterfaces& forwarded, dns::BlockedName blockedNames);

 private:
  asio::io_context& context_;
  const Logger logger_;
  dns::BlockedName blockedNames_;  // read by listener_'s handler
  std::shared_ptr<NfqueueListener> listener_;
  std::unique_ptr<NftOwnerTable> table_;
  QueueExpression expression_ = QueueExpression::native;
  ForwardedInterfaces forwarded_;  // those of table_
};

}  // namespace vosk::backend
