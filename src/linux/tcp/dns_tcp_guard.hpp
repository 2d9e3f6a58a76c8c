#pragma once

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "dns/dns_rewrite.hpp"

namespace vosk::backend {

// Strict mode's DNS guard for DNS over TCP: the connections to port 53 that
// the interception table redirects while strict mode is in force are carried
// here, each over a connection of the daemon's own to its original
// destination. The client's bytes go on unchanged; the server's messages go
// on as dns::rewriteDnsStream makes them (`ech` removed, the canary and
// blocked names NXDOMAIN). One object per connection owns both sockets and
// their buffers. On the context's thread only.
class DnsTcpGuard {
 public:
  // Beyond it a new connection is closed at once; the resolver asks again.
  static constexpr std::size_t maxConnections = 256;
  // A connection with nothing read or written for this long (a server that
  // never answers, a client that stopped reading) is closed, at most twice
  // this long after its last activity.
  static constexpr std::chrono::seconds idleLimit{30};
  // Bytes read at once from the client (queries are small) and from the server.
  static constexpr std::size_t queryReadBytes = 4096;
  static constexpr std::size_t answerReadBytes = 16384;

  explicit DnsTcpGuard(std::uint32_t firewallMark);

  // The names answered NXDOMAIN from now on, on open connections too; empty,
  // those in force are kept.
  void setBlockedNames(dns::BlockedName names);
  // Carries a redirected connection (non-blocking) to where it was going.
  void carry(asio::ip::tcp::socket client, const asio::ip::tcp::endpoint& destination);

 private:
  class Connection;
  struct Shared {
    dns::BlockedName blockedNames;
    std::size_t open = 0;  // connections alive
  };

  const std::uint32_t mark_;
  const std::shared_ptr<Shared> shared_;  // held by every connection, which may outlive the guard
};

}  // namespace vosk::backend
